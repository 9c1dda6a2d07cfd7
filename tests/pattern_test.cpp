// Pattern invariants, lookup keys, the key hash, the gates and the lookup
// over pattern tables written by the writer library.
#include "core/pattern.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>
#include <set>

#include "tests/support/tiny_db.hpp"
#include "tools/db_writer.hpp"

namespace kestrune::pattern {
namespace {

constexpr double kPi = std::numbers::pi;

Pattern with_ratios(std::array<double, 5> r) { return Pattern{r, 1.0, {0, 1, 2, 3}}; }

TEST(Pattern, WorkedExample) {
  const std::array<Vec2, 4> pts = {{{0, 0}, {4, 0}, {4, 3}, {0, 5}}};
  const std::array<double, 6> d = {4, 5, 5, 3, 6.4031242374328485, 4.47213595499958};
  const int pairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
  for (int k = 0; k < 6; ++k)
    EXPECT_DOUBLE_EQ(std::hypot(pts[pairs[k][0]][0] - pts[pairs[k][1]][0],
                                pts[pairs[k][0]][1] - pts[pairs[k][1]][1]),
                     d[k]);

  const std::optional<Pattern> p = image_pattern(pts);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->longest, 6.4031242374328485);
  const double ratios[5] = {0.4685212856658182, 0.6246950475544243, 0.6984302957695783,
                            0.7808688094430304, 0.7808688094430304};
  for (int i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(p->ratios[i], ratios[i]) << i;
  EXPECT_EQ(p->order, (std::array<uint8_t, 4>{2, 0, 1, 3}));
  EXPECT_EQ(base_key(p->ratios), (PatternKey{46, 62, 69, 78, 78}));

  const KeyList keys = lookup_keys(*p);
  const PatternKey want[16] = {
      {46, 62, 69, 78, 78}, {47, 62, 69, 78, 78}, {46, 62, 70, 78, 78}, {47, 62, 70, 78, 78},
      {46, 62, 69, 77, 78}, {47, 62, 69, 77, 78}, {46, 62, 70, 77, 78}, {47, 62, 70, 77, 78},
      {46, 62, 69, 78, 77}, {47, 62, 69, 78, 77}, {46, 62, 70, 78, 77}, {47, 62, 70, 78, 77},
      {46, 62, 69, 77, 77}, {47, 62, 69, 77, 77}, {46, 62, 70, 77, 77}, {47, 62, 70, 77, 77},
  };
  ASSERT_EQ(keys.count, 16u);
  for (int m = 0; m < 16; ++m) EXPECT_EQ(keys.keys[m], want[m]) << "key " << m;

  // build() straight from the distances gives the same pattern.
  const std::optional<Pattern> q = build(d, {std::hypot(2, 2), std::hypot(2, 2), std::hypot(2, 1),
                                             std::hypot(2, 3)});
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->order, p->order);
  EXPECT_EQ(q->ratios, p->ratios);
}

TEST(Pattern, ShapesAndDegenerateQuads) {
  const double nan = std::nan("");
  struct Case {
    const char* what;
    std::array<Vec2, 4> pts;
    bool present;
  } cases[] = {
      {"square", {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}}, true},
      {"two points coincide", {{{0, 0}, {4, 0}, {4, 0}, {0, 5}}}, false},
      {"collinear, well spread", {{{0, 0}, {3, 0}, {7, 0}, {10, 0}}}, false},
      {"flat: largest triangle area 0.5 < 0.02 L^2", {{{0, 0}, {10, 0}, {3, 0.1}, {7, -0.1}}}, false},
      {"less flat: area 2.5 > 2", {{{0, 0}, {10, 0}, {3, 0.5}, {7, -0.5}}}, true},
      {"smallest ratio 0.021 < 0.05", {{{0, 0}, {10, 0}, {0, 10}, {0.3, 0}}}, false},
      {"all in one point", {{{2, 2}, {2, 2}, {2, 2}, {2, 2}}}, false},
      {"NaN coordinate", {{{0, 0}, {4, 0}, {4, nan}, {0, 5}}}, false},
      {"infinite coordinate", {{{0, 0}, {4, 0}, {INFINITY, 3}, {0, 5}}}, false},
      {"L squared overflows", {{{0, 0}, {4e160, 0}, {4e160, 3e160}, {0, 5e160}}}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(image_pattern(c.pts).has_value(), c.present) << c.what;

  const std::optional<Pattern> sq = image_pattern(cases[0].pts);
  ASSERT_TRUE(sq.has_value());
  EXPECT_EQ(sq->longest, std::sqrt(2.0));
  for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(sq->ratios[i], 1 / std::sqrt(2.0));
  EXPECT_EQ(sq->ratios[4], 1.0);  // the second diagonal, not chosen as the longest
  EXPECT_EQ(sq->order, (std::array<uint8_t, 4>{0, 1, 2, 3}));
  EXPECT_EQ(lookup_keys(*sq).keys[0][4], 99);

  // Inputs that only build() sees.
  struct Raw {
    const char* what;
    std::array<double, 6> d;
    bool present;
  } raw[] = {
      {"all zero", {0, 0, 0, 0, 0, 0}, false},
      {"negative distances", {-1, -2, -3, -1, -2, -3}, false},
      {"one negative distance", {4, 5, 5, -3, 6.4, 4.5}, false},
      {"worked example", {4, 5, 5, 3, 6.4031242374328485, 4.47213595499958}, true},
  };
  for (const Raw& r : raw) EXPECT_EQ(build(r.d, {1, 1, 1, 1}).has_value(), r.present) << r.what;
  EXPECT_FALSE(build(raw[3].d, {1, nan, 1, 1}).has_value());
}

TEST(LookupKeys, BinEdges) {
  struct Case {
    double r;
    uint8_t bin;
    int alt;  // -1: no neighbour bin
  } cases[] = {
      {0.2539, 25, 24}, {0.2561, 25, 26}, {0.2550, 25, -1}, {1.0, 99, -1},
      {0.9965, 99, -1},  // close to 1.00, but there is no bin 100
      {0.9905, 99, 98}, {0.0535, 5, 4},  {0.0565, 5, 6},   {0.5, 50, 49},
      {0.4999, 49, 50}, {0.0999, 9, 10},
  };
  for (const Case& c : cases) {
    const KeyList keys = lookup_keys(with_ratios({c.r, 0.555, 0.555, 0.555, 0.555}));
    EXPECT_EQ(keys.keys[0][0], c.bin) << c.r;
    EXPECT_EQ(keys.keys[0][1], 55) << c.r;
    if (c.alt < 0) {
      EXPECT_EQ(keys.count, 1u) << c.r;
    } else {
      ASSERT_EQ(keys.count, 2u) << c.r;
      EXPECT_EQ(keys.keys[1], (PatternKey{static_cast<uint8_t>(c.alt), 55, 55, 55, 55})) << c.r;
    }
  }
}

TEST(LookupKeys, FiveEdgesGiveThirtyTwoKeysBaseFirst) {
  const KeyList keys = lookup_keys(with_ratios({0.2539, 0.3361, 0.4439, 0.5561, 0.6639}));
  ASSERT_EQ(keys.count, 32u);
  const PatternKey base = {25, 33, 44, 55, 66}, alt = {24, 34, 43, 56, 65};
  std::set<PatternKey> seen;
  for (uint32_t m = 0; m < 32; ++m) {
    for (int b = 0; b < 5; ++b)
      EXPECT_EQ(keys.keys[m][b], (m >> b) & 1 ? alt[b] : base[b]) << m << " " << b;
    seen.insert(keys.keys[m]);
  }
  EXPECT_EQ(seen.size(), 32u);
}

TEST(KeyHash, MatchesTheFinaliser) {
  // Reference values computed independently of this code.
  struct Case {
    PatternKey key;
    uint64_t hash;
  } cases[] = {
      {{0, 0, 0, 0, 0}, 0},
      {{0, 0, 0, 0, 1}, 0x5692161d100b05e5},
      {{46, 62, 69, 78, 78}, 0x4c8f49bbee1da084},
      {{99, 99, 99, 99, 99}, 0xb6c07d828649c58f},
  };
  for (const Case& c : cases) EXPECT_EQ(key_hash(c.key), c.hash);
}

// ---- sky patterns and the lookup ----

// Gnomonic projection about (ra0, dec0), then rotation, optional mirror and
// scale to pixels around (500, 400).
Vec2 project(const StarRecord& s, double ra0, double dec0, double rot, bool mirror,
             double px_per_rad) {
  const auto [ra, dec] = star_radec(s);
  const double cosc = std::sin(dec0) * std::sin(dec) + std::cos(dec0) * std::cos(dec) * std::cos(ra - ra0);
  const double xi = std::cos(dec) * std::sin(ra - ra0) / cosc;
  const double eta =
      (std::cos(dec0) * std::sin(dec) - std::sin(dec0) * std::cos(dec) * std::cos(ra - ra0)) / cosc;
  const double x = (mirror ? -xi : xi), y = eta;
  return {500 + px_per_rad * (std::cos(rot) * x - std::sin(rot) * y),
          400 + px_per_rad * (std::sin(rot) * x + std::cos(rot) * y)};
}

TEST(SkyPattern, AgreesWithTheImageOfTheSameQuad) {
  const auto stars = testing::random_stars_in_cap(40, 2.0, -0.4, 0.01, 9);
  int built = 0;
  for (size_t i = 0; i + 3 < stars.size(); i += 4) {
    const std::array<StarRecord, 4> q = {stars[i], stars[i + 1], stars[i + 2], stars[i + 3]};
    const auto sky = sky_pattern(q);
    std::array<Vec2, 4> px{};
    for (int k = 0; k < 4; ++k) px[k] = project(q[k], 2.0, -0.4, 0.7, true, 1e5);
    const auto img = image_pattern(px);
    ASSERT_EQ(sky.has_value(), img.has_value()) << i;
    if (!sky) continue;
    ++built;
    for (int k = 0; k < 5; ++k) EXPECT_NEAR(sky->ratios[k], img->ratios[k], 1e-4);
    EXPECT_NEAR(img->longest / sky->longest, 1e5, 1e5 * 1e-4);
    EXPECT_EQ(sky->order, img->order);
  }
  EXPECT_GT(built, 5);

  // Vectors that cancel have no centre; a missing star reads as a zero vector.
  const StarRecord px{1, 0, 0, 0, 0}, nx{-1, 0, 0, 0, 0}, py{0, 1, 0, 0, 0}, ny{0, -1, 0, 0, 0};
  EXPECT_FALSE(sky_pattern({px, py, nx, ny}).has_value());
  EXPECT_FALSE(sky_pattern({stars[0], stars[1], stars[2], StarRecord{}}).has_value());
}

// Stars in a 4 degree cap, quads of nearby stars, two bands of different
// scale; every written pattern must come back from a lookup of its own shape.
struct LookupFixture : ::testing::Test {
  static inline std::optional<testing::TinyDb> t;
  static inline tools::WriteStats stats;
  static inline uint32_t degenerate = 0;  // quads of the description without a sky pattern
  static void SetUpTestSuite() {
    tools::DbSpec desc;
    desc.stars = testing::random_stars_in_cap(600, 4.0, 0.9, 4 / kRadToDeg, 13);
    desc.bands.push_back({3.0, 0.08, 3, testing::all_ids(600)});
    desc.bands.push_back({1.0, 0.03, 5, testing::all_ids(300)});
    std::mt19937_64 rng(2);
    for (uint32_t i = 0; i < 600; ++i) {
      // The three stars nearest to star i, by a scan: small and plain.
      std::array<std::pair<double, uint32_t>, 3> near{{{9, 0}, {9, 0}, {9, 0}}};
      for (uint32_t j = 0; j < 600; ++j) {
        if (j == i) continue;
        const double a = std::acos(std::clamp<double>(
            desc.stars[i].x * desc.stars[j].x + desc.stars[i].y * desc.stars[j].y +
                desc.stars[i].z * desc.stars[j].z, -1.0, 1.0));
        if (a < near[2].first) {
          near[2] = {a, j};
          std::sort(near.begin(), near.end());
        }
      }
      const uint8_t band = i < 300 && near[2].second < 300 && rng() % 2 ? 1 : 0;
      desc.patterns.push_back({{i, near[0].second, near[1].second, near[2].second}, band});
    }
    desc.patterns.push_back({{0, 1, 1, 2}, 0});  // degenerate: a star twice
    for (const tools::PatternSpec& p : desc.patterns)
      degenerate += !sky_pattern({desc.stars[p.star_ids[0]], desc.stars[p.star_ids[1]],
                                  desc.stars[p.star_ids[2]], desc.stars[p.star_ids[3]]});
    auto made = testing::make_db(desc);
    ASSERT_TRUE(made.has_value()) << made.error();
    stats = made->encoded.stats;
    t.emplace(std::move(*made));
  }
  static void TearDownTestSuite() { t.reset(); }

  static std::array<StarRecord, 4> stars_of(const PatternRecord& r) {
    const Database& db = t->db;
    return {db.star_at(r.star_ids[0]), db.star_at(r.star_ids[1]), db.star_at(r.star_ids[2]),
            db.star_at(r.star_ids[3])};
  }
};

TEST_F(LookupFixture, WriterStoresEveryPatternWhereItsOwnShapeFindsIt) {
  const Database& db = t->db;
  EXPECT_GE(degenerate, 1u);
  EXPECT_EQ(stats.skipped_degenerate, degenerate);
  EXPECT_EQ(stats.skipped_too_large, 0u);
  EXPECT_EQ(stats.patterns_written, 601 - degenerate);
  EXPECT_EQ(stats.patterns_written, db.header().pattern_count);
  EXPECT_GT(db.header().pattern_count, 550u);
  EXPECT_LE(db.header().pattern_count * 2, db.header().slot_count);

  const std::array<uint32_t, 4> quad = {10, 11, 12, 13};
  for (uint32_t i = 0; i < db.header().pattern_count; ++i) {
    const PatternRecord rec = db.pattern_at(i);
    const std::optional<Pattern> sky = sky_pattern(stars_of(rec));
    ASSERT_TRUE(sky.has_value()) << i;
    const BandEntry& band = db.bands()[rec.band];
    EXPECT_NEAR(band.size_scale_rad * rec.size / 65535, sky->longest, band.size_scale_rad / 65535);
    for (int k = 0; k < 5; ++k) EXPECT_NEAR(rec.ratios[k] / 255.0, sky->ratios[k], 0.5 / 255 + 1e-12);

    // As an image pattern in "pixels" of one radian each, on a frame whose
    // diagonal makes the implied field exactly the band's.
    const double diag = band.fov_deg / kRadToDeg;
    bool found = false;
    lookup(db, *sky, quad, diag, [&](const PatternHit& hit) {
      if (hit.pattern_index != i) return false;
      found = true;
      EXPECT_EQ(hit.band, rec.band);
      for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(hit.image_stars[k], quad[sky->order[k]]);
        EXPECT_EQ(hit.catalogue_stars[k], rec.star_ids[sky->order[k]]);
      }
      return true;
    });
    EXPECT_TRUE(found) << "pattern " << i;
  }
}

// An image made by projecting a catalogue quad (rotated, mirrored, stars in
// shuffled order): every offered hit of the true record pairs each image star
// with its own catalogue star.
TEST_F(LookupFixture, HitPairsImageStarsWithTheirCatalogueStars) {
  const Database& db = t->db;
  std::mt19937_64 rng(4);
  int checked = 0;
  for (uint32_t i = 0; i < db.header().pattern_count; i += 7) {
    const PatternRecord rec = db.pattern_at(i);
    const auto [ra0, dec0] = star_radec(db.star_at(rec.star_ids[0]));
    std::array<int, 4> perm = {0, 1, 2, 3};
    std::shuffle(perm.begin(), perm.end(), rng);
    // Image star j (index 100 + j) shows catalogue star rec.star_ids[perm[j]].
    std::array<Vec2, 4> px{};
    std::array<uint32_t, 4> quad{};
    for (int j = 0; j < 4; ++j) {
      px[j] = project(db.star_at(rec.star_ids[perm[j]]), ra0, dec0, 0.3 * i, i % 2 == 0, 3e4);
      quad[j] = 100 + j;
    }
    const std::optional<Pattern> img = image_pattern(px);
    ASSERT_TRUE(img.has_value());
    const double diag = db.bands()[rec.band].fov_deg / kRadToDeg * 3e4;
    bool found = false;
    lookup(db, *img, quad, diag, [&](const PatternHit& hit) {
      if (hit.pattern_index != i) return false;
      found = true;
      for (int k = 0; k < 4; ++k)
        EXPECT_EQ(hit.catalogue_stars[k], rec.star_ids[perm[hit.image_stars[k] - 100]]) << i;
      return true;
    });
    EXPECT_TRUE(found) << i;
    ++checked;
  }
  EXPECT_GT(checked, 50);
}

// The gates on one record, through examine(): the image pattern is the
// record's own sky pattern with its ratios, size or frame changed.
TEST_F(LookupFixture, GatesInOrder) {
  const Database& db = t->db;
  const uint32_t index = 5;
  const PatternRecord rec = db.pattern_at(index);
  const Pattern sky = *sky_pattern(stars_of(rec));
  const BandEntry& band = db.bands()[rec.band];
  const double fit = band.fov_deg / kRadToDeg;  // diag for an implied field of fov_deg
  // The stored size stands for the longest side to within rounding, so the
  // rough estimate equals the implied field to far better than its 1% slack.
  ASSERT_NEAR(band.size_scale_rad * rec.size / 65535 / sky.longest, 1.0, 1e-3);

  struct Case {
    const char* what;
    double ratio_shift;  // added to image ratio 2, from the stored byte's value
    double diag;
    bool hit;
  } cases[] = {
      {"own shape", 0, fit, true},
      {"ratio off by the tolerance", 0.0059, fit, true},
      {"ratio off by more", 0.0061, fit, false},
      {"ratio off by more, below", -0.0061, fit, false},
      {"implied field at the low end", 0, fit / 1.34 * (1 + 1e-9), true},
      {"implied field below the low end", 0, fit / 1.34 * (1 - 1e-6), false},
      {"implied field at the high end", 0, fit * 2.6 * (1 - 1e-9), true},
      {"implied field above the high end", 0, fit * 2.6 * 1.005, false},
      {"rough estimate far above", 0, fit * 2.6 * 1.02, false},
  };
  for (const Case& c : cases) {
    Pattern img = sky;
    if (c.ratio_shift != 0) img.ratios[2] = rec.ratios[2] / 255.0 + c.ratio_shift;
    EXPECT_EQ(examine(db, img, {0, 1, 2, 3}, c.diag, index).has_value(), c.hit) << c.what;
  }
}

// The rough size gate acts on the stored size alone: a record whose size
// byte lies rejects a shape that the exact gate would pass, and vice versa.
TEST_F(LookupFixture, RoughGateReadsTheStoredSize) {
  std::vector<std::byte> bytes = t->encoded.bytes;
  const DbHeader& h = *reinterpret_cast<const DbHeader*>(bytes.data());
  const uint32_t index = 9;
  auto* rec = reinterpret_cast<PatternRecord*>(bytes.data() + h.patterns.offset) + index;
  const Pattern sky = *sky_pattern(stars_of(*rec));
  const double fit = h.bands[rec->band].fov_deg / kRadToDeg;
  const uint16_t true_size = rec->size;

  auto db = Database::load(bytes, false, false);
  ASSERT_TRUE(db.has_value());
  EXPECT_TRUE(examine(*db, sky, {0, 1, 2, 3}, fit, index).has_value());
  rec->size = static_cast<uint16_t>(true_size / 3);  // rough estimate below fov / 1.34 / 1.01
  EXPECT_FALSE(examine(*db, sky, {0, 1, 2, 3}, fit, index).has_value());
  rec->size = static_cast<uint16_t>(true_size * 1.3);  // still inside the rough window
  EXPECT_TRUE(examine(*db, sky, {0, 1, 2, 3}, fit, index).has_value());
}

TEST_F(LookupFixture, RecordsThatCannotMatch) {
  std::vector<std::byte> bytes = t->encoded.bytes;
  const DbHeader& h = *reinterpret_cast<const DbHeader*>(bytes.data());
  auto* recs = reinterpret_cast<PatternRecord*>(bytes.data() + h.patterns.offset);
  const PatternRecord good = recs[3];
  const Pattern sky = *sky_pattern(stars_of(good));
  const double fit = h.bands[good.band].fov_deg / kRadToDeg;

  auto* stars = reinterpret_cast<StarRecord*>(bytes.data() + h.stars.offset);
  const std::vector<StarRecord> original(stars, stars + h.star_count);

  struct Case {
    const char* what;
    std::function<void(PatternRecord&)> patch;
  } cases[] = {
      {"band equals band_count", [](PatternRecord& r) { r.band = 2; }},
      {"band far out", [](PatternRecord& r) { r.band = 255; }},
      {"a star id past the end", [&](PatternRecord& r) { r.star_ids[2] = h.star_count; }},
      {"all star ids past the end",
       [](PatternRecord& r) {
         for (uint32_t& id : r.star_ids) id = 0xFFFFFFF0 + id % 4;
       }},
      {"star vectors that cancel",
       [&](PatternRecord& r) {
         const StarRecord cancel[4] = {{1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {-1, 0, 0, 0, 0},
                                       {0, -1, 0, 0, 0}};
         for (int k = 0; k < 4; ++k) stars[r.star_ids[k]] = cancel[k];
       }},
  };
  for (const auto& c : cases) {
    recs[3] = good;
    std::copy(original.begin(), original.end(), stars);
    c.patch(recs[3]);
    auto db = Database::load(bytes, false, false);
    ASSERT_TRUE(db.has_value());
    EXPECT_FALSE(examine(*db, sky, {0, 1, 2, 3}, fit, 3).has_value()) << c.what;
  }
  recs[3] = good;
  std::copy(original.begin(), original.end(), stars);
  auto db = Database::load(bytes, false, false);
  EXPECT_TRUE(examine(*db, sky, {0, 1, 2, 3}, fit, 3).has_value());
  EXPECT_FALSE(examine(*db, sky, {0, 1, 2, 3}, fit, h.pattern_count).has_value());
}

// A full table without an empty slot is probed slot_count times per key;
// equal-tag records are offered in probe order; the callback can stop.
TEST(Lookup, ProbingOrderAndStop) {
  tools::DbSpec desc;
  desc.stars = testing::random_stars_in_cap(8, 1, 1, 0.01, 3);
  desc.bands.push_back({1.0, 0.03, 0, testing::all_ids(8)});
  for (int copy = 0; copy < 3; ++copy) desc.patterns.push_back({{0, 1, 2, 3}, 0});
  desc.max_load = 1.0;
  desc.min_slots = 4;
  auto t = testing::make_db(desc);
  ASSERT_TRUE(t.has_value()) << t.error();
  const Database& db = t->db;
  ASSERT_EQ(db.header().slot_count, 4u);
  const Pattern sky = *sky_pattern({db.star_at(0), db.star_at(1), db.star_at(2), db.star_at(3)});
  const double diag = 1.0 / kRadToDeg;

  std::vector<uint32_t> offered;
  LookupCounters counters;
  const bool stopped = lookup(db, sky, {0, 1, 2, 3}, diag, [&](const PatternHit& hit) {
    offered.push_back(hit.pattern_index);
    return false;
  }, counters);
  EXPECT_FALSE(stopped);
  const KeyList keys = lookup_keys(sky);
  EXPECT_EQ(counters.keys, keys.count);
  // The base key finds all three copies in insertion order.
  ASSERT_GE(offered.size(), 3u);
  EXPECT_EQ(std::vector<uint32_t>(offered.begin(), offered.begin() + 3),
            (std::vector<uint32_t>{0, 1, 2}));

  offered.clear();
  EXPECT_TRUE(lookup(db, sky, {0, 1, 2, 3}, diag, [&](const PatternHit& hit) {
    offered.push_back(hit.pattern_index);
    return true;
  }));
  EXPECT_EQ(offered, std::vector<uint32_t>{0});

  // Fill the empty slot with a tag no key has: every key now probes all four slots.
  std::vector<std::byte> bytes = t->encoded.bytes;
  const DbHeader& h = *reinterpret_cast<const DbHeader*>(bytes.data());
  auto* slots = reinterpret_cast<SlotRecord*>(bytes.data() + h.slots.offset);
  std::set<uint16_t> tags;
  for (uint32_t k = 0; k < keys.count; ++k) tags.insert(key_hash(keys.keys[k]) >> 48);
  uint16_t other = 0;
  while (tags.count(other)) ++other;
  for (int s = 0; s < 4; ++s)
    if (slots[s].pattern_index == kEmptySlot) slots[s] = {0, other, 0};
  auto full = Database::load(bytes, false, false);
  ASSERT_TRUE(full.has_value());
  LookupCounters fc;
  lookup(*full, sky, {0, 1, 2, 3}, diag, [](const PatternHit&) { return false; }, fc);
  EXPECT_EQ(fc.probes, keys.count * 4);
}

}  // namespace
}  // namespace kestrune::pattern
