// numfmt.hpp — the number texts that the result files, messages and log use.
//
// All of them go through std::to_chars, so they are exact and locale-free:
// shortest round-trip positional text for plain values, fixed digits for the
// .ini file and the console, and the E15/E12 scientific form of the .wcs cards.
// Special values read NaN, inf and -inf everywhere.
#pragma once

#include <string>

namespace kestrune {

// Shortest text that reads back as the same value, positional, no ".0" on
// integral values: 16 -> "16", 1.5e-7 -> "0.00000015".
std::string fmt_shortest(double v);

// Exactly `digits` digits after the point, no exponent; `plus` writes "+" on
// non-negative values ("{:+.5}").
std::string fmt_fixed(double v, int digits, bool plus = false);

// One digit, point, `digits` digits, "E", exponent without "+" or leading
// zeros: fmt_exp(10, 15) -> "1.000000000000000E1"; -0 keeps its sign.
std::string fmt_exp(double v, int digits);

}  // namespace kestrune
