// The renderer's truth is checked against images read back from disk with
// the formats' own libraries, and positions against wcslib reading a header
// built from the truth file.
#include "tools/render.hpp"

#include <fitsio.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "cli/image_access.hpp"
#include "tests/support/truth.hpp"

namespace fs = std::filesystem;
using namespace kestrune;
using namespace kestrune::tools;
using kestrune::testing::read_truth;
using kestrune::testing::WcslibProjection;

namespace {

constexpr double kDeg = 3.14159265358979323846 / 180;

fs::path scratch_dir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  const fs::path dir = fs::path(KESTRUNE_BINARY_DIR) / "render_test" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Stars spread uniformly over a cap around the centre; independent of any WCS code.
std::vector<CatalogStar> cap_stars(double ra_deg, double dec_deg, double radius_deg, int count,
                                   float mag_lo, float mag_hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  const double a0 = ra_deg * kDeg, d0 = dec_deg * kDeg, cr = std::cos(radius_deg * kDeg);
  std::vector<CatalogStar> stars;
  for (int i = 0; i < count; ++i) {
    const double cos_t = 1 - u(rng) * (1 - cr), sin_t = std::sqrt(1 - cos_t * cos_t);
    const double phi = 2 * 3.14159265358979323846 * u(rng);
    // Point at angle t from the pole, then rotated so the pole lands on the centre.
    const double x = sin_t * std::cos(phi), y = sin_t * std::sin(phi), z = cos_t;
    const double xr = x * std::sin(d0) + z * std::cos(d0),
                 zr = -x * std::cos(d0) + z * std::sin(d0);
    const double ra = std::atan2(y, xr) + a0, dec = std::asin(std::clamp(zr, -1.0, 1.0));
    double ra_deg_out = std::fmod(ra / kDeg + 360, 360);
    stars.push_back({ra_deg_out, dec / kDeg, float(mag_lo + (mag_hi - mag_lo) * u(rng))});
  }
  return stars;
}

struct Plane {
  std::vector<float> pixels;
  long width = 0, height = 0, planes = 1;
  int bitpix = 0;
  float at(long x, long y, long c = 0) const { return pixels[(c * height + y) * width + x]; }
};

Plane read_fits(const std::string& path) {
  Plane p;
  fitsfile* f = nullptr;
  int status = 0, naxis = 0;
  long naxes[3] = {1, 1, 1};
  fits_open_diskfile(&f, path.c_str(), READONLY, &status);
  fits_get_img_param(f, 3, &p.bitpix, &naxis, naxes, &status);
  p.width = naxes[0];
  p.height = naxes[1];
  p.planes = naxis == 3 ? naxes[2] : 1;
  p.pixels.resize(size_t(p.width * p.height * p.planes));
  int anynul = 0;
  fits_read_img(f, TFLOAT, 1, LONGLONG(p.pixels.size()), nullptr, p.pixels.data(), &anynul,
                &status);
  fits_close_file(f, &status);
  EXPECT_EQ(status, 0) << path;
  return p;
}

// Gaussian-weighted first moment, iterated to the point where the weighted
// offsets balance: unbiased for a symmetric star and far less noisy than a
// plain moment over the wings. The sky is the median of an annulus.
std::optional<Vec2> centroid(const Plane& p, double x0, double y0, double fwhm) {
  const double s = std::max(fwhm, 4.0) / 2.3548,
               reach = 4 * s + 2;  // a wider window for undersampled stars
  double cx = x0, cy = y0;
  std::vector<float> ring;
  const int r_out = int(std::ceil(3 * reach));
  for (int y = int(cy) - r_out; y <= int(cy) + r_out; ++y)
    for (int x = int(cx) - r_out; x <= int(cx) + r_out; ++x) {
      if (x < 0 || y < 0 || x >= p.width || y >= p.height) continue;
      if (std::hypot(x - cx, y - cy) > 2 * reach) ring.push_back(p.at(x, y));
    }
  std::nth_element(ring.begin(), ring.begin() + ring.size() / 2, ring.end());
  const double sky = ring[ring.size() / 2];
  for (int iteration = 0; iteration < 50; ++iteration) {
    double sum = 0, sx = 0, sy = 0;
    if (cx - reach < 0 || cy - reach < 0 || cx + reach + 1 >= p.width || cy + reach + 1 >= p.height)
      return std::nullopt;
    for (int y = int(cy - reach); y <= int(cy + reach) + 1; ++y)
      for (int x = int(cx - reach); x <= int(cx + reach) + 1; ++x) {
        const double dx = x - cx, dy = y - cy;
        const double w = std::exp(-0.5 * (dx * dx + dy * dy) / (s * s)) * (p.at(x, y) - sky);
        sum += w;
        sx += w * dx;
        sy += w * dy;
      }
    if (!(sum > 0)) return std::nullopt;
    const double step_x = 2 * sx / sum, step_y = 2 * sy / sum;
    cx += step_x;
    cy += step_y;
    if (std::hypot(step_x, step_y) < 1e-5) break;
  }
  return Vec2{cx, cy};
}

struct GeometryCase {
  const char* name;
  double ra, dec, scale_arcsec, rotation;
  bool flipped;
  double distortion;  // radial SIP corner fraction
  PsfShape psf;
  double fwhm, ellipticity;
  bool noise;
  double tolerance_px;  // noise-free: the centroid's own pixel-phase bias; noisy: photon noise
};

void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.name; }

