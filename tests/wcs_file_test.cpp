#include "cli/wcs_file.hpp"

#include <gtest/gtest.h>
#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "core/numfmt.hpp"
#include "core/wcs.hpp"

namespace kestrune::cli {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string padded(std::string card) {
  card.resize(80, ' ');
  return card;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last line feed";
  return lines;
}

std::vector<std::string> cards_of(const std::string& text) {
  std::vector<std::string> cards;
  for (size_t i = 0; i + 80 <= text.size(); i += 80) cards.push_back(text.substr(i, 80));
  return cards;
}

// 2"/px, 30 degrees of rotation, about (210 deg, +54 deg), 3000 x 2000 pixels.
Wcs linear_wcs(bool mirrored = false) {
  const double s = 2.0 / 3600 * kDeg, a = 30 * kDeg;
  const double m = mirrored ? -1 : 1;
  Wcs w;
  w.crval = {210 * kDeg, 54 * kDeg};
  w.crpix = {1499.5, 999.5};
  w.cd = {m * s * std::cos(a), -s * std::sin(a), m * s * std::sin(a), s * std::cos(a)};
  return w;
}

Sip third_order() {
  Sip sip;
  sip.order = 3;
  sip.a = {3.1e-6, -1.2e-6, 8.0e-7, 1.5e-9, -7.0e-10, 4.0e-10, -9.0e-10};
  sip.b = {-9.0e-7, 2.2e-6, -1.7e-6, -5.0e-10, 1.1e-9, -6.0e-10, 8.0e-10};
  return sip;
}

Wcs sip_wcs() {
  Wcs w = linear_wcs();
  w.sip = third_order();
  return w;
}

TEST(FitsHeader, CardsInOrderWithExactValues) {
  Wcs w;
  w.crval = {kPi / 2, -0.5 * kPi / 180 * 45};
  w.crpix = {1023.5, 767.5};
  w.cd = {-1e-5, 0.0, -0.0, 2.5e-6};
  const std::vector<std::string> expected = {
      "CTYPE1  =           'RA---TAN'",  "CTYPE2  =           'DEC--TAN'",
      "CRVAL1  =  9.000000000000000E1",  "CRVAL2  = -2.250000000000000E1",
      "CRPIX1  =          1024.500000",  "CRPIX2  =           768.500000",
      "CD1_1   = -5.729577951308233E-4", "CD1_2   =  0.000000000000000E0",
      "CD2_1   = -0.000000000000000E0",  "CD2_2   = 1.432394487827058E-4",
      "EQUINOX =               2000.0",
  };
  const auto lines = lines_of(w.to_fits_header());
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], padded(expected[i])) << i;
}

TEST(FitsHeader, SipCardsFollowTheTermsAndTheCoefficientsPresent) {
  const struct {
    const char* what;
    Sip sip;
    std::vector<std::string> cards;  // after EQUINOX
  } cases[] = {
      {"full third order",
       third_order(),
       {"A_ORDER =                    3", "A_2_0   = 3.100000000000000E-6",
        "A_1_1   = -1.200000000000000E-6", "A_0_2   = 8.000000000000000E-7",
        "A_3_0   = 1.500000000000000E-9", "A_2_1   = -7.000000000000000E-10",
        "A_1_2   = 4.000000000000000E-10", "A_0_3   = -9.000000000000000E-10",
        "B_ORDER =                    3", "B_2_0   = -9.000000000000000E-7",
        "B_1_1   = 2.200000000000000E-6", "B_0_2   = -1.700000000000000E-6",
        "B_3_0   = -5.000000000000000E-10", "B_2_1   = 1.100000000000000E-9",
        "B_1_2   = -6.000000000000000E-10", "B_0_3   = 8.000000000000000E-10"}},
      {"partial arrays",
       Sip{{1, 2, 3, 4}, {0.5}, 3},
       {"A_ORDER =                    3", "A_2_0   =  1.000000000000000E0",
        "A_1_1   =  2.000000000000000E0", "A_0_2   =  3.000000000000000E0",
        "A_3_0   =  4.000000000000000E0", "B_ORDER =                    3",
        "B_2_0   = 5.000000000000000E-1"}},
      {"more coefficients than terms",
       Sip{{1, 2, 3, 4}, {}, 2},
       {"A_ORDER =                    2", "A_2_0   =  1.000000000000000E0",
        "A_1_1   =  2.000000000000000E0", "A_0_2   =  3.000000000000000E0",
        "B_ORDER =                    2"}},
      {"order one has no terms",
       Sip{{1, 2}, {3, 4}, 1},
       {"A_ORDER =                    1", "B_ORDER =                    1"}},
  };
  for (const auto& c : cases) {
    Wcs w = linear_wcs();
    w.sip = c.sip;
    const auto lines = lines_of(w.to_fits_header());
    ASSERT_EQ(lines.size(), 11 + c.cards.size()) << c.what;
    EXPECT_EQ(lines[0], padded("CTYPE1  =       'RA---TAN-SIP'")) << c.what;
    EXPECT_EQ(lines[1], padded("CTYPE2  =       'DEC--TAN-SIP'")) << c.what;
    for (size_t i = 0; i < c.cards.size(); ++i) {
      EXPECT_EQ(lines[11 + i], padded(c.cards[i])) << c.what << " card " << i;
    }
  }
}

