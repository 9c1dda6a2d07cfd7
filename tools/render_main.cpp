// kestrune_render — renders star fields with an exact truth file beside each image.
//
//   kestrune_render --ra 83.8 --dec -5.4 --diagonal 3 -W 3000 -H 2000 -f png16 -o out/orion
//   kestrune_render batch -n 50 --dir fields --seed 7
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tools/catalog.hpp"
#include "tools/render.hpp"

namespace fs = std::filesystem;
using namespace kestrune;
using namespace kestrune::tools;

namespace {

// The cache directory: $KESTRUNE_CACHE_DIR, else the first "cache" folder
// holding catalogues above the executable (build trees sit in the source tree).
std::string find_cache_dir() {
  if (const char* env = std::getenv("KESTRUNE_CACHE_DIR"); env && *env) return env;
  std::error_code ec;
  fs::path dir = fs::canonical("/proc/self/exe", ec).parent_path();
  for (int i = 0; i < 6 && !dir.empty(); ++i, dir = dir.parent_path()) {
    if (fs::is_directory(dir / "cache" / "catalogues")) return (dir / "cache").string();
    if (dir == dir.parent_path()) break;
  }
  return "cache";
}

const std::map<std::string, OutputFormat> kFormatNames{
    {"fits16", OutputFormat::Fits16}, {"fits32", OutputFormat::FitsFloat},
    {"png8", OutputFormat::Png8},     {"png16", OutputFormat::Png16},
    {"jpeg", OutputFormat::Jpeg},     {"tiff16", OutputFormat::Tiff16}};

const std::map<std::string, TiffCompression> kTiffNames{{"none", TiffCompression::None},
                                                        {"lzw", TiffCompression::Lzw},
                                                        {"deflate", TiffCompression::Deflate},
                                                        {"packbits", TiffCompression::PackBits}};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Renders star fields from the catalogues, with a JSON truth file beside each image."};
  app.set_version_flag("--version", "kestrune_render 1");
  app.fallthrough();

  RenderSpec desc;
  WriteOptions options;
  std::vector<std::string> catalogues;
  std::string cache_dir = find_cache_dir();
  bool no_cache = false;
  size_t truth_stars = 200;
  std::string output = "field";
  std::optional<double> fov_deg, diagonal_deg;
  double radial = 0;
  std::vector<double> sip_a, sip_b;
  unsigned sip_order = 0;
  std::string psf_name = "gaussian";

  app.add_option("--catalog", catalogues,
                 "catalogue file(s): *.fits Tycho-2 table, *.dat, CSV (default: the cached ones)");
  app.add_option("--cache-dir", cache_dir,
                 "where the catalogues and the merged-catalogue cache live")
      ->capture_default_str();
  app.add_flag("--no-cache", no_cache, "do not read or write the merged-catalogue cache");
  app.add_option("--truth-stars", truth_stars, "brightest catalogue stars listed in the truth file")
      ->capture_default_str();
  app.add_option("--seed", desc.seed, "seed of everything random")->capture_default_str();

