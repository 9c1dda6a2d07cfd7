// Solving rendered images end to end through the built orvek_cli, against a
// small database built from the real catalogues, and checking each .wcs with
// wcslib against the renderer's truth.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "tests/support/process.hpp"
#include "tests/support/truth.hpp"
#include "tools/builder.hpp"
#include "tools/catalog.hpp"
#include "tools/db_writer.hpp"
#include "tools/render.hpp"

namespace fs = std::filesystem;
using namespace kestrune;
using namespace kestrune::testing;
using namespace kestrune::tools;

namespace {

constexpr double kDeg = 180.0 / std::numbers::pi;

// The database covers Orion and its surroundings; the "elsewhere" stars come
// from a patch of sky the database does not hold.
constexpr SkyRegion kDbRegion{84.0, -2.0, 16.0};
constexpr SkyRegion kElsewhere{250.0, 40.0, 3.0};

bool in_region(const CatalogStar& s, const SkyRegion& r) {
  const double ra = s.ra_deg / kDeg, dec = s.dec_deg / kDeg;
  const double ra0 = r.ra_deg / kDeg, dec0 = r.dec_deg / kDeg;
  return std::sin(dec) * std::sin(dec0) + std::cos(dec) * std::cos(dec0) * std::cos(ra - ra0) >=
         std::cos(r.radius_deg / kDeg) - 1e-9;
}

struct World {
  TempDir dir;
  std::string db_path;
  std::vector<CatalogStar> db_stars;
  std::vector<CatalogStar> elsewhere_stars;
};

World* g_world = nullptr;

class SolveEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (g_world) return;
    const auto paths = default_catalog_paths(KESTRUNE_CACHE_DIR);
    for (const auto& p : paths)
      if (!fs::exists(p)) return;
    auto world = std::make_unique<World>();
    std::vector<CatalogStar> near, far;
    for (const auto& p : paths) {
      auto stars = read_catalog(p);
      ASSERT_TRUE(stars) << stars.error();
      for (const auto& s : *stars) {
        if (in_region(s, kDbRegion)) near.push_back(s);
        if (in_region(s, kElsewhere)) far.push_back(s);
      }
    }
    world->db_stars = merge_catalogs(std::move(near));
    world->elsewhere_stars = merge_catalogs(std::move(far));
    BuildOptions options;
    auto desc = plan_database(select_stars(world->db_stars, options), options);
    ASSERT_TRUE(desc) << desc.error();
    world->db_path = (world->dir / "orion.krdb").string();
    auto written = write_database(*desc, world->db_path);
    ASSERT_TRUE(written) << written.error().message();
    g_world = world.release();
  }

  void SetUp() override {
    if (!g_world) GTEST_SKIP() << "catalogues not fetched (scripts/fetch_catalogues)";
  }

  static RunResult solve(const std::string& image, const std::string& base) {
    return run_program(ORVEK_CLI_PATH, {"-f", image, "-o", base},
                       {{"KESTRUNE_DB", g_world->db_path}, {"KESTRUNE_VERIFY", "1"}});
  }
};

struct Field {
  const char* name;
  double diagonal_deg;
  uint32_t width, height;
  double rotation_deg;
  bool flipped;
  double distortion;  // corner displacement fraction of its radius
  OutputFormat format;
};

// The .wcs text up to and including END: wcslib counts blank padding as cards.
std::string cards_of(const std::string& wcs_text) {
  for (size_t at = 0; at + 80 <= wcs_text.size(); at += 80)
    if (wcs_text.compare(at, 3, "END") == 0) return wcs_text.substr(0, at);
  return wcs_text;
}

}  // namespace

