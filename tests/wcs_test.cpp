#include "core/wcs.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

// Counts heap allocations so the hot paths can be shown to make none. The
// replacements allocate with malloc, so free is their match; g++ 12 cannot
// see that once they are inlined and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kestrune {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;
constexpr double kArcsec = kDeg / 3600.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A 2000 x 1500 frame at 2"/px, slightly rotated, about (150 deg, +30 deg).
Wcs linear_wcs(bool mirrored = false) {
  const double s = 2 * kArcsec, a = 20 * kDeg;
  const double m = mirrored ? -1 : 1;
  Wcs w;
  w.crval = {150 * kDeg, 30 * kDeg};
  w.crpix = {999.5, 749.5};
  w.cd = {m * s * std::cos(a), -s * std::sin(a), m * s * std::sin(a), s * std::cos(a)};
  return w;
}

// Third-order distortion of a few pixels at the corners.
Sip moderate_sip() {
  Sip sip;
  sip.order = 3;
  sip.a = {2.0e-6, -1.5e-6, 1.0e-6, 1.0e-9, -5.0e-10, 3.0e-10, -8.0e-10};
  sip.b = {-1.0e-6, 2.5e-6, -2.0e-6, -6.0e-10, 9.0e-10, -4.0e-10, 1.0e-9};
  return sip;
}

Wcs sip_wcs() {
  Wcs w = linear_wcs();
  w.sip = moderate_sip();
  return w;
}

// Angular separation in radians.
double separation(Vec2 a, Vec2 b) {
  return angle_between(unit_vector(a[0], a[1]), unit_vector(b[0], b[1]));
}

TEST(SipTerms, ListsExponentsDegreeByDegreeUpToNine) {
  const std::vector<std::pair<unsigned, unsigned>> order3 = {{2, 0}, {1, 1}, {0, 2}, {3, 0},
                                                             {2, 1}, {1, 2}, {0, 3}};
  const auto t3 = Sip::terms(3);
  ASSERT_EQ(t3.size(), order3.size());
  for (size_t i = 0; i < t3.size(); ++i) {
    EXPECT_EQ(t3[i].p, order3[i].first) << i;
    EXPECT_EQ(t3[i].q, order3[i].second) << i;
  }

  const struct {
    unsigned order;
    size_t count;
  } sizes[] = {{0, 0}, {1, 0}, {2, 3}, {3, 7}, {5, 18}, {9, 52}, {12, 52}, {255, 52}};
  for (const auto& c : sizes) EXPECT_EQ(Sip::terms(c.order).size(), c.count) << c.order;

  // Every degree appears once per split, p falling, nothing above nine.
  const auto all = Sip::terms(9);
  size_t i = 0;
  for (unsigned n = 2; n <= 9; ++n) {
    for (unsigned p = n + 1; p-- > 0; ++i) {
      EXPECT_EQ(all[i].p, p);
      EXPECT_EQ(all[i].q, n - p);
    }
  }
}

// Direct evaluation of sum c_i u^p v^q over the first n terms.
double poly(const std::vector<double>& c, unsigned order, double u, double v) {
  const auto terms = Sip::terms(order);
  double s = 0;
  for (size_t i = 0; i < std::min(terms.size(), c.size()); ++i) {
    s += c[i] * std::pow(u, terms[i].p) * std::pow(v, terms[i].q);
  }
  return s;
}

