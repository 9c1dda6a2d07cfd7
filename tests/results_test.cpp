// The result files' text: the .ini lines and the names derived from the options.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "cli/results.hpp"
#include "core/wcs.hpp"

using namespace kestrune;
using namespace kestrune::cli;

namespace {

Solution solution_with(Vec2 crval_deg, Vec2 crpix, std::array<double, 4> cd_deg) {
  Solution s;
  s.wcs.crval = {crval_deg[0] / kRadToDeg, crval_deg[1] / kRadToDeg};
  s.wcs.crpix = crpix;
  for (int i = 0; i < 4; ++i) s.wcs.cd[i] = cd_deg[i] / kRadToDeg;
  return s;
}

}  // namespace

TEST(Results, SuccessIniLines) {
  auto s = solution_with({-0.5, -12.25}, {99.5, 49}, {-0.001, 0, 0, 0.001});
  EXPECT_EQ(success_ini(s),
            "PLTSOLVD=T\n"
            "CRPIX1=100.500000000000\n"
            "CRPIX2=50.000000000000\n"
            "CRVAL1=359.500000000000\n"
            "CRVAL2=-12.250000000000\n"
            "CDELT1=-0.001000000000\n"
            "CDELT2=0.001000000000\n"
            "CROTA1=-0.000000000000\n"
            "CROTA2=-0.000000000000\n"
            "CD1_1=-0.001000000000\n"
            "CD1_2=0.000000000000\n"
            "CD2_1=0.000000000000\n"
            "CD2_2=0.001000000000\n");
}

TEST(Results, SuccessIniSpecialValues) {
  auto s = solution_with({10, 20}, {0, 0}, {NAN, 0, 0, INFINITY});
  std::string ini = success_ini(s);
  EXPECT_NE(ini.find("CD1_1=NaN\n"), std::string::npos);
  EXPECT_NE(ini.find("CD2_2=inf\n"), std::string::npos);
  EXPECT_NE(ini.find("CDELT1=NaN\n"), std::string::npos);
}

TEST(Results, ReduceDegrees) {
  const std::pair<double, double> cases[] = {
      {-0.5, 359.5}, {0, 0}, {360, 0}, {725, 5}, {-720, 0}, {359.25, 359.25}};
  for (auto [in, out] : cases) EXPECT_EQ(reduce_degrees(in), out) << in;
}

TEST(Results, FailureIni) {
  EXPECT_EQ(failure_ini("No solution found: exhausted (40 stars)"),
            "PLTSOLVD=F\nERROR=No solution found: exhausted (40 stars)\n");
}

TEST(Results, OutputBaseAndExtension) {
  struct Case {
    const char* image;
    const char* out;  // nullptr: no -o
    const char* base;
  };
  const Case cases[] = {
      {"dir/m31.fits", nullptr, "dir/m31"},
      {"m31", nullptr, "m31"},
      {"m31.final.fits", nullptr, "m31.final"},
      {".hidden", nullptr, ".hidden"},
      {"dir.d/noext", nullptr, "dir.d/noext"},
      {"..", nullptr, ".."},
      {"a.fits", "out/result.INI", "out/result"},
      {"a.fits", "out/result.Wcs", "out/result"},
      {"a.fits", "out/result.txt", "out/result.txt"},
      {"a.fits", "out/.ini", "out/.ini"},
      {"a.fits", "plain", "plain"},
  };
  for (const auto& c : cases) {
    Args a;
    a.image = c.image;
    if (c.out) a.out = c.out;
    EXPECT_EQ(output_base(a), c.base) << c.image << " " << (c.out ? c.out : "-");
  }
  EXPECT_EQ(with_ext("m31.final", "ini"), "m31.final.ini");
}
