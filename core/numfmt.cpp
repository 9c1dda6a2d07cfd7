#include "core/numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace kestrune {
namespace {

// Non-finite values are written in one spelling across all formats.
bool special(double v, std::string& out) {
  if (std::isnan(v)) {
    out = "NaN";
  } else if (std::isinf(v)) {
    out = v < 0 ? "-inf" : "inf";
  } else {
    return false;
  }
  return true;
}

// to_chars into a buffer that always fits: the largest double has 309 integral
// digits, the smallest subnormal 324 fractional ones.
template <typename... Format>
std::string chars(double v, Format... format) {
  std::string out(400, '\0');
  for (;;) {
    auto r = std::to_chars(out.data(), out.data() + out.size(), v, format...);
    if (r.ec == std::errc{}) {
      out.resize(static_cast<size_t>(r.ptr - out.data()));
      return out;
    }
    out.resize(out.size() * 2);
  }
}

}  // namespace

std::string fmt_shortest(double v) {
  std::string out;
  if (special(v, out)) return out;
  return chars(v, std::chars_format::fixed);
}

std::string fmt_fixed(double v, int digits, bool plus) {
  std::string out;
  if (special(v, out)) return (plus && out == "inf") ? "+inf" : out;
  out = chars(v, std::chars_format::fixed, digits);
  if (plus && !std::signbit(v)) out.insert(out.begin(), '+');
  return out;
}

std::string fmt_exp(double v, int digits) {
  std::string out;
  if (special(v, out)) return out;
  const std::string text = chars(v, std::chars_format::scientific, digits);
  // to_chars writes "d.ddde+XX"; the cards want "d.dddEX".
  auto e = text.find('e');
  int exponent = std::atoi(text.c_str() + e + 1);
  return text.substr(0, e) + "E" + std::to_string(exponent);
}

}  // namespace kestrune
