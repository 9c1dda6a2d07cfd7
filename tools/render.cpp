#include "tools/render.hpp"

#include <fitsio.h>
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <type_traits>

#include "tools/db_writer.hpp"

namespace kestrune::tools {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kFwhmPerSigma = 2.3548200450309493;
// A stamp reaches out to where a star adds less than this to a pixel.
constexpr double kStampFloorAdu = 0.01;
constexpr int kMaxStampRadius = 300;

// xoshiro256** seeded by splitmix64: small, fast and the same on every
// platform, unlike the standard distributions.
class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (auto& word : s_) {
      seed += 0x9e3779b97f4a7c15ULL;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      word = z ^ (z >> 31);
    }
  }
  uint64_t next() {
    const uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = std::rotl(s_[3], 45);
    return result;
  }
  double uniform() { return double(next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  uint32_t below(uint32_t n) { return uint32_t((next() >> 32) * n >> 32); }
  bool chance(double p) { return uniform() < p; }
  double normal() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double u = 0;
    while (u <= 0) u = uniform();
    const double r = std::sqrt(-2.0 * std::log(u));
    const double phi = 2 * kPi * uniform();
    spare_ = r * std::sin(phi);
    has_spare_ = true;
    return r * std::cos(phi);
  }
  // Knuth's product method; only used for small means.
  double poisson(double mean) {
    const double limit = std::exp(-mean);
    double product = uniform();
    int k = 0;
    while (product > limit) {
      ++k;
      product *= uniform();
    }
    return k;
  }

 private:
  uint64_t s_[4];
  double spare_ = 0;
  bool has_spare_ = false;
};

// Separate streams, so that changing one condition leaves the others alone.
enum Stream : uint64_t { kScatter = 1, kFaint, kNoise, kHot, kTrail, kColour };
Rng stream(uint64_t seed, Stream which) { return Rng(seed * 0x2545f4914f6cdd1dULL + which); }

// The PSF as a quadratic form Q over pixel offsets, normalised to unit volume.
struct Psf {
  PsfShape shape;
  double qa, qb, qc;  // Q = qa dx^2 + 2 qb dx dy + qc dy^2
  double norm;        // peak value per unit flux
  double beta;
  double width_major;  // sigma (Gaussian) or alpha (Moffat) of the major axis
  double fwhm_minor;
  int subsamples;
  double core_radius;  // inside it pixels are supersampled

  double profile(double dx, double dy) const {
    const double q = qa * dx * dx + 2 * qb * dx * dy + qc * dy * dy;
    return shape == PsfShape::Gaussian ? norm * std::exp(-0.5 * q) : norm * std::pow(1 + q, -beta);
  }
  // Radius along the major axis where a star of `flux` falls below the floor.
  int stamp_radius(double flux) const {
    const double ratio = flux * norm / kStampFloorAdu;
    if (ratio <= 1) return 1;
    const double r = shape == PsfShape::Gaussian
                         ? width_major * std::sqrt(2 * std::log(ratio))
                         : width_major * std::sqrt(std::pow(ratio, 1 / beta) - 1);
    return std::clamp(int(std::ceil(r)) + 1, 1, kMaxStampRadius);
  }
};

Psf make_psf(const RenderSpec& desc) {
  Psf psf{};
  psf.shape = desc.psf;
  psf.beta = desc.moffat_beta;
  const double axis_ratio = std::sqrt(1 - desc.ellipticity);
  const double fwhm_major = desc.fwhm_px / axis_ratio;
  psf.fwhm_minor = desc.fwhm_px * axis_ratio;
  double wa, wb;
  if (desc.psf == PsfShape::Gaussian) {
    wa = fwhm_major / kFwhmPerSigma;
    wb = psf.fwhm_minor / kFwhmPerSigma;
    psf.norm = 1 / (2 * kPi * wa * wb);
  } else {
    const double per_fwhm = 2 * std::sqrt(std::pow(2.0, 1 / desc.moffat_beta) - 1);
    wa = fwhm_major / per_fwhm;
    wb = psf.fwhm_minor / per_fwhm;
    psf.norm = (desc.moffat_beta - 1) / (kPi * wa * wb);
  }
  psf.width_major = wa;
  const double t = desc.psf_angle_deg * kDegToRad;
  const double c = std::cos(t), s = std::sin(t);
  psf.qa = c * c / (wa * wa) + s * s / (wb * wb);
  psf.qc = s * s / (wa * wa) + c * c / (wb * wb);
  psf.qb = c * s * (1 / (wa * wa) - 1 / (wb * wb));
  psf.subsamples = std::clamp(int(std::ceil(6 / psf.fwhm_minor)), 3, 16);
  psf.core_radius = 2.5 * fwhm_major + 1.5;
  return psf;
}