class RenderGeometry : public ::testing::TestWithParam<GeometryCase> {};

// Rendered stars sit where wcslib, reading only the truth file, puts them.
TEST_P(RenderGeometry, CentroidsMatchWcslibProjectionOfTruth) {
  const GeometryCase& c = GetParam();
  RenderSpec desc;
  desc.ra_deg = c.ra;
  desc.dec_deg = c.dec;
  desc.scale_arcsec = c.scale_arcsec;
  desc.rotation_deg = c.rotation;
  desc.flipped = c.flipped;
  desc.width = 640;
  desc.height = 480;
  if (c.distortion != 0) desc.sip = radial_sip(c.distortion, desc.width, desc.height);
  desc.psf = c.psf;
  desc.fwhm_px = c.fwhm;
  desc.ellipticity = c.ellipticity;
  desc.psf_angle_deg = 30;
  desc.noise = c.noise;
  desc.sky_level = 500;
  desc.zero_point = 22;
  desc.full_well = 65000;
  desc.seed = 11;
  const double radius_deg = 0.5 * std::hypot(640.0, 480.0) * c.scale_arcsec / 3600;
  const auto catalogue = cap_stars(c.ra, c.dec, radius_deg * 1.1, 150, 8.5, 10.5, 5);

  const fs::path dir = scratch_dir();
  WriteOptions options;
  options.format = OutputFormat::FitsFloat;
  const auto written = render_to_files(desc, catalogue, options, (dir / "field").string());
  ASSERT_TRUE(written) << written.error();

  const auto truth = read_truth((dir / "field.json").string());
  ASSERT_TRUE(truth) << truth.error();
  EXPECT_EQ(truth->image_path, *written);
  const auto wcslib = WcslibProjection::from_truth(truth->json);
  ASSERT_TRUE(wcslib) << wcslib.error();
  const Plane image = read_fits(*written);
  ASSERT_EQ(image.width, 640);
  ASSERT_EQ(image.height, 480);

  // The listed truth positions are wcslib's to within numerical noise.
  ASSERT_FALSE(truth->json["stars"].empty());
  for (const auto& s : truth->json["stars"]) {
    const auto p = wcslib->sky_to_pixel(s["ra_deg"], s["dec_deg"]);
    ASSERT_TRUE(p);
    EXPECT_NEAR((*p)[0], s["x"].get<double>(), 1e-5);
    EXPECT_NEAR((*p)[1], s["y"].get<double>(), 1e-5);
  }

  // Isolated, unsaturated stars well inside the frame.
  std::vector<Vec2> expected;
  for (const auto& star : catalogue)
    if (auto p = wcslib->sky_to_pixel(star.ra_deg, star.dec_deg)) expected.push_back(*p);
  const double window = 2.5 * c.fwhm / std::sqrt(1 - c.ellipticity) + 2;
  int measured = 0;
  double worst = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto [x, y] = expected[i];
    if (x < 3 * window || y < 3 * window || x > 640 - 3 * window || y > 480 - 3 * window) continue;
    bool isolated = true;
    for (size_t j = 0; j < expected.size() && isolated; ++j)
      isolated = i == j || std::hypot(expected[j][0] - x, expected[j][1] - y) > 4 * window;
    if (!isolated || image.at(std::lround(x), std::lround(y)) >= 0.95f * 65000) continue;
    const auto found = centroid(image, x, y, c.fwhm);
    ASSERT_TRUE(found) << x << "," << y;
    worst = std::max(worst, std::hypot((*found)[0] - x, (*found)[1] - y));
    ++measured;
  }
  EXPECT_GE(measured, 10);
  EXPECT_LT(worst, c.tolerance_px) << measured << " stars";
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RenderGeometry,
    ::testing::Values(
        GeometryCase{"plain", 120, 30, 6, 0, false, 0, PsfShape::Gaussian, 3, 0, false, 0.02},
        GeometryCase{"rotated_noisy", 200, -45, 6, 37, false, 0, PsfShape::Gaussian, 2.5, 0, true,
                     0.1},
        GeometryCase{"flipped", 10, 10, 6, -120, true, 0, PsfShape::Gaussian, 3, 0, false, 0.02},
        GeometryCase{"sip_pincushion", 300, 60, 6, 15, false, 0.01, PsfShape::Gaussian, 3, 0, false,
                     0.02},
        GeometryCase{"sip_barrel_flipped", 45, -20, 6, 80, true, -0.01, PsfShape::Moffat, 3, 0,
                     true, 0.1},
        GeometryCase{"moffat_elliptic", 250, 5, 6, 0, false, 0, PsfShape::Moffat, 3.5, 0.3, false,
                     0.02},
        GeometryCase{"narrow_psf", 150, 40, 6, 10, false, 0, PsfShape::Gaussian, 1.0, 0, false,
                     0.05},
        GeometryCase{"ra_wrap", 359.9, 0, 6, 0, false, 0, PsfShape::Gaussian, 3, 0, false, 0.02},
        GeometryCase{"near_pole", 80, 89.8, 6, 60, false, 0.005, PsfShape::Gaussian, 3, 0.1, true,
                     0.1},
        GeometryCase{"wide_20deg", 100, -60, 112, 25, false, -0.02, PsfShape::Gaussian, 2.5, 0,
                     false, 0.02}),
    [](const auto& info) { return std::string(info.param.name); });

