// wcs.hpp — the world coordinate system of a solved image.
//
// A Wcs is a gnomonic (TAN) projection about the tangent point `crval`, a
// linear matrix `cd` from pixel offsets to tangent-plane coordinates, and an
// optional SIP polynomial that distorts pixel offsets before `cd` applies.
// Angles are radians and pixels zero-based throughout; the FITS conventions
// (degrees, one-based pixels) appear only in to_fits_header.
//
// fit_wcs fits the linear part to matched pixel/sky pairs; rms_px measures
// any Wcs against pairs; solve3 and solve_dense are the small linear solvers
// behind the fits.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

using Vec2 = std::array<double, 2>;  // (x, y) pixels or (RA, Dec) radians

inline constexpr double kRadToDeg = 57.29577951308232;

// RA in radians as degrees in [0, 360): a result that rounds to 360 is 0.
double ra_degrees(double ra);

// The unit vector of (RA, Dec) in radians.
std::array<double, 3> unit_vector(double ra, double dec);

// The angle between two directions in radians, accurate at any separation.
double angle_between(const std::array<double, 3>& a, const std::array<double, 3>& b);

struct SipTerm {
  uint8_t p;  // exponent of u
  uint8_t q;  // exponent of v
};

struct SipEval {
  double du = 0, dv = 0;
  double ddu_du = 0, ddu_dv = 0, ddv_du = 0, ddv_dv = 0;
};

struct Sip {
  std::vector<double> a;  // x distortion, one per term of terms(order)
  std::vector<double> b;  // y distortion, same term order
  uint8_t order = 0;

  // Exponents for total degree 2 .. min(order, 9), degree by degree, p falling:
  // order 3 gives (2,0) (1,1) (0,2) (3,0) (2,1) (1,2) (0,3). A view into a
  // static table, so evaluation never allocates.
  static std::span<const SipTerm> terms(unsigned order);

  SipEval eval(double u, double v, bool derivatives) const;
};

struct Wcs {
  std::optional<Sip> sip;
  Vec2 crval{};                 // tangent point (RA, Dec), radians
  Vec2 crpix{};                 // zero-based pixel of the tangent point
  std::array<double, 4> cd{};   // c11 c12 c21 c22, radians per pixel

  // (RA in [0, 2pi), Dec); never fails.
  Vec2 pixel_to_sky(double x, double y) const;
  // Empty for points at or beyond 90 degrees, a singular cd, or a SIP
  // inversion that does not converge.
  std::optional<Vec2> sky_to_pixel(double ra, double dec) const;
  // The pixel of a tangent-plane point (xi, eta), as the second half of
  // sky_to_pixel; empty for a singular cd or a SIP inversion that fails.
  std::optional<Vec2> plane_to_pixel(double xi, double eta) const;

  // FITS cards, each padded to 80 characters and ended by a line feed.
  std::string to_fits_header() const;
};

// Projects directions through one Wcs without trigonometry per point: the
// tangent point's basis is worked out once, and a direction need not be of
// unit length. Agrees with sky_to_pixel of the direction's (RA, Dec) to
// rounding. The Wcs must outlive the projector.
class DirectionProjector {
 public:
  explicit DirectionProjector(const Wcs& wcs);
  std::optional<Vec2> to_pixel(double x, double y, double z) const;

 private:
  const Wcs& wcs_;
  std::array<double, 3> centre_, east_, north_;
};

namespace wcs {

// The inverse gnomonic projection: the sky point at plane offset (xi, eta)
// from `tangent`, RA in [0, 2pi); a zero or non-finite offset gives the
// tangent point. Fits use it to move their tangent point.
Vec2 deproject(Vec2 tangent, double xi, double eta);

// Appends one FITS card: the keyword left in 8 columns, "= ", the value
// right-aligned in 20, the whole cut or padded to 80 characters.
void append_card(std::string& out, std::string_view key, std::string_view value);

// Linear TAN fit with `crpix` fixed and the tangent point iterated from
// `crval0`; returns the Wcs (no sip) and its rms in pixels.
std::optional<std::pair<Wcs, double>> fit_wcs(std::span<const Vec2> pixels,
                                              std::span<const Vec2> sky, Vec2 crpix,
                                              Vec2 crval0);

// Root-mean-square pixel residual; empty when any pair does not project.
std::optional<double> rms_px(const Wcs& wcs, std::span<const Vec2> pixels,
                             std::span<const Vec2> sky);

// Gaussian elimination with partial pivoting; m (row-major) and b are overwritten.
std::optional<std::array<double, 3>> solve3(std::array<double, 9>& m, std::array<double, 3>& b);

// The same for n unknowns: a holds n*n entries row-major; on success b holds
// the solution. False on a pivot not above 1e-12 or a non-finite result.
bool solve_dense(std::span<double> a, std::span<double> b, size_t n);

}  // namespace wcs
}  // namespace kestrune