// Adds a star, integrated over each pixel's area, to every plane with its weight.
void add_star(std::vector<float>& pixels, uint32_t width, uint32_t height, uint32_t channels,
              const Psf& psf, double x, double y, double flux,
              const std::array<double, 3>& weight) {
  const int radius = psf.stamp_radius(flux);
  const int x0 = std::max(0, int(std::floor(x)) - radius);
  const int x1 = std::min(int(width) - 1, int(std::ceil(x)) + radius);
  const int y0 = std::max(0, int(std::floor(y)) - radius);
  const int y1 = std::min(int(height) - 1, int(std::ceil(y)) + radius);
  const size_t plane = size_t(width) * height;
  const int n = psf.subsamples;
  const double step = 1.0 / n;
  const double core2 = psf.core_radius * psf.core_radius;
  for (int py = y0; py <= y1; ++py) {
    const double dy = py - y;
    for (int px = x0; px <= x1; ++px) {
      const double dx = px - x;
      double value;
      if (dx * dx + dy * dy > core2) {
        value = psf.profile(dx, dy);
      } else {
        value = 0;
        for (int j = 0; j < n; ++j) {
          const double sy = dy - 0.5 + (j + 0.5) * step;
          for (int i = 0; i < n; ++i) value += psf.profile(dx - 0.5 + (i + 0.5) * step, sy);
        }
        value *= step * step;
      }
      value *= flux;
      const size_t at = size_t(py) * width + px;
      for (uint32_t c = 0; c < channels; ++c) pixels[c * plane + at] += float(value * weight[c]);
    }
  }
}

// A Gaussian line across the frame at a random position and angle.
void add_trail(std::vector<float>& pixels, uint32_t width, uint32_t height, uint32_t channels,
               const RenderSpec& desc, Rng& rng) {
  const double cx = rng.uniform(0, width), cy = rng.uniform(0, height);
  const double angle = rng.uniform(0, kPi);
  const double ux = std::cos(angle), uy = std::sin(angle);  // along the trail
  const double sigma = desc.satellite_fwhm_px / kFwhmPerSigma;
  const double reach = 5 * sigma + 1;
  const size_t plane = size_t(width) * height;
  auto add = [&](int px, int py) {
    if (px < 0 || py < 0 || px >= int(width) || py >= int(height)) return;
    const double d = (px - cx) * uy - (py - cy) * ux;  // distance across the trail
    const float v = float(desc.satellite_adu * std::exp(-0.5 * d * d / (sigma * sigma)));
    for (uint32_t c = 0; c < channels; ++c) pixels[c * plane + size_t(py) * width + px] += v;
  };
  // Walk the longer axis so every pixel near the line is visited once.
  if (std::abs(ux) >= std::abs(uy)) {
    const int span = int(std::ceil(reach / std::abs(ux)));
    for (int px = 0; px < int(width); ++px) {
      const int yc = int(std::lround(cy + (px - cx) * uy / ux));
      for (int py = yc - span; py <= yc + span; ++py) add(px, py);
    }
  } else {
    const int span = int(std::ceil(reach / std::abs(uy)));
    for (int py = 0; py < int(height); ++py) {
      const int xc = int(std::lround(cx + (py - cy) * ux / uy));
      for (int px = xc - span; px <= xc + span; ++px) add(px, py);
    }
  }
}

std::array<double, 3> colour_weights(uint32_t channels, Rng& rng) {
  if (channels == 1) return {1, 1, 1};
  const double index = 0.35 * rng.normal();  // colour index about the mean star
  return {std::max(0.2, 1 + 0.8 * index), 1.0, std::max(0.2, 1 - 0.8 * index)};
}

std::string check_spec(const RenderSpec& s) {
  if (s.width == 0 || s.height == 0) return "image size must be positive";
  if (uint64_t(s.width) * s.height > 400'000'000ULL) return "image larger than 400 megapixels";
  if (s.channels != 1 && s.channels != 3) return "channels must be 1 or 3";
  if (!(s.scale_arcsec > 0) || !std::isfinite(s.scale_arcsec))
    return "pixel scale must be positive";
  if (!(s.fwhm_px > 0.3) || s.fwhm_px > 100) return "FWHM must be between 0.3 and 100 pixels";
  if (!(s.ellipticity >= 0 && s.ellipticity <= 0.9)) return "ellipticity must be in [0, 0.9]";
  if (s.psf == PsfShape::Moffat && !(s.moffat_beta > 1.1)) return "Moffat beta must exceed 1.1";
  if (!(s.dec_deg >= -90 && s.dec_deg <= 90) || !std::isfinite(s.ra_deg))
    return "centre must have a finite RA and Dec within [-90, 90]";
  if (!(s.gain > 0)) return "gain must be positive";
  if (!(s.full_well > 0)) return "full well must be positive";
  if (!(s.sky_level >= 0) || !(s.read_noise_e >= 0))
    return "sky and read noise must not be negative";
  const double half_diag_deg =
      0.5 * std::hypot(double(s.width), double(s.height)) * s.scale_arcsec / 3600;
  if (half_diag_deg > 60)
    return "field too wide for a tangent projection (over 120 degrees across)";
  return {};
}

}  // namespace

double scale_for_diagonal(double diagonal_deg, uint32_t width, uint32_t height) {
  return diagonal_deg * 3600 / std::hypot(double(width), double(height));
}