// The truth file read back as the engine's Wcs and as wcslib's header agree,
// and max_pixel_error sees a known offset.
TEST(Truth, EngineWcsAgreesWithWcslib) {
  struct Case {
    const char* name;
    double ra, dec, scale, rotation;
    bool flipped;
    double distortion;
  };
  const Case cases[] = {{"linear", 30, 40, 3, 20, false, 0},
                        {"flipped_pole", 200, -89.5, 20, -100, true, 0},
                        {"sip", 350, 10, 10, 45, false, 0.01},
                        {"sip_barrel_wide", 120, 60, 60, 170, true, -0.02}};
  const fs::path dir = scratch_dir();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RenderSpec desc;
    desc.ra_deg = c.ra;
    desc.dec_deg = c.dec;
    desc.scale_arcsec = c.scale;
    desc.rotation_deg = c.rotation;
    desc.flipped = c.flipped;
    desc.width = 800;
    desc.height = 600;
    if (c.distortion != 0) desc.sip = radial_sip(c.distortion, desc.width, desc.height);
    desc.noise = false;
    WriteOptions options;
    const std::string stem = (dir / c.name).string();
    ASSERT_TRUE(render_to_files(desc, {}, options, stem));
    const auto truth = read_truth(stem + ".json");
    ASSERT_TRUE(truth) << truth.error();
    const auto error = kestrune::testing::max_pixel_error(truth->wcs, *truth);
    ASSERT_TRUE(error);
    EXPECT_LT(*error, 1e-5);
    // The parity and rotation named in the truth are those of its CD matrix.
    const auto& cd = truth->json["wcs"]["cd"];
    const double det = cd[0][0].get<double>() * cd[1][1].get<double>() -
                       cd[0][1].get<double>() * cd[1][0].get<double>();
    EXPECT_EQ(det > 0, c.flipped);
    EXPECT_NEAR(std::atan2(-cd[0][1].get<double>(), cd[1][1].get<double>()) / kDeg, c.rotation,
                1e-9);
    EXPECT_NEAR(std::sqrt(std::abs(det)) * 3600, c.scale, 1e-9);

    Wcs shifted = truth->wcs;
    shifted.crpix[0] += 0.5;
    const auto off = kestrune::testing::max_pixel_error(shifted, *truth);
    ASSERT_TRUE(off);
    EXPECT_NEAR(*off, 0.5, 0.05);
  }
}

