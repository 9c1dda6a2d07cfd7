// render.hpp — synthetic star-field images with an exactly known WCS.
//
// A RenderSpec holds the true geometry (centre, scale, rotation, parity and
// an optional SIP distortion in pixel units) and the imaging conditions.
// render_field projects the catalogue stars that fall in the field through
// the true Wcs and draws each one as a small stamp integrated over the pixel
// area, then adds faint stars the catalogue lacks, the sky with its gradient
// and vignetting, noise, saturation, hot pixels and an optional satellite
// trail. The result is a float image in ADU (planes for colour), which the
// writers store as FITS, PNG, JPEG or TIFF with the first stored row being
// pixel row 0. The image carries no WCS keywords; the truth goes into a JSON
// file beside it (truth_json).
//
// Pixel (x, y) is zero-based and covers [x - 0.5, x + 0.5] x [y - 0.5, y + 0.5].
// Everything random is drawn from `seed`, so a description renders the same image
// every time.
#pragma once

#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/wcs.hpp"
#include "tools/catalog.hpp"

namespace kestrune::tools {

enum class PsfShape { Gaussian, Moffat };

struct RenderSpec {
  // Geometry. The tangent point is the image centre.
  double ra_deg = 0;
  double dec_deg = 0;
  double scale_arcsec = 2.0;  // pixel scale
  double rotation_deg = 0;    // position angle in the CROTA2 sense: atan2(-CD1_2, CD2_2)
  // false: CD determinant negative, the sky as seen when row 0 is drawn at the
  // bottom (FITS viewers); raster viewers draw row 0 on top, where a camera's
  // unmirrored view has a positive determinant (flipped = true).
  bool flipped = false;
  std::optional<Sip> sip;  // forward distortion in pixels, added to offsets from the centre
  uint32_t width = 1024;
  uint32_t height = 768;
  uint32_t channels = 1;  // 1 or 3

  // Point spread function. `fwhm_px` is the geometric mean of the two axes;
  // ellipticity is 1 - minor/major.
  PsfShape psf = PsfShape::Gaussian;
  double fwhm_px = 3.0;
  double ellipticity = 0;
  double psf_angle_deg = 0;
  double moffat_beta = 3.0;

  // Photometry: a star of magnitude m has 10^(-0.4 (m - zero_point)) ADU in all.
  double zero_point = 24.0;
  double colour_scatter_mag = 0.1;  // per-star scatter between catalogue and sensor band
  double mag_limit = 99;            // catalogue stars fainter than this are left out
  uint32_t faint_stars = 0;         // extra stars the catalogue lacks, at random positions
  double faint_range_mag = 3.0;     // drawn from the catalogue's faint end to this much fainter

  // Background (ADU). The gradient is the fractional change of the sky from
  // the centre to the corner along `gradient_angle_deg`; vignetting the
  // fractional loss of light in the corners, growing with radius squared.
  double sky_level = 800;
  double gradient = 0;
  double gradient_angle_deg = 0;
  double vignetting = 0;

  // Noise and detector.
  double gain = 1.0;          // electrons per ADU, for the Poisson noise
  double read_noise_e = 5.0;  // electrons
  bool noise = true;
  double full_well = 60000;  // ADU; brighter pixels are clipped flat
  uint32_t hot_pixels = 0;
  bool satellite = false;
  double satellite_adu = 2000;  // peak of the trail above the sky
  double satellite_fwhm_px = 2.5;

  uint64_t seed = 1;
};

// Pixel scale (arc seconds) giving a field of `diagonal_deg` across the diagonal.
double scale_for_diagonal(double diagonal_deg, uint32_t width, uint32_t height);

// The description's true Wcs: crpix at the image centre ((w - 1) / 2, (h - 1) / 2).
Wcs true_wcs(const RenderSpec& desc);

// A radial (barrel for k < 0) third-order SIP, d = k r^2 (u, v), with k chosen so
// that the corner moves by `corner_fraction` of its distance from the centre.
Sip radial_sip(double corner_fraction, uint32_t width, uint32_t height);

struct RenderedStar {
  double x, y;  // zero-based pixel position of the centroid
  double ra_deg, dec_deg;
  float mag;       // catalogue (or drawn) magnitude
  double flux;     // total ADU before vignetting
  bool catalogue;  // false for the added faint stars
};

struct RenderedImage {
  uint32_t width = 0, height = 0, channels = 1;
  std::vector<float> pixels;  // channel planes, each row-major, ADU
  Wcs wcs;
  std::vector<RenderedStar> stars;  // every rendered star, brightest first
  double sky_sigma = 0;             // noise of the sky at the centre, ADU
  double saturation = 0;            // clip level, ADU