Wcs true_wcs(const RenderSpec& desc) {
  Wcs wcs;
  const double s = desc.scale_arcsec / 3600 * kDegToRad;
  const double cdelt1 = desc.flipped ? s : -s;
  const double cdelt2 = s;
  const double rho = desc.rotation_deg * kDegToRad;
  wcs.cd = {cdelt1 * std::cos(rho), -cdelt2 * std::sin(rho), cdelt1 * std::sin(rho),
            cdelt2 * std::cos(rho)};
  wcs.crpix = {(desc.width - 1) / 2.0, (desc.height - 1) / 2.0};
  wcs.crval = {std::fmod(desc.ra_deg, 360.0) * kDegToRad, desc.dec_deg * kDegToRad};
  if (wcs.crval[0] < 0) wcs.crval[0] += 2 * kPi;
  wcs.sip = desc.sip;
  return wcs;
}

Sip radial_sip(double corner_fraction, uint32_t width, uint32_t height) {
  const double r = 0.5 * std::hypot(double(width) - 1, double(height) - 1);
  const double k = r > 0 ? corner_fraction / (r * r) : 0;
  // Terms of order 3: (2,0) (1,1) (0,2) (3,0) (2,1) (1,2) (0,3).
  Sip sip;
  sip.order = 3;
  sip.a = {0, 0, 0, k, 0, k, 0};
  sip.b = {0, 0, 0, 0, k, 0, k};
  return sip;
}

std::expected<RenderedImage, std::string> render_field(const RenderSpec& desc,
                                                       std::span<const CatalogStar> catalogue) {
  if (auto problem = check_spec(desc); !problem.empty()) return std::unexpected(problem);
  RenderedImage image;
  image.width = desc.width;
  image.height = desc.height;
  image.channels = desc.channels;
  image.wcs = true_wcs(desc);
  image.saturation = std::min(desc.full_well, 65535.0);
  const uint32_t w = desc.width, h = desc.height;
  const size_t plane = size_t(w) * h;
  image.pixels.assign(plane * desc.channels, 0.0f);

  const Psf psf = make_psf(desc);
  const Wcs& wcs = image.wcs;

  // Pre-selection: the widest angle from the centre to the frame, grown by
  // the largest stamp, sampled around the border so that SIP is accounted for.
  const auto centre = unit_vector(wcs.crval[0], wcs.crval[1]);
  double radius = 0;
  {
    const double m = kMaxStampRadius;
    constexpr int kSteps = 16;
    for (int i = 0; i <= kSteps; ++i) {
      const double f = double(i) / kSteps;
      const double xs[4] = {-m + f * (w + 2 * m), -m + f * (w + 2 * m), -m, w + m};
      const double ys[4] = {-m, h + m, -m + f * (h + 2 * m), -m + f * (h + 2 * m)};
      for (int k = 0; k < 4; ++k) {
        const Vec2 sky = wcs.pixel_to_sky(xs[k], ys[k]);
        radius = std::max(radius, angle_between(centre, unit_vector(sky[0], sky[1])));
      }
    }
    radius = std::min(radius * 1.02 + 1e-4, 89.0 * kDegToRad);
  }
  const double cos_radius = std::cos(radius);

  Rng scatter = stream(desc.seed, kScatter);
  Rng colour = stream(desc.seed, kColour);
  float faintest = -99;
  for (const CatalogStar& star : catalogue) {
    if (!(star.mag <= desc.mag_limit)) continue;
    const double ra = star.ra_deg * kDegToRad, dec = star.dec_deg * kDegToRad;
    const auto v = unit_vector(ra, dec);
    if (v[0] * centre[0] + v[1] * centre[1] + v[2] * centre[2] < cos_radius) continue;
    const auto pixel = wcs.sky_to_pixel(ra, dec);
    if (!pixel) continue;
    const double mag = star.mag + desc.colour_scatter_mag * scatter.normal();
    const double flux = std::pow(10.0, -0.4 * (mag - desc.zero_point));
    const int reach = psf.stamp_radius(flux);
    const auto [x, y] = *pixel;
    if (x < -reach || y < -reach || x > w - 1 + reach || y > h - 1 + reach) continue;
    faintest = std::max(faintest, star.mag);
    image.stars.push_back({x, y, star.ra_deg, star.dec_deg, star.mag, flux, true});
  }

  // Faint stars, denser towards the faint end as real counts are (about 0.3 dex per magnitude).
  {
    Rng rng = stream(desc.seed, kFaint);
    const double m0 = faintest > -99 ? faintest : std::min(desc.mag_limit, 12.0);
    const double span = std::pow(10.0, 0.3 * desc.faint_range_mag) - 1;
    for (uint32_t i = 0; i < desc.faint_stars; ++i) {
      const double x = rng.uniform(-0.5, w - 0.5), y = rng.uniform(-0.5, h - 0.5);
      const double mag = m0 + std::log10(1 + rng.uniform() * span) / 0.3;
      const Vec2 sky = wcs.pixel_to_sky(x, y);
      image.stars.push_back({x, y, sky[0] * kRadToDeg, sky[1] * kRadToDeg, float(mag),
                             std::pow(10.0, -0.4 * (mag - desc.zero_point)), false});
    }
  }
  for (const RenderedStar& star : image.stars)
    add_star(image.pixels, w, h, desc.channels, psf, star.x, star.y, star.flux,
             colour_weights(desc.channels, colour));
  std::stable_sort(image.stars.begin(), image.stars.end(),
                   [](const RenderedStar& a, const RenderedStar& b) { return a.flux > b.flux; });

  if (desc.satellite) {
    Rng rng = stream(desc.seed, kTrail);
    add_trail(image.pixels, w, h, desc.channels, desc, rng);
  }

  // Sky, vignetting, noise and the clip, in one pass over the frame.
  const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
  const double corner = std::max(1.0, std::hypot(cx, cy));
  const double gx = std::cos(desc.gradient_angle_deg * kDegToRad) * desc.gradient / corner;
  const double gy = std::sin(desc.gradient_angle_deg * kDegToRad) * desc.gradient / corner;
  const double read_adu = desc.read_noise_e / desc.gain;
  const std::array<double, 3> sky_tint =
      desc.channels == 3 ? std::array<double, 3>{0.9, 1.0, 1.1} : std::array<double, 3>{1, 1, 1};
  Rng noise = stream(desc.seed, kNoise);
  for (uint32_t c = 0; c < desc.channels; ++c) {
    float* out = image.pixels.data() + c * plane;
    for (uint32_t y = 0; y < h; ++y) {
      const double dy = y - cy;
      for (uint32_t x = 0; x < w; ++x) {
        const double dx = x - cx;
        const double sky = desc.sky_level * sky_tint[c] * (1 + gx * dx + gy * dy);
        const double vignette = 1 - desc.vignetting * (dx * dx + dy * dy) / (corner * corner);
        double v = std::max(0.0, (out[size_t(y) * w + x] + sky) * vignette);
        if (desc.noise) {
          const double electrons = v * desc.gain;
          const double shot = electrons < 30 ? noise.poisson(electrons)
                                             : electrons + std::sqrt(electrons) * noise.normal();
          v = shot / desc.gain + read_adu * noise.normal();
        }
        out[size_t(y) * w + x] = float(std::clamp(v, 0.0, image.saturation));
      }
    }
  }
  image.sky_sigma = desc.noise ? std::sqrt(desc.sky_level / desc.gain + read_adu * read_adu) : 0.0;

  if (desc.hot_pixels > 0) {
    Rng rng = stream(desc.seed, kHot);
    for (uint32_t i = 0; i < desc.hot_pixels; ++i) {
      const size_t at = size_t(rng.below(h)) * w + rng.below(w);
      const float v = float(image.saturation * rng.uniform(0.2, 1.0));
      for (uint32_t c = 0; c < desc.channels; ++c) image.pixels[c * plane + at] = v;
    }
  }
  return image;
}

