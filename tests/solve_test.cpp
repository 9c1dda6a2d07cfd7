// Tests of the blind search: verification statistics, field projection and
// matching, the quad order and budget, the distortion fit, and whole searches
// over synthetic skies stored in small databases written by the db writer.
#include "core/solve.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <numbers>
#include <random>
#include <vector>

#include "tools/db_writer.hpp"
#include "tests/support/tiny_db.hpp"
#include "tests/support/truth.hpp"

namespace kestrune {
using kestrune::testing::truth_wcs;
using kestrune::testing::worst_grid_error;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kArcsec = kPi / (180.0 * 3600.0);

using kestrune::testing::must_make_db;
using TestDb = kestrune::testing::TinyDb;

class Rng {
 public:
  explicit Rng(uint64_t seed) : g_(seed) {}
  double uniform() { return static_cast<double>(g_() >> 11) * 0x1.0p-53; }
  double gauss() {
    const double u = uniform() + 1e-300, v = uniform();
    return std::sqrt(-2 * std::log(u)) * std::cos(2 * kPi * v);
  }

 private:
  std::mt19937_64 g_;
};

// ---------------------------------------------------------------------------
// Verification statistic

TEST(LogBinomialTail, VerificationExampleAroundTheThreshold) {
  const double p = 36 * kPi * 16 / 1e6;
  const double threshold = std::log(1e-9);
  EXPECT_NEAR(log_binomial_tail(80, 6, p), -18.48, 0.01);
  EXPECT_GT(log_binomial_tail(80, 6, p), threshold);
  EXPECT_NEAR(log_binomial_tail(80, 7, p), -22.44, 0.01);
  EXPECT_LT(log_binomial_tail(80, 7, p), threshold);
}

TEST(LogBinomialTail, AgreesWithDirectSumAndLimits) {
  // Direct sum of the binomial probabilities for small n.
  auto direct = [](int n, int k, double p) {
    double sum = 0;
    for (int j = k; j <= n; ++j) {
      sum += std::exp(std::lgamma(n + 1.0) - std::lgamma(j + 1.0) - std::lgamma(n - j + 1.0)) *
             std::pow(p, j) * std::pow(1 - p, n - j);
    }
    return std::log(sum);
  };
  const struct {
    int n, k;
    double p;
  } cases[] = {{10, 3, 0.3}, {10, 10, 0.5}, {80, 1, 0.002}, {25, 12, 0.1}, {1, 1, 0.9}};
  for (const auto& c : cases) {
    EXPECT_NEAR(log_binomial_tail(c.n, c.k, c.p), direct(c.n, c.k, c.p), 1e-9)
        << c.n << " " << c.k << " " << c.p;
  }
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    uint64_t n, k;
    double p, want;
  } limits[] = {
      {80, 0, 0.01, 0},  // no further pair: no evidence
      {80, 5, 1.0, 0},   // chance certain
      {80, 5, 2.0, 0},     {80, 5, std::nan(""), 0}, {80, 5, 0.0, -inf},  // chance impossible
      {80, 5, -0.5, -inf}, {4, 5, 0.1, -inf},  // more pairs than trials cannot happen by chance
  };
  for (const auto& c : limits) {
    EXPECT_EQ(log_binomial_tail(c.n, c.k, c.p), c.want) << c.n << " " << c.k << " " << c.p;
  }
}

// ---------------------------------------------------------------------------
// Matching against the projected field (no database reads)

