// Star extraction on small synthetic planes: a flat sky, ramps, tile grids of
// known levels, and Gaussian stars added to a background.
#include "core/extract.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/records.hpp"

namespace kestrune {
namespace {

struct Plane {
  uint32_t width;
  uint32_t height;
  std::vector<uint16_t> samples;

  uint16_t& at(uint32_t x, uint32_t y) { return samples[size_t{y} * width + x]; }
};

// A flat sky plus a small deterministic, roughly normal noise (sum of four
// hashed uniforms) so that the noise estimate is not pinned at its floor.
Plane make_plane(uint32_t width, uint32_t height, double sky, double noise = 0, uint32_t seed = 1) {
  Plane p{width, height, std::vector<uint16_t>(size_t{width} * height)};
  uint64_t state = 0x9e3779b97f4a7c15ull * (seed + 1);
  auto uniform = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
  };
  for (uint16_t& s : p.samples) {
    const double n = (uniform() + uniform() + uniform() + uniform()) * std::sqrt(3.0) * noise;
    s = static_cast<uint16_t>(std::clamp(std::lround(sky + n), 0l, 65535l));
  }
  return p;
}

// A Gaussian star integrated over each pixel, `flux` in all, clipped at 65535.
void add_star(Plane& p, double cx, double cy, double flux, double sigma = 1.2) {
  const int r = static_cast<int>(std::ceil(5 * sigma));
  auto cdf = [&](double u) { return 0.5 * std::erfc(-u / (sigma * std::sqrt(2.0))); };
  for (int y = static_cast<int>(cy) - r; y <= static_cast<int>(cy) + r + 1; ++y) {
    for (int x = static_cast<int>(cx) - r; x <= static_cast<int>(cx) + r + 1; ++x) {
      if (x < 0 || y < 0 || x >= static_cast<int>(p.width) || y >= static_cast<int>(p.height))
        continue;
      const double w =
          (cdf(x + 0.5 - cx) - cdf(x - 0.5 - cx)) * (cdf(y + 0.5 - cy) - cdf(y - 0.5 - cy));
      const double v = p.at(x, y) + flux * w;
      p.at(x, y) = static_cast<uint16_t>(std::min(std::lround(v), 65535l));
    }
  }
}

// Sets working pixel (x, y) to `value` by giving its four samples a quarter each.
void set_working(Plane& p, uint32_t x, uint32_t y, uint32_t value) {
  for (uint32_t dy = 0; dy < 2; ++dy)
    for (uint32_t dx = 0; dx < 2; ++dx)
      p.at(2 * x + dx, 2 * y + dy) = static_cast<uint16_t>(value / 4);
}

// A 3 x 3 star on a noise-free sky of working value 4000: `peak`, its four
// sides at half of it, its corners at a third.
void set_block_star(Plane& p, uint32_t x, uint32_t y, uint32_t peak) {
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx)
      set_working(p, x + dx, y + dy,
                  dx == 0 && dy == 0   ? peak
                  : dx == 0 || dy == 0 ? peak / 2
                                       : peak / 3);
}

Extraction extract(const Plane& p, const ExtractParams& params = kFrontEndExtractParams,
                   uint64_t solve_max_stars = kFrontEndSolveParams.max_stars) {
  auto r = extract_stars(p.samples, p.width, p.height, params, solve_max_stars);
  EXPECT_TRUE(r.has_value());
  return r ? *r : Extraction{};
}

std::vector<uint32_t> bin(const Plane& p) {
  std::vector<uint32_t> w(size_t{p.width / 2} * (p.height / 2));
  for (uint32_t y = 0; y < p.height / 2; ++y)
    for (uint32_t x = 0; x < p.width / 2; ++x) {
      const size_t i = size_t{2 * y} * p.width + 2 * x;
      w[size_t{y} * (p.width / 2) + x] = uint32_t{p.samples[i]} + p.samples[i + 1] +
                                         p.samples[i + p.width] + p.samples[i + p.width + 1];
    }
  return w;
}

uint32_t bits(float v) { return std::bit_cast<uint32_t>(v); }