TEST(SipEval, MatchesThePolynomialAndItsDerivatives) {
  const Sip sip = moderate_sip();
  const Vec2 points[] = {{0, 0}, {1, 1}, {-700, 350}, {1000, -750}, {0.25, -3}};
  for (const Vec2& p : points) {
    const SipEval e = sip.eval(p[0], p[1], true);
    EXPECT_NEAR(e.du, poly(sip.a, 3, p[0], p[1]), 1e-12);
    EXPECT_NEAR(e.dv, poly(sip.b, 3, p[0], p[1]), 1e-12);
    // Central differences; the cubic part makes the step error h^2 * 1e-9.
    const double h = 1e-3;
    const SipEval xp = sip.eval(p[0] + h, p[1], false), xm = sip.eval(p[0] - h, p[1], false);
    const SipEval yp = sip.eval(p[0], p[1] + h, false), ym = sip.eval(p[0], p[1] - h, false);
    EXPECT_NEAR(e.ddu_du, (xp.du - xm.du) / (2 * h), 1e-8);
    EXPECT_NEAR(e.ddv_du, (xp.dv - xm.dv) / (2 * h), 1e-8);
    EXPECT_NEAR(e.ddu_dv, (yp.du - ym.du) / (2 * h), 1e-8);
    EXPECT_NEAR(e.ddv_dv, (yp.dv - ym.dv) / (2 * h), 1e-8);

    const SipEval plain = sip.eval(p[0], p[1], false);
    EXPECT_EQ(plain.du, e.du);
    EXPECT_EQ(plain.ddu_du, 0);
    EXPECT_EQ(plain.ddv_dv, 0);
  }
}

TEST(SipEval, ShortArraysAndHighOrdersUseOnlyWhatExists) {
  const double u = 1.7, v = -2.3;
  // The shorter array limits both polynomials: the missing terms count as zero.
  Sip short_b;
  short_b.order = 3;
  short_b.a = {1, 2, 3, 4, 5, 6, 7};
  short_b.b = {1, 1};
  const SipEval e = short_b.eval(u, v, false);
  EXPECT_DOUBLE_EQ(e.du, 1 * u * u + 2 * u * v);
  EXPECT_DOUBLE_EQ(e.dv, u * u + u * v);

  // Order 12 evaluates exactly the degree-9 terms; extra coefficients are ignored.
  Sip high;
  high.order = 12;
  high.a.assign(70, 0.5);
  high.b.assign(70, -0.25);
  Sip nine = high;
  nine.order = 9;
  nine.a.resize(52);
  nine.b.resize(52);
  const SipEval h = high.eval(0.9, 1.1, true), n = nine.eval(0.9, 1.1, true);
  EXPECT_EQ(h.du, n.du);
  EXPECT_EQ(h.dv, n.dv);
  EXPECT_EQ(h.ddu_dv, n.ddu_dv);
  EXPECT_NE(h.du, 0);

  for (uint8_t order : {0, 1}) {
    Sip none;
    none.order = order;
    none.a = {5, 5, 5};
    none.b = {5, 5, 5};
    const SipEval z = none.eval(3, 4, true);
    EXPECT_EQ(z.du, 0);
    EXPECT_EQ(z.dv, 0);
    EXPECT_EQ(z.ddu_du, 0);
  }
}

TEST(PixelToSky, ReferencePixelGivesTheTangentPointWithRaReduced) {
  const struct {
    double ra, dec, expect_ra;
  } cases[] = {
      {-0.1, 0.3, 2 * kPi - 0.1},
      {1.0, -0.5, 1.0},
      {2 * kPi + 0.25, 0.1, 0.25},
      {0.0, kPi / 2, 0.0},
  };
  for (const auto& c : cases) {
    for (bool with_sip : {false, true}) {
      Wcs w = linear_wcs();
      w.crval = {c.ra, c.dec};
      if (with_sip) w.sip = moderate_sip();
      const Vec2 sky = w.pixel_to_sky(w.crpix[0], w.crpix[1]);
      EXPECT_NEAR(sky[0], c.expect_ra, 1e-15) << c.ra;
      EXPECT_EQ(sky[1], c.dec);
      EXPECT_GE(sky[0], 0);
      EXPECT_LT(sky[0], 2 * kPi);
    }
  }
  // Non-finite offsets also fall back to the tangent point.
  const Wcs w = linear_wcs();
  const Vec2 nan_sky = w.pixel_to_sky(kNaN, 3);
  EXPECT_EQ(nan_sky[0], w.crval[0]);
  EXPECT_EQ(nan_sky[1], w.crval[1]);
}