TEST(MatchField, PairsNearestFreeStarWithTieAndBoundaryRules) {
  const Database db;
  SolveParams params;  // r = 4
  const struct {
    const char* name;
    std::vector<ImageStar> stars;
    std::vector<uint32_t> exclude;
    std::vector<Vec2> projected;
    std::vector<Vec2> want_pixels;  // image positions paired, in field order
  } cases[] = {
      {"equal distance: the later star wins",
       {{100, 100, 1}, {108, 100, 1}, {500, 500, 1}},
       {},
       {{104, 100}},
       {{108, 100}}},
      {"exactly r qualifies, beyond r does not",
       {{100, 100, 1}, {300, 300, 1}},
       {},
       {{104, 100}, {300, 304.000001}},
       {{100, 100}}},
      {"nearest wins over brighter",
       {{100, 100, 1}, {101, 100, 1}},
       {},
       {{101.5, 100}},
       {{101, 100}}},
      {"each image star pairs once; the next catalogue star takes the runner-up",
       {{100, 100, 1}, {103, 100, 1}},
       {},
       {{100, 100}, {100.5, 100}},
       {{100, 100}, {103, 100}}},
      {"excluded stars never pair",
       {{100, 100, 1}, {102, 100, 1}},
       {0},
       {{100, 100}},
       {{102, 100}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Ctx ctx(db, params, c.stars, 1000, 1000);
    for (uint32_t i = 0; i < c.projected.size(); ++i) {
      ctx.field.push_back({0, i, c.projected[i][0], c.projected[i][1]});
    }
    const size_t k = ctx.match_field(c.exclude, ctx.n_match);
    ASSERT_EQ(k, c.want_pixels.size());
    ASSERT_EQ(ctx.img_pts.size(), k);
    for (size_t i = 0; i < k; ++i) {
      EXPECT_EQ(ctx.img_pts[i], c.want_pixels[i]) << i;
    }
  }
}

TEST(MatchField, OnlyTheFirstNStarsTakePart) {
  const Database db;
  SolveParams params;
  std::vector<ImageStar> stars(45, ImageStar{900, 900, 1});
  stars[42] = {50, 50, 1};  // beyond the 40 that take part
  Ctx ctx(db, params, stars, 1000, 1000);
  EXPECT_EQ(ctx.n_match, 40u);
  ctx.field.push_back({0, 0, 50, 50});
  EXPECT_EQ(ctx.match_field({}, ctx.n_match), 0u);
  ctx.img_pts.clear();
  EXPECT_EQ(ctx.match_field({}, 45), 1u);
}

// ---------------------------------------------------------------------------
// Projection and verification against a database

// Stars placed at given pixels of `wcs`, each with its magnitude key, in one band.
TestDb db_at_pixels(const Wcs& wcs, const std::vector<Vec2>& pixels,
                    const std::vector<int16_t>& mags, double fov_deg) {
  tools::DbSpec desc;
  tools::BandSpec band{fov_deg, fov_deg * kPi / 180, 5, {}};
  for (size_t i = 0; i < pixels.size(); ++i) {
    const Vec2 sky = wcs.pixel_to_sky(pixels[i][0], pixels[i][1]);
    desc.stars.push_back(tools::star_record(sky[0], sky[1], mags[i]));
    band.star_ids.push_back(static_cast<uint32_t>(i));
  }
  desc.bands.push_back(band);
  return must_make_db(desc);
}

TEST(ProjectField, KeepsFrameStarsSortedByMagThenIdAndTruncates) {
  const Wcs wcs = truth_wcs(120, 40, 20, 30, false, 1000, 800);
  std::vector<Vec2> px = {{100, 100}, {900, 700}, {500, 400}, {-30, 400}, {500, 850}, {10, 790},
                          {990, 20},  {300, 300}, {700, 100}, {200, 600}, {400, -20}, {1003, 300}};
  std::vector<int16_t> mag = {5, 3, 3, 1, 2, 7, 3, 4, 9, 0, -5, -5};
  TestDb t = db_at_pixels(wcs, px, mag, 7);
  SolveParams params;
  Ctx ctx(t.db, params, std::vector<ImageStar>(10, {1, 1, 1}), 1000, 800);
  const uint32_t exclude[] = {9};
  ctx.project_field(wcs, 0, exclude, 5);
  // In frame and not excluded: 0(5) 1(3) 2(3) 5(7) 6(3) 7(4) 8(9); ids 3, 4, 10, 11 lie outside.
  const uint32_t want[] = {1, 2, 6, 7, 0};
  ASSERT_EQ(ctx.field.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ctx.field[i].id, want[i]) << i;
    EXPECT_NEAR(ctx.field[i].x, px[want[i]][0], 0.01);
    EXPECT_NEAR(ctx.field[i].y, px[want[i]][1], 0.01);
  }
  ctx.project_field(wcs, 0, {}, 100);
  EXPECT_EQ(ctx.field.size(), 8u);
  EXPECT_EQ(ctx.field[0].id, 9u);
}

// 100 catalogue stars on a 100-pixel grid of a 1000 x 1000 frame, id = brightness
// rank. The image quad sits on catalogue stars 4..7 while the catalogue quad is
// 0..3; `extra` further image stars sit on catalogue stars 8.., one on star 95
// (beyond the 80 brightest) and the rest between grid nodes, 40 stars in all.
struct VerifyCase {
  int extra;
  bool accepted;
  double log_fa;
};

TEST(Verify, BinomialExampleRejectsSixAndAcceptsSeven) {
  const Wcs wcs = truth_wcs(60, -20, 20, 10, false, 1000, 1000);
  std::vector<Vec2> px;
  std::vector<int16_t> mag;
  for (int j = 0; j < 10; ++j) {
    for (int i = 0; i < 10; ++i) {
      px.push_back({50.0 + 100 * ((i * 7 + j * 3) % 10), 50.0 + 100 * j});
      mag.push_back(static_cast<int16_t>(px.size() - 1));
    }
  }
  TestDb t = db_at_pixels(wcs, px, mag, 8);
  SolveParams params;
  for (const VerifyCase c : {VerifyCase{6, false, -18.48}, VerifyCase{7, true, -22.44}}) {
    SCOPED_TRACE(c.extra);
    std::vector<ImageStar> stars;
    for (int id = 4; id < 8; ++id) stars.push_back({px[id][0] + 0.5, px[id][1], 100.0 - id});
    for (int e = 0; e < c.extra; ++e) stars.push_back({px[8 + e][0], px[8 + e][1] - 1, 50});
    stars.push_back({px[95][0], px[95][1], 40});
    for (int g = 0; stars.size() < 40; ++g) {
      stars.push_back({100.0 + 100 * (g % 9), 100.0 + 100 * (g / 9), 10});
    }
    Ctx ctx(t.db, params, stars, 1000, 1000);
    const auto [accepted, log_fa] = ctx.verify(wcs, 0, {0, 1, 2, 3}, {0, 1, 2, 3});
    EXPECT_EQ(ctx.field.size(), 80u);
    for (const ProjectedStar& p : ctx.field) EXPECT_GE(p.id, 4u);
    EXPECT_EQ(ctx.img_pts.size(), 4u + c.extra);
    EXPECT_EQ(accepted, c.accepted);
    EXPECT_NEAR(log_fa, c.log_fa, 0.01);
  }
}

TEST(Verify, EmptyFieldIsRejectedWithZero) {
  const Wcs wcs = truth_wcs(60, -20, 20, 10, false, 1000, 1000);
  TestDb t = db_at_pixels(wcs, {{500, 500}}, {1}, 8);
  SolveParams params;
  std::vector<ImageStar> stars(10, {500, 500, 1});
  Ctx ctx(t.db, params, stars, 1000, 1000);
  Wcs far = wcs;
  far.crval[1] += 0.5;  // the field now looks at an empty part of the sky
  const auto [accepted, log_fa] = ctx.verify(far, 0, {0, 1, 2, 3}, {0, 0, 0, 0});
  EXPECT_FALSE(accepted);
  EXPECT_EQ(log_fa, 0);
}

// ---------------------------------------------------------------------------
// Quad order, budget, gates and clock

TEST(QuadSequence, BrightestFirstOrder) {
  QuadSequence seq(20);
  std::array<uint32_t, 4> q;
  const std::array<uint32_t, 4> want[] = {{0, 1, 2, 3}, {0, 1, 2, 4}, {0, 1, 3, 4}, {0, 2, 3, 4},
                                          {1, 2, 3, 4}, {0, 1, 2, 5}, {0, 1, 3, 5}, {0, 1, 4, 5},
                                          {0, 2, 3, 5}, {0, 2, 4, 5}, {0, 3, 4, 5}, {1, 2, 3, 5}};
  for (const auto& w : want) {
    ASSERT_TRUE(seq.next(q));
    EXPECT_EQ(q, w);
  }
  // The rest: strictly increasing indices, l never falls, every quad once.
  size_t count = std::size(want);
  std::array<uint32_t, 4> prev = q;
  while (seq.next(q)) {
    ++count;
    EXPECT_TRUE(q[0] < q[1] && q[1] < q[2] && q[2] < q[3] && q[3] < 20);
    // (l, i, j, k) rises strictly from quad to quad.
    EXPECT_LT((std::array{prev[3], prev[0], prev[1], prev[2]}),
              (std::array{q[3], q[0], q[1], q[2]}));
    prev = q;
  }
  EXPECT_EQ(count, 4845u);  // 20 choose 4
  EXPECT_EQ(prev, (std::array<uint32_t, 4>{16, 17, 18, 19}));

  for (uint32_t n : {0u, 3u}) {
    QuadSequence none(n);
    EXPECT_FALSE(none.next(q)) << n;
  }
}

class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::vector<double> readings) : readings_(std::move(readings)) {}
  double now_ms() override {
    const double t = readings_[std::min(reads, readings_.size() - 1)];
    ++reads;
    return t;
  }
  size_t reads = 0;

 private:
  std::vector<double> readings_;
};