TEST(Median, SelectsUpperMiddleUnderTotalOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::vector<float> values;
    float expected;
  };
  const Case cases[] = {
      {{}, 0.0f},
      {{7}, 7},
      {{1, 2, 3, 4}, 3},  // even count: the upper middle, no averaging
      {{4, 3, 2, 1}, 3},
      {{2, 2, 1, 2}, 2},
      {{5, 1, 5, 1, 3}, 3},
      {{-0.0f, 0.0f}, 0.0f},  // -0 orders below +0
      {{0.0f, -0.0f, -0.0f}, -0.0f},
      {{nan, 1, 2}, 2},   // NaN orders above +inf
      {{-nan, 1, 2}, 1},  // and -NaN below -inf
      {{inf, -inf, 3}, 3},
  };
  for (const Case& c : cases) {
    std::vector<float> v = c.values;
    EXPECT_EQ(bits(median(v)), bits(c.expected)) << "case of " << c.values.size() << " values";
  }
}

TEST(Median, AgreesWithAFullSortAndKeepsTheValues) {
  // Random sets of every kind the extractor feeds it: spread values, small
  // integers with many ties, all equal, and specials mixed in.
  uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  const float specials[] = {-0.0f,
                            0.0f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            -1e-45f};
  auto key = [](float v) {
    const auto b = std::bit_cast<int32_t>(v);
    return b ^ static_cast<int32_t>(static_cast<uint32_t>(b >> 31) >> 1);
  };
  for (size_t n : {1, 2, 3, 16, 17, 18, 33, 100, 256, 1001}) {
    for (int kind = 0; kind < 4; ++kind) {
      std::vector<float> v(n);
      for (float& x : v) {
        const uint64_t r = next();
        x = kind == 0   ? static_cast<float>(r % 100000) * 0.37f - 9000.0f
            : kind == 1 ? static_cast<float>(static_cast<int>(r % 7) - 3)
            : kind == 2 ? 42.0f
                        : (r % 4 == 0 ? specials[r % 6] : static_cast<float>(r % 5) - 2.0f);
      }
      std::vector<float> sorted = v;
      std::ranges::sort(sorted, [&](float a, float b) { return key(a) < key(b); });
      std::vector<float> work = v;
      EXPECT_EQ(bits(median(work)), bits(sorted[n / 2])) << "n " << n << " kind " << kind;
      std::ranges::sort(work, [&](float a, float b) { return key(a) < key(b); });
      EXPECT_EQ(0, std::memcmp(work.data(), sorted.data(), n * sizeof(float))) << "values changed";
    }
  }
}

TEST(Extract, ValidatesDimensions) {
  struct Case {
    uint32_t width, height;
    size_t samples;
    bool ok;
  };
  const Case cases[] = {
      {16, 16, 256, true},  {15, 16, 240, false}, {16, 15, 240, false}, {16, 16, 255, false},
      {16, 16, 257, false}, {0, 0, 0, false},     {17, 31, 527, true},
  };
  for (const Case& c : cases) {
    const std::vector<uint16_t> samples(c.samples, 100);
    const auto r = extract_stars(samples, c.width, c.height, kFrontEndExtractParams, 200);
    ASSERT_EQ(r.has_value(), c.ok) << c.width << "x" << c.height << " with " << c.samples;
    if (!c.ok) {
      EXPECT_EQ(r.error().width, c.width);
      EXPECT_EQ(r.error().height, c.height);
      EXPECT_EQ(r.error().sample_count, c.samples);
    }
  }
  const ExtractError e{240, 15, 16};
  EXPECT_EQ(e.message(), "bad image dimensions 15\u00d716 for 240 pixels (minimum 16\u00d716)");
}

TEST(Extract, FlatSkyHasNoiseFloorAndNoStars) {
  const Plane p = make_plane(300, 200, 1000);
  const BackgroundModel m = estimate_background(bin(p), 150, 100, kFrontEndExtractParams);
  EXPECT_EQ(m.tiles_x, 2u);
  EXPECT_EQ(m.tiles_y, 2u);
  for (float b : m.background) EXPECT_EQ(b, 4000.0f);
  for (float n : m.noise) EXPECT_EQ(n, 1.0f);
  EXPECT_EQ(m.nodes_x, 20u);  // columns 0, 8, ..., 144 and the last, 149
  EXPECT_EQ(m.nodes_y, 14u);
  for (float t : m.threshold) EXPECT_EQ(t, 4005.0f);

  const Extraction e = extract(p);
  EXPECT_TRUE(e.stars.empty());
  EXPECT_EQ(e.background_level, 1000.0f);
  EXPECT_EQ(e.noise_level, 0.5f);
}