  auto* single = app.add_option_group("field", "one field");
  single->add_option("-o,--output", output, "output path without extension")->capture_default_str();
  single->add_option("--ra", desc.ra_deg, "centre RA, degrees")->capture_default_str();
  single->add_option("--dec", desc.dec_deg, "centre Dec, degrees")->capture_default_str();
  auto* scale_opt = single->add_option("--scale", desc.scale_arcsec, "pixel scale, arcsec/pixel")
                        ->capture_default_str();
  auto* fov_opt = single->add_option("--fov", fov_deg, "field width, degrees (sets the scale)");
  auto* diag_opt =
      single->add_option("--diagonal", diagonal_deg, "field diagonal, degrees (sets the scale)");
  scale_opt->excludes(fov_opt)->excludes(diag_opt);
  fov_opt->excludes(diag_opt);
  single->add_option("--rotation", desc.rotation_deg, "rotation, degrees: atan2(-CD1_2, CD2_2)")
      ->capture_default_str();
  single->add_flag("--flip", desc.flipped, "mirrored parity (positive CD determinant)");
  single->add_option(
      "--distortion", radial,
      "radial SIP: corner displacement as a fraction of its radius (negative: barrel)");
  single->add_option("--sip-order", sip_order, "order of --sip-a/--sip-b");
  single
      ->add_option("--sip-a", sip_a, "SIP A coefficients in term order (2,0) (1,1) (0,2) (3,0) ...")
      ->delimiter(',');
  single->add_option("--sip-b", sip_b, "SIP B coefficients, same order")->delimiter(',');
  single->add_option("-W,--width", desc.width, "image width, pixels")->capture_default_str();
  single->add_option("-H,--height", desc.height, "image height, pixels")->capture_default_str();
  single->add_flag(
      "--colour", [&](int64_t) { desc.channels = 3; }, "three colour channels");
  single->add_option("--psf", psf_name, "gaussian or moffat")
      ->check(CLI::IsMember({"gaussian", "moffat"}))
      ->capture_default_str();
  single->add_option("--fwhm", desc.fwhm_px, "PSF FWHM, pixels")->capture_default_str();
  single->add_option("--ellipticity", desc.ellipticity, "1 - minor/major")->capture_default_str();
  single->add_option("--psf-angle", desc.psf_angle_deg, "major axis angle from +x, degrees")
      ->capture_default_str();
  single->add_option("--beta", desc.moffat_beta, "Moffat beta")->capture_default_str();
  single->add_option("--zero-point", desc.zero_point, "magnitude of a 1 ADU star")
      ->capture_default_str();
  single->add_option("--colour-scatter", desc.colour_scatter_mag, "per-star magnitude scatter")
      ->capture_default_str();
  single->add_option("--mag-limit", desc.mag_limit, "faintest catalogue magnitude drawn")
      ->capture_default_str();
  single->add_option("--faint-stars", desc.faint_stars, "extra stars fainter than the catalogue")
      ->capture_default_str();
  single
      ->add_option("--faint-range", desc.faint_range_mag,
                   "magnitudes below the catalogue's faint end")
      ->capture_default_str();
  single->add_option("--sky", desc.sky_level, "sky level, ADU")->capture_default_str();
  single->add_option("--gradient", desc.gradient, "sky change centre to corner, fraction")
      ->capture_default_str();
  single->add_option("--gradient-angle", desc.gradient_angle_deg, "gradient direction, degrees")
      ->capture_default_str();
  single->add_option("--vignetting", desc.vignetting, "light lost in the corners, fraction")
      ->capture_default_str();
  single->add_option("--gain", desc.gain, "electrons per ADU")->capture_default_str();
  single->add_option("--read-noise", desc.read_noise_e, "read noise, electrons")
      ->capture_default_str();
  single->add_flag(
      "--no-noise", [&](int64_t) { desc.noise = false; }, "noise-free image");
  single->add_option("--full-well", desc.full_well, "saturation level, ADU")->capture_default_str();
  single->add_option("--hot-pixels", desc.hot_pixels, "number of hot pixels")
      ->capture_default_str();
  single->add_flag("--satellite", desc.satellite, "add a satellite trail");
  single->add_option("--satellite-adu", desc.satellite_adu, "trail peak above the sky, ADU")
      ->capture_default_str();
  single->add_option("--satellite-fwhm", desc.satellite_fwhm_px, "trail width, pixels")
      ->capture_default_str();
  single->add_option("-f,--format", options.format, "fits16, fits32, png8, png16, jpeg or tiff16")
      ->transform(CLI::CheckedTransformer(kFormatNames, CLI::ignore_case));
  single->add_option("--quality", options.jpeg_quality, "JPEG quality")->capture_default_str();
  single->add_option("--gamma", options.gamma, "gamma of the 8-bit stretch")->capture_default_str();
  single->add_option("--black", options.black,
                     "8-bit black point, ADU (default: first percentile of the frame)");
  single->add_option("--white", options.white, "8-bit white point, ADU (default: saturation)");
  single
      ->add_option("--tiff-compression", options.tiff_compression, "none, lzw, deflate or packbits")
      ->transform(CLI::CheckedTransformer(kTiffNames, CLI::ignore_case));

  auto* batch =
      app.add_subcommand("batch", "render N random fields into a folder with an index.csv");
  BatchRanges ranges;
  uint32_t count = 10;
  std::string dir = "fields";
  std::vector<std::string> format_names;
  batch->add_option("-n,--count", count, "number of fields")->capture_default_str();
  batch->add_option("-d,--dir", dir, "output folder")->capture_default_str();
  batch->add_option("--diag-min", ranges.diagonal_min_deg, "smallest diagonal, degrees")
      ->capture_default_str();
  batch->add_option("--diag-max", ranges.diagonal_max_deg, "largest diagonal, degrees")
      ->capture_default_str();
  batch->add_option("--width-min", ranges.width_min, "smallest width, pixels")
      ->capture_default_str();
  batch->add_option("--width-max", ranges.width_max, "largest width, pixels")
      ->capture_default_str();
  batch->add_option("--aspect-min", ranges.aspect_min, "smallest height/width")
      ->capture_default_str();
  batch->add_option("--aspect-max", ranges.aspect_max, "largest height/width")
      ->capture_default_str();
  batch->add_option("--fwhm-min", ranges.fwhm_min_px)->capture_default_str();
  batch->add_option("--fwhm-max", ranges.fwhm_max_px)->capture_default_str();
  batch->add_option("--sky-min", ranges.sky_min)->capture_default_str();
  batch->add_option("--sky-max", ranges.sky_max)->capture_default_str();
  batch->add_option("--zp-min", ranges.zero_point_min)->capture_default_str();
  batch->add_option("--zp-max", ranges.zero_point_max)->capture_default_str();
  batch->add_option("--max-distortion", ranges.max_distortion, "largest radial SIP corner fraction")
      ->capture_default_str();
  batch->add_option("--formats", format_names, "formats drawn from (default: all)")
      ->delimiter(',')
      ->check(CLI::IsMember({"fits16", "fits32", "png8", "png16", "jpeg", "tiff16"}));