// A database with stars but no patterns: every quad is formed and found nowhere.
TestDb patternless_db() {
  tools::DbSpec desc;
  desc.stars.push_back(tools::star_record(1.0, 0.5, 0));
  desc.bands.push_back({10, 0.2, 2, {0}});
  return must_make_db(desc);
}

std::vector<ImageStar> scattered_stars(size_t n, uint64_t seed) {
  Rng rng(seed);
  std::vector<ImageStar> stars;
  for (size_t i = 0; i < n; ++i) {
    stars.push_back({rng.uniform() * 1000, rng.uniform() * 800, 1000.0 - static_cast<double>(i)});
  }
  return stars;
}

TEST(SolveStarsFrame, EarlyOutcomes) {
  TestDb t = patternless_db();
  auto with = [](auto change) {
    SolveParams p;
    change(p);
    return p;
  };
  const double nan = std::nan("");
  std::vector<ImageStar> ten_half_bad = scattered_stars(10, 2);
  ten_half_bad[0].x = nan;
  ten_half_bad[3].y = nan;
  ten_half_bad[5].flux = nan;
  ten_half_bad[7].x = std::numeric_limits<double>::infinity();
  ten_half_bad[9].flux = -std::numeric_limits<double>::infinity();
  const struct {
    const char* name;
    std::vector<ImageStar> stars;
    uint32_t width, height;
    SolveParams params;
    NotSolvedReason reason;
    uint32_t stars_used, quads_tried;
  } cases[] = {
      {"five stars", scattered_stars(5, 1), 1000, 800, {}, NotSolvedReason::TooFewStars, 5, 0},
      {"half not finite", ten_half_bad, 1000, 800, {}, NotSolvedReason::TooFewStars, 5, 0},
      {"width 0", scattered_stars(30, 3), 0, 800, {}, NotSolvedReason::TooFewStars, 30, 0},
      {"height 0", scattered_stars(30, 3), 1000, 0, {}, NotSolvedReason::TooFewStars, 30, 0},
      {"three quad stars", scattered_stars(30, 4), 1000, 800,
       with([](SolveParams& p) { p.max_quad_stars = 3; }), NotSolvedReason::Exhausted, 30, 0},
      {"no quad budget", scattered_stars(30, 4), 1000, 800,
       with([](SolveParams& p) { p.max_quads = 0; }), NotSolvedReason::Exhausted, 30, 0},
      {"budget of 10", scattered_stars(20, 5), 1000, 800,
       with([](SolveParams& p) { p.max_quads = 10; }), NotSolvedReason::Exhausted, 20, 10},
      {"every quad of 20 stars",
       scattered_stars(20, 6),
       1000,
       800,
       {},
       NotSolvedReason::Exhausted,
       20,
       4845},
      {"250 stars cut to 200",
       scattered_stars(250, 7),
       1000,
       800,
       {},
       NotSolvedReason::Exhausted,
       200,
       4845},
      {"quads from 6 stars",
       scattered_stars(6, 8),
       1000,
       800,
       {},
       NotSolvedReason::Exhausted,
       6,
       15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock({0});
    const SolveResult r = solve_stars_frame(t.db, c.stars, c.width, c.height, c.params, clock);
    const auto* ns = std::get_if<NotSolved>(&r);
    ASSERT_NE(ns, nullptr);
    EXPECT_EQ(ns->reason, c.reason);
    EXPECT_EQ(ns->stats.stars_used, c.stars_used);
    EXPECT_EQ(ns->stats.quads_tried, c.quads_tried);
    EXPECT_EQ(ns->stats.extract_ms, 0);
  }
}

TEST(SolveStarsFrame, ClockIsReadOncePerQuadAndEndsTheSearch) {
  TestDb t = patternless_db();
  const SolveParams params;
  {
    FakeClock clock({10, 2500, 2600});  // the first quad's reading is over the limit
    const SolveResult r = solve_stars_frame(t.db, scattered_stars(20, 9), 1000, 800, params, clock);
    const auto& ns = std::get<NotSolved>(r);
    EXPECT_EQ(ns.reason, NotSolvedReason::Timeout);
    EXPECT_EQ(ns.stats.quads_tried, 1u);
    EXPECT_EQ(ns.stats.solve_ms, 2590);
  }
  {
    // Exactly at the limit is not over it; the reading after quad 7 is.
    FakeClock clock({0, 100, 200, 300, 400, 500, 2000, 2000.5});
    const SolveResult r = solve_stars_frame(t.db, scattered_stars(20, 9), 1000, 800, params, clock);
    const auto& ns = std::get<NotSolved>(r);
    EXPECT_EQ(ns.reason, NotSolvedReason::Timeout);
    EXPECT_EQ(ns.stats.quads_tried, 7u);
  }
  {
    FakeClock clock({0});
    SolveParams p;
    p.max_quad_stars = 6;
    solve_stars_frame(t.db, scattered_stars(20, 9), 1000, 800, p, clock);
    EXPECT_EQ(clock.reads, 15u + 2u);  // start, one per quad, end
  }
}

// ---------------------------------------------------------------------------
// Distortion fit

Sip test_sip() {
  Sip sip;
  sip.order = 3;
  //       (2,0)  (1,1)   (0,2)  (3,0)  (2,1)   (1,2)  (0,3)
  sip.a = {8e-6, -3e-6, 2e-6, 4e-9, 0, -2e-9, 1e-9};
  sip.b = {-1e-6, 5e-6, -7e-6, 0, 3e-9, 0, -4e-9};
  return sip;
}

// Pairs spread over a 1000 x 800 frame, sky positions from `truth`.
void pairs_from(const Wcs& truth, size_t n, uint64_t seed, std::vector<Vec2>& px,
                std::vector<Vec2>& sky) {
  Rng rng(seed);
  px.clear();
  sky.clear();
  for (size_t i = 0; i < n; ++i) {
    px.push_back({rng.uniform() * 999, rng.uniform() * 799});
    sky.push_back(truth.pixel_to_sky(px.back()[0], px.back()[1]));
  }
}

TEST(FitSip, RecoversAKnownDistortionExactly) {
  Wcs truth = truth_wcs(210, 55, 15, 33, true, 1000, 800);
  truth.sip = test_sip();
  std::vector<Vec2> px, sky;
  pairs_from(truth, 60, 11, px, sky);
  // Started 0.2 degrees off: the tangent point must move back under the centre.
  const Vec2 start = {truth.crval[0] + 0.003, truth.crval[1] - 0.002};
  const auto fit = fit_sip(px, sky, start, truth.crpix, 3);
  ASSERT_TRUE(fit.has_value());
  const Wcs& w = fit->first;
  EXPECT_LT(fit->second, 1e-6);
  EXPECT_NEAR(w.crval[0], truth.crval[0], 1e-11);
  EXPECT_NEAR(w.crval[1], truth.crval[1], 1e-11);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_NEAR(w.cd[i] / truth.cd[0], truth.cd[i] / truth.cd[0], 1e-8);
  ASSERT_TRUE(w.sip.has_value());
  EXPECT_EQ(w.sip->order, 3);
  ASSERT_EQ(w.sip->a.size(), 7u);
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_NEAR(w.sip->a[i], truth.sip->a[i], 1e-11) << i;
    EXPECT_NEAR(w.sip->b[i], truth.sip->b[i], 1e-11) << i;
  }
  EXPECT_EQ(w.crpix, truth.crpix);
}