TEST(Extract, LinearRampGivesCentreLevelsAndLinearLattice) {
  // Sample 1000 + 2X + 3Y bins to 4010 + 16x + 24y; every tile has integer
  // width, so its centre value is exact.
  struct Case {
    uint32_t width, height;  // plane
    uint32_t tiles_x, tiles_y;
  };
  const Case cases[] = {
      {384, 384, 3, 3},  // curvature correction active, and zero for a plane ramp
      {256, 384, 2, 3},  // two tiles: linear extrapolation of the outer points
      {160, 256, 1, 2},  // one tile column: no variation along x
  };
  for (const Case& c : cases) {
    Plane p{c.width, c.height, std::vector<uint16_t>(size_t{c.width} * c.height)};
    for (uint32_t y = 0; y < c.height; ++y)
      for (uint32_t x = 0; x < c.width; ++x)
        p.at(x, y) = static_cast<uint16_t>(1000 + 2 * x + 3 * y);
    const uint32_t bw = c.width / 2, bh = c.height / 2;
    const BackgroundModel m = estimate_background(bin(p), bw, bh, kFrontEndExtractParams);
    ASSERT_EQ(m.tiles_x, c.tiles_x);
    ASSERT_EQ(m.tiles_y, c.tiles_y);
    auto ramp = [&](double x, double y) {
      return 4010 + (c.tiles_x == 1 ? 16 * (bw - 1) / 2.0 : 16 * x) + 24 * y;
    };
    for (uint32_t ty = 0; ty < m.tiles_y; ++ty)
      for (uint32_t tx = 0; tx < m.tiles_x; ++tx) {
        const double cx = (tx + 0.5) * m.cell_w - 0.5, cy = (ty + 0.5) * m.cell_h - 0.5;
        EXPECT_EQ(m.background[ty * m.tiles_x + tx], ramp(cx, cy)) << tx << "," << ty;
        EXPECT_EQ(m.noise[ty * m.tiles_x + tx], 1.0f);
      }
    for (uint32_t j = 0; j < m.nodes_y; ++j)
      for (uint32_t i = 0; i < m.nodes_x; ++i) {
        const double x = std::min(8 * i, bw - 1), y = std::min(8 * j, bh - 1);
        EXPECT_NEAR(m.node_background[j * m.nodes_x + i], ramp(x, y), 0.05) << i << "," << j;
      }
  }
}

TEST(Extract, CurvatureCorrectionUsesNearestInteriorStencil) {
  // Flat tiles of known levels: each tile's estimate is exactly its level,
  // so the grid shows the correction alone.
  const uint32_t levels[3][4] = {
      {1000, 1200, 1800, 1000}, {1100, 1500, 1300, 900}, {2000, 1000, 1000, 1000}};
  Plane p{512, 384, std::vector<uint16_t>(512 * 384)};
  for (uint32_t y = 0; y < p.height; ++y)
    for (uint32_t x = 0; x < p.width; ++x)
      p.at(x, y) = static_cast<uint16_t>(levels[y / 128][x / 128]);
  const BackgroundModel m = estimate_background(bin(p), 256, 192, kFrontEndExtractParams);
  ASSERT_EQ(m.tiles_x, 4u);
  ASSERT_EQ(m.tiles_y, 3u);
  auto o = [&](int ty, int tx) { return 4.0 * levels[ty][tx]; };
  for (int ty = 0; ty < 3; ++ty)
    for (int tx = 0; tx < 4; ++tx) {
      const int cy = 1, cx = std::clamp(tx, 1, 2);
      const double d2y = o(cy - 1, tx) + o(cy + 1, tx) - 2 * o(cy, tx);
      const double d2x = o(ty, cx - 1) + o(ty, cx + 1) - 2 * o(ty, cx);
      EXPECT_NEAR(m.background[ty * 4 + tx], o(ty, tx) - (d2x + d2y) / 24, 1e-3) << tx << "," << ty;
    }
}