// ---- Writing -------------------------------------------------------------

namespace {

struct FormatInfo {
  OutputFormat format;
  std::string_view name, extension;
};
constexpr FormatInfo kFormats[] = {
    {OutputFormat::Fits16, "fits16", ".fits"}, {OutputFormat::FitsFloat, "fits32", ".fits"},
    {OutputFormat::Png8, "png8", ".png"},      {OutputFormat::Png16, "png16", ".png"},
    {OutputFormat::Jpeg, "jpeg", ".jpg"},      {OutputFormat::Tiff16, "tiff16", ".tif"},
};

struct Stretch {
  double black, white, gamma;
};

Stretch stretch_for(const RenderedImage& image, const WriteOptions& options) {
  // The darkest sky, taken as the first percentile of a sample of the frame,
  // so that gradients and vignetting stay visible instead of clipping to black.
  std::vector<float> sample;
  const size_t stride = std::max<size_t>(1, image.pixels.size() / 200'000);
  for (size_t i = 0; i < image.pixels.size(); i += stride) sample.push_back(image.pixels[i]);
  const auto low = sample.begin() + long(sample.size() / 100);
  std::nth_element(sample.begin(), low, sample.end());
  Stretch s;
  s.black = options.black.value_or(sample.empty() ? 0.0 : double(*low));
  s.white = options.white.value_or(image.saturation);
  if (!(s.white > s.black)) s.white = s.black + 1;
  s.gamma = options.gamma > 0 ? options.gamma : 1.0;
  return s;
}

uint8_t to8(float v, const Stretch& s) {
  const double t = std::clamp((v - s.black) / (s.white - s.black), 0.0, 1.0);
  return uint8_t(std::lround(255 * std::pow(t, s.gamma)));
}

uint16_t to16(float v) { return uint16_t(std::lround(std::clamp(double(v), 0.0, 65535.0))); }

// Interleaved rows for the raster writers: row y, all channels per pixel.
template <typename T, typename F>
void interleave_row(const RenderedImage& image, uint32_t y, T* row, F convert) {
  const size_t plane = size_t(image.width) * image.height;
  for (uint32_t x = 0; x < image.width; ++x)
    for (uint32_t c = 0; c < image.channels; ++c)
      row[size_t(x) * image.channels + c] =
          convert(image.pixels[c * plane + size_t(y) * image.width + x]);
}

std::expected<void, std::string> write_fits(const std::string& path, const RenderedImage& image,
                                            bool as_float) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  int status = 0;
  fitsfile* raw = nullptr;
  // The disk-file call takes the name literally (no bracket or bang syntax).
  fits_create_diskfile(&raw, path.c_str(), &status);
  if (status) {
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    return std::unexpected(path + ": " + text);
  }
  long naxes[3] = {long(image.width), long(image.height), long(image.channels)};
  const int naxis = image.channels == 1 ? 2 : 3;
  const size_t count = image.pixels.size();
  if (as_float) {
    fits_create_img(raw, FLOAT_IMG, naxis, naxes, &status);
    fits_write_img(raw, TFLOAT, 1, LONGLONG(count), const_cast<float*>(image.pixels.data()),
                   &status);
  } else {
    std::vector<uint16_t> data(count);
    std::transform(image.pixels.begin(), image.pixels.end(), data.begin(), to16);
    fits_create_img(raw, USHORT_IMG, naxis, naxes, &status);
    fits_write_img(raw, TUSHORT, 1, LONGLONG(count), data.data(), &status);
  }
  fits_close_file(raw, &status);
  if (status) {
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    return std::unexpected(path + ": " + text);
  }
  return {};
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct PngError {
  std::jmp_buf jump;
  char text[200] = "";
};

// The libraries report errors by longjmp, so the encoders below hold no object
// with a destructor: their callers own the file and the row buffers.
[[gnu::noinline]] bool encode_png(FILE* file, const RenderedImage& image, bool sixteen,
                                  const Stretch& stretch, uint8_t* row, uint16_t* wide,
                                  PngError& error) {
  png_structp png = png_create_write_struct(
      PNG_LIBPNG_VER_STRING, &error,
      [](png_structp p, png_const_charp msg) {
        auto* e = static_cast<PngError*>(png_get_error_ptr(p));
        std::snprintf(e->text, sizeof e->text, "%s", msg);
        std::longjmp(e->jump, 1);
      },
      [](png_structp, png_const_charp) {});
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    std::snprintf(error.text, sizeof error.text, "out of memory");
    return false;
  }
  if (setjmp(error.jump)) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  // Sky noise hardly compresses: a fast level and one filter cost little in size.
  png_set_compression_level(png, 2);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_IHDR(png, info, image.width, image.height, sixteen ? 16 : 8,
               image.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t samples = size_t(image.width) * image.channels;
  for (uint32_t y = 0; y < image.height; ++y) {
    if (sixteen) {
      interleave_row(image, y, wide, to16);
      for (size_t i = 0; i < samples; ++i) {  // PNG samples are big-endian
        row[2 * i] = uint8_t(wide[i] >> 8);
        row[2 * i + 1] = uint8_t(wide[i]);
      }
    } else {
      interleave_row(image, y, row, [&](float v) { return to8(v, stretch); });
    }
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

std::expected<void, std::string> write_png(const std::string& path, const RenderedImage& image,
                                           bool sixteen, const Stretch& stretch) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) return std::unexpected(path + ": " + std::strerror(errno));
  std::vector<uint8_t> row(size_t(image.width) * image.channels * (sixteen ? 2 : 1));
  std::vector<uint16_t> wide(size_t(image.width) * image.channels);
  PngError error;
  if (!encode_png(file.get(), image, sixteen, stretch, row.data(), wide.data(), error))
    return std::unexpected(path + ": " + error.text);
  if (std::fflush(file.get()) != 0) return std::unexpected(path + ": " + std::strerror(errno));
  return {};
}

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char text[JMSG_LENGTH_MAX] = "";
};

[[gnu::noinline]] bool encode_jpeg(FILE* file, const RenderedImage& image, int quality,
                                   const Stretch& stretch, uint8_t* row, JpegError& error) {
  jpeg_compress_struct cinfo{};
  cinfo.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = [](j_common_ptr c) {
    auto* e = reinterpret_cast<JpegError*>(c->err);
    (*c->err->format_message)(c, e->text);
    std::longjmp(e->jump, 1);
  };
  error.mgr.output_message = [](j_common_ptr) {};
  if (setjmp(error.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = image.width;
  cinfo.image_height = image.height;
  cinfo.input_components = int(image.channels);
  cinfo.in_color_space = image.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, std::clamp(quality, 1, 100), TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    interleave_row(image, cinfo.next_scanline, row, [&](float v) { return to8(v, stretch); });
    JSAMPROW rows[1] = {row};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

std::expected<void, std::string> write_jpeg(const std::string& path, const RenderedImage& image,
                                            int quality, const Stretch& stretch) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) return std::unexpected(path + ": " + std::strerror(errno));
  std::vector<uint8_t> row(size_t(image.width) * image.channels);
  JpegError error;
  if (!encode_jpeg(file.get(), image, quality, stretch, row.data(), error))
    return std::unexpected(path + ": " + error.text);
  if (std::fflush(file.get()) != 0) return std::unexpected(path + ": " + std::strerror(errno));
  return {};
}

int tiff_error(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
  auto* text = static_cast<std::string*>(user);
  char buffer[256];
  std::vsnprintf(buffer, sizeof buffer, fmt, ap);
  if (text->empty()) *text = buffer;
  return 1;
}
int tiff_quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

std::expected<void, std::string> write_tiff(const std::string& path, const RenderedImage& image,
                                            TiffCompression compression) {
  std::string error;
  std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> opts(TIFFOpenOptionsAlloc(),
                                                                    TIFFOpenOptionsFree);
  TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), tiff_error, &error);
  TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), tiff_quiet, nullptr);
  std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpenExt(path.c_str(), "w", opts.get()), TIFFClose);
  if (!tif) return std::unexpected(path + ": " + (error.empty() ? "cannot create" : error));
  TIFF* t = tif.get();
  const uint16_t codec = compression == TiffCompression::Lzw        ? COMPRESSION_LZW
                         : compression == TiffCompression::Deflate  ? COMPRESSION_ADOBE_DEFLATE
                         : compression == TiffCompression::PackBits ? COMPRESSION_PACKBITS
                                                                    : COMPRESSION_NONE;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, image.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, image.height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(image.channels));
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
               image.channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(t, TIFFTAG_COMPRESSION, codec);
  if (codec == COMPRESSION_LZW || codec == COMPRESSION_ADOBE_DEFLATE)
    TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<uint16_t> row(size_t(image.width) * image.channels);
  for (uint32_t y = 0; y < image.height; ++y) {
    interleave_row(image, y, row.data(), to16);
    if (TIFFWriteScanline(t, row.data(), y, 0) < 0)
      return std::unexpected(path + ": " + (error.empty() ? "write failed" : error));
  }
  if (!TIFFWriteDirectory(t))
    return std::unexpected(path + ": " + (error.empty() ? "write failed" : error));
  return {};
}