TEST(FitSip, RefusesTooFewUsablePairs) {
  Wcs truth = truth_wcs(10, 0, 15, 0, false, 1000, 800);
  std::vector<Vec2> px, sky;
  pairs_from(truth, 12, 3, px, sky);
  EXPECT_FALSE(fit_sip(px, sky, truth.crval, truth.crpix, 3).has_value());  // 13 needed
  pairs_from(truth, 13, 3, px, sky);
  EXPECT_TRUE(fit_sip(px, sky, truth.crval, truth.crpix, 3).has_value());
  // A pair 90 degrees or more from the tangent point does not count.
  sky[5] = {truth.crval[0] + kPi / 2, 0};
  EXPECT_FALSE(fit_sip(px, sky, truth.crval, truth.crpix, 3).has_value());
  for (unsigned order : {0u, 1u, 10u}) {
    pairs_from(truth, 200, 3, px, sky);
    EXPECT_FALSE(fit_sip(px, sky, truth.crval, truth.crpix, order).has_value()) << order;
  }
}

TEST(SipPreferred, TwentyPercentRuleWithParameterCounts) {
  // Order 3, 30 pairs: P = 20, N2 = 60; the SIP fit wins when
  // rms_S * sqrt(60/40) <= 0.8 * rms_L * sqrt(60/54).
  const double edge = 0.8 * std::sqrt(60.0 / 54) / std::sqrt(60.0 / 40);
  const struct {
    unsigned order;
    size_t pairs;
    double rms_sip, rms_linear;
    bool want;
  } cases[] = {
      {3, 30, edge * 0.999, 1, true},
      {3, 30, edge * 1.001, 1, false},
      {3, 10, 0, 1, false},  // P = 20 is not below N2 = 20
      {3, 11, 0, 1, true},
      {12, 200, 0.5, 1, true},  // counted as order 9: P = 110
      {12, 55, 0, 1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sip_preferred(c.order, c.pairs, c.rms_sip, c.rms_linear), c.want)
        << c.order << " " << c.pairs << " " << c.rms_sip;
  }
}

