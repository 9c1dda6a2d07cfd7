// Tests of the solver entry: crop geometry, moving a crop's solution into the
// full frame, the retry sequence over a synthetic sky, and whole solves of
// rendered images.
#include "core/solver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "core/solve.hpp"
#include "support/tiny_db.hpp"
#include "tools/render.hpp"
#include "tests/support/truth.hpp"

namespace kestrune {
using kestrune::testing::truth_wcs;
using kestrune::testing::worst_grid_error;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kArcsec = kPi / (180.0 * 3600.0);

class CountingClock final : public Clock {
 public:
  double now_ms() override { return static_cast<double>(reads++) * step; }
  size_t reads = 0;
  double step = 0.01;  // ms per reading: 4845 quads stay within the time limit
};

TEST(CentralCrop, FloorsSizeAndOffset) {
  const struct {
    uint32_t w, h;
    double fraction;
    Crop want;
  } cases[] = {
      {1000, 800, 0.7, {150, 120, 700, 560}}, {1000, 800, 0.5, {250, 200, 500, 400}},
      {1001, 801, 0.7, {150, 120, 700, 560}},  // floor(700.7), floor(150.5)
      {1001, 801, 0.5, {250, 200, 500, 400}}, {17, 16, 0.5, {4, 4, 8, 8}},
  };
  for (const auto& c : cases) {
    const Crop got = central_crop(c.w, c.h, c.fraction);
    EXPECT_EQ(got.x0, c.want.x0) << c.w << "x" << c.h << " " << c.fraction;
    EXPECT_EQ(got.y0, c.want.y0);
    EXPECT_EQ(got.width, c.want.width);
    EXPECT_EQ(got.height, c.want.height);
  }
}

TEST(StarsInCrop, HalfOpenBoundsKeepOrderAndFlux) {
  const Crop crop = central_crop(1000, 800, 0.7);  // x in [150, 850), y in [120, 680)
  const std::vector<ImageStar> stars = {
      {150, 300, 9},                         // on the left edge: in
      {850, 300, 8},                         // on the right edge: out
      {849.999, 679.999, 7}, {400, 120, 6},  // top edge: in
      {400, 680, 5},                         // bottom edge: out
      {149.999, 400, 4},     {500, 400, 3},
  };
  std::vector<ImageStar> out = {{1, 1, 1}};  // replaced, not appended to
  stars_in_crop(stars, crop, out);
  ASSERT_EQ(out.size(), 4u);
  const double want[][3] = {{0, 180, 9}, {699.999, 559.999, 7}, {250, 0, 6}, {350, 280, 3}};
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_NEAR(out[i].x, want[i][0], 1e-9) << i;
    EXPECT_NEAR(out[i].y, want[i][1], 1e-9) << i;
    EXPECT_EQ(out[i].flux, want[i][2]) << i;
  }
}

TEST(MoveToFullFrame, ShiftsCrpixAndRecomputesCentreAndField) {
  // A solution of the 0.7 crop of 1000 x 800 whose tangent point sits 10 pixels
  // left of the crop centre; the full frame's centre is then 10 pixels right
  // of the moved tangent point.
  Solution sol;
  sol.wcs = truth_wcs(45, 20, 10, 0, false, 700, 560);
  sol.wcs.crpix[0] -= 10;
  sol.wcs.sip = Sip{{1e-6, 0, 0}, {0, 1e-6, 0}, 2};
  sol.scale_arcsec = 10;
  sol.rotation_deg = 12;
  const Crop crop = central_crop(1000, 800, 0.7);
  Wcs moved = sol.wcs;
  moved.crpix = {sol.wcs.crpix[0] + 150, sol.wcs.crpix[1] + 120};
  move_to_full_frame(sol, crop, 1000, 800);
  EXPECT_EQ(sol.wcs.crpix, (Vec2{339.5 + 150, 279.5 + 120}));
  const Vec2 centre = moved.pixel_to_sky(499.5, 399.5);
  EXPECT_DOUBLE_EQ(sol.ra_deg, centre[0] * kRadToDeg);
  EXPECT_DOUBLE_EQ(sol.dec_deg, centre[1] * kRadToDeg);
  EXPECT_NE(sol.ra_deg, 45);  // not the tangent point
  EXPECT_DOUBLE_EQ(sol.fov_w_deg, 1000 * 10 / 3600.0);
  EXPECT_DOUBLE_EQ(sol.fov_h_deg, 800 * 10 / 3600.0);
  EXPECT_EQ(sol.scale_arcsec, 10);  // left as computed
  EXPECT_EQ(sol.rotation_deg, 12);
  ASSERT_TRUE(sol.wcs.sip.has_value());
  EXPECT_EQ(sol.wcs.sip->a, (std::vector<double>{1e-6, 0, 0}));
}