nlohmann::json sip_json(const Sip& sip) {
  nlohmann::json a = nlohmann::json::object(), b = nlohmann::json::object();
  const auto terms = Sip::terms(sip.order);
  for (size_t i = 0; i < terms.size(); ++i) {
    const std::string suffix = std::to_string(terms[i].p) + "_" + std::to_string(terms[i].q);
    if (i < sip.a.size()) a["A_" + suffix] = sip.a[i];
    if (i < sip.b.size()) b["B_" + suffix] = sip.b[i];
  }
  return {{"a_order", sip.order}, {"b_order", sip.order}, {"a", a}, {"b", b}};
}

}  // namespace

std::optional<OutputFormat> parse_format(std::string_view name) {
  for (const auto& f : kFormats)
    if (f.name == name) return f.format;
  if (name == "fits") return OutputFormat::Fits16;
  if (name == "png") return OutputFormat::Png16;
  if (name == "jpg") return OutputFormat::Jpeg;
  if (name == "tiff" || name == "tif") return OutputFormat::Tiff16;
  return std::nullopt;
}

std::string_view format_name(OutputFormat format) {
  for (const auto& f : kFormats)
    if (f.format == format) return f.name;
  return "?";
}

std::string_view format_extension(OutputFormat format) {
  for (const auto& f : kFormats)
    if (f.format == format) return f.extension;
  return "";
}

