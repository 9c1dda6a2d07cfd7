// Extraction speed on rendered 1, 4, 16 and 24 megapixel fields, sparse and
// dense (a Milky Way density of faint stars), against Source Extractor run
// on the same FITS files. Prints one line per image.
//
//   extract_bench [repeats [only [no-sextractor]]]
//     repeats: extraction runs per image, the best counts (default 5);
//     only: run just the images whose label ("24MP_dense") contains it.
#include <fitsio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/extract.hpp"
#include "core/records.hpp"
#include "tools/render.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kestrune;
using Steady = std::chrono::steady_clock;

double ms_since(Steady::time_point t0) {
  return std::chrono::duration<double, std::milli>(Steady::now() - t0).count();
}

// This thread's processor time: on a shared machine it varies far less than
// the wall time.
double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Uniform positions over the field, magnitudes rising in number towards
// `faint_mag` (about 2.2 times more stars per magnitude).
std::vector<tools::CatalogStar> catalogue(const tools::RenderSpec& desc, size_t count,
                                          double faint_mag, uint64_t seed) {
  uint64_t state = seed * 0x9e3779b97f4a7c15ull + 1;
  auto uniform = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
  };
  const double w_deg = desc.width * desc.scale_arcsec / 3600 * 1.1;
  const double h_deg = desc.height * desc.scale_arcsec / 3600 * 1.1;
  const double cos_dec = std::cos(desc.dec_deg * M_PI / 180);
  std::vector<tools::CatalogStar> stars;
  for (size_t i = 0; i < count; ++i) {
    const double ra = desc.ra_deg + (uniform() - 0.5) * w_deg / cos_dec;
    const double dec = desc.dec_deg + (uniform() - 0.5) * h_deg;
    const double mag = std::max(7.0, faint_mag + std::log10(uniform()) / 0.35);
    stars.push_back({ra, dec, static_cast<float>(mag)});
  }
  return stars;
}

std::vector<uint16_t> read_fits_u16(const std::string& path, size_t count) {
  fitsfile* f = nullptr;
  int status = 0;
  int anynul = 0;
  std::vector<uint16_t> samples(count);
  fits_open_file(&f, path.c_str(), READONLY, &status);
  fits_read_img(f, TUSHORT, 1, static_cast<LONGLONG>(count), nullptr, samples.data(), &anynul,
                &status);
  fits_close_file(f, &status);
  if (status != 0) samples.clear();
  return samples;
}

// Wall time of one Source Extractor run with a plain configuration, or a
// negative value when it fails.
double source_extractor_ms(const fs::path& dir, const fs::path& image, size_t* objects) {
  std::ofstream(dir / "default.param") << "X_IMAGE\nY_IMAGE\nFLUX_AUTO\nFLAGS\n";
  std::ofstream(dir / "default.sex")
      << "CATALOG_TYPE ASCII_HEAD\nPARAMETERS_NAME " << (dir / "default.param").string()
      << "\nDETECT_MINAREA 5\nDETECT_THRESH 5\nANALYSIS_THRESH 5\n"
         "FILTER N\nSATUR_LEVEL 60000\nBACK_SIZE 64\n"
         "VERBOSE_TYPE QUIET\nMEMORY_PIXSTACK 3000000\n"
         "MEMORY_OBJSTACK 30000\n";
  const fs::path cat = dir / "se.cat";
  const std::string cmd = "source-extractor '" + image.string() + "' -c '" +
                          (dir / "default.sex").string() + "' -CATALOG_NAME '" + cat.string() +
                          "' > '" + (dir / "se.log").string() + "' 2>&1";
  const auto t0 = Steady::now();
  if (std::system(cmd.c_str()) != 0) return -1;
  const double ms = ms_since(t0);
  std::ifstream in(cat);
  std::string line;
  *objects = 0;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') ++*objects;
  return ms;
}

