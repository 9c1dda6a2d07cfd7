// The database builder over the real catalogues, restricted to a sky region:
// the file loads with every check, star lists sit under the right HEALPix
// cells, stored quads are found again through a projected image, the output
// is deterministic, and the command line reports and fails cleanly.
#include "tools/builder.hpp"

#include <gtest/gtest.h>
#include <healpix_cxx/healpix_base.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <set>

#include "core/db.hpp"
#include "core/pattern.hpp"
#include "core/wcs.hpp"
#include "tests/support/process.hpp"

namespace kestrune::tools {
namespace {

namespace fs = std::filesystem;
constexpr double kDeg = 180.0 / std::numbers::pi;

// Orion and its surroundings: bright stars, a dense Milky Way edge and empty sky.
constexpr SkyRegion kRegion{84.0, -2.0, 12.0};
constexpr const char* kPlan = "0.67,1.3,2.55,5,9.8";

struct Built {
  std::vector<CatalogStar> region_stars;  // merged catalogue stars of the region
  BuildOptions options;
  std::vector<BandSummary> bands;
  std::vector<std::byte> bytes;
  std::optional<Database> db;
};

Built* g_built = nullptr;

class BuilderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (g_built) return;
    const auto paths = default_catalog_paths(KESTRUNE_CACHE_DIR);
    for (const auto& p : paths)
      if (!fs::exists(p)) return;
    auto built = std::make_unique<Built>();
    built->options.region = kRegion;
    built->options.bands = *parse_band_plan(kPlan);
    // The region's stars as catalogue entries (merged within the region, which
    // is what the builder's merge gives there), so later builds skip the big files.
    const double cos_r = std::cos(kRegion.radius_deg / kDeg);
    const double ra0 = kRegion.ra_deg / kDeg, dec0 = kRegion.dec_deg / kDeg;
    std::vector<CatalogStar> all;
    for (const auto& p : paths) {
      auto stars = read_catalog(p);
      ASSERT_TRUE(stars) << stars.error();
      for (const auto& s : *stars) {
        const double ra = s.ra_deg / kDeg, dec = s.dec_deg / kDeg;
        if (std::sin(dec) * std::sin(dec0) + std::cos(dec) * std::cos(dec0) * std::cos(ra - ra0) >= cos_r - 1e-6)
          all.push_back(s);
      }
    }
    built->region_stars = merge_catalogs(std::move(all));
    auto desc = plan_database(select_stars(built->region_stars, built->options), built->options, &built->bands);
    ASSERT_TRUE(desc) << desc.error();
    auto encoded = encode_database(*desc);
    ASSERT_TRUE(encoded) << encoded.error().message();
    built->bytes = std::move(encoded->bytes);
    auto db = Database::load(built->bytes, true, true);
    ASSERT_TRUE(db) << db.error().message();
    built->db = *db;
    g_built = built.release();
  }

  void SetUp() override {
    if (!g_built) GTEST_SKIP() << "catalogues not fetched";
  }
  const Database& db() const { return *g_built->db; }
};

std::array<double, 3> vec(const StarRecord& s) { return {s.x, s.y, s.z}; }