// Summed flux of an isolated star is its magnitude's flux (after vignetting), within the noise.
TEST(RenderPhotometry, ApertureFluxMatchesMagnitude) {
  struct Case {
    const char* name;
    PsfShape psf;
    double fwhm, ellipticity, vignetting, gain;
    float mag;
  };
  const Case cases[] = {
      {"gaussian", PsfShape::Gaussian, 3, 0, 0, 1, 11},
      {"gaussian_faint", PsfShape::Gaussian, 2, 0, 0, 1, 13},
      {"undersampled", PsfShape::Gaussian, 0.8, 0, 0, 1, 11},
      {"moffat", PsfShape::Moffat, 3, 0, 0, 2, 11},
      {"elliptic", PsfShape::Gaussian, 3, 0.4, 0, 1, 11},
      {"vignetted", PsfShape::Gaussian, 3, 0, 0.3, 1, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RenderSpec desc;
    desc.width = 400;
    desc.height = 300;
    desc.scale_arcsec = 5;
    desc.psf = c.psf;
    desc.fwhm_px = c.fwhm;
    desc.ellipticity = c.ellipticity;
    desc.vignetting = c.vignetting;
    desc.gain = c.gain;
    desc.colour_scatter_mag = 0;
    desc.zero_point = 22;
    desc.sky_level = 300;
    // One star off the centre, where vignetting bites.
    const Wcs wcs = true_wcs(desc);
    const Vec2 sky = wcs.pixel_to_sky(300.3, 90.6);
    const CatalogStar star{sky[0] / kDeg, sky[1] / kDeg, c.mag};
    const auto image = render_field(desc, std::span(&star, 1));
    ASSERT_TRUE(image) << image.error();
    ASSERT_EQ(image->stars.size(), 1u);
    const double x = image->stars[0].x, y = image->stars[0].y;
    const double radius = c.psf == PsfShape::Moffat ? 40 : 6 * c.fwhm;
    double sum = 0;
    int n = 0;
    for (int py = 0; py < 300; ++py)
      for (int px = 0; px < 400; ++px)
        if (std::hypot(px - x, py - y) <= radius) {
          const double dx = px - 199.5, dy = py - 149.5;
          const double vig =
              1 - c.vignetting * (dx * dx + dy * dy) / (199.5 * 199.5 + 149.5 * 149.5);
          sum += image->at(px, py) - desc.sky_level * vig;
          ++n;
        }
    const double dx = x - 199.5, dy = y - 149.5;
    const double vig = 1 - c.vignetting * (dx * dx + dy * dy) / (199.5 * 199.5 + 149.5 * 149.5);
    const double flux = std::pow(10.0, -0.4 * (c.mag - 22)) * vig;
    const double sigma = std::sqrt(n * image->sky_sigma * image->sky_sigma + flux / c.gain);
    EXPECT_NEAR(sum, flux, 4 * sigma + 0.002 * flux) << "aperture of " << n << " pixels";
  }
}

// Each writer's file, read back with the format's own library, holds the
// rendered samples with pixel row 0 stored first.
TEST(RenderFormats, RereadWithRowZeroFirst) {
  RenderSpec desc;
  desc.width = 97;
  desc.height = 61;
  desc.scale_arcsec = 10;
  desc.noise = false;
  desc.sky_level = 900;
  desc.gradient = 0.4;
  desc.gradient_angle_deg = 90;  // rows differ, so a flip cannot pass
  desc.zero_point = 20;
  // One bright star near the top-left corner.
  const Vec2 sky = true_wcs(desc).pixel_to_sky(12, 8);
  const CatalogStar star{sky[0] / kDeg, sky[1] / kDeg, 9};

  struct Case {
    OutputFormat format;
    uint32_t channels;
  };
  const Case cases[] = {
      {OutputFormat::Fits16, 1},    {OutputFormat::Fits16, 3}, {OutputFormat::FitsFloat, 1},
      {OutputFormat::FitsFloat, 3}, {OutputFormat::Png8, 1},   {OutputFormat::Png16, 3},
      {OutputFormat::Png16, 1},     {OutputFormat::Jpeg, 1},   {OutputFormat::Jpeg, 3},
      {OutputFormat::Tiff16, 1},    {OutputFormat::Tiff16, 3}};
  const fs::path dir = scratch_dir();
  for (const Case& c : cases) {
    const std::string label = std::string(format_name(c.format)) + "x" + std::to_string(c.channels);
    SCOPED_TRACE(label);
    desc.channels = c.channels;
    WriteOptions options;
    options.format = c.format;
    options.jpeg_quality = 95;
    options.tiff_compression = c.channels == 3 ? TiffCompression::Deflate : TiffCompression::None;
    const std::string stem = (dir / label).string();
    const auto path = render_to_files(desc, std::span(&star, 1), options, stem);
    ASSERT_TRUE(path) << path.error();
    const auto image = render_field(desc, std::span(&star, 1));
    ASSERT_TRUE(image);
    const auto truth = read_truth(stem + ".json");
    ASSERT_TRUE(truth);
    EXPECT_EQ(truth->image_path, *path);

    // Expected stored sample for (x, y, c), and what the file holds.
    std::function<double(float)> quantise = [](float v) {
      return std::lround(std::clamp<double>(v, 0, 65535));
    };
    if (c.format == OutputFormat::FitsFloat) quantise = [](float v) { return double(v); };
    if (c.format == OutputFormat::Png8 || c.format == OutputFormat::Jpeg) {
      const auto& s = truth->json["output"]["stretch"];
      const double black = s["black"], white = s["white"], gamma = s["gamma"];
      quantise = [=](float v) {
        return std::lround(255 *
                           std::pow(std::clamp((v - black) / (white - black), 0.0, 1.0), gamma));
      };
    }
    std::vector<double> stored;  // planar, like the image
    const size_t plane = size_t(desc.width) * desc.height;
    stored.resize(plane * c.channels);
    if (c.format == OutputFormat::Fits16 || c.format == OutputFormat::FitsFloat) {
      fitsfile* f = nullptr;
      int status = 0;
      fits_open_diskfile(&f, path->c_str(), READONLY, &status);
      int bitpix = 0, naxis = 0;
      long naxes[3] = {0, 0, 0};
      fits_get_img_param(f, 3, &bitpix, &naxis, naxes, &status);
      EXPECT_EQ(bitpix, c.format == OutputFormat::Fits16 ? 16 : -32);
      EXPECT_EQ(naxis, c.channels == 3 ? 3 : 2);
      EXPECT_EQ(naxes[0], 97);
      EXPECT_EQ(naxes[1], 61);
      if (c.format == OutputFormat::Fits16) {
        double bzero = 0;
        fits_read_key(f, TDOUBLE, "BZERO", &bzero, nullptr, &status);
        EXPECT_EQ(bzero, 32768);
      }
      for (const char* key : {"CTYPE1", "CRVAL1", "CRPIX1", "CD1_1", "A_ORDER"}) {
        char value[FLEN_VALUE];
        int missing = 0;
        fits_read_keyword(f, key, value, nullptr, &missing);
        EXPECT_EQ(missing, KEY_NO_EXIST) << key << " must not be in the image";
      }
      std::vector<double> data(stored.size());
      int anynul = 0;
      fits_read_img(f, TDOUBLE, 1, LONGLONG(data.size()), nullptr, data.data(), &anynul, &status);
      fits_close_file(f, &status);
      ASSERT_EQ(status, 0);
      stored = data;
    } else if (c.format == OutputFormat::Png8 || c.format == OutputFormat::Png16) {
      png_image png{};
      png.version = PNG_IMAGE_VERSION;
      ASSERT_TRUE(png_image_begin_read_from_file(&png, path->c_str()));
      const bool sixteen = c.format == OutputFormat::Png16;
      EXPECT_EQ(bool(png.format & PNG_FORMAT_FLAG_LINEAR), sixteen);
      EXPECT_EQ(bool(png.format & PNG_FORMAT_FLAG_COLOR), c.channels == 3);
      // Read the file's own sample values: no gamma or colour conversion.
      png_image_free(&png);
      FILE* fp = std::fopen(path->c_str(), "rb");
      png_structp rd = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
      png_infop info = png_create_info_struct(rd);
      png_init_io(rd, fp);
      png_read_png(rd, info, PNG_TRANSFORM_IDENTITY, nullptr);
      EXPECT_EQ(png_get_bit_depth(rd, info), sixteen ? 16 : 8);
      png_bytepp rows = png_get_rows(rd, info);
      for (uint32_t y = 0; y < desc.height; ++y)
        for (uint32_t x = 0; x < desc.width; ++x)
          for (uint32_t ch = 0; ch < c.channels; ++ch) {
            const size_t i = size_t(x) * c.channels + ch;
            stored[ch * plane + size_t(y) * desc.width + x] =
                sixteen ? rows[y][2 * i] * 256 + rows[y][2 * i + 1] : rows[y][i];
          }
      png_destroy_read_struct(&rd, &info, nullptr);
      std::fclose(fp);
    } else if (c.format == OutputFormat::Jpeg) {
      jpeg_decompress_struct cinfo{};
      jpeg_error_mgr err{};
      cinfo.err = jpeg_std_error(&err);
      jpeg_create_decompress(&cinfo);
      FILE* fp = std::fopen(path->c_str(), "rb");
      jpeg_stdio_src(&cinfo, fp);
      jpeg_read_header(&cinfo, TRUE);
      jpeg_start_decompress(&cinfo);
      EXPECT_EQ(cinfo.output_components, int(c.channels));
      std::vector<uint8_t> row(size_t(desc.width) * c.channels);
      while (cinfo.output_scanline < cinfo.output_height) {
        const uint32_t y = cinfo.output_scanline;
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&cinfo, &r, 1);
        for (uint32_t x = 0; x < desc.width; ++x)
          for (uint32_t ch = 0; ch < c.channels; ++ch)
            stored[ch * plane + size_t(y) * desc.width + x] = row[size_t(x) * c.channels + ch];
      }
      jpeg_finish_decompress(&cinfo);
      jpeg_destroy_decompress(&cinfo);
      std::fclose(fp);
    } else {
      TIFF* t = TIFFOpen(path->c_str(), "r");
      ASSERT_NE(t, nullptr);
      uint16_t bits = 0, spp = 0, orientation = 0;
      TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bits);
      TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
      TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &orientation);
      EXPECT_EQ(bits, 16);
      EXPECT_EQ(spp, c.channels);
      EXPECT_EQ(orientation, ORIENTATION_TOPLEFT);
      std::vector<uint16_t> row(size_t(desc.width) * c.channels);
      for (uint32_t y = 0; y < desc.height; ++y) {
        ASSERT_EQ(TIFFReadScanline(t, row.data(), y, 0), 1);
        for (uint32_t x = 0; x < desc.width; ++x)
          for (uint32_t ch = 0; ch < c.channels; ++ch)
            stored[ch * plane + size_t(y) * desc.width + x] = row[size_t(x) * c.channels + ch];
      }
      TIFFClose(t);
    }

    // Lossless formats hold exactly the quantised samples; JPEG stays close.
    double worst = 0, total = 0;
    for (uint32_t ch = 0; ch < c.channels; ++ch)
      for (uint32_t y = 0; y < desc.height; ++y)
        for (uint32_t x = 0; x < desc.width; ++x) {
          const double d = std::abs(stored[ch * plane + size_t(y) * desc.width + x] -
                                    quantise(image->at(x, y, ch)));
          worst = std::max(worst, d);
          total += d;
        }
    if (c.format == OutputFormat::Jpeg) {
      EXPECT_LT(total / double(stored.size()), 1.5);
    } else {
      EXPECT_EQ(worst, 0);
    }
    // The star's peak is where it was put, in the top rows.
    const auto peak =
        std::max_element(stored.begin(), stored.begin() + long(plane)) - stored.begin();
    EXPECT_NEAR(double(peak % desc.width), 12, 1);
    EXPECT_NEAR(double(peak / desc.width), 8, 1);
  }
}