  float at(uint32_t x, uint32_t y, uint32_t c = 0) const {
    return pixels[(size_t(c) * height + y) * width + x];
  }
};

std::expected<RenderedImage, std::string> render_field(const RenderSpec& desc,
                                                       std::span<const CatalogStar> catalogue);

// ---- Writing -------------------------------------------------------------

enum class OutputFormat { Fits16, FitsFloat, Png8, Png16, Jpeg, Tiff16 };

std::optional<OutputFormat> parse_format(std::string_view name);  // "fits16", "png8", "jpeg", ...
std::string_view format_name(OutputFormat format);
std::string_view format_extension(OutputFormat format);  // ".fits", ".png", ".jpg", ".tif"

enum class TiffCompression { None, Lzw, Deflate, PackBits };

struct WriteOptions {
  OutputFormat format = OutputFormat::Fits16;
  int jpeg_quality = 90;
  // 8-bit outputs: value = 255 ((adu - black) / (white - black))^gamma, with
  // black the first percentile of the frame and white the saturation level
  // unless given.
  double gamma = 0.5;
  std::optional<double> black;
  std::optional<double> white;
  TiffCompression tiff_compression = TiffCompression::None;
};

std::expected<void, std::string> write_image(const std::string& path, const RenderedImage& image,
                                             const WriteOptions& options);

// The truth record: the exact WCS in FITS terms (CRVAL degrees, one-based
// CRPIX, CD degrees per pixel, SIP A/B in pixels), the centre, scale,
// rotation and parity, every rendering and writing parameter, and the
// `truth_stars` brightest catalogue stars with their pixel positions.
nlohmann::json truth_json(const RenderSpec& desc, const RenderedImage& image,
                          const WriteOptions& options, std::string_view image_file,
                          size_t truth_stars = 200);

std::expected<void, std::string> write_text(const std::string& path, std::string_view text);

// Renders and writes `stem` + extension and `stem` + ".json"; returns the
// image path.
std::expected<std::string, std::string> render_to_files(const RenderSpec& desc,
                                                        std::span<const CatalogStar> catalogue,
                                                        const WriteOptions& options,
                                                        const std::string& stem,
                                                        size_t truth_stars = 200);

// ---- Random fields -------------------------------------------------------

struct BatchRanges {
  double diagonal_min_deg = 0.5, diagonal_max_deg = 20;  // log-uniform
  uint32_t width_min = 640, width_max = 4000;
  double aspect_min = 0.6, aspect_max = 1.0;  // height / width
  double fwhm_min_px = 1.5, fwhm_max_px = 5;
  double sky_min = 200, sky_max = 3000;
  double zero_point_min = 21, zero_point_max = 25;
  double max_distortion = 0.003;  // corner displacement fraction, either sign
  std::vector<OutputFormat> formats{OutputFormat::Fits16, OutputFormat::FitsFloat,
                                    OutputFormat::Png8,   OutputFormat::Png16,
                                    OutputFormat::Jpeg,   OutputFormat::Tiff16};
};

struct RandomField {
  RenderSpec desc;
  WriteOptions options;
};

// Field `index` of a batch: pointing uniform on the sphere, diagonal
// log-uniform, sizes and conditions drawn over the ranges; depends only on
// (ranges, seed, index).
RandomField random_field(const BatchRanges& ranges, uint64_t seed, uint32_t index);

// ---- Catalogue -----------------------------------------------------------

// Reads and merges the catalogue files. With a cache directory the merged
// list is kept there as a packed binary file keyed by the inputs' paths,
// sizes and modification times, and read back instead when it matches.
std::expected<std::vector<CatalogStar>, std::string> load_render_catalog(
    std::span<const std::string> paths, const std::string& cache_dir);

}  // namespace kestrune::tools