TEST(PixelToSky, ScaleAndDirectionFollowCd) {
  // One pixel along x from the reference pixel on the equator moves by |cd| along
  // the direction (c11, c21): east for positive c11.
  Wcs w;
  w.crval = {0.0, 0.0};
  w.crpix = {10, 20};
  w.cd = {1e-5, 0, 0, 1e-5};
  const Vec2 east = w.pixel_to_sky(11, 20);
  EXPECT_NEAR(east[0], std::atan(1e-5), 1e-18);
  EXPECT_NEAR(east[1], 0, 1e-18);
  const Vec2 north = w.pixel_to_sky(10, 21);
  EXPECT_NEAR(north[0], 0, 1e-18);
  EXPECT_NEAR(north[1], std::atan(1e-5), 1e-18);
  // Far from the centre the gnomonic radius is atan(r): 1000 px at 1e-3 rad/px.
  w.cd = {1e-3, 0, 0, 1e-3};
  EXPECT_NEAR(separation(w.pixel_to_sky(10, 1020), w.crval), std::atan(1.0), 1e-14);
}

TEST(SkyToPixel, TangentPointMapsToReferencePixel) {
  const Wcs w = linear_wcs();
  const auto px = w.sky_to_pixel(w.crval[0], w.crval[1]);
  ASSERT_TRUE(px);
  EXPECT_EQ((*px)[0], w.crpix[0]);
  EXPECT_EQ((*px)[1], w.crpix[1]);
}

TEST(SkyToPixel, NoResultWhereTheProjectionFails) {
  const Wcs w = linear_wcs();
  const double ra0 = w.crval[0], dec0 = w.crval[1];
  Wcs singular = w;
  singular.cd = {1e-5, 2e-5, 1e-5, 2e-5};
  Wcs nan_cd = w;
  nan_cd.cd[2] = kNaN;
  // u + 0.01 u^2 never goes below -25: a linear offset of -100 has no preimage,
  // and the Jacobian at the start is negative.
  Wcs folded;
  folded.crpix = {0, 0};
  folded.cd = {1e-5, 0, 0, 1e-5};
  folded.sip = Sip{{0.01, 0, 0}, {0, 0, 0}, 2};

  const struct {
    const char* what;
    const Wcs* wcs;
    double ra, dec;
    bool projects;
  } cases[] = {
      {"90 degrees along RA", &w, ra0 + kPi / 2, 0.0, false},
      {"90 degrees towards the pole", &w, ra0, dec0 + kPi / 2, false},
      {"antipode", &w, ra0 + kPi, -dec0, false},
      {"89.9 degrees", &w, ra0, dec0 - 89.9 * kDeg, true},
      {"NaN position", &w, kNaN, dec0, false},
      {"singular cd", &singular, ra0 + 0.001, dec0, false},
      {"singular cd at the tangent point", &singular, ra0, dec0, false},
      {"NaN in cd", &nan_cd, ra0 + 0.001, dec0, false},
      {"folded distortion", &folded, -1e-3, 0.0, false},
      {"same distortion where it has a preimage", &folded, 1e-4, 0.0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.wcs->sky_to_pixel(c.ra, c.dec).has_value(), c.projects) << c.what;
    const double x = std::cos(c.dec) * std::cos(c.ra), y = std::cos(c.dec) * std::sin(c.ra);
    EXPECT_EQ(DirectionProjector(*c.wcs).to_pixel(x, y, std::sin(c.dec)).has_value(), c.projects)
        << c.what << " (as a direction)";
  }
}