// FNV-1a over the bits of the result, to show that changes to the code
// keep the output identical.
uint64_t checksum(const Extraction& e) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&](const void* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
      h = (h ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
  };
  mix(e.stars.data(), e.stars.size() * sizeof(ImageStar));
  mix(&e.background_level, sizeof(float));
  mix(&e.noise_level, sizeof(float));
  return h;
}

struct Field {
  const char* name;
  uint32_t width, height;
  bool dense;
};

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string only = argc > 2 ? argv[2] : "";
  const bool run_sextractor = argc <= 3;
  const fs::path dir = fs::temp_directory_path() / "kestrune_extract_bench";
  fs::create_directories(dir);
  const Field fields[] = {
      {"1MP", 1224, 816, false},   {"1MP", 1224, 816, true},    {"4MP", 2448, 1632, false},
      {"4MP", 2448, 1632, true},   {"16MP", 4896, 3264, false}, {"16MP", 4896, 3264, true},
      {"24MP", 6000, 4000, false}, {"24MP", 6000, 4000, true},
  };
  std::printf("%-5s %-6s %9s %6s %8s %7s %8s %7s %9s %8s %8s  %s\n", "image", "field", "pixels",
              "stars", "wall_ms", "MP/s", "cpu_ms", "MP/s", "sextr_ms", "objects", "speedup",
              "checksum");
  for (const Field& f : fields) {
    const std::string label = std::string(f.name) + (f.dense ? "_dense" : "_sparse");
    if (label.find(only) == std::string::npos) continue;
    tools::RenderSpec desc;
    desc.ra_deg = 280;
    desc.dec_deg = -5;
    desc.width = f.width;
    desc.height = f.height;
    desc.scale_arcsec = 2.0;
    desc.fwhm_px = 3.0;
    desc.seed = 3;
    const double mp = static_cast<double>(f.width) * f.height / 1e6;
    // Sparse: a few hundred stars per megapixel to magnitude 15. Dense: many
    // thousands to magnitude 17 over a brighter sky with a gradient.
    const size_t count = static_cast<size_t>(mp * (f.dense ? 12000 : 400));
    if (f.dense) {
      desc.sky_level = 1500;
      desc.gradient = 0.2;
    }
    const auto cat = catalogue(desc, count, f.dense ? 17.0 : 15.0, f.width + f.dense);
    const auto image = tools::render_field(desc, cat);
    if (!image) {
      std::fprintf(stderr, "render: %s\n", image.error().c_str());
      return 1;
    }
    const fs::path fits = dir / (label + ".fits");
    if (auto w = tools::write_image(fits.string(), *image, {}); !w) {
      std::fprintf(stderr, "write: %s\n", w.error().c_str());
      return 1;
    }
    const auto samples = read_fits_u16(fits.string(), size_t{f.width} * f.height);
    if (samples.empty()) {
      std::fprintf(stderr, "reading %s failed\n", fits.c_str());
      return 1;
    }

    double best = 1e300;
    double best_cpu = 1e300;
    size_t stars = 0;
    uint64_t sum = 0;
    for (int r = 0; r < repeats; ++r) {
      const auto t0 = Steady::now();
      const double c0 = cpu_ms();
      const auto e = extract_stars(samples, f.width, f.height, kFrontEndExtractParams,
                                   kFrontEndSolveParams.max_stars);
      best = std::min(best, ms_since(t0));
      best_cpu = std::min(best_cpu, cpu_ms() - c0);
      stars = e ? e->stars.size() : 0;
      sum = e ? checksum(*e) : 0;
    }
    size_t objects = 0;
    const double se_ms = run_sextractor ? source_extractor_ms(dir, fits, &objects) : -1;
    std::printf("%-5s %-6s %9u %6zu %8.2f %7.1f %8.2f %7.1f %9.1f %8zu %7.1fx  %016llx\n", f.name,
                f.dense ? "dense" : "sparse", f.width * f.height, stars, best, mp / (best / 1000),
                best_cpu, mp / (best_cpu / 1000), se_ms, objects, se_ms / best,
                static_cast<unsigned long long>(sum));
    std::fflush(stdout);
  }
  fs::remove_all(dir);
  return 0;
}