// The solver's own image loader sees the same samples, row 0 first.
TEST(RenderFormats, SolverLoaderReadsWrittenSamples) {
  RenderSpec desc;
  desc.width = 120;
  desc.height = 80;
  desc.scale_arcsec = 10;
  desc.gradient = 0.5;
  desc.gradient_angle_deg = 90;
  desc.hot_pixels = 5;
  const auto image = render_field(desc, {});
  ASSERT_TRUE(image);
  const fs::path dir = scratch_dir();
  for (OutputFormat format : {OutputFormat::Fits16, OutputFormat::Png16, OutputFormat::Tiff16}) {
    SCOPED_TRACE(std::string(format_name(format)));
    const std::string path = (dir / ("field" + std::string(format_extension(format)))).string();
    WriteOptions options;
    options.format = format;
    ASSERT_TRUE(write_image(path, *image, options));
    const auto plane = cli::load_image(path);
    ASSERT_TRUE(plane) << plane.error().text();
    ASSERT_EQ(plane->width, 120u);
    ASSERT_EQ(plane->height, 80u);
    int mismatches = 0;
    for (uint32_t y = 0; y < 80; ++y)
      for (uint32_t x = 0; x < 120; ++x)
        mismatches += plane->samples[y * 120 + x] != std::lround(image->at(x, y));
    EXPECT_EQ(mismatches, 0);
  }
}