// The search projects catalogue stars from their stored directions; that must
// land where sky_to_pixel puts their (RA, Dec), whatever the directions' length.
TEST(DirectionProjector, AgreesWithSkyToPixel) {
  Wcs wide = linear_wcs(true);
  wide.cd = {wide.cd[0] * 60, wide.cd[1] * 60, wide.cd[2] * 60, wide.cd[3] * 60};
  Wcs polar = sip_wcs();
  polar.crval = {3 * kDeg, 89.9 * kDeg};
  const Wcs lin = linear_wcs(), sip = sip_wcs();
  for (const Wcs* w : std::initializer_list<const Wcs*>{&lin, &sip, &wide, &polar}) {
    const DirectionProjector projector(*w);
    for (int i = 0; i < 400; ++i) {
      const Vec2 sky = w->pixel_to_sky(-500 + (i % 20) * 160.0, -400 + (i / 20) * 120.0);
      const double len = 0.5 + (i % 7) * 0.75;
      const double x = len * std::cos(sky[1]) * std::cos(sky[0]);
      const double y = len * std::cos(sky[1]) * std::sin(sky[0]);
      const auto want = w->sky_to_pixel(sky[0], sky[1]);
      const auto got = projector.to_pixel(x, y, len * std::sin(sky[1]));
      ASSERT_EQ(got.has_value(), want.has_value()) << i;
      if (!got) continue;
      EXPECT_NEAR((*got)[0], (*want)[0], 1e-7) << i;
      EXPECT_NEAR((*got)[1], (*want)[1], 1e-7) << i;
    }
  }
}

TEST(SkyToPixel, ZeroDistortionAgreesWithTheLinearSystem) {
  const Wcs lin = linear_wcs();
  Wcs zero = lin;
  zero.sip = Sip{{0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}, 3};
  for (double x : {0.0, 555.5, 1999.0}) {
    for (double y : {0.0, 1234.25}) {
      const Vec2 a = lin.pixel_to_sky(x, y), b = zero.pixel_to_sky(x, y);
      EXPECT_EQ(a[0], b[0]);
      EXPECT_EQ(a[1], b[1]);
      const auto pa = lin.sky_to_pixel(a[0], a[1]), pb = zero.sky_to_pixel(a[0], a[1]);
      ASSERT_TRUE(pa && pb);
      EXPECT_EQ((*pa)[0], (*pb)[0]);
      EXPECT_EQ((*pa)[1], (*pb)[1]);
    }
  }
}

TEST(SkyToPixel, RoundTripsThroughModerateDistortion) {
  const struct {
    const char* what;
    Wcs wcs;
  } cases[] = {
      {"linear", linear_wcs()},
      {"mirrored", linear_wcs(true)},
      {"sip", sip_wcs()},
      {"sip near the pole",
       [] {
         Wcs w = sip_wcs();
         w.crval = {0.01, 89.5 * kDeg};
         return w;
       }()},
  };
  for (const auto& c : cases) {
    // The corners move by several pixels under the distortion.
    if (c.wcs.sip) {
      double most = 0;
      for (double u : {-999.5, 999.5}) {
        for (double v : {-749.5, 749.5}) {
          const SipEval e = c.wcs.sip->eval(u, v, false);
          most = std::max(most, std::hypot(e.du, e.dv));
        }
      }
      EXPECT_GT(most, 2.0) << c.what;
    }
    double worst = 0;
    for (double x = 0; x <= 1999; x += 999.0 / 8) {
      for (double y = 0; y <= 1499; y += 1499.0 / 10) {
        const Vec2 sky = c.wcs.pixel_to_sky(x, y);
        const auto px = c.wcs.sky_to_pixel(sky[0], sky[1]);
        ASSERT_TRUE(px) << c.what << " at " << x << "," << y;
        worst = std::max({worst, std::abs((*px)[0] - x), std::abs((*px)[1] - y)});
      }
    }
    EXPECT_LT(worst, 1e-6) << c.what;
  }
}

TEST(Projection, AllocatesNothing) {
  const Wcs w = sip_wcs();
  const long before = g_allocations.load();
  double sink = 0;
  for (int i = 0; i < 100; ++i) {
    const Vec2 sky = w.pixel_to_sky(i * 17.0, i * 11.0);
    sink += w.sky_to_pixel(sky[0], sky[1]).value_or(Vec2{})[0];
    sink += static_cast<double>(Sip::terms(static_cast<unsigned>(i % 12)).size());
  }
  EXPECT_EQ(g_allocations.load(), before);
  EXPECT_GT(sink, 0);
}

