#include "core/numfmt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace kestrune {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

enum class Form { E15, E12, F6, F12, Plus5, Shortest };

struct Case {
  Form form;
  double value;
  const char* text;
};

std::string render(Form form, double v) {
  switch (form) {
    case Form::E15:
      return fmt_exp(v, 15);
    case Form::E12:
      return fmt_exp(v, 12);
    case Form::F6:
      return fmt_fixed(v, 6);
    case Form::F12:
      return fmt_fixed(v, 12);
    case Form::Plus5:
      return fmt_fixed(v, 5, true);
    case Form::Shortest:
      return fmt_shortest(v);
  }
  return {};
}

TEST(NumFmt, FormatsWriteTheExactText) {
  const Case cases[] = {
      {Form::E15, 10, "1.000000000000000E1"},
      {Form::E15, 0.0005, "5.000000000000000E-4"},
      {Form::E15, -123.25, "-1.232500000000000E2"},
      {Form::E15, 0.0, "0.000000000000000E0"},
      {Form::E15, -0.0, "-0.000000000000000E0"},
      {Form::E15, 90.0, "9.000000000000000E1"},
      {Form::E15, 1e-300, "1.000000000000000E-300"},
      {Form::E15, 1.5e300, "1.500000000000000E300"},
      // Exact decimal ties round to even.
      {Form::E15, 1000000000000000.5, "1.000000000000000E15"},
      {Form::E15, 1000000000000001.5, "1.000000000000002E15"},
      // Rounding that carries into the exponent.
      {Form::E15, 9.9999999999999995, "1.000000000000000E1"},
      {Form::E15, kNaN, "NaN"},
      {Form::E15, kInf, "inf"},
      {Form::E15, -kInf, "-inf"},
      {Form::E12, -0.0002777777777777778, "-2.777777777778E-4"},
      {Form::E12, 1234567890123.5, "1.234567890124E12"},
      {Form::E12, 1234567890122.5, "1.234567890122E12"},
      {Form::E12, -0.0, "-0.000000000000E0"},
      {Form::E12, -90.0, "-9.000000000000E1"},
      {Form::F6, 512.5, "512.500000"},
      {Form::F6, 1024.5, "1024.500000"},
      {Form::F6, 0.0078125, "0.007812"},
      {Form::F6, 0.0234375, "0.023438"},
      {Form::F6, 1e20, "100000000000000000000.000000"},
      {Form::F6, -1e-9, "-0.000000"},
      {Form::F12, 100.5, "100.500000000000"},
      {Form::F12, 359.5, "359.500000000000"},
      {Form::F12, kNaN, "NaN"},
      {Form::F12, -kInf, "-inf"},
      {Form::Plus5, 41.25, "+41.25000"},
      {Form::Plus5, -41.25, "-41.25000"},
      {Form::Plus5, 0.0, "+0.00000"},
      {Form::Plus5, kInf, "+inf"},
      {Form::Plus5, kNaN, "NaN"},
      {Form::Shortest, 16, "16"},
      {Form::Shortest, 1.5e-7, "0.00000015"},
      {Form::Shortest, 0.1, "0.1"},
      {Form::Shortest, -2.5, "-2.5"},
      {Form::Shortest, 1e21, "1000000000000000000000"},
      {Form::Shortest, 0.30000000000000004, "0.30000000000000004"},
      {Form::Shortest, kNaN, "NaN"},
      {Form::Shortest, kInf, "inf"},
      {Form::Shortest, -kInf, "-inf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(render(c.form, c.value), c.text) << "form " << static_cast<int>(c.form);
  }
}

// Extreme values with many digits must come out whole, not cut at a buffer end.
TEST(NumFmt, ExtremeValuesKeepEveryDigit) {
  const struct {
    std::string text;
    double value;
    size_t length;
  } cases[] = {
      {fmt_fixed(1e308, 100), 1e308, 309 + 1 + 100},
      {fmt_fixed(-1.7976931348623157e308, 60), -1.7976931348623157e308, 1 + 309 + 1 + 60},
      {fmt_shortest(-1.7976931348623157e308), -1.7976931348623157e308, 1 + 309},
      {fmt_shortest(5e-324), 5e-324, 2 + 323 + 1},
      {fmt_fixed(5e-324, 400), 5e-324, 2 + 400},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text.size(), c.length) << c.text;
    EXPECT_EQ(std::strtod(c.text.c_str(), nullptr), c.value) << c.text;
  }
  const std::string e = fmt_exp(5e-324, 80);
  EXPECT_EQ(e.size(), 2 + 80 + 5u);
  EXPECT_EQ(e.substr(e.size() - 5), "E-324");
  EXPECT_EQ(std::strtod(e.c_str(), nullptr), 5e-324);
}

}  // namespace
}  // namespace kestrune