TEST(Extract, ParametersAreClampedToTheirRanges) {
  const Plane p = make_plane(200, 160, 900, 8);
  const std::vector<uint32_t> w = bin(p);
  auto model = [&](uint64_t tile, float k) {
    return estimate_background(w, 100, 80, {40, tile, k});
  };
  struct Case {
    uint64_t tile;
    float k;
    uint64_t same_tile;
    float same_k;
  };
  const Case cases[] = {
      {0, 5, 4, 5},    {1, 5, 4, 5},          {64, std::numeric_limits<float>::quiet_NaN(), 64, 5},
      {64, -3, 64, 0}, {64, 1e12f, 64, 1e9f},
  };
  for (const Case& c : cases) {
    const BackgroundModel a = model(c.tile, c.k), b = model(c.same_tile, c.same_k);
    EXPECT_EQ(a.tiles_x, b.tiles_x);
    EXPECT_EQ(a.threshold, b.threshold) << "tile " << c.tile << " k " << c.k;
  }
}

TEST(Extract, OddLastRowAndColumnAreDropped) {
  Plane even = make_plane(64, 48, 700, 5);
  add_star(even, 30.3, 20.7, 20000);
  Plane odd{65, 49, std::vector<uint16_t>(65 * 49, 60000)};
  for (uint32_t y = 0; y < 48; ++y)
    for (uint32_t x = 0; x < 64; ++x) odd.at(x, y) = even.at(x, y);
  const Extraction a = extract(even), b = extract(odd);
  ASSERT_EQ(a.stars.size(), 1u);
  ASSERT_EQ(b.stars.size(), 1u);
  EXPECT_EQ(a.stars[0].x, b.stars[0].x);
  EXPECT_EQ(a.stars[0].flux, b.stars[0].flux);
  EXPECT_EQ(a.background_level, b.background_level);
}

TEST(Extract, MinimumPlaneFindsItsStar) {
  Plane p = make_plane(16, 16, 500, 3);
  add_star(p, 7.6, 8.2, 8000, 1.0);
  const Extraction e = extract(p);
  ASSERT_EQ(e.stars.size(), 1u);
  EXPECT_NEAR(e.stars[0].x, 7.6, 0.3);
  EXPECT_NEAR(e.stars[0].y, 8.2, 0.3);
}

TEST(Extract, RejectsWhatIsNotAStar) {
  struct Case {
    const char* what;
    double x, y;  // plane position of the feature
    bool hot_pixel;
    size_t found;
  };
  const Case cases[] = {
      {"a star", 100.4, 60.7, false, 1},
      {"a lone hot working pixel", 100, 60, true, 0},
      {"a star on working column 0", 0.5, 60.5, false, 0},
      {"a star on the last working row", 100.5, 126.5, false, 0},
  };
  for (const Case& c : cases) {
    Plane p = make_plane(200, 128, 1000, 6, 3);
    if (c.hot_pixel)
      set_working(p, static_cast<uint32_t>(c.x) / 2, static_cast<uint32_t>(c.y) / 2, 120000);
    else
      add_star(p, c.x, c.y, 40000, 1.0);
    EXPECT_EQ(extract(p).stars.size(), c.found) << c.what;
  }
}

TEST(Extract, NeedsTwoNeighboursAboveTheMapThreshold) {
  // A peak in a local dip of the sky (working 3600 against a map threshold
  // of 4005) with one bright neighbour and a third pixel that the ring test
  // (3605) accepts either way; only the map threshold tells the cases apart.
  struct Case {
    uint32_t third;
    size_t found;
  };
  const Case cases[] = {{3900, 0}, {4100, 1}};
  for (const Case& c : cases) {
    Plane p = make_plane(120, 120, 1000);
    for (uint32_t y = 24; y <= 36; ++y)
      for (uint32_t x = 24; x <= 36; ++x) set_working(p, x, y, 3600);
    set_working(p, 30, 30, 10000);
    set_working(p, 31, 30, 8000);
    set_working(p, 30, 31, c.third);
    EXPECT_EQ(extract(p).stars.size(), c.found) << "third pixel " << c.third;
  }
}

TEST(Extract, PlateauYieldsOneStarFromItsLeftPixel) {
  Plane p = make_plane(160, 80, 1000);
  for (uint32_t y = 19; y <= 21; ++y)
    for (uint32_t x = 19; x <= 22; ++x) set_working(p, x, y, 20000);
  set_working(p, 20, 20, 40000);
  set_working(p, 21, 20, 40000);
  // Inside the right pixel's measurement box only: were the right pixel a
  // peak too, its brighter measurement would win and move the star.
  set_working(p, 23, 20, 15000);
  set_block_star(p, 60, 20, 60000);  // the image maximum, so the plateau is not "saturated"
  const Extraction e = extract(p);
  ASSERT_EQ(e.stars.size(), 2u);
  // The box around the left pixel holds the symmetric part of the pattern.
  EXPECT_DOUBLE_EQ(e.stars[1].x, 2 * 20.5 + 0.5);
  EXPECT_DOUBLE_EQ(e.stars[1].y, 2 * 20 + 0.5);
}