// Pixel/sky pairs generated exactly from `truth`.
struct Pairs {
  std::vector<Vec2> pixels, sky;
};

Pairs pairs_from(const Wcs& truth, std::initializer_list<Vec2> pixels) {
  Pairs p;
  for (const Vec2& px : pixels) {
    p.pixels.push_back(px);
    p.sky.push_back(truth.pixel_to_sky(px[0], px[1]));
  }
  return p;
}

Pairs grid_pairs(const Wcs& truth) {
  Pairs p;
  for (double x = 40; x < 2000; x += 310) {
    for (double y = 25; y < 1500; y += 290) {
      p.pixels.push_back({x, y});
      p.sky.push_back(truth.pixel_to_sky(x, y));
    }
  }
  return p;
}

TEST(FitWcs, ThreePairsFitExactly) {
  const Wcs truth = linear_wcs();
  const Pairs p = pairs_from(truth, {{100, 200}, {1800, 300}, {900, 1400}});
  const auto fit = wcs::fit_wcs(p.pixels, p.sky, truth.crpix, truth.crval);
  ASSERT_TRUE(fit);
  EXPECT_LT(fit->second, 1e-6);
  EXPECT_FALSE(fit->first.sip);
  for (size_t i = 0; i < p.pixels.size(); ++i) {
    const auto px = fit->first.sky_to_pixel(p.sky[i][0], p.sky[i][1]);
    ASSERT_TRUE(px);
    EXPECT_NEAR((*px)[0], p.pixels[i][0], 1e-6);
    EXPECT_NEAR((*px)[1], p.pixels[i][1], 1e-6);
  }
}

TEST(FitWcs, DegenerateInputsGiveNoResult) {
  const Wcs truth = linear_wcs();
  const Pairs good = pairs_from(truth, {{100, 200}, {1800, 300}, {900, 1400}});
  const Pairs two = pairs_from(truth, {{100, 200}, {1800, 300}});
  const Pairs collinear = pairs_from(truth, {{100, 100}, {600, 400}, {1100, 700}, {1600, 1000}});
  const Pairs at_centre = pairs_from(truth, {truth.crpix, truth.crpix, truth.crpix});
  std::vector<Vec2> far_sky;  // all 90 degrees or more from the start
  for (double d : {90.0, 120.0, 179.0}) far_sky.push_back({truth.crval[0] + d * kDeg, 0.0});
  const std::vector<Vec2> one_short(good.sky.begin(), good.sky.end() - 1);
  const std::vector<Vec2> empty;

  const struct {
    const char* what;
    std::span<const Vec2> pixels, sky;
  } cases[] = {
      {"two pairs", two.pixels, two.sky},
      {"lengths differ", good.pixels, one_short},
      {"empty", empty, empty},
      {"collinear pixels", collinear.pixels, collinear.sky},
      {"every pixel at the reference pixel", at_centre.pixels, at_centre.sky},
      {"sky behind the tangent plane", good.pixels, far_sky},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(wcs::fit_wcs(c.pixels, c.sky, truth.crpix, truth.crval)) << c.what;
  }
}