// Saturation, hot pixels, the trail and the seed behave as asked.
TEST(RenderConditions, DetectorEffectsAndSeed) {
  RenderSpec desc;
  desc.width = 300;
  desc.height = 200;
  desc.scale_arcsec = 5;
  desc.zero_point = 25;
  desc.full_well = 40000;
  const Vec2 sky = true_wcs(desc).pixel_to_sky(150, 100);
  const CatalogStar bright{sky[0] / kDeg, sky[1] / kDeg, 6};
  const auto a = render_field(desc, std::span(&bright, 1));
  ASSERT_TRUE(a);
  // A flat top: many pixels clipped at exactly the full well.
  const auto clipped = std::count(a->pixels.begin(), a->pixels.end(), 40000.0f);
  EXPECT_GT(clipped, 20);
  EXPECT_EQ(*std::max_element(a->pixels.begin(), a->pixels.end()), 40000.0f);

  const auto again = render_field(desc, std::span(&bright, 1));
  EXPECT_EQ(a->pixels, again->pixels) << "same seed, same image";
  RenderSpec other = desc;
  other.seed = 2;
  EXPECT_NE(a->pixels, render_field(other, std::span(&bright, 1))->pixels);

  RenderSpec hot = desc;
  hot.hot_pixels = 25;
  hot.full_well = 60000;
  const auto h = render_field(hot, {});
  const auto lit =
      std::count_if(h->pixels.begin(), h->pixels.end(), [](float v) { return v > 10000; });
  EXPECT_GE(lit, 23);  // two may land on one pixel
  EXPECT_LE(lit, 25);

  RenderSpec trail = desc;
  trail.satellite = true;
  trail.satellite_adu = 3000;
  trail.noise = false;
  const auto t = render_field(trail, {});
  const auto streak =
      std::count_if(t->pixels.begin(), t->pixels.end(), [](float v) { return v > 800 + 1500; });
  EXPECT_GT(streak, 200) << "a line across a 300 x 200 frame";

  RenderSpec faint = desc;
  faint.faint_stars = 40;
  const auto f = render_field(faint, std::span(&bright, 1));
  EXPECT_EQ(std::count_if(f->stars.begin(), f->stars.end(),
                          [](const RenderedStar& s) { return !s.catalogue; }),
            40);
  for (const auto& s : f->stars)
    if (!s.catalogue) {
      EXPECT_GE(s.mag, 6.0f);
    }
}