TEST(MoveToFullFrame, RightAscensionStaysInRange) {
  const struct {
    double crval_ra;
    double want_deg;
  } cases[] = {
      {-0.0001 / kRadToDeg, 359.9999},
      {-1e-17, 0},  // reduces to 2 pi, which reads 360 degrees
      {0, 0},
      {kPi, 180},
  };
  for (const auto& c : cases) {
    Solution sol;
    sol.wcs = truth_wcs(0, 10, 10, 0, false, 500, 400);
    sol.wcs.crval[0] = c.crval_ra;
    // The 0.5 crop of 1000 x 800 with its tangent point on the full frame's centre.
    sol.wcs.crpix = {249.5, 199.5};
    move_to_full_frame(sol, central_crop(1000, 800, 0.5), 1000, 800);
    EXPECT_NEAR(sol.ra_deg, c.want_deg, 1e-9) << c.crval_ra;
    EXPECT_GE(sol.ra_deg, 0);
    EXPECT_LT(sol.ra_deg, 360);
  }
}

// ---------------------------------------------------------------------------
// Retries over a synthetic sky

bool inside(const Crop& c, double x, double y, double margin) {
  return x >= c.x0 + margin && x < c.x0 + c.width - margin && y >= c.y0 + margin &&
         y < c.y0 + c.height - margin;
}

// Real stars of a 1000 x 800 frame projected from a catalogue cap, with bright
// false stars placed so that the full frame (and optionally the 0.7 crop)
// forms its quads from false stars only.
struct CropScene {
  Wcs truth;
  testing::TinyDb db;
  std::vector<ImageStar> real;
};

CropScene crop_scene(uint64_t seed) {
  const Wcs truth = truth_wcs(150, -25, 10, 40, true, 1000, 800);
  const auto stars =
      testing::random_stars_in_cap(1500, truth.crval[0], truth.crval[1], 2.5 * kPi / 180, seed);
  tools::DbSpec desc;
  // The band serves the full frame and both crops: its field diagonal is 0.6 of the frame's.
  const double diag_deg = std::hypot(1000.0, 800.0) * 10 / 3600;
  desc.bands.push_back({0.6 * diag_deg, 5 * kPi / 180, 4, testing::all_ids(stars.size())});
  desc.stars = stars;
  std::vector<ImageStar> real;
  std::vector<uint32_t> central;  // stars inside the 0.5 crop, brightest first
  const Crop inner = central_crop(1000, 800, 0.5);
  for (uint32_t id = 0; id < stars.size(); ++id) {
    const Vec2 radec = star_radec(stars[id]);
    const auto p = truth.sky_to_pixel(radec[0], radec[1]);
    if (!p || (*p)[0] < 0 || (*p)[0] >= 1000 || (*p)[1] < 0 || (*p)[1] >= 800) continue;
    real.push_back({(*p)[0], (*p)[1], 1e6 / (1.0 + id)});
    if (inside(inner, (*p)[0], (*p)[1], 5)) central.push_back(id);
  }
  EXPECT_GE(central.size(), 30u);
  const uint32_t b = 12;
  for (uint32_t i = 0; i < b; ++i)
    for (uint32_t j = i + 1; j < b; ++j)
      for (uint32_t k = j + 1; k < b; ++k)
        for (uint32_t l = k + 1; l < b; ++l)
          desc.patterns.push_back({{central[i], central[j], central[k], central[l]}, 0});
  return {truth, testing::must_make_db(desc), std::move(real)};
}

// `n` false stars brighter than every real one, at least 5 pixels outside
// `keep_out` and, when given, at least 5 pixels inside `within`.
void add_false_stars(std::vector<ImageStar>& stars, size_t n, const Crop& keep_out,
                     const Crop* within, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> ux(0, 999), uy(0, 799);
  while (n > 0) {
    const double x = ux(rng), y = uy(rng);
    if (inside(keep_out, x, y, -5) || (within && !inside(*within, x, y, 5))) continue;
    stars.insert(stars.begin(), {x, y, 1e7 + static_cast<double>(n)});
    --n;
  }
}