TEST(FitWcs, RecoversTangentPointAndMatrixFromAnOffsetStart) {
  Wcs near_zero = linear_wcs();
  near_zero.crval = {0.2 * kDeg, -45 * kDeg};
  Wcs polar = linear_wcs(true);
  polar.crval = {300 * kDeg, 88.5 * kDeg};
  const struct {
    const char* what;
    Wcs truth;
    Vec2 start;
  } cases[] = {
      {"one degree off in Dec", linear_wcs(), {150 * kDeg, 31 * kDeg}},
      {"one degree off in RA", linear_wcs(), {151.155 * kDeg, 30 * kDeg}},
      {"mirrored", linear_wcs(true), {149.4 * kDeg, 29.2 * kDeg}},
      {"across RA zero", near_zero, {-0.9 * kDeg, -45.3 * kDeg}},
      {"near the pole, mirrored", polar, {290 * kDeg, 89.2 * kDeg}},
  };
  for (const auto& c : cases) {
    const Pairs p = grid_pairs(c.truth);
    const auto fit = wcs::fit_wcs(p.pixels, p.sky, c.truth.crpix, c.start);
    ASSERT_TRUE(fit) << c.what;
    const Wcs& w = fit->first;
    EXPECT_LT(separation(w.crval, c.truth.crval), 1e-12) << c.what;
    EXPECT_GE(w.crval[0], 0) << c.what;
    EXPECT_LT(w.crval[0], 2 * kPi) << c.what;
    EXPECT_EQ(w.crpix, c.truth.crpix) << c.what;
    for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(w.cd[i], c.truth.cd[i], 1e-17) << c.what << i;
    const double det = w.cd[0] * w.cd[3] - w.cd[1] * w.cd[2];
    const double true_det = c.truth.cd[0] * c.truth.cd[3] - c.truth.cd[1] * c.truth.cd[2];
    EXPECT_EQ(std::signbit(det), std::signbit(true_det)) << c.what;
    EXPECT_LT(fit->second, 1e-6) << c.what;
  }
}

// Pairs from a distorted truth, so a linear fit leaves a real residual.
Pairs noisy_pairs() {
  Pairs p = grid_pairs(sip_wcs());
  for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i][0] += (i % 3 == 0) ? 0.7 : -0.3;
  return p;
}

TEST(FitWcs, RmsMatchesRmsPx) {
  const Pairs p = noisy_pairs();
  const Wcs truth = linear_wcs();
  const auto fit = wcs::fit_wcs(p.pixels, p.sky, truth.crpix, truth.crval);
  ASSERT_TRUE(fit);
  EXPECT_GT(fit->second, 0.1);
  const auto rms = wcs::rms_px(fit->first, p.pixels, p.sky);
  ASSERT_TRUE(rms);
  EXPECT_DOUBLE_EQ(*rms, fit->second);

  // A pair outside the fit's hemisphere is skipped by the fit's own rms...
  Pairs with_far = p;
  with_far.pixels.push_back({0, 0});
  with_far.sky.push_back({truth.crval[0] + kPi, -truth.crval[1]});
  const auto fit_far = wcs::fit_wcs(with_far.pixels, with_far.sky, truth.crpix, truth.crval);
  ASSERT_TRUE(fit_far);
  EXPECT_DOUBLE_EQ(fit_far->second, fit->second);
  // ...while rms_px has no answer at all.
  EXPECT_FALSE(wcs::rms_px(fit_far->first, with_far.pixels, with_far.sky));
}

TEST(RmsPx, MeasuresThePairsItIsGiven) {
  const Wcs w = sip_wcs();
  Pairs p = grid_pairs(w);
  EXPECT_LT(*wcs::rms_px(w, p.pixels, p.sky), 1e-6);
  // Shift every pixel by (3, 4): the residual is 5 px.
  for (Vec2& px : p.pixels) px = {px[0] + 3, px[1] + 4};
  EXPECT_NEAR(*wcs::rms_px(w, p.pixels, p.sky), 5.0, 1e-6);
  // Only the common prefix counts.
  std::vector<Vec2> longer = p.pixels;
  longer.push_back({1e9, 1e9});
  EXPECT_NEAR(*wcs::rms_px(w, longer, p.sky), 5.0, 1e-6);
  EXPECT_FALSE(wcs::rms_px(w, std::span<const Vec2>{}, std::span<const Vec2>{}));
}