TEST(RenderSpecCheck, RejectsUnusableSpecs) {
  struct Case {
    const char* name;
    void (*change)(RenderSpec&);
  };
  const Case cases[] = {
      {"zero width", [](RenderSpec& s) { s.width = 0; }},
      {"two channels", [](RenderSpec& s) { s.channels = 2; }},
      {"zero scale", [](RenderSpec& s) { s.scale_arcsec = 0; }},
      {"NaN scale", [](RenderSpec& s) { s.scale_arcsec = std::nan(""); }},
      {"zero fwhm", [](RenderSpec& s) { s.fwhm_px = 0; }},
      {"ellipticity 1", [](RenderSpec& s) { s.ellipticity = 1; }},
      {"Moffat beta 1",
       [](RenderSpec& s) {
         s.psf = PsfShape::Moffat;
         s.moffat_beta = 1;
       }},
      {"dec beyond pole", [](RenderSpec& s) { s.dec_deg = 91; }},
      {"field over 120 degrees", [](RenderSpec& s) { s.scale_arcsec = 400; }},
      {"zero gain", [](RenderSpec& s) { s.gain = 0; }},
  };
  for (const Case& c : cases) {
    RenderSpec desc;
    c.change(desc);
    EXPECT_FALSE(render_field(desc, {})) << c.name;
  }
}

// Batch fields: reproducible, pointings uniform on the sphere, diagonals log-uniform.
TEST(RenderBatch, RandomFieldsCoverTheRanges) {
  BatchRanges ranges;
  ranges.diagonal_min_deg = 0.5;
  ranges.diagonal_max_deg = 32;
  constexpr int kFields = 4000;
  int equatorial = 0, small = 0;
  for (int i = 0; i < kFields; ++i) {
    const RandomField f = random_field(ranges, 99, i);
    const RenderSpec& s = f.desc;
    const double diagonal = std::hypot(double(s.width), double(s.height)) * s.scale_arcsec / 3600;
    ASSERT_GE(diagonal, 0.5 - 1e-9);
    ASSERT_LE(diagonal, 32 + 1e-9);
    ASSERT_GE(s.width, ranges.width_min);
    ASSERT_LE(s.width, ranges.width_max);
    equatorial +=
        std::abs(s.dec_deg) < 30;  // half the sphere lies within 30 degrees of the equator
    small += diagonal < 4;         // the geometric middle of [0.5, 32]
  }
  EXPECT_NEAR(equatorial / double(kFields), 0.5, 0.03);
  EXPECT_NEAR(small / double(kFields), 0.5, 0.03);
  const RandomField a = random_field(ranges, 99, 7), b = random_field(ranges, 99, 7);
  EXPECT_EQ(a.desc.ra_deg, b.desc.ra_deg);
  EXPECT_EQ(a.desc.seed, b.desc.seed);
  EXPECT_NE(a.desc.ra_deg, random_field(ranges, 99, 8).desc.ra_deg);
}