TEST(FitsHeader, OrderAboveNineWritesTermsUpToDegreeNine) {
  Wcs w = linear_wcs();
  w.sip = Sip{std::vector<double>(60, 1e-12), std::vector<double>(60, -1e-12), 12};
  const auto lines = lines_of(w.to_fits_header());
  ASSERT_EQ(lines.size(), 11u + 2 * (1 + 52));
  EXPECT_EQ(lines[11], padded("A_ORDER =                   12"));
  EXPECT_EQ(lines[11 + 52].substr(0, 8), "A_0_9   ");
  EXPECT_EQ(lines[12 + 52].substr(0, 8), "B_ORDER ");
  EXPECT_EQ(lines.back().substr(0, 8), "B_0_9   ");
}

// Keyword in 8 columns, "= ", value right-justified in 20, padded to 80.
std::string keyed(std::string key, const std::string& value) {
  key.resize(8, ' ');
  return padded(key + "= " + std::string(20 - std::min<size_t>(20, value.size()), ' ') + value);
}

TEST(DerivedAxes, SignFollowsTheDeterminant) {
  const double s = 1e-5;
  const double sd = s * kRadToDeg;
  const struct {
    const char* what;
    std::array<double, 4> cd;
    double cdelt1, cdelt2, crota;
    const char* cdelt1_text;
    const char* crota_text;
  } cases[] = {
      {"plain", {s, 0, 0, s}, sd, sd, -0.0, "5.729577951308E-4", "-0.000000000000E0"},
      {"mirrored in x", {-s, 0, 0, s}, -sd, sd, -0.0, "-5.729577951308E-4", "-0.000000000000E0"},
      {"swapped axes", {0, s, s, 0}, -sd, sd, -90.0, "-5.729577951308E-4", "-9.000000000000E1"},
      {"rotated", {0, -s, s, 0}, sd, sd, 90.0, "5.729577951308E-4", "9.000000000000E1"},
      {"negative zero det",
       {s, 0, 0, -0.0},
       -sd,
       0.0,
       -180.0,
       "-5.729577951308E-4",
       "-1.800000000000E2"},
      {"positive zero det",
       {s, 0, 0, 0.0},
       sd,
       0.0,
       -0.0,
       "5.729577951308E-4",
       "-0.000000000000E0"},
      {"NaN det", {kNaN, 0, 0, s}, kNaN, sd, -0.0, "NaN", "-0.000000000000E0"},
  };
  for (const auto& c : cases) {
    Wcs w = linear_wcs();
    w.cd = c.cd;
    const DerivedAxes d = derived_axes(w);
    if (std::isnan(c.cdelt1)) {
      EXPECT_TRUE(std::isnan(d.cdelt1)) << c.what;
    } else {
      EXPECT_EQ(d.cdelt1, c.cdelt1) << c.what;
    }
    EXPECT_EQ(d.cdelt2, c.cdelt2) << c.what;
    EXPECT_NEAR(d.crota, c.crota, 1e-12) << c.what;
    EXPECT_EQ(std::signbit(d.crota), std::signbit(c.crota)) << c.what;

    const auto cards = cards_of(wcs_file(w, 100, 100));
    ASSERT_GE(cards.size(), 21u);
    EXPECT_EQ(cards[16], keyed("CDELT1", c.cdelt1_text)) << c.what;
    EXPECT_EQ(cards[18], keyed("CROTA1", c.crota_text)) << c.what;
    EXPECT_EQ(cards[19], keyed("CROTA2", c.crota_text)) << c.what;
  }
}