TEST(FitWcs, AllocatesNothing) {
  const Pairs p = noisy_pairs();
  const Wcs truth = linear_wcs();
  const Wcs distorted = sip_wcs();
  const long before = g_allocations.load();
  const auto fit = wcs::fit_wcs(p.pixels, p.sky, truth.crpix, {151 * kDeg, 29 * kDeg});
  const auto rms = fit ? wcs::rms_px(fit->first, p.pixels, p.sky) : std::nullopt;
  const auto rms_sip = wcs::rms_px(distorted, p.pixels, p.sky);
  EXPECT_EQ(g_allocations.load(), before);
  EXPECT_TRUE(fit && rms && rms_sip);
}

TEST(Solve3, SolvesWithPivotingAndRefusesSingularSystems) {
  const struct {
    const char* what;
    std::array<double, 9> m;
    std::array<double, 3> b;
    std::optional<std::array<double, 3>> x;
  } cases[] = {
      {"diagonal", {2, 0, 0, 0, 4, 0, 0, 0, 8}, {2, 4, 8}, std::array<double, 3>{1, 1, 1}},
      {"needs a row swap", {0, 1, 2, 1, 0, 3, 4, -3, 8}, {3, 4, 9}, std::array<double, 3>{1, 1, 1}},
      {"zero second pivot",
       {1, 2, 3, 2, 4, 7, 1, 1, 1},
       {6, 13, 3},
       std::array<double, 3>{1, 1, 1}},
      {"rank two", {1, 2, 3, 2, 4, 6, 1, 0, 1}, {1, 2, 3}, std::nullopt},
      {"all zero", {}, {1, 1, 1}, std::nullopt},
      {"tiny pivot", {1e-13, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}, std::nullopt},
      {"NaN entry", {kNaN, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}, std::nullopt},
      {"overflowing solution", {1e-11, 0, 0, 0, 1, 0, 0, 0, 1}, {1e300, 1, 1}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto m = c.m;
    auto b = c.b;
    const auto x = wcs::solve3(m, b);
    ASSERT_EQ(x.has_value(), c.x.has_value()) << c.what;
    if (!x) continue;
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR((*x)[i], (*c.x)[i], 1e-12) << c.what << i;
  }
}

TEST(SolveDense, SolvesSmallSystems) {
  const struct {
    const char* what;
    size_t n;
    std::vector<double> a, b;
    bool ok;
    std::vector<double> x;
  } cases[] = {
      {"n=1 tiny pivot", 1, {1e-13}, {4}, false, {}},
      {"n=1", 1, {2}, {4}, true, {2}},
      {"n=1 negative pivot", 1, {-2}, {4}, true, {-2}},
      {"n=0", 0, {}, {}, true, {}},
      {"n=0 with a NaN beyond n", 0, {}, {kNaN}, false, {}},
      {"n=1 with a NaN beyond n", 1, {2}, {4, kNaN}, false, {}},
      {"n=1 overflow", 1, {1e-11}, {1e300}, false, {}},
      {"n=3 with a swap", 3, {0, 1, 2, 1, 0, 3, 4, -3, 8}, {3, 4, 9}, true, {1, 1, 1}},
      {"n=4",
       4,
       {4, 1, 0, 0, 1, 4, 1, 0, 0, 1, 4, 1, 0, 0, 1, 4},
       {5, 6, 6, 5},
       true,
       {1, 1, 1, 1}},
      {"n=2 singular", 2, {1, 2, 2, 4}, {1, 2}, false, {}},
      {"matrix too small", 2, {1, 0, 0}, {1, 1}, false, {}},
      {"right-hand side too small", 2, {1, 0, 0, 1}, {1}, false, {}},
  };
  for (const auto& c : cases) {
    std::vector<double> a = c.a, b = c.b;
    EXPECT_EQ(wcs::solve_dense(a, b, c.n), c.ok) << c.what;
    if (!c.ok) continue;
    for (size_t i = 0; i < c.x.size(); ++i) EXPECT_NEAR(b[i], c.x[i], 1e-12) << c.what << i;
  }
}

}  // namespace
}  // namespace kestrune