TEST(Extract, MeasuresAgainstTheLocalRing) {
  struct Case {
    const char* what;
    uint32_t ring_value;  // given to 17 of the 32 ring pixels, so it is their median
    double flux;
  };
  const Case cases[] = {
      {"sky ring", 4000, 14000 + 4 * 5000 + 4 * 2000},
      // Below the threshold (4005), so the ring makes no peaks of its own;
      // the box pixels at sky level now lie below the local background and add nothing.
      {"raised ring", 4004, 13996 + 4 * 4996 + 4 * 1996},
  };
  for (const Case& c : cases) {
    Plane p = make_plane(200, 120, 1000);
    set_block_star(p, 30, 30, 18000);
    set_block_star(p, 75, 30, 60000);  // the image maximum, which makes itself "saturated"
    int raised = 0;
    for (int dy = -4; dy <= 4 && raised < 17; ++dy)
      for (int dx = -4; dx <= 4 && raised < 17; ++dx)
        if (std::abs(dx) == 4 || dy == -4) {
          set_working(p, 30 + dx, 30 + dy, c.ring_value);
          ++raised;
        }
    const Extraction e = extract(p);
    ASSERT_EQ(e.stars.size(), 2u) << c.what;
    EXPECT_DOUBLE_EQ(e.stars[0].x, 2 * 75 + 0.5);
    EXPECT_GT(e.stars[0].flux, e.stars[1].flux);
    EXPECT_DOUBLE_EQ(e.stars[1].x, 2 * 30 + 0.5) << c.what;
    EXPECT_DOUBLE_EQ(e.stars[1].y, 2 * 30 + 0.5) << c.what;
    EXPECT_DOUBLE_EQ(e.stars[1].flux, c.flux) << c.what;
  }
}

TEST(Extract, SaturatedFluxCombinesLightAndPlateauDepth) {
  // A 3 x 3 plateau at the image maximum on a noise-free sky of 4000: the
  // light above the map is 9 x 236000 and the plateau depth above 0.9 of
  // the maximum, capped at 0.98 of it, is 9 x 19200; the brightest
  // unsaturated flux is added.
  Plane p = make_plane(200, 120, 1000);
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) set_working(p, 70 + dx, 30 + dy, 240000);
  set_block_star(p, 30, 30, 18000);
  const Extraction e = extract(p);
  ASSERT_EQ(e.stars.size(), 2u);
  const double unsaturated = 14000 + 4 * 5000 + 4 * 2000;
  EXPECT_DOUBLE_EQ(e.stars[1].flux, unsaturated);
  EXPECT_DOUBLE_EQ(e.stars[0].flux, std::sqrt(9.0 * 236000 * 9 * 19200) + unsaturated);
  EXPECT_DOUBLE_EQ(e.stars[0].x, 2 * 70 + 0.5);
  EXPECT_DOUBLE_EQ(e.stars[0].y, 2 * 30 + 0.5);
}

// A flat saturated disc (a clipped bright star) and two ordinary stars.
Plane saturated_field(double radius_working) {
  Plane p = make_plane(400, 400, 800, 5, 7);
  const double cx = 200, cy = 180, r = 2 * radius_working;
  for (uint32_t y = 0; y < p.height; ++y)
    for (uint32_t x = 0; x < p.width; ++x)
      if (std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= r) p.at(x, y) = 60000;
  add_star(p, 60.3, 330.8, 60000);
  add_star(p, 320.6, 340.1, 30000);
  return p;
}

