// truth.hpp — reading a rendered image's truth file, and an independent projection.
//
// read_truth turns the JSON beside a rendered image into the engine's Wcs
// (zero-based crpix, radians) and keeps the JSON for the rest. truth_header
// writes the same WCS as FITS cards straight from the JSON, and
// WcslibProjection parses such cards with wcslib, so tests can check the
// engine's projection, the renderer and the solver against a projection that
// shares no code with them.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core/wcs.hpp"

struct wcsprm;

namespace kestrune::testing {

struct Truth {
  nlohmann::json json;
  Wcs wcs;  // radians, zero-based crpix, SIP in pixels
  uint32_t width = 0, height = 0;
  std::string image_path;  // the image named in the truth, beside the truth file
};

std::expected<Truth, std::string> read_truth(const std::string& path);

// 80-character cards without line ends or END: CTYPE, CRVAL, CRPIX, CD and the
// SIP A_/B_ cards, taken from the truth's "wcs" object.
std::string truth_header(const nlohmann::json& truth);

class WcslibProjection {
 public:
  static std::expected<WcslibProjection, std::string> from_cards(const std::string& cards);
  static std::expected<WcslibProjection, std::string> from_truth(const nlohmann::json& truth) {
    return from_cards(truth_header(truth));
  }

  // Degrees in, zero-based pixels out; empty when wcslib rejects the point.
  std::optional<Vec2> sky_to_pixel(double ra_deg, double dec_deg) const;
  // Zero-based pixels in, (RA, Dec) degrees out.
  std::optional<Vec2> pixel_to_sky(double x, double y) const;

 private:
  struct Free {
    void operator()(wcsprm* wcs) const;
  };
  std::unique_ptr<wcsprm, Free> wcs_;
};

// Largest distance, in pixels, between where `solved` and the truth (through
// wcslib) put the sky positions of a grid x grid lattice over the image, edges
// included. Empty when a point does not project under either.
std::optional<double> max_pixel_error(const Wcs& solved, const Truth& truth, int grid = 9);

// The same between two engine systems over a 9 x 9 lattice of a w x h frame;
// infinity when the solution cannot project a point.
double worst_grid_error(const Wcs& truth, const Wcs& solved, double w, double h);

// A linear system with its tangent point at the centre of a width x height
// frame: scale in arc seconds per pixel, rotation in degrees, optional mirror.
Wcs truth_wcs(double ra_deg, double dec_deg, double scale_arcsec, double rot_deg, bool mirror,
              double width, double height);

}  // namespace kestrune::testing