std::expected<void, std::string> write_image(const std::string& path, const RenderedImage& image,
                                             const WriteOptions& options) {
  if (image.pixels.size() != size_t(image.width) * image.height * image.channels ||
      image.width == 0)
    return std::unexpected(path + ": empty or inconsistent image");
  switch (options.format) {
    case OutputFormat::Fits16:
      return write_fits(path, image, false);
    case OutputFormat::FitsFloat:
      return write_fits(path, image, true);
    case OutputFormat::Png8:
      return write_png(path, image, false, stretch_for(image, options));
    case OutputFormat::Png16:
      return write_png(path, image, true, stretch_for(image, options));
    case OutputFormat::Jpeg:
      return write_jpeg(path, image, options.jpeg_quality, stretch_for(image, options));
    case OutputFormat::Tiff16:
      return write_tiff(path, image, options.tiff_compression);
  }
  return std::unexpected(path + ": unknown format");
}

nlohmann::json truth_json(const RenderSpec& desc, const RenderedImage& image,
                          const WriteOptions& options, std::string_view image_file,
                          size_t truth_stars) {
  using nlohmann::json;
  const Wcs& wcs = image.wcs;
  json j;
  j["image"] = image_file;
  j["format"] = format_name(options.format);
  j["width"] = image.width;
  j["height"] = image.height;
  j["channels"] = image.channels;
  json w;
  w["ctype"] = {wcs.sip ? "RA---TAN-SIP" : "RA---TAN", wcs.sip ? "DEC--TAN-SIP" : "DEC--TAN"};
  w["crval"] = {wcs.crval[0] * kRadToDeg, wcs.crval[1] * kRadToDeg};
  w["crpix"] = {wcs.crpix[0] + 1, wcs.crpix[1] + 1};
  w["cd"] = {{wcs.cd[0] * kRadToDeg, wcs.cd[1] * kRadToDeg},
             {wcs.cd[2] * kRadToDeg, wcs.cd[3] * kRadToDeg}};
  w["sip"] = wcs.sip ? sip_json(*wcs.sip) : json(nullptr);
  j["wcs"] = w;
  j["centre"] = {{"ra_deg", wcs.crval[0] * kRadToDeg}, {"dec_deg", wcs.crval[1] * kRadToDeg}};
  j["scale_arcsec"] = desc.scale_arcsec;
  j["rotation_deg"] = desc.rotation_deg;
  j["parity"] = desc.flipped ? "flipped" : "normal";
  j["fov_deg"] = {desc.width * desc.scale_arcsec / 3600, desc.height * desc.scale_arcsec / 3600};
  j["diagonal_deg"] =
      std::hypot(double(desc.width), double(desc.height)) * desc.scale_arcsec / 3600;

  json r;
  r["psf"] = desc.psf == PsfShape::Gaussian ? "gaussian" : "moffat";
  r["fwhm_px"] = desc.fwhm_px;
  r["ellipticity"] = desc.ellipticity;
  r["psf_angle_deg"] = desc.psf_angle_deg;
  r["moffat_beta"] = desc.moffat_beta;
  r["zero_point"] = desc.zero_point;
  r["colour_scatter_mag"] = desc.colour_scatter_mag;
  r["mag_limit"] = desc.mag_limit;
  r["faint_stars"] = desc.faint_stars;
  r["faint_range_mag"] = desc.faint_range_mag;
  r["sky_level"] = desc.sky_level;
  r["gradient"] = desc.gradient;
  r["gradient_angle_deg"] = desc.gradient_angle_deg;
  r["vignetting"] = desc.vignetting;
  r["gain"] = desc.gain;
  r["read_noise_e"] = desc.read_noise_e;
  r["noise"] = desc.noise;
  r["full_well"] = desc.full_well;
  r["saturation"] = image.saturation;
  r["hot_pixels"] = desc.hot_pixels;
  r["satellite"] = desc.satellite;
  r["satellite_adu"] = desc.satellite_adu;
  r["satellite_fwhm_px"] = desc.satellite_fwhm_px;
  r["sky_sigma"] = image.sky_sigma;
  r["seed"] = desc.seed;
  j["render"] = r;

  json o;
  o["format"] = format_name(options.format);
  if (options.format == OutputFormat::Jpeg) o["jpeg_quality"] = options.jpeg_quality;
  if (options.format == OutputFormat::Png8 || options.format == OutputFormat::Jpeg) {
    const Stretch s = stretch_for(image, options);
    o["stretch"] = {{"black", s.black}, {"white", s.white}, {"gamma", s.gamma}};
  }
  if (options.format == OutputFormat::Tiff16) {
    constexpr const char* names[] = {"none", "lzw", "deflate", "packbits"};
    o["tiff_compression"] = names[int(options.tiff_compression)];
  }
  j["output"] = o;

  size_t catalogue_stars = 0;
  json stars = json::array();
  for (const RenderedStar& s : image.stars) {
    if (!s.catalogue) continue;
    ++catalogue_stars;
    if (stars.size() < truth_stars && s.x >= -0.5 && s.y >= -0.5 && s.x < image.width - 0.5 &&
        s.y < image.height - 0.5)
      stars.push_back({{"ra_deg", s.ra_deg},
                       {"dec_deg", s.dec_deg},
                       {"mag", s.mag},
                       {"x", s.x},
                       {"y", s.y},
                       {"flux", s.flux}});
  }
  j["catalogue_stars_rendered"] = catalogue_stars;
  j["faint_stars_rendered"] = image.stars.size() - catalogue_stars;
  j["stars"] = stars;
  return j;
}