TEST_F(BuilderTest, LoadsWithEveryCheckAndFollowsThePlan) {
  const auto& header = db().header();
  const auto& plan = g_built->options.bands;
  ASSERT_EQ(header.band_count, plan.size());
  EXPECT_GT(header.star_count, 10'000u);
  EXPECT_GT(header.pattern_count, 1'000u);
  EXPECT_LE(static_cast<double>(header.pattern_count), 0.5 * header.slot_count);
  // Band 0 lists every star; the others are subsets.
  EXPECT_EQ(db().band_star_list(0).size(), header.star_count);
  std::vector<uint32_t> per_band(plan.size(), 0);
  for (const auto& p : db().patterns()) ++per_band[p.band];
  for (size_t b = 0; b < plan.size(); ++b) {
    const BandEntry& e = db().bands()[b];
    EXPECT_EQ(e.fov_deg, plan[b].fov_deg);
    EXPECT_EQ(e.depth, plan[b].depth);
    EXPECT_EQ(e.size_scale_rad, plan[b].size_scale_rad);
    EXPECT_EQ(per_band[b], g_built->bands[b].patterns) << "band " << b;
    EXPECT_GT(per_band[b], 0u) << "band " << b;
    auto list = db().band_star_list(b);
    std::set<uint32_t> unique(list.begin(), list.end());
    EXPECT_EQ(unique.size(), list.size()) << "band " << b;
    if (b > 0) {
      EXPECT_LE(list.size(), db().band_star_list(b - 1).size());
    }
  }
  // Star ids follow brightness.
  auto stars = db().stars();
  EXPECT_TRUE(std::ranges::is_sorted(stars, {}, &StarRecord::mag));
}

TEST_F(BuilderTest, StarListsAreGroupedUnderTheirHealpixCells) {
  std::mt19937 rng(5);
  for (size_t b = 0; b < db().band_count(); ++b) {
    const BandEntry& band = db().bands()[b];
    const T_Healpix_Base<int64_t> grid(static_cast<int>(band.depth), NEST);
    auto list = db().band_star_list(b);
    auto cells = db().band_cells(b);
    const uint32_t per_cell = g_built->options.bands[b].stars_per_cell;
    // Every cell: brightest first and within the band's cap.
    for (size_t h = 0; h + 1 < cells.size(); ++h) {
      ASSERT_LE(cells[h], cells[h + 1]);
      if (per_cell) {
        ASSERT_LE(cells[h + 1] - cells[h], per_cell) << "band " << b << " cell " << h;
      }
      for (uint32_t p = cells[h]; p + 1 < cells[h + 1]; ++p) ASSERT_LT(list[p], list[p + 1]);
    }
    // A sample of entries against the HEALPix library, from RA and Dec.
    std::uniform_int_distribution<size_t> pick(0, list.size() - 1);
    for (int i = 0; i < 300; ++i) {
      const size_t pos = pick(rng);
      const auto radec = star_radec(db().star_at(list[pos]));
      const int64_t cell = grid.ang2pix(pointing(std::numbers::pi / 2 - radec[1], radec[0]));
      ASSERT_GE(pos, cells[static_cast<size_t>(cell)]) << "band " << b;
      ASSERT_LT(pos, cells[static_cast<size_t>(cell) + 1]) << "band " << b;
    }
  }
}

TEST_F(BuilderTest, UniformisedBandsHoldEnoughStarsForVerification) {
  // The smallest field a band serves, centred at a few places inside the region.
  const std::array<std::array<double, 2>, 3> places{{{84.0, -2.0}, {80.0, 3.0}, {88.0, -6.0}}};
  for (size_t b = 1; b < db().band_count(); ++b) {
    const double fov = db().bands()[b].fov_deg;
    const double radius = fov / 1.34 / 2.0 * 0.8;  // the height of a 4:3 field
    for (auto [ra, dec] : places) {
      const std::array<double, 3> c{std::cos(dec / kDeg) * std::cos(ra / kDeg),
                                    std::cos(dec / kDeg) * std::sin(ra / kDeg), std::sin(dec / kDeg)};
      std::vector<uint32_t> ids;
      db().stars_in_cone(b, c, radius / kDeg, ids);
      std::vector<uint32_t> all;
      db().stars_in_cone(0, c, radius / kDeg, all);
      // As many as the catalogue offers up to a comfortable margin, never thousands.
      EXPECT_GE(ids.size(), std::min<size_t>(all.size(), 100)) << "band " << b << " at " << ra << "," << dec;
      EXPECT_LT(ids.size(), 3000u) << "band " << b;
    }
  }
}

// Projects a stored quad through a random TAN Wcs whose field the band serves
// and looks the pixel quad up: the pattern is found with the right correspondence.
TEST_F(BuilderTest, StoredQuadsAreFoundThroughAProjectedImage) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> unit(0, 1);
  const double width = 1600, height = 1200, diag = std::hypot(width, height);
  auto patterns = db().patterns();
  std::vector<std::vector<uint32_t>> by_band(db().band_count());
  for (uint32_t i = 0; i < patterns.size(); ++i) by_band[patterns[i].band].push_back(i);
  for (size_t b = 0; b < by_band.size(); ++b) {
    const BandEntry& band = db().bands()[b];
    std::uniform_int_distribution<size_t> pick(0, by_band[b].size() - 1);
    for (int trial = 0; trial < 40; ++trial) {
      const uint32_t index = by_band[b][pick(rng)];
      const PatternRecord& rec = patterns[index];
      std::array<StarRecord, 4> quad;
      std::array<double, 3> sum{};
      for (int k = 0; k < 4; ++k) {
        quad[k] = db().star_at(rec.star_ids[k]);
        for (int a = 0; a < 3; ++a) sum[a] += vec(quad[k])[a];
      }
      const StarRecord centre{static_cast<float>(sum[0]), static_cast<float>(sum[1]), static_cast<float>(sum[2]), 0, 0};
      // A field the band serves, large enough to hold the quad, any rotation and parity.
      const auto sky = pattern::sky_pattern(quad);
      ASSERT_TRUE(sky);
      const double lo = std::max(band.fov_deg / 1.34, sky->longest * kDeg * 1.3) * 1.02;
      const double hi = band.fov_deg * 2.6 * 0.98;
      ASSERT_LT(lo, hi);
      const double field = lo * std::pow(hi / lo, unit(rng));
      const double scale = field / kDeg / diag, angle = 2 * std::numbers::pi * unit(rng);
      const double flip = unit(rng) < 0.5 ? -1.0 : 1.0;
      Wcs wcs;
      wcs.crval = star_radec(centre);
      wcs.crpix = {(width - 1) / 2 + 100 * (unit(rng) - 0.5), (height - 1) / 2 + 100 * (unit(rng) - 0.5)};
      wcs.cd = {flip * scale * std::cos(angle), -scale * std::sin(angle), flip * scale * std::sin(angle),
                scale * std::cos(angle)};
      std::array<Vec2, 4> pixels;
      for (int k = 0; k < 4; ++k) {
        const Vec2 radec = star_radec(quad[k]);
        auto p = wcs.sky_to_pixel(radec[0], radec[1]);
        ASSERT_TRUE(p);
        pixels[k] = *p;
      }
      const auto image = pattern::image_pattern(pixels);
      ASSERT_TRUE(image);
      bool found = false;
      pattern::lookup(db(), *image, {0, 1, 2, 3}, diag, [&](const pattern::PatternHit& hit) {
        if (hit.pattern_index != index) return false;
        found = true;
        EXPECT_EQ(hit.band, b);
        for (int k = 0; k < 4; ++k)
          EXPECT_EQ(hit.catalogue_stars[k], rec.star_ids[hit.image_stars[k]]) << "pair " << k;
        return true;
      });
      EXPECT_TRUE(found) << "band " << b << " pattern " << index << " field " << field;
    }
  }
}

// Simulated images across the whole range of diagonals: among the quads of an
// image's eight brightest stars, one is usually stored, in a band whose size
// gates accept the field, and it comes back with the right stars.
TEST_F(BuilderTest, QuadsOfTheBrightestImageStarsAreStored) {
  std::mt19937_64 rng(29);
  std::uniform_real_distribution<double> unit(0, 1);
  const double width = 1600, height = 1200, diag = std::hypot(width, height);
  const double smallest = db().bands()[0].fov_deg / 1.34;
  const double largest = std::min(db().bands()[db().band_count() - 1].fov_deg * 2.6, kRegion.radius_deg);
  int fields = 0, solved = 0;
  for (int trial = 0; trial < 120; ++trial) {
    const double field = smallest * std::pow(largest / smallest, unit(rng));
    const double room = kRegion.radius_deg - field / 2;
    const double r = room * std::sqrt(unit(rng)), t = 2 * std::numbers::pi * unit(rng);
    const double dec = kRegion.dec_deg + r * std::sin(t);
    const double ra = kRegion.ra_deg + r * std::cos(t) / std::cos(dec / kDeg);
    const double scale = field / kDeg / diag, angle = 2 * std::numbers::pi * unit(rng);
    Wcs wcs;
    wcs.crval = {ra / kDeg, dec / kDeg};
    wcs.crpix = {(width - 1) / 2, (height - 1) / 2};
    wcs.cd = {scale * std::cos(angle), -scale * std::sin(angle), scale * std::sin(angle), scale * std::cos(angle)};
    std::vector<uint32_t> ids;
    db().stars_in_cone(0, {std::cos(dec / kDeg) * std::cos(ra / kDeg), std::cos(dec / kDeg) * std::sin(ra / kDeg),
                           std::sin(dec / kDeg)},
                       field / 2 / kDeg * 1.01, ids);
    std::ranges::sort(ids);  // brightest first
    std::vector<std::pair<uint32_t, Vec2>> image;
    for (uint32_t id : ids) {
      const Vec2 radec = star_radec(db().star_at(id));
      auto p = wcs.sky_to_pixel(radec[0], radec[1]);
      if (p && (*p)[0] >= 0 && (*p)[0] < width && (*p)[1] >= 0 && (*p)[1] < height) image.push_back({id, *p});
      if (image.size() == 8) break;
    }
    if (image.size() < 8) continue;  // the catalogue is too thin for this field
    ++fields;
    bool found = false;
    for (size_t l = 3; l < 8 && !found; ++l)
      for (size_t i = 0; i < l && !found; ++i)
        for (size_t j = i + 1; j < l && !found; ++j)
          for (size_t k = j + 1; k < l && !found; ++k) {
            const std::array<size_t, 4> q{i, j, k, l};
            const auto shape = pattern::image_pattern({image[i].second, image[j].second, image[k].second, image[l].second});
            if (!shape) continue;
            pattern::lookup(db(), *shape, {0, 1, 2, 3}, diag, [&](const pattern::PatternHit& hit) {
              for (int n = 0; n < 4; ++n)
                if (hit.catalogue_stars[n] != image[q[hit.image_stars[n]]].first) return false;
              return found = true;
            });
          }
    solved += found ? 1 : 0;
  }
  ASSERT_GT(fields, 60);
  EXPECT_GE(solved * 100, fields * 90) << solved << " of " << fields;
}

TEST_F(BuilderTest, SameStarsInAnyOrderGiveTheSameBytes) {
  auto stars = g_built->region_stars;
  std::ranges::shuffle(stars, std::mt19937_64(3));
  auto desc = plan_database(select_stars(stars, g_built->options), g_built->options);
  ASSERT_TRUE(desc) << desc.error();
  auto encoded = encode_database(*desc);
  ASSERT_TRUE(encoded);
  EXPECT_TRUE(encoded->bytes == g_built->bytes);
}

TEST(BandPlan, DefaultCoversHalfToSixtyDegreesWithOverlap) {
  const auto plan = default_band_plan();
  ASSERT_GE(plan.size(), 2u);
  ASSERT_LE(plan.size(), 8u);
  EXPECT_EQ(plan[0].stars_per_cell, 0u);
  for (double d = 0.5; d <= 60.0; d *= 1.05) {
    int serving = 0;
    for (const auto& band : plan) serving += (d >= band.fov_deg / 1.34 && d <= band.fov_deg * 2.6) ? 1 : 0;
    EXPECT_GE(serving, 1) << d;
  }
  for (size_t b = 0; b < plan.size(); ++b) {
    EXPECT_GT(plan[b].stars_per_cell == 0 ? 1u : plan[b].stars_per_cell, 0u);
    // The longest storable quad must fit the size field.
    EXPECT_GE(plan[b].size_scale_rad * kDeg, 2 * plan[b].radius_deg);
    if (b > 0) {
      EXPECT_GT(plan[b].fov_deg, plan[b - 1].fov_deg);
    }
  }

  struct Case {
    const char* text;
    bool ok;
  };
  for (const auto& c : std::vector<Case>{{"1", true},
                                         {"0.5, 2,8", true},
                                         {"2,1", false},
                                         {"1,1", false},
                                         {"", false},
                                         {"1,x", false},
                                         {"0", false},
                                         {"1,2,3,4,5,6,7,8,9", false}}) {
    EXPECT_EQ(parse_band_plan(c.text).has_value(), c.ok) << c.text;
  }
}

#ifdef KESTRUNE_BUILD_PATH
// The command line end to end, on a CSV copy of the region's stars.
TEST_F(BuilderTest, CommandLineBuildsReportsAndFailsCleanly) {
  kestrune::testing::TempDir dir;
  const fs::path csv = dir / "region.csv";
  {
    std::ofstream out(csv);
    out.precision(17);
    out << "ra_deg,dec_deg,mag\n";
    for (const auto& s : g_built->region_stars)
      if (s.mag < 9.0f) out << s.ra_deg << ',' << s.dec_deg << ',' << s.mag << '\n';
  }
  const fs::path db_path = dir / "small.krdb";
  auto run = kestrune::testing::run_program(KESTRUNE_BUILD_PATH, {csv.string(), "-o", db_path.string(), "-b", "2,5",
                                                                   "--region", "84,-2,8", "-m", "8.5"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  for (const char* item : {"stars read", "stars kept", "fov_deg", "patterns", "slots", "load factor", "file size",
                           "build time", "peak memory"})
    EXPECT_NE(run.out.find(item), std::string::npos) << item << "\n" << run.out;
  EXPECT_NE(run.err.find("band 1 patterns"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("remaining"), std::string::npos) << run.err;
  const std::string bytes = kestrune::testing::read_file(db_path);
  std::vector<std::byte> copy(bytes.size());
  std::memcpy(copy.data(), bytes.data(), bytes.size());
  auto db = Database::load(copy, true, true);
  ASSERT_TRUE(db) << db.error().message();
  EXPECT_EQ(db->band_count(), 2u);
  for (const auto& s : db->stars()) EXPECT_LE(s.mag, 8500);

  // A damaged input fails naming the file and line, and leaves the old file untouched.
  const fs::path bad = dir / "bad.csv";
  kestrune::testing::write_file(bad, "ra_deg,dec_deg,mag\n1,2,3\n4,five,6\n");
  auto failed = kestrune::testing::run_program(KESTRUNE_BUILD_PATH, {csv.string(), bad.string(), "-o", db_path.string()});
  EXPECT_NE(failed.exit_code, 0);
  EXPECT_NE(failed.err.find("bad.csv: line 3"), std::string::npos) << failed.err;
  EXPECT_EQ(kestrune::testing::read_file(db_path), bytes);
  auto fresh = kestrune::testing::run_program(KESTRUNE_BUILD_PATH, {bad.string(), "-o", (dir / "new.krdb").string()});
  EXPECT_NE(fresh.exit_code, 0);
  EXPECT_FALSE(fs::exists(dir / "new.krdb"));
  for (const auto& entry : fs::directory_iterator(dir.path()))
    EXPECT_TRUE(entry.path().extension() != ".tmp" && entry.path().filename().string().find("new.krdb") == std::string::npos)
        << entry.path();

  auto help = kestrune::testing::run_program(KESTRUNE_BUILD_PATH, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option : {"--output", "--mag-limit", "--region", "--bands", "--max-load", "--quiet", "catalogues"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}
#endif

}  // namespace
}  // namespace kestrune::tools
