// Star positions on rendered sky images against the renderer's truth and
// against Source Extractor run on the same FITS file.
#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/extract.hpp"
#include "core/records.hpp"
#include "tools/render.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct Point {
  double x, y;
};

// A deterministic catalogue around (ra, dec): uniform positions over a
// square of `side_deg`, magnitudes rising in number towards the faint end.
std::vector<tools::CatalogStar> synthetic_catalogue(double ra, double dec, double side_deg,
                                                    size_t count, uint64_t seed) {
  uint64_t state = seed * 0x9e3779b97f4a7c15ull + 1;
  auto uniform = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
  };
  std::vector<tools::CatalogStar> stars;
  const double cos_dec = std::cos(dec * M_PI / 180);
  for (size_t i = 0; i < count; ++i) {
    const double r = ra + (uniform() - 0.5) * side_deg / cos_dec;
    const double d = dec + (uniform() - 0.5) * side_deg;
    const double mag = std::max(8.0, 15.0 + std::log10(uniform()) / 0.35);
    stars.push_back({r, d, static_cast<float>(mag)});
  }
  return stars;
}

std::vector<uint16_t> read_fits_u16(const std::string& path, uint32_t width, uint32_t height) {
  fitsfile* f = nullptr;
  int status = 0;
  std::vector<uint16_t> samples(size_t{width} * height);
  fits_open_file(&f, path.c_str(), READONLY, &status);
  int anynul = 0;
  fits_read_img(f, TUSHORT, 1, static_cast<LONGLONG>(samples.size()), nullptr, samples.data(),
                &anynul, &status);
  fits_close_file(f, &status);
  EXPECT_EQ(status, 0) << "cfitsio reading " << path;
  return samples;
}

// Source Extractor with a plain configuration: no filter, 3-sigma detection
// on 5 pixels; positions made zero-based.
std::optional<std::vector<Point>> source_extractor(const fs::path& dir, const fs::path& image) {
  std::ofstream(dir / "default.param") << "X_IMAGE\nY_IMAGE\nFLUX_AUTO\nFLAGS\n";
  std::ofstream(dir / "default.sex") << "CATALOG_TYPE ASCII_HEAD\n"
                                        "PARAMETERS_NAME "
                                     << (dir / "default.param").string()
                                     << "\nDETECT_MINAREA 5\nDETECT_THRESH 3\nANALYSIS_THRESH 3\n"
                                        "FILTER N\nSATUR_LEVEL 60000\nBACK_SIZE 64\n"
                                        "VERBOSE_TYPE QUIET\n";
  const fs::path catalog = dir / "se.cat";
  const std::string cmd = "source-extractor '" + image.string() + "' -c '" +
                          (dir / "default.sex").string() + "' -CATALOG_NAME '" + catalog.string() +
                          "' > '" + (dir / "se.log").string() + "' 2>&1";
  if (std::system(cmd.c_str()) != 0) return std::nullopt;
  std::ifstream in(catalog);
  std::vector<Point> points;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream row(line);
    double x, y;
    if (row >> x >> y) points.push_back({x - 1, y - 1});
  }
  return points;
}

std::optional<double> nearest(const std::vector<Point>& points, Point p, double within) {
  double best = within;
  bool found = false;
  for (const Point& q : points) {
    const double d = std::hypot(q.x - p.x, q.y - p.y);
    if (d < best) best = d, found = true;
  }
  return found ? std::optional(best) : std::nullopt;
}

double median_of(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::ranges::sort(v);
  return v[v.size() / 2];
}

// Truth stars that are unsaturated, clear of the border and with no other
// star of more than 2% of their flux within 8 pixels.
std::vector<Point> isolated_truth(const tools::RenderedImage& image) {
  std::vector<Point> out;
  for (const tools::RenderedStar& s : image.stars) {
    if (s.x < 12 || s.y < 12 || s.x > image.width - 13 || s.y > image.height - 13) continue;
    const bool crowded = std::ranges::any_of(image.stars, [&](const tools::RenderedStar& o) {
      return &o != &s && o.flux > 0.02 * s.flux && std::hypot(o.x - s.x, o.y - s.y) < 8;
    });
    if (crowded) continue;
    float peak = 0;
    for (int dy = -2; dy <= 2; ++dy)
      for (int dx = -2; dx <= 2; ++dx)
        peak = std::max(peak, image.at(static_cast<uint32_t>(std::lround(s.x)) + dx,
                                       static_cast<uint32_t>(std::lround(s.y)) + dy));
    if (peak >= 0.9 * image.saturation) continue;
    out.push_back({s.x, s.y});
  }
  return out;
}