// The merged-catalogue cache returns what the files hold and follows changes to them.
TEST(RenderCatalog, CacheFollowsItsInputs) {
  const fs::path dir = scratch_dir();
  const std::string csv = (dir / "stars.csv").string();
  ASSERT_TRUE(write_text(csv, "ra_deg,dec_deg,mag\n10.5,20.25,7.5\n11,21,6\n"));
  const std::string paths[] = {csv};
  const auto first = load_render_catalog(paths, (dir / "cache").string());
  ASSERT_TRUE(first) << first.error();
  ASSERT_EQ(first->size(), 2u);
  ASSERT_EQ(std::distance(fs::directory_iterator(dir / "cache"), fs::directory_iterator{}), 1);
  const auto cached = load_render_catalog(paths, (dir / "cache").string());
  ASSERT_TRUE(cached);
  ASSERT_EQ(cached->size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ((*cached)[i].ra_deg, (*first)[i].ra_deg);
    EXPECT_EQ((*cached)[i].dec_deg, (*first)[i].dec_deg);
    EXPECT_EQ((*cached)[i].mag, (*first)[i].mag);
  }
  ASSERT_TRUE(write_text(csv, "ra_deg,dec_deg,mag\n10.5,20.25,7.5\n11,21,6\n50,-10,9\n"));
  const auto changed = load_render_catalog(paths, (dir / "cache").string());
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->size(), 3u);
  const std::string missing[] = {(dir / "none.csv").string()};
  EXPECT_FALSE(load_render_catalog(missing, (dir / "cache").string()));
}

}  // namespace

#ifdef KESTRUNE_RENDER_PATH
namespace {

int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// The program wires its options through to the files it writes.
TEST(RenderProgram, SingleFieldAndBatch) {
  const fs::path dir = scratch_dir();
  const std::string csv = (dir / "stars.csv").string();
  ASSERT_TRUE(write_text(csv, "ra_deg,dec_deg,mag\n150.1,20.05,8\n149.9,19.9,9\n150.3,20.2,10\n"));
  const std::string base = std::string(KESTRUNE_RENDER_PATH) + " --no-cache --catalog " + csv;

  ASSERT_EQ(
      run(base +
          " --ra 150 --dec 20 --diagonal 2 -W 400 -H 300 --rotation 33 --flip --distortion 0.004" +
          " --fwhm 2.2 --psf moffat --colour -f png16 --seed 5 -o " + (dir / "one").string()),
      0);
  const auto truth = read_truth((dir / "one.json").string());
  ASSERT_TRUE(truth) << truth.error();
  EXPECT_TRUE(fs::exists(dir / "one.png"));
  EXPECT_NEAR(truth->json["diagonal_deg"].get<double>(), 2, 1e-9);
  EXPECT_EQ(truth->json["parity"], "flipped");
  EXPECT_EQ(truth->json["rotation_deg"], 33);
  EXPECT_EQ(truth->json["channels"], 3);
  EXPECT_EQ(truth->json["format"], "png16");
  EXPECT_EQ(truth->json["render"]["psf"], "moffat");
  EXPECT_EQ(truth->json["render"]["seed"], 5);
  EXPECT_FALSE(truth->json["wcs"]["sip"].is_null());
  EXPECT_EQ(truth->json["stars"].size(), 3u);

  const fs::path batch = dir / "batch";
  ASSERT_EQ(
      run(base + " batch -n 3 --width-min 200 --width-max 300 --formats png8,tiff16 --seed 9 -d " +
          batch.string()),
      0);
  std::ifstream index(batch / "index.csv");
  std::string line;
  std::getline(index, line);
  EXPECT_EQ(line.rfind("image,truth,format", 0), 0u);
  int rows = 0;
  while (std::getline(index, line)) {
    ++rows;
    const std::string image = line.substr(0, line.find(','));
    EXPECT_TRUE(fs::exists(batch / image)) << image;
    const std::string ext = fs::path(image).extension().string();
    EXPECT_TRUE(ext == ".png" || ext == ".tif") << image;
    const auto t = read_truth((batch / fs::path(image).replace_extension(".json")).string());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->image_path, (batch / image).string());
  }
  EXPECT_EQ(rows, 3);

  struct Bad {
    const char* name;
    const char* args;
  };
  const Bad bad[] = {{"short SIP list", " --sip-order 3 --sip-a 1e-6,0,0 --sip-b 0,0,0"},
                     {"unknown format", " -f gif"},
                     {"scale and diagonal", " --scale 2 --diagonal 3"},
                     {"zero width", " -W 0"}};
  for (const Bad& b : bad)
    EXPECT_NE(run(base + b.args + " -o " + (dir / "bad").string()), 0) << b.name;
  EXPECT_FALSE(fs::exists(dir / "bad.json"));
}

}  // namespace
#endif
