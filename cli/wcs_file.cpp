#include "cli/wcs_file.hpp"

#include <cmath>
#include <limits>
#include <string_view>

#include "core/fits.hpp"
#include "core/numfmt.hpp"

namespace kestrune::cli {
namespace {

using wcs::append_card;

void add_card(std::string& out, std::string_view text) {
  std::string card(text.substr(0, fits::kCardBytes));
  card.resize(fits::kCardBytes, ' ');
  out += card;
}

}  // namespace

DerivedAxes derived_axes(const Wcs& wcs) {
  const double d11 = wcs.cd[0] * kRadToDeg, d12 = wcs.cd[1] * kRadToDeg;
  const double d21 = wcs.cd[2] * kRadToDeg, d22 = wcs.cd[3] * kRadToDeg;
  const double det = d11 * d22 - d12 * d21;
  const double sign = std::isnan(det)     ? std::numeric_limits<double>::quiet_NaN()
                      : std::signbit(det) ? -1.0
                                          : 1.0;
  return {sign * std::hypot(d11, d21), std::hypot(d12, d22), std::atan2(-d12, d22) * kRadToDeg};
}

std::string wcs_file(const Wcs& wcs, uint32_t width, uint32_t height) {
  std::string out;
  out.reserve(2 * fits::kBlockBytes);
  append_card(out, "SIMPLE", "T");
  append_card(out, "BITPIX", "16");
  append_card(out, "NAXIS", "2");
  append_card(out, "NAXIS1", std::to_string(width));
  append_card(out, "NAXIS2", std::to_string(height));

  const std::string cards = wcs.to_fits_header();
  std::string_view rest = cards;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    add_card(out, line);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  }

  const DerivedAxes axes = derived_axes(wcs);
  append_card(out, "CDELT1", fmt_exp(axes.cdelt1, 12));
  append_card(out, "CDELT2", fmt_exp(axes.cdelt2, 12));
  append_card(out, "CROTA1", fmt_exp(axes.crota, 12));
  append_card(out, "CROTA2", fmt_exp(axes.crota, 12));
  add_card(out, "END");
  out.resize((out.size() + fits::kBlockBytes - 1) / fits::kBlockBytes * fits::kBlockBytes, ' ');
  return out;
}

}  // namespace kestrune::cli