std::expected<void, std::string> write_text(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), std::streamsize(text.size()));
  out.close();
  if (!out) return std::unexpected(path + ": " + std::strerror(errno));
  return {};
}

std::expected<std::string, std::string> render_to_files(const RenderSpec& desc,
                                                        std::span<const CatalogStar> catalogue,
                                                        const WriteOptions& options,
                                                        const std::string& stem,
                                                        size_t truth_stars) {
  auto image = render_field(desc, catalogue);
  if (!image) return std::unexpected(image.error());
  const std::string path = stem + std::string(format_extension(options.format));
  if (auto ok = write_image(path, *image, options); !ok) return std::unexpected(ok.error());
  const auto name = std::filesystem::path(path).filename().string();
  const auto truth = truth_json(desc, *image, options, name, truth_stars);
  if (auto ok = write_text(stem + ".json", truth.dump(1) + "\n"); !ok)
    return std::unexpected(ok.error());
  return path;
}

// ---- Random fields -------------------------------------------------------

RandomField random_field(const BatchRanges& ranges, uint64_t seed, uint32_t index) {
  Rng rng(seed ^ (0x9e3779b97f4a7c15ULL * (uint64_t(index) + 1)));
  RandomField field;
  RenderSpec& s = field.desc;
  s.ra_deg = rng.uniform(0, 360);
  s.dec_deg = std::asin(rng.uniform(-1, 1)) / kDegToRad;
  s.width = ranges.width_min + rng.below(ranges.width_max - ranges.width_min + 1);
  s.height = std::max<uint32_t>(
      16, uint32_t(std::lround(s.width * rng.uniform(ranges.aspect_min, ranges.aspect_max))));
  const double diagonal =
      std::exp(rng.uniform(std::log(ranges.diagonal_min_deg), std::log(ranges.diagonal_max_deg)));
  s.scale_arcsec = scale_for_diagonal(diagonal, s.width, s.height);
  s.rotation_deg = rng.uniform(-180, 180);
  s.flipped = rng.chance(0.5);
  if (ranges.max_distortion > 0 && rng.chance(0.5))
    s.sip =
        radial_sip(rng.uniform(-ranges.max_distortion, ranges.max_distortion), s.width, s.height);
  s.channels = rng.chance(0.3) ? 3 : 1;
  s.psf = rng.chance(0.5) ? PsfShape::Gaussian : PsfShape::Moffat;
  s.fwhm_px = rng.uniform(ranges.fwhm_min_px, ranges.fwhm_max_px);
  s.ellipticity = rng.uniform(0, 0.3);
  s.psf_angle_deg = rng.uniform(0, 180);
  s.moffat_beta = rng.uniform(2.5, 4.5);
  s.zero_point = rng.uniform(ranges.zero_point_min, ranges.zero_point_max);
  s.colour_scatter_mag = rng.uniform(0, 0.3);
  s.faint_stars = uint32_t(rng.uniform(0, 3e-4) * s.width * s.height);
  s.sky_level = rng.uniform(ranges.sky_min, ranges.sky_max);
  s.gradient = rng.uniform(0, 0.3);
  s.gradient_angle_deg = rng.uniform(0, 360);
  s.vignetting = rng.uniform(0, 0.4);
  s.gain = rng.uniform(0.5, 3);
  s.read_noise_e = rng.uniform(2, 10);
  s.full_well = rng.uniform(30000, 65000);
  s.hot_pixels = rng.below(s.width * s.height / 20000 + 1);
  s.satellite = rng.chance(0.2);
  s.satellite_adu = rng.uniform(200, 5000);
  s.seed = rng.next();
  WriteOptions& o = field.options;
  if (!ranges.formats.empty())
    o.format = ranges.formats[rng.below(uint32_t(ranges.formats.size()))];
  o.jpeg_quality = int(rng.uniform(70, 96));
  o.gamma = rng.uniform(0.35, 0.7);
  o.tiff_compression = TiffCompression(rng.below(4));
  return field;
}