TEST(WithDistortion, NeedsSipMinMatchesPairsAndAnOrderFromTwoToNine) {
  Wcs truth = truth_wcs(300, -35, 12, 75, false, 1000, 800);
  truth.sip = test_sip();
  const struct {
    size_t pairs;
    uint8_t order;
    bool want_sip;
  } cases[] = {{29, 3, false}, {30, 3, true}, {200, 1, false}, {200, 10, false}, {200, 2, true}};
  std::vector<Vec2> px, sky;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.pairs << " pairs, order " << int(c.order));
    pairs_from(truth, c.pairs, 21, px, sky);
    const auto linear = wcs::fit_wcs(px, sky, truth.crpix, truth.crval);
    ASSERT_TRUE(linear.has_value());
    SolveParams params;
    params.sip_order = c.order;
    const auto [w, rms] = with_distortion(params, px, sky, linear->first, linear->second);
    EXPECT_EQ(w.sip.has_value(), c.want_sip);
    if (c.want_sip) {
      EXPECT_LT(rms, 0.5 * linear->second);
      EXPECT_EQ(w.sip->order, c.order);
    } else {
      EXPECT_EQ(rms, linear->second);
      EXPECT_EQ(w.cd, linear->first.cd);
    }
  }
}

// ---------------------------------------------------------------------------
// Whole searches over synthetic skies