// Fields of several sizes, both parities, rotated, distorted, in every format:
// each solves, and its .wcs read by wcslib puts the sky where the truth does.
TEST_F(SolveEndToEnd, RenderedFieldsSolveToTheTruth) {
  const Field fields[] = {
      {"small_fits", 1.2, 1200, 900, 30, false, 0, OutputFormat::Fits16},
      {"mid_png", 3.0, 1000, 800, 200, true, -0.002, OutputFormat::Png16},
      {"wide_jpeg", 8.0, 1200, 800, 75, false, -0.003, OutputFormat::Jpeg},
      {"wider_tiff", 18.0, 1400, 1000, 310, true, 0.003, OutputFormat::Tiff16},
      {"float_fits", 5.0, 900, 900, 0, false, 0.0015, OutputFormat::FitsFloat},
  };
  uint64_t seed = 11;
  for (const auto& f : fields) {
    SCOPED_TRACE(f.name);
    RenderSpec desc;
    desc.ra_deg = kDbRegion.ra_deg + 1.0;
    desc.dec_deg = kDbRegion.dec_deg - 0.5;
    desc.width = f.width;
    desc.height = f.height;
    desc.scale_arcsec = scale_for_diagonal(f.diagonal_deg, f.width, f.height);
    desc.rotation_deg = f.rotation_deg;
    desc.flipped = f.flipped;
    if (f.distortion != 0) desc.sip = radial_sip(f.distortion, f.width, f.height);
    desc.faint_stars = 200;
    desc.hot_pixels = 10;
    desc.seed = seed++;
    WriteOptions options;
    options.format = f.format;
    const std::string stem = (g_world->dir / f.name).string();
    auto image = render_to_files(desc, g_world->db_stars, options, stem);
    ASSERT_TRUE(image) << image.error();

    auto r = solve(*image, stem);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Solution found: RA ", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(fs::exists(stem + ".ini"));
    EXPECT_EQ(read_file(stem + ".ini").rfind("PLTSOLVD=T\n", 0), 0u);

    auto truth = read_truth(stem + ".json");
    ASSERT_TRUE(truth) << truth.error();
    auto truth_proj = WcslibProjection::from_truth(truth->json);
    ASSERT_TRUE(truth_proj) << truth_proj.error();
    auto solved = WcslibProjection::from_cards(cards_of(read_file(stem + ".wcs")));
    ASSERT_TRUE(solved) << solved.error();

    // Where the solution puts the sky that the truth sees at each pixel.
    const double cx = (f.width - 1) * 0.5, cy = (f.height - 1) * 0.5;
    auto err_at = [&](double x, double y) {
      auto sky = truth_proj->pixel_to_sky(x, y);
      EXPECT_TRUE(sky);
      auto back = solved->sky_to_pixel((*sky)[0], (*sky)[1]);
      EXPECT_TRUE(back);
      return (sky && back) ? std::hypot((*back)[0] - x, (*back)[1] - y) : INFINITY;
    };
    EXPECT_LT(err_at(cx, cy), 0.5);
    double sum = 0;
    int n = 0;
    for (int i = 0; i <= 8; ++i)
      for (int j = 0; j <= 8; ++j) {
        double e = err_at(i * (f.width - 1) / 8.0, j * (f.height - 1) / 8.0);
        sum += e * e;
        ++n;
      }
    EXPECT_LT(std::sqrt(sum / n), 0.5);
  }
}

// A frame with a handful of stars exits 2; stars the database does not hold
// exit 1. Neither leaves a .wcs.
TEST_F(SolveEndToEnd, UnsolvableFieldsLeaveNoWcs) {
  struct Case {
    const char* name;
    const SkyRegion* where;
    const std::vector<CatalogStar>* stars;
    double mag_limit;
    int code;
    const char* reason;
  };
  const Case cases[] = {
      {"sparse", &kDbRegion, &g_world->db_stars, 4.0, 2, "too_few_stars"},
      {"elsewhere", &kElsewhere, &g_world->elsewhere_stars, 99, 1, "exhausted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RenderSpec desc;
    desc.ra_deg = c.where->ra_deg;
    desc.dec_deg = c.where->dec_deg;
    desc.width = 1000;
    desc.height = 800;
    desc.scale_arcsec = scale_for_diagonal(2.0, 1000, 800);
    desc.mag_limit = c.mag_limit;
    desc.seed = 5;
    const std::string stem = (g_world->dir / c.name).string();
    auto image = render_to_files(desc, *c.stars, {}, stem);
    ASSERT_TRUE(image) << image.error();
    tools::write_text(stem + ".wcs", "stale");
    auto r = solve(*image, stem);
    EXPECT_EQ(r.exit_code, c.code) << r.err;
    EXPECT_EQ(r.err.rfind(std::string("No solution found: ") + c.reason + " (", 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(stem + ".wcs"));
    EXPECT_EQ(read_file(stem + ".ini"), "PLTSOLVD=F\nERROR=" + r.err);
  }
}