TEST(ExtractCrosscheck, PositionsAgreeWithTruthAndSourceExtractor) {
  struct Case {
    const char* name;
    tools::PsfShape psf;
    double fwhm_px;
    double gradient;
    double vignetting;
  };
  const Case cases[] = {
      {"gaussian", tools::PsfShape::Gaussian, 3.0, 0.0, 0.0},
      {"moffat_gradient", tools::PsfShape::Moffat, 3.5, 0.3, 0.2},
  };
  const fs::path root = fs::path(KESTRUNE_BINARY_DIR) / "extract_crosscheck";
  fs::create_directories(root);
  for (const Case& c : cases) {
    tools::RenderSpec desc;
    desc.ra_deg = 120;
    desc.dec_deg = 30;
    desc.width = 1200;
    desc.height = 900;
    desc.scale_arcsec = 2.5;
    desc.psf = c.psf;
    desc.fwhm_px = c.fwhm_px;
    desc.gradient = c.gradient;
    desc.vignetting = c.vignetting;
    desc.seed = 17;
    const auto catalogue = synthetic_catalogue(120, 30, 1.2, 2500, 5);
    const auto image = tools::render_field(desc, catalogue);
    ASSERT_TRUE(image) << image.error();
    const fs::path dir = root / c.name;
    fs::create_directories(dir);
    const fs::path fits = dir / "field.fits";
    ASSERT_TRUE(tools::write_image(fits.string(), *image, {}));

    const auto samples = read_fits_u16(fits.string(), desc.width, desc.height);
    const auto extraction = extract_stars(samples, desc.width, desc.height, kFrontEndExtractParams,
                                          kFrontEndSolveParams.max_stars);
    ASSERT_TRUE(extraction);
    const std::vector<Point> truth = isolated_truth(*image);

    std::vector<Point> ours;
    std::vector<double> ours_vs_truth;
    for (const ImageStar& s : extraction->stars) {
      const Point p{s.x, s.y};
      const auto d = nearest(truth, p, 1.5);
      if (!d) continue;
      ours.push_back(p);
      ours_vs_truth.push_back(*d);
    }
    ASSERT_GE(ours.size(), 40u) << c.name;
    const double median_truth = median_of(ours_vs_truth);
    std::cout << c.name << ": " << extraction->stars.size() << " stars, " << ours.size()
              << " isolated and unsaturated; median offset from truth " << median_truth << " px\n";
    EXPECT_LT(median_truth, 0.15) << c.name;

    const auto se = source_extractor(dir, fits);
    if (!se) {
      ADD_FAILURE() << "source-extractor failed, see " << (dir / "se.log");
      continue;
    }
    std::vector<double> ours_vs_se, se_vs_truth;
    for (const Point& p : ours) {
      if (const auto d = nearest(*se, p, 1.5)) ours_vs_se.push_back(*d);
    }
    for (const Point& t : truth) {
      if (const auto d = nearest(*se, t, 1.5); d && nearest(ours, t, 1.5))
        se_vs_truth.push_back(*d);
    }
    std::cout << c.name << ": Source Extractor found " << se->size() << " objects; "
              << ours_vs_se.size() << " of ours matched, median offset " << median_of(ours_vs_se)
              << " px; its own median offset from truth " << median_of(se_vs_truth) << " px\n";
    EXPECT_GE(ours_vs_se.size(), ours.size() * 9 / 10) << c.name;
    EXPECT_LT(median_of(ours_vs_se), 0.25) << c.name;
  }
}

}  // namespace
}  // namespace kestrune