struct Scene {
  Wcs truth;
  uint32_t width, height;
  std::optional<TestDb> db;
  std::vector<ImageStar> stars;
  size_t real_in_frame = 0;
};

// Catalogue stars scattered over a cap around the truth's centre; one band
// holding all of them, and patterns for every quad of the 14 brightest stars
// in the frame. The image list projects the catalogue through the truth
// (with SIP when given) plus Gaussian noise, and adds false stars of which
// some are among the brightest.
Scene make_scene(const Wcs& truth, uint32_t width, uint32_t height, uint64_t seed,
                 size_t catalogue_stars, int false_stars, double noise_px) {
  Scene s{truth, width, height, {}, {}, 0};
  Rng rng(seed);
  const double w = width, h = height;
  const double scale = std::sqrt(std::abs(truth.cd[0] * truth.cd[3] - truth.cd[1] * truth.cd[2]));
  const double cap = 1.6 * std::hypot(w, h) * scale / 2;
  const double ra0 = truth.crval[0], de0 = truth.crval[1];
  const std::array<double, 3> c = {std::cos(de0) * std::cos(ra0), std::cos(de0) * std::sin(ra0),
                                   std::sin(de0)};
  const std::array<double, 3> e = {-std::sin(ra0), std::cos(ra0), 0};
  const std::array<double, 3> n = {-std::sin(de0) * std::cos(ra0), -std::sin(de0) * std::sin(ra0),
                                   std::cos(de0)};
  tools::DbSpec desc;
  tools::BandSpec band{std::hypot(w, h) * scale * 180 / kPi, 2 * cap, 4, {}};
  struct InFrame {
    double mag;
    uint32_t id;
    Vec2 px;
  };
  std::vector<InFrame> in_frame;
  const double cos_cap = std::cos(cap);
  for (uint32_t id = 0; id < catalogue_stars; ++id) {
    const double ct = cos_cap + (1 - cos_cap) * rng.uniform(), st = std::sqrt(1 - ct * ct);
    const double phi = 2 * kPi * rng.uniform();
    std::array<double, 3> v;
    for (int i = 0; i < 3; ++i)
      v[i] = ct * c[i] + st * (std::cos(phi) * e[i] + std::sin(phi) * n[i]);
    const double mag = 4 + 8 * rng.uniform();
    const StarRecord rec = tools::star_record(v, static_cast<int16_t>(mag * 1000));
    desc.stars.push_back(rec);
    band.star_ids.push_back(id);
    const Vec2 radec = star_radec(rec);
    if (auto p = truth.sky_to_pixel(radec[0], radec[1])) {
      if ((*p)[0] >= 0 && (*p)[0] < w && (*p)[1] >= 0 && (*p)[1] < h) {
        in_frame.push_back({mag, id, *p});
      }
    }
  }
  std::ranges::sort(in_frame, {}, &InFrame::mag);
  const size_t bright = std::min<size_t>(14, in_frame.size());
  for (uint32_t a = 0; a < bright; ++a)
    for (uint32_t b = a + 1; b < bright; ++b)
      for (uint32_t cc = b + 1; cc < bright; ++cc)
        for (uint32_t d = cc + 1; d < bright; ++d)
          desc.patterns.push_back(
              {{in_frame[a].id, in_frame[b].id, in_frame[cc].id, in_frame[d].id}, 0});
  desc.bands.push_back(band);
  s.db.emplace(must_make_db(desc));

  for (const InFrame& f : in_frame) {
    s.stars.push_back({f.px[0] + noise_px * rng.gauss(), f.px[1] + noise_px * rng.gauss(),
                       std::pow(10, -0.4 * f.mag)});
  }
  s.real_in_frame = in_frame.size();
  for (int i = 0; i < false_stars; ++i) {
    // Every other false star is as bright as the brightest real ones.
    const double mag = i % 2 ? 4 + 8 * rng.uniform() : 4 + rng.uniform();
    s.stars.push_back({rng.uniform() * (w - 1), rng.uniform() * (h - 1), std::pow(10, -0.4 * mag)});
  }
  // Detection order is not the solver's concern: it sorts by flux itself.
  std::ranges::shuffle(s.stars, std::mt19937_64(seed));
  return s;
}

