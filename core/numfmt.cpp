#include "core/numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

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

}  // namespace

std::string fmt_shortest(double v) {
  std::string out;
  if (special(v, out)) return out;
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

std::string fmt_fixed(double v, int digits, bool plus) {
  std::string out;
  if (special(v, out)) return (plus && out == "inf") ? "+inf" : out;
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, digits);
  out.assign(buf, r.ptr);
  if (plus && !std::signbit(v)) out.insert(out.begin(), '+');
  return out;
}

std::string fmt_exp(double v, int digits) {
  std::string out;
  if (special(v, out)) return out;
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, digits);
  std::string text(buf, r.ptr);
  // to_chars writes "d.ddde+XX"; the cards want "d.dddEX".
  auto e = text.find('e');
  int exponent = std::atoi(text.c_str() + e + 1);
  return text.substr(0, e) + "E" + std::to_string(exponent);
}

}  // namespace kestrune
