// solve.hpp — the blind search over image quads, verification and refinement.
//
// solve_stars_frame forms quads from the brightest stars, looks their patterns
// up in the database, fits a first Wcs to each catalogue quad that passes the
// gates, verifies it against the catalogue stars it projects into the frame
// (a binomial false-alarm probability) and refines the first accepted one
// with dense passes and a SIP fit. Ctx holds the scratch lists that every
// verification of one search reuses.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/db.hpp"
#include "core/records.hpp"
#include "core/wcs.hpp"

namespace kestrune {

// A catalogue star projected into the frame. Its (RA, Dec) is worked out
// only once it is paired: most projected stars never are.
struct ProjectedStar {
  int16_t mag;
  uint32_t id;
  double x, y;  // pixels
};

struct RefineResult {
  Wcs wcs;
  double rms;
  uint32_t count;
};

class Ctx {
 public:
  Ctx(const Database& db, const SolveParams& params, std::vector<ImageStar> stars, double width,
      double height);

  void project_field(const Wcs& wcs, size_t band, std::span<const uint32_t> exclude, size_t limit);
  size_t match_field(std::span<const uint32_t> exclude, size_t n);
  // (accepted, log false-alarm probability)
  std::pair<bool, double> verify(const Wcs& wcs, size_t band,
                                 const std::array<uint32_t, 4>& image_quad,
                                 const std::array<uint32_t, 4>& catalogue_quad);
  RefineResult refine_dense(const Wcs& candidate, size_t band);

  std::vector<ImageStar> stars;
  std::vector<uint32_t> cone_ids;
  std::vector<ProjectedStar> field;
  std::vector<uint8_t> used;
  std::vector<Vec2> img_pts;
  std::vector<Vec2> sky_pts;
  const Database& db;
  const SolveParams& params;
  size_t n_match;
  double width, height;
  Vec2 centre;
  double diag;
};

// Log of the binomial upper tail P(X >= k), X ~ Binomial(n, p), as verify uses it:
// 0 for k = 0 or p >= 1 (or NaN), -inf for p <= 0 or k > n.
double log_binomial_tail(uint64_t n, uint64_t k, double p);

// The search order over the n brightest stars: quad (i, j, k, l) with i < j < k < l,
// every quad that holds star l before any that holds a fainter star, and (i, j, k)
// lexicographic within one l.
class QuadSequence {
 public:
  explicit QuadSequence(uint32_t n) : n_(n) {}
  // The next quad, or false when all have been given.
  bool next(std::array<uint32_t, 4>& quad);

 private:
  uint32_t n_;
  uint32_t i_ = 0, j_ = 1, k_ = 2, l_ = 3;
};

// Distortion fit of one dense pass: a polynomial of `order` in the scaled pixel
// offsets from `centre` onto the tangent plane, the tangent point moved until the
// constant terms vanish (starting at `crval`). The Wcs carries the SIP part and
// `crpix` = centre; empty when the pairs are too few or the system is singular.
std::optional<std::pair<Wcs, double>> fit_sip(std::span<const Vec2> pixels,
                                              std::span<const Vec2> sky, Vec2 crval, Vec2 centre,
                                              unsigned order);

// Whether a SIP fit of `order` over `pairs` pairs beats the linear one: its rms,
// scaled for its parameter count, must undercut the linear estimate by 20 percent.
bool sip_preferred(unsigned order, size_t pairs, double rms_sip, double rms_linear);

// The linear fit of a dense pass, replaced by a SIP fit when the pairs are
// enough for params.sip_order and the distortion model wins.
std::pair<Wcs, double> with_distortion(const SolveParams& params, std::span<const Vec2> pixels,
                                       std::span<const Vec2> sky, const Wcs& linear,
                                       double rms_linear);

SolveResult solve_stars_frame(const Database& db, std::span<const ImageStar> stars, uint32_t width,
                              uint32_t height, const SolveParams& params, Clock& clock);

}  // namespace kestrune