TEST(SolveStarsFrame, SolvesSyntheticSkiesBackToTheTruth) {
  const struct {
    const char* name;
    double ra, dec, scale, rot;
    bool mirror, distorted;
    uint32_t width, height;
  } cases[] = {
      {"plain", 83.8, 30, 10, 0, false, false, 1000, 800},
      {"rotated and mirrored near the pole", 200, -87.5, 12, 123, true, false, 1000, 800},
      {"odd size across RA 0", 359.9, 12, 8, 250, false, false, 1201, 901},
      {"distorted", 140, 45, 9, 30, false, true, 1100, 900},
      {"wide and mirrored", 20, -40, 60, 300, true, false, 1600, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Wcs truth = truth_wcs(c.ra, c.dec, c.scale, c.rot, c.mirror, c.width, c.height);
    if (c.distorted) truth.sip = test_sip();
    Scene s = make_scene(truth, c.width, c.height, 1234, 1200, 12, 0.1);
    ASSERT_GE(s.real_in_frame, 60u);
    FakeClock clock({0});
    const SolveResult r =
        solve_stars_frame(s.db->db, s.stars, c.width, c.height, SolveParams{}, clock);
    const auto* sol = std::get_if<Solution>(&r);
    ASSERT_NE(sol, nullptr) << to_string(std::get<NotSolved>(r).reason);
    EXPECT_LT(worst_grid_error(truth, sol->wcs, c.width, c.height), 0.25);
    const double det = truth.cd[0] * truth.cd[3] - truth.cd[1] * truth.cd[2];
    EXPECT_EQ(sol->parity, det < 0 ? 1 : -1);
    EXPECT_NEAR(sol->scale_arcsec, c.scale, c.scale * 1e-3);
    EXPECT_NEAR(sol->fov_w_deg, c.scale * c.width / 3600, c.scale * c.width / 3600 * 1e-3);
    const Vec2 centre = truth.pixel_to_sky((c.width - 1) / 2.0, (c.height - 1) / 2.0);
    EXPECT_NEAR(std::remainder(sol->ra_deg - centre[0] * kRadToDeg, 360.0) * std::cos(centre[1]), 0,
                c.scale / 3600);
    EXPECT_GE(sol->ra_deg, 0);
    EXPECT_LT(sol->ra_deg, 360);
    EXPECT_NEAR(sol->dec_deg, centre[1] * kRadToDeg, c.scale / 3600);
    EXPECT_EQ(sol->wcs.crpix, (Vec2{(c.width - 1) / 2.0, (c.height - 1) / 2.0}));
    EXPECT_EQ(sol->wcs.sip.has_value(), c.distorted);
    // At most 200 stars are kept, the 12 false ones possibly among them.
    const size_t real_kept = std::min<size_t>(s.real_in_frame, 200 - 12);
    EXPECT_GE(sol->stats.stars_used, real_kept * 9 / 10);
    EXPECT_LE(sol->stats.stars_used, std::min<size_t>(s.real_in_frame, 200));
    EXPECT_LT(sol->rms, 0.3);
    EXPECT_LT(sol->false_alarm, 1e-9);
    EXPECT_GE(sol->stats.quads_tried, 1u);
    EXPECT_EQ(sol->band, 0);
    EXPECT_GE(sol->rotation_deg, 0);
    EXPECT_LT(sol->rotation_deg, 360);
  }
}

TEST(SolveStarsFrame, FalseStarsOnlyAreNotSolved) {
  const Wcs truth = truth_wcs(100, 20, 10, 0, false, 1000, 800);
  Scene s = make_scene(truth, 1000, 800, 77, 1200, 0, 0.1);
  // Same database, but the stars are random positions.
  const std::vector<ImageStar> random = scattered_stars(60, 99);
  FakeClock clock({0});
  const SolveResult r = solve_stars_frame(s.db->db, random, 1000, 800, SolveParams{}, clock);
  const auto* ns = std::get_if<NotSolved>(&r);
  ASSERT_NE(ns, nullptr);
  EXPECT_EQ(ns->reason, NotSolvedReason::Exhausted);
  EXPECT_EQ(ns->stats.quads_tried, 4845u);
}

}  // namespace
}  // namespace kestrune