TEST(WcsFile, WholeHeaderLayout) {
  Wcs partial = linear_wcs();
  partial.sip = Sip{{1e-6, 2e-6, 3e-6, 4e-9}, third_order().b, 3};
  Wcs ninth = linear_wcs();
  ninth.sip = Sip{std::vector<double>(52, 1e-15), std::vector<double>(52, 1e-15), 9};
  const struct {
    const char* what;
    Wcs wcs;
    uint32_t width, height;
    size_t cards, length;
  } cases[] = {
      {"linear", linear_wcs(), 3000, 2000, 21, 2880},
      {"third-order sip", sip_wcs(), 4096, 1, 37, 5760},
      {"partial sip", partial, 1, 4294967295u, 5 + 11 + 2 + 4 + 7 + 4 + 1, 2880},
      {"ninth-order sip", ninth, 640, 480, 5 + 11 + 2 * 53 + 4 + 1, 4 * 2880},
  };
  for (const auto& c : cases) {
    const std::string text = wcs_file(c.wcs, c.width, c.height);
    EXPECT_EQ(text.size(), c.length) << c.what;
    EXPECT_EQ(text.size() % 2880, 0u) << c.what;
    EXPECT_EQ(text.find('\n'), std::string::npos) << c.what;
    EXPECT_EQ(text.find('\r'), std::string::npos) << c.what;

    const auto cards = cards_of(text);
    ASSERT_GE(cards.size(), c.cards) << c.what;
    EXPECT_EQ(cards[0], padded("SIMPLE  =                    T"));
    EXPECT_EQ(cards[1], padded("BITPIX  =                   16"));
    EXPECT_EQ(cards[2], padded("NAXIS   =                    2"));
    EXPECT_EQ(cards[3],
              padded("NAXIS1  = " + std::string(20 - std::to_string(c.width).size(), ' ') +
                     std::to_string(c.width)));
    EXPECT_EQ(cards[4],
              padded("NAXIS2  = " + std::string(20 - std::to_string(c.height).size(), ' ') +
                     std::to_string(c.height)));
    // The projection cards appear unchanged, without their line feeds.
    const auto header = lines_of(c.wcs.to_fits_header());
    for (size_t i = 0; i < header.size(); ++i) EXPECT_EQ(cards[5 + i], header[i]) << c.what << i;
    const size_t derived = 5 + header.size();
    const DerivedAxes axes = derived_axes(c.wcs);
    EXPECT_EQ(cards[derived + 0], keyed("CDELT1", fmt_exp(axes.cdelt1, 12))) << c.what;
    EXPECT_EQ(cards[derived + 1], keyed("CDELT2", fmt_exp(axes.cdelt2, 12))) << c.what;
    EXPECT_EQ(cards[derived + 2], keyed("CROTA1", fmt_exp(axes.crota, 12))) << c.what;
    EXPECT_EQ(cards[derived + 3], keyed("CROTA2", fmt_exp(axes.crota, 12))) << c.what;
    EXPECT_EQ(cards[c.cards - 1], padded("END")) << c.what;
    for (size_t i = c.cards; i < cards.size(); ++i) EXPECT_EQ(cards[i], padded("")) << c.what;
    // Every card before END has a keyword, "= " and a value field.
    for (size_t i = 0; i + 1 < c.cards; ++i) {
      EXPECT_EQ(cards[i].substr(8, 2), "= ") << c.what << i;
      EXPECT_NE(cards[i][0], ' ') << c.what << i;
    }
  }
}