  CLI11_PARSE(app, argc, argv);

  if (batch->parsed()) {
    if (ranges.width_min == 0 || ranges.width_max < ranges.width_min ||
        !(ranges.diagonal_min_deg > 0) || ranges.diagonal_max_deg < ranges.diagonal_min_deg) {
      std::fprintf(stderr, "kestrune_render: empty or invalid range\n");
      return 2;
    }
    if (!format_names.empty()) {
      ranges.formats.clear();
      for (const auto& name : format_names) ranges.formats.push_back(*parse_format(name));
    }
  } else {
    desc.psf = psf_name == "moffat" ? PsfShape::Moffat : PsfShape::Gaussian;
    if (fov_deg) desc.scale_arcsec = *fov_deg * 3600 / desc.width;
    if (diagonal_deg)
      desc.scale_arcsec = scale_for_diagonal(*diagonal_deg, desc.width, desc.height);
    if (radial != 0 && !sip_a.empty()) {
      std::fprintf(stderr,
                   "kestrune_render: --distortion and --sip-a/--sip-b exclude each other\n");
      return 2;
    }
    if (radial != 0) desc.sip = radial_sip(radial, desc.width, desc.height);
    if (!sip_a.empty() || !sip_b.empty()) {
      const size_t terms = Sip::terms(sip_order).size();
      if (sip_order < 2 || sip_a.size() != terms || sip_b.size() != terms) {
        std::fprintf(stderr,
                     "kestrune_render: --sip-order %u needs %zu coefficients in each of --sip-a "
                     "and --sip-b\n",
                     sip_order, terms);
        return 2;
      }
      desc.sip = Sip{sip_a, sip_b, uint8_t(sip_order)};
    }
  }

  if (catalogues.empty()) catalogues = default_catalog_paths(cache_dir);
  const auto t0 = std::chrono::steady_clock::now();
  auto stars = load_render_catalog(catalogues, no_cache ? std::string() : cache_dir);
  if (!stars) {
    std::fprintf(stderr, "kestrune_render: %s\n", stars.error().c_str());
    return 1;
  }
  const auto t1 = std::chrono::steady_clock::now();
  std::fprintf(stderr, "%zu catalogue stars (%.1f s)\n", stars->size(),
               std::chrono::duration<double>(t1 - t0).count());

  if (!batch->parsed()) {
    if (const auto parent = fs::path(output).parent_path(); !parent.empty())
      fs::create_directories(parent);
    auto path = render_to_files(desc, *stars, options, output, truth_stars);
    if (!path) {
      std::fprintf(stderr, "kestrune_render: %s\n", path.error().c_str());
      return 1;
    }
    std::fprintf(stderr, "rendered and written in %.2f s\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count());
    std::printf("%s\n", path->c_str());
    return 0;
  }

  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "kestrune_render: %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }
  std::string index =
      "image,truth,format,width,height,channels,ra_deg,dec_deg,diagonal_deg,scale_arcsec,rotation_"
      "deg,parity,sip\n";
  for (uint32_t i = 0; i < count; ++i) {
    const RandomField field = random_field(ranges, desc.seed, i);
    char name[32];
    std::snprintf(name, sizeof name, "field_%04u", i);
    const std::string stem = (fs::path(dir) / name).string();
    auto path = render_to_files(field.desc, *stars, field.options, stem, truth_stars);
    if (!path) {
      std::fprintf(stderr, "kestrune_render: %s\n", path.error().c_str());
      return 1;
    }
    const RenderSpec& s = field.desc;
    char line[512];
    std::snprintf(
        line, sizeof line, "%s,%s.json,%s,%u,%u,%u,%.8f,%.8f,%.6f,%.6f,%.4f,%s,%s\n",
        fs::path(*path).filename().c_str(), name,
        std::string(format_name(field.options.format)).c_str(), s.width, s.height, s.channels,
        s.ra_deg, s.dec_deg, std::hypot(double(s.width), double(s.height)) * s.scale_arcsec / 3600,
        s.scale_arcsec, s.rotation_deg, s.flipped ? "flipped" : "normal", s.sip ? "yes" : "no");
    index += line;
    std::printf("%s\n", path->c_str());
  }
  if (auto ok = write_text((fs::path(dir) / "index.csv").string(), index); !ok) {
    std::fprintf(stderr, "kestrune_render: %s\n", ok.error().c_str());
    return 1;
  }
  return 0;
}