TEST(SolveWithCrops, CropSolutionsAreMovedIntoTheFullFrame) {
  CropScene scene = crop_scene(5);
  const Crop c7 = central_crop(1000, 800, 0.7), c5 = central_crop(1000, 800, 0.5);
  const struct {
    const char* name;
    bool solved_by_half;  // false stars also fill the ring between the crops
  } cases[] = {{"0.7 crop", false}, {"0.5 crop", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ImageStar> stars = scene.real;
    add_false_stars(stars, 25, c7, nullptr, 1);
    if (c.solved_by_half) add_false_stars(stars, 25, c5, &c7, 2);

    // The full frame alone fails after every quad; so does the 0.7 crop when
    // false stars fill its ring.
    CountingClock full_clock;
    const SolveResult full =
        solve_stars_frame(scene.db.db, stars, 1000, 800, SolveParams{}, full_clock);
    ASSERT_TRUE(std::holds_alternative<NotSolved>(full));
    EXPECT_EQ(stats_of(full).quads_tried, 4845u);

    CountingClock clock;
    const SolveResult r = solve_with_crops(scene.db.db, stars, 1000, 800, SolveParams{}, clock);
    const auto* sol = std::get_if<Solution>(&r);
    ASSERT_NE(sol, nullptr) << to_string(std::get<NotSolved>(r).reason);
    const Crop& used = c.solved_by_half ? c5 : c7;
    EXPECT_EQ(sol->wcs.crpix,
              (Vec2{(used.width - 1) / 2 + used.x0, (used.height - 1) / 2 + used.y0}));
    EXPECT_LT(worst_grid_error(scene.truth, sol->wcs, 1000, 800), 0.05);
    const Vec2 centre = scene.truth.pixel_to_sky(499.5, 399.5);
    EXPECT_NEAR(sol->ra_deg, centre[0] * kRadToDeg, 1e-5);
    EXPECT_NEAR(sol->dec_deg, centre[1] * kRadToDeg, 1e-5);
    EXPECT_NEAR(sol->fov_w_deg, 1000 * 10 / 3600.0, 1e-5);
    EXPECT_NEAR(sol->fov_h_deg, 800 * 10 / 3600.0, 1e-5);
    EXPECT_EQ(sol->parity, 1);
    // The quads of the failed attempts are added to the crop's own.
    const uint32_t failed = c.solved_by_half ? 2 * 4845 : 4845;
    EXPECT_GT(sol->stats.quads_tried, failed);
    EXPECT_LE(sol->stats.quads_tried, failed + 4845);
    // A solved search reads the clock at its start, after each quad it passes
    // over and at its end; the full frame's own time (4845 quads) is added.
    const double own = sol->stats.quads_tried - failed;
    EXPECT_NEAR(sol->stats.solve_ms, (own + 4846) * clock.step, 1e-9);
  }
}

TEST(SolveWithCrops, FailuresReturnTheFullFrameRecord) {
  CropScene scene = crop_scene(5);
  // Random stars everywhere: every attempt fails, the full frame's record is returned.
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> ux(0, 999), uy(0, 799);
  std::vector<ImageStar> random;
  for (int i = 0; i < 60; ++i) random.push_back({ux(rng), uy(rng), 100.0 - i});
  // Stars only near the corners: no crop holds 6 of them, no retry happens.
  std::vector<ImageStar> corners;
  for (int i = 0; i < 30; ++i) {
    corners.push_back({(i % 2) * 960.0 + i, (i / 2 % 2) * 760.0 + i % 7, 100.0 - i});
  }
  const struct {
    const char* name;
    std::vector<ImageStar> stars;
    NotSolvedReason reason;
    uint32_t quads_tried;
    size_t searches;  // clock reads are two per search plus one per quad
  } cases[] = {
      {"all attempts fail", random, NotSolvedReason::Exhausted, 4845, 3},
      {"crops too sparse", corners, NotSolvedReason::Exhausted, 4845, 1},
      {"too few stars", std::vector<ImageStar>(corners.begin(), corners.begin() + 5),
       NotSolvedReason::TooFewStars, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CountingClock clock;
    const SolveResult r = solve_with_crops(scene.db.db, c.stars, 1000, 800, SolveParams{}, clock);
    const auto* ns = std::get_if<NotSolved>(&r);
    ASSERT_NE(ns, nullptr);
    EXPECT_EQ(ns->reason, c.reason);
    EXPECT_EQ(ns->stats.quads_tried, c.quads_tried);
    EXPECT_EQ(ns->stats.stars_used, c.stars.size());
    // The first search's own time: its last reading minus its first.
    EXPECT_DOUBLE_EQ(ns->stats.solve_ms, (c.quads_tried + 1.0) * clock.step);
    if (c.searches == 1) {
      EXPECT_EQ(clock.reads, c.quads_tried + 2);
    } else {
      EXPECT_GT(clock.reads, c.quads_tried + 2 + 4);
    }
  }
}

// ---------------------------------------------------------------------------
// Whole images

std::vector<uint16_t> to_plane(const tools::RenderedImage& image) {
  std::vector<uint16_t> plane(size_t(image.width) * image.height);
  for (size_t i = 0; i < plane.size(); ++i) {
    plane[i] = static_cast<uint16_t>(std::clamp(std::lround(image.pixels[i]), 0L, 65535L));
  }
  return plane;
}

TEST(SolveImageWithStars, SolvesRenderedFields) {
  const struct {
    const char* name;
    double ra, dec, scale, rotation;
    bool flipped;
    uint32_t width, height;
  } cases[] = {
      {"upright", 266.4, -29, 12, 0, false, 900, 700},
      {"rotated and flipped", 10.7, 41.3, 8, 215, true, 1024, 768},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tools::RenderSpec desc;
    desc.ra_deg = c.ra;
    desc.dec_deg = c.dec;
    desc.scale_arcsec = c.scale;
    desc.rotation_deg = c.rotation;
    desc.flipped = c.flipped;
    desc.width = c.width;
    desc.height = c.height;
    desc.seed = 7;
    desc.hot_pixels = 20;
    // Catalogue: stars over a cap around the field, magnitude rising with the id.
    const double diag_rad = std::hypot(c.width, c.height) * c.scale * kArcsec;
    const auto records =
        testing::random_stars_in_cap(800, c.ra * kPi / 180, c.dec * kPi / 180, diag_rad, 11);
    std::vector<tools::CatalogStar> catalogue;
    for (size_t i = 0; i < records.size(); ++i) {
      const Vec2 radec = star_radec(records[i]);
      catalogue.push_back({radec[0] * kRadToDeg, radec[1] * kRadToDeg,
                           static_cast<float>(7 + 6.0 * i / records.size())});
    }
    auto image = tools::render_field(desc, catalogue);
    ASSERT_TRUE(image.has_value()) << image.error();

    tools::DbSpec db_spec;
    db_spec.stars = records;
    db_spec.bands.push_back({diag_rad * kRadToDeg, diag_rad, 4, testing::all_ids(records.size())});
    std::vector<uint32_t> bright;  // brightest catalogue stars inside the frame
    for (uint32_t id = 0; id < records.size() && bright.size() < 12; ++id) {
      const Vec2 radec = star_radec(records[id]);
      const auto p = image->wcs.sky_to_pixel(radec[0], radec[1]);
      if (p && (*p)[0] > 10 && (*p)[0] < c.width - 10 && (*p)[1] > 10 && (*p)[1] < c.height - 10) {
        bright.push_back(id);
      }
    }
    ASSERT_EQ(bright.size(), 12u);
    for (uint32_t i = 0; i < 12; ++i)
      for (uint32_t j = i + 1; j < 12; ++j)
        for (uint32_t k = j + 1; k < 12; ++k)
          for (uint32_t l = k + 1; l < 12; ++l)
            db_spec.patterns.push_back({{bright[i], bright[j], bright[k], bright[l]}, 0});
    auto db = testing::make_db(db_spec);
    ASSERT_TRUE(db.has_value()) << db.error();

    const std::vector<uint16_t> plane = to_plane(*image);
    CountingClock clock;
    auto solved = solve_image_with_stars(db->db, plane, c.width, c.height, ExtractParams{},
                                         SolveParams{}, clock);
    ASSERT_TRUE(solved.has_value());
    EXPECT_GE(solved->stars.size(), 40u);
    EXPECT_GT(solved->noise_level, 0);
    const auto* sol = std::get_if<Solution>(&solved->result);
    ASSERT_NE(sol, nullptr) << to_string(std::get<NotSolved>(solved->result).reason);
    EXPECT_LT(worst_grid_error(image->wcs, sol->wcs, c.width, c.height), 0.5);
    EXPECT_GT(sol->stats.extract_ms, 0);
    EXPECT_LE(sol->stats.extract_ms, sol->stats.total_ms);
    EXPECT_DOUBLE_EQ(sol->stats.total_ms, (clock.reads - 1.0) * clock.step);
  }
}

TEST(SolveImageWithStars, BadDimensionsStopBeforeTheSearch) {
  auto db =
      testing::make_db({testing::random_stars(10, 1), {{10, 0.2, 1, testing::all_ids(10)}}, {}});
  ASSERT_TRUE(db.has_value()) << db.error();
  const std::vector<uint16_t> samples(100, 0);
  CountingClock clock;
  auto r = solve_image_with_stars(db->db, samples, 10, 10, ExtractParams{}, SolveParams{}, clock);
  EXPECT_FALSE(r.has_value());
  EXPECT_EQ(clock.reads, 1u);
}

}  // namespace
}  // namespace kestrune