TEST(Extract, SaturatedCoresComeFirstUnlessTooWide) {
  struct Case {
    double radius_working;
    size_t found;
    bool saturated_first;
  };
  const Case cases[] = {
      {10, 3, true},
      {31, 3, true},   // the core spans 62 rows below its first pixel: still within reach
      {40, 2, false},  // reaches more than 63 working pixels from its first pixel
  };
  for (const Case& c : cases) {
    // Tiles larger than the disc, so that the background does not sit on it.
    const Extraction e = extract(saturated_field(c.radius_working), {40, 256, 5.0f});
    ASSERT_EQ(e.stars.size(), c.found) << "radius " << c.radius_working;
    if (c.saturated_first) {
      EXPECT_NEAR(e.stars[0].x, 200, 1.5);
      EXPECT_NEAR(e.stars[0].y, 180, 1.5);
      EXPECT_GT(e.stars[0].flux, e.stars[1].flux);
    }
    const auto& faint = e.stars.back();
    EXPECT_NEAR(faint.x, 320.6, 0.3);
    EXPECT_TRUE(
        std::is_sorted(e.stars.begin(), e.stars.end(),
                       [](const ImageStar& a, const ImageStar& b) { return a.flux > b.flux; }));
  }
}

TEST(Extract, ClosePairKeepsTheBrighter) {
  struct Case {
    double separation;  // plane pixels
    size_t found;
  };
  const Case cases[] = {{5.0, 1}, {6.0, 1}, {7.0, 1}, {9.0, 2}};
  for (const Case& c : cases) {
    Plane p = make_plane(128, 96, 1000, 4, 11);
    add_star(p, 50.3, 40.2, 30000, 0.8);
    add_star(p, 50.3 + c.separation, 40.2, 6000, 0.8);
    const Extraction e = extract(p);
    ASSERT_EQ(e.stars.size(), c.found) << "separation " << c.separation;
    EXPECT_LT(e.stars[0].x, 50.3 + c.separation / 2);
  }
}

// 250 stars on a grid, each of a distinct flux; returns them with the plane.
struct GridField {
  Plane plane;
  std::vector<ImageStar> truth;
};

GridField grid_field() {
  GridField g{make_plane(780, 320, 600, 6, 5), {}};
  for (int i = 0; i < 250; ++i) {
    const double x = 15.3 + 30 * (i % 25) + 0.1 * (i % 7), y = 15.6 + 30 * (i / 25) + 0.1 * (i % 5);
    const double flux = 8000 + 400.0 * ((i * 97) % 250);
    add_star(g.plane, x, y, flux);
    g.truth.push_back({x, y, flux});
  }
  return g;
}

TEST(Extract, CapsTheListAtTheLargerMaximumKeepingTheBrightest) {
  const GridField g = grid_field();
  struct Case {
    uint64_t extract_max, solve_max;
    size_t found;
  };
  const Case cases[] = {{40, 200, 200}, {40, 0, 40}, {300, 10, 250}};
  for (const Case& c : cases) {
    const Extraction e = extract(g.plane, {c.extract_max, 64, 5.0f}, c.solve_max);
    ASSERT_EQ(e.stars.size(), c.found);
    std::vector<double> truth_flux;
    for (const ImageStar& s : e.stars) {
      const auto near = std::ranges::find_if(
          g.truth, [&](const ImageStar& t) { return std::hypot(t.x - s.x, t.y - s.y) < 0.3; });
      ASSERT_NE(near, g.truth.end()) << s.x << "," << s.y;
      truth_flux.push_back(near->flux);
    }
    // Brightest first (the few peaks within 2% of the image maximum count as
    // saturated and lead), and the brightest ones are the ones kept.
    EXPECT_TRUE(std::ranges::is_sorted(e.stars, std::greater<>(), &ImageStar::flux));
    std::vector<double> all;
    for (const ImageStar& t : g.truth) all.push_back(t.flux);
    std::ranges::sort(all, std::greater<>());
    std::ranges::sort(truth_flux, std::greater<>());
    all.resize(c.found);
    EXPECT_EQ(truth_flux, all);
  }
}

TEST(Extract, SamePlaneGivesIdenticalBits) {
  Plane p = grid_field().plane;
  add_star(p, 400.2, 160.9, 900000, 2.0);  // saturates
  const Extraction a = extract(p), b = extract(p);
  ASSERT_EQ(a.stars.size(), b.stars.size());
  EXPECT_EQ(0, std::memcmp(a.stars.data(), b.stars.data(), a.stars.size() * sizeof(ImageStar)));
  EXPECT_EQ(bits(a.background_level), bits(b.background_level));
  EXPECT_EQ(bits(a.noise_level), bits(b.noise_level));
}

}  // namespace
}  // namespace kestrune