// Parses `text` with wcslib; empty when it finds no single WCS.
struct WcslibHeader {
  int nwcs = 0;
  wcsprm* wcs = nullptr;
  ~WcslibHeader() {
    if (wcs) wcsvfree(&nwcs, &wcs);
  }
};

struct Agreement {
  double sky_deg = 0;  // worst |RA, Dec| difference of pixel_to_sky
  double pixel = 0;    // worst difference of sky_to_pixel
};

Agreement compare_with_wcslib(const Wcs& w, uint32_t width, uint32_t height) {
  std::string text = wcs_file(w, width, height);
  // The blank padding after END is not part of the keyword records.
  const size_t end = text.find(padded("END"));
  EXPECT_EQ(end % 80, 0u);
  WcslibHeader h;
  int nreject = 0;
  const int status =
      wcspih(text.data(), static_cast<int>(end / 80), WCSHDR_all, 0, &nreject, &h.nwcs, &h.wcs);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(nreject, 0);
  EXPECT_EQ(h.nwcs, 1);
  if (status != 0 || h.nwcs < 1) return {1e9, 1e9};
  EXPECT_EQ(wcsset(h.wcs), 0);

  Agreement worst;
  for (uint32_t j = 0; j <= 12; ++j) {
    for (uint32_t i = 0; i <= 16; ++i) {
      const double x = (width - 1) * i / 16.0, y = (height - 1) * j / 12.0;
      double pixcrd[2] = {x + 1, y + 1};  // FITS pixels count from one
      double imgcrd[2], phi, theta, world[2];
      int stat = 0;
      EXPECT_EQ(wcsp2s(h.wcs, 1, 2, pixcrd, imgcrd, &phi, &theta, world, &stat), 0);
      const Vec2 sky = w.pixel_to_sky(x, y);
      double dra = std::remainder(sky[0] * kRadToDeg - world[0], 360.0);
      const double ddec = sky[1] * kRadToDeg - world[1];
      worst.sky_deg = std::max({worst.sky_deg, std::abs(dra), std::abs(ddec)});

      double back[2];
      EXPECT_EQ(wcss2p(h.wcs, 1, 2, world, &phi, &theta, imgcrd, back, &stat), 0);
      const auto px = w.sky_to_pixel(world[0] / kRadToDeg, world[1] / kRadToDeg);
      EXPECT_TRUE(px);
      if (px) {
        worst.pixel = std::max(
            {worst.pixel, std::abs((*px)[0] + 1 - back[0]), std::abs((*px)[1] + 1 - back[1])});
      }
    }
  }
  return worst;
}

TEST(WcsFile, WcslibReadsTheSameSkyPositions) {
  Wcs across_zero = sip_wcs();
  across_zero.crval = {0.05 * kDeg, -20 * kDeg};
  Wcs wide = linear_wcs(true);
  wide.cd = {-4e-4, 1e-5, 2e-5, 4e-4};  // ~80 degree field
  const struct {
    const char* what;
    Wcs wcs;
  } cases[] = {
      {"linear", linear_wcs()},       {"mirrored", linear_wcs(true)},
      {"third-order sip", sip_wcs()}, {"sip across RA zero", across_zero},
      {"wide mirrored field", wide},
  };
  for (const auto& c : cases) {
    const Agreement a = compare_with_wcslib(c.wcs, 3000, 2000);
    std::cout << "wcslib agreement, " << c.what << ": sky " << a.sky_deg << " deg, pixel "
              << a.pixel << " px\n";
    EXPECT_LT(a.sky_deg, 1e-9) << c.what;
    EXPECT_LT(a.pixel, 1e-6) << c.what;
  }
}

}  // namespace
}  // namespace kestrune::cli