// ---- Catalogue -----------------------------------------------------------

namespace {

constexpr char kCacheMagic[8] = {'K', 'R', 'C', 'A', 'T', '0', '0', '1'};

// The cache holds the records as they are in memory, after its magic and count.
static_assert(sizeof(CatalogStar) == 24 && std::is_trivially_copyable_v<CatalogStar>);
constexpr size_t kCacheHeaderBytes = 16;

template <typename T>
void append_bytes(std::vector<std::byte>& out, const T* data, size_t count) {
  const auto* p = reinterpret_cast<const std::byte*>(data);
  out.insert(out.end(), p, p + count * sizeof(T));
}

}  // namespace

std::expected<std::vector<CatalogStar>, std::string> load_render_catalog(
    std::span<const std::string> paths, const std::string& cache_dir) {
  // The cache is named by a hash of every input's path, size and time.
  std::vector<std::byte> identity;
  for (const std::string& path : paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(path + ": " + std::strerror(errno));
    std::error_code ec;
    const std::string absolute = std::filesystem::absolute(path, ec).string();
    const int64_t facts[3] = {int64_t(st.st_size), int64_t(st.st_mtim.tv_sec),
                              int64_t(st.st_mtim.tv_nsec)};
    append_bytes(identity, absolute.c_str(), absolute.size() + 1);
    append_bytes(identity, facts, 3);
  }
  const uint64_t key = fnv1a64(identity);
  std::string cache_file;
  if (!cache_dir.empty()) {
    char name[64];
    std::snprintf(name, sizeof name, "render-catalog-%016llx.bin", (unsigned long long)key);
    cache_file = (std::filesystem::path(cache_dir) / name).string();
    std::ifstream in(cache_file, std::ios::binary);
    char magic[8];
    uint64_t count = 0;
    if (in.read(magic, 8) && std::memcmp(magic, kCacheMagic, 8) == 0 &&
        in.read(reinterpret_cast<char*>(&count), 8) && count < (1ULL << 32)) {
      std::vector<CatalogStar> stars(count);
      if (in.read(reinterpret_cast<char*>(stars.data()),
                  std::streamsize(count * sizeof(CatalogStar))) &&
          in.peek() == std::char_traits<char>::eof()) {
        return stars;
      }
    }
  }
  std::vector<CatalogStar> all;
  for (const std::string& path : paths) {
    auto stars = read_catalog(path);
    if (!stars) return std::unexpected(stars.error());
    all.insert(all.end(), stars->begin(), stars->end());
  }
  all = merge_catalogs(std::move(all));
  if (!cache_file.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(cache_dir, ec);
    const uint64_t count = all.size();
    std::vector<std::byte> file;
    file.reserve(kCacheHeaderBytes + count * sizeof(CatalogStar));
    append_bytes(file, kCacheMagic, 8);
    append_bytes(file, &count, 1);
    append_bytes(file, all.data(), all.size());
    (void)write_file_atomic(cache_file, file);  // a missing cache only costs time
  }
  return all;
}

}  // namespace kestrune::tools
