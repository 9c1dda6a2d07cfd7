// load_image throughput on a 6000 x 4000 frame in each input format, next to
// a plain memcpy of the 16-bit FITS bytes and libjpeg-turbo's djpeg on the
// same JPEG. MP/s is megapixels per second of wall time; MP/s_cpu divides by
// the CPU time of the work itself (djpeg's own, as a child process), which
// stays comparable on a machine that other jobs keep busy. peak_MiB is how
// far one load raises the process's peak resident memory (the plane and
// whatever the decoder holds, the image file's mapped pages included) next
// to plane_MiB, the size of the plane it returns.
#include <benchmark/benchmark.h>
#include <fitsio.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cli/image_access.hpp"

namespace {

namespace fs = std::filesystem;
constexpr long kWidth = 6000, kHeight = 4000;
constexpr double kMegapixels = kWidth * kHeight / 1e6;

fs::path g_dir;

fs::path file(const std::string& name) { return g_dir / name; }

// Sky background with a gradient, noise and a few thousand stars.
std::vector<uint16_t> star_field() {
  std::vector<uint16_t> px(kWidth * kHeight);
  uint32_t state = 12345;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  for (long y = 0; y < kHeight; ++y) {
    for (long x = 0; x < kWidth; ++x) {
      double noise = (next() % 2001) / 1000.0 - 1.0;
      px[y * kWidth + x] = static_cast<uint16_t>(1000 + x / 30 + y / 40 + 40 * noise);
    }
  }
  for (int s = 0; s < 3000; ++s) {
    long cx = next() % kWidth, cy = next() % kHeight;
    double peak = 500 + next() % 40000;
    for (long dy = -4; dy <= 4; ++dy) {
      for (long dx = -4; dx <= 4; ++dx) {
        long x = cx + dx, y = cy + dy;
        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) continue;
        double v = px[y * kWidth + x] + peak * std::exp(-(dx * dx + dy * dy) / 3.0);
        px[y * kWidth + x] = static_cast<uint16_t>(std::min(v, 65535.0));
      }
    }
  }
  return px;
}

// `planes` copies of the frame, each a little brighter than the one before,
// as a camera's colour planes.
bool write_fits(const fs::path& path, int bitpix, const std::vector<uint16_t>& px,
                long planes = 1) {
  fitsfile* f = nullptr;
  int status = 0;
  long axes[3] = {kWidth, kHeight, planes};
  std::string name = "!" + path.string();
  fits_create_file(&f, name.c_str(), &status);
  fits_create_img(f, bitpix, planes == 1 ? 2 : 3, axes, &status);
  for (long k = 0; k < planes; ++k) {
    const long first = 1 + k * kWidth * kHeight;
    if (bitpix == USHORT_IMG) {
      std::vector<unsigned short> v(px.begin(), px.end());
      fits_write_img(f, TUSHORT, first, v.size(), v.data(), &status);
    } else {
      std::vector<float> v(px.size());
      for (size_t i = 0; i < v.size(); ++i) v[i] = px[i] * (1.0f + 0.05f * k) / 65535.0f;
      fits_write_img(f, TFLOAT, first, v.size(), v.data(), &status);
    }
  }
  fits_close_file(f, &status);
  return status == 0;
}

bool make_fixtures() {
  char tmpl[] = "/tmp/kestrune-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  g_dir = tmpl;
  auto px = star_field();
  if (!write_fits(file("u16.fits"), USHORT_IMG, px) ||
      !write_fits(file("f32.fits"), FLOAT_IMG, px) ||
      !write_fits(file("f32x3.fits"), FLOAT_IMG, px, 3)) {
    return false;
  }
  {
    std::ofstream pgm(file("src.pgm"), std::ios::binary);
    pgm << "P5\n" << kWidth << " " << kHeight << "\n65535\n";
    for (uint16_t v : px) pgm.put(static_cast<char>(v >> 8)).put(static_cast<char>(v & 0xFF));
  }
  {
    std::ofstream ppm(file("src.ppm"), std::ios::binary);
    ppm << "P6\n" << kWidth << " " << kHeight << "\n65535\n";
    for (uint16_t v : px) {
      for (unsigned c : {v * 9u / 10, unsigned{v}, v * 8u / 10}) {
        ppm.put(static_cast<char>(c >> 8)).put(static_cast<char>(c & 0xFF));
      }
    }
  }
  auto q = [](const std::string& n) { return "'" + file(n).string() + "'"; };
  const std::string commands[] = {
      // 8-bit colour JPEG from the 16-bit frame, stretched so it is not all dark.
      "convert " + q("src.pgm") + " -auto-level -depth 8 -type TrueColor -quality 90 " + q("c.jpg"),
      "convert " + q("src.pgm") + " " + q("g16.png"),
      "convert " + q("src.pgm") + " -compress none " + q("raw.tif"),
      "tiffcp -c lzw:2 " + q("raw.tif") + " " + q("lzw.tif"),
      "convert " + q("src.ppm") + " PNG48:" + q("rgb16.png"),
      "convert " + q("src.ppm") + " -compress none " + q("rgb16raw.tif"),
      "tiffcp -r 1 -c zip:2 " + q("rgb16raw.tif") + " " + q("rgb16.tif"),
  };
  for (const auto& c : commands) {
    if (std::system((c + " >/dev/null 2>&1").c_str()) != 0) {
      std::cerr << "fixture command failed: " << c << "\n";
      return false;
    }
  }
  return true;
}

double process_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double children_cpu_s() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  auto s = [](timeval t) { return t.tv_sec + t.tv_usec / 1e6; };
  return s(ru.ru_utime) + s(ru.ru_stime);
}

void report(benchmark::State& state, double cpu_s) {
  const double mp = kMegapixels * static_cast<double>(state.iterations());
  state.counters["MP/s"] = benchmark::Counter(mp, benchmark::Counter::kIsRate);
  state.counters["MP/s_cpu"] = mp / cpu_s;
}

// VmHWM in KiB; writing 5 to clear_refs first lowers it to the current size.
long peak_kib(bool reset) {
  if (reset) std::ofstream("/proc/self/clear_refs") << "5";
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return 0;
}

void BM_load_image(benchmark::State& state, const std::string& name) {
  const std::string path = file(name).string();
  const double cpu0 = process_cpu_s();
  double grown_kib = 0, plane_bytes = 0;
  for (auto _ : state) {
    const long before = peak_kib(true);
    auto plane = kestrune::cli::load_image(path);
    if (!plane) {
      state.SkipWithError(plane.error().text().c_str());
      return;
    }
    benchmark::DoNotOptimize(plane->samples.data());
    grown_kib = std::max(grown_kib, static_cast<double>(peak_kib(false) - before));
    plane_bytes = static_cast<double>(plane->samples.size() * 2);
  }
  report(state, process_cpu_s() - cpu0);
  state.counters["peak_MiB"] = grown_kib / 1024;
  state.counters["plane_MiB"] = plane_bytes / (1 << 20);
}

// The bytes of the 16-bit FITS file copied into a fresh buffer: the floor
// for anything that must produce a new 16-bit plane of the same size.
void BM_memcpy(benchmark::State& state) {
  std::ifstream in(file("u16.fits"), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  const double cpu0 = process_cpu_s();
  for (auto _ : state) {
    auto copy = std::make_unique_for_overwrite<char[]>(bytes.size());
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(copy.get());
    benchmark::ClobberMemory();
  }
  report(state, process_cpu_s() - cpu0);
}

void BM_djpeg(benchmark::State& state) {
  const std::string cmd = "djpeg -outfile /dev/null '" + file("c.jpg").string() + "'";
  const double cpu0 = children_cpu_s();
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("djpeg failed");
      return;
    }
  }
  report(state, children_cpu_s() - cpu0);
}

}  // namespace

int main(int argc, char** argv) {
  if (!make_fixtures()) {
    std::cerr << "could not make the benchmark images\n";
    return 1;
  }
  benchmark::RegisterBenchmark("memcpy/u16_fits_bytes", BM_memcpy)->UseRealTime()->Unit(benchmark::kMillisecond);
  const std::pair<const char*, const char*> loads[] = {
      {"load_image/fits_u16_fast_path", "u16.fits"},
      {"load_image/fits_f32_general_path", "f32.fits"},
      {"load_image/fits_f32_three_planes", "f32x3.fits"},
      {"load_image/jpeg_rgb8", "c.jpg"},
      {"load_image/png_gray16", "g16.png"},
      {"load_image/tiff_lzw_gray16", "lzw.tif"},
      {"load_image/png_rgb16", "rgb16.png"},
      {"load_image/tiff_deflate_rgb16_row_strips", "rgb16.tif"},
  };
  for (auto [label, name] : loads) {
    benchmark::RegisterBenchmark(label, BM_load_image, std::string(name))
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("djpeg/jpeg_rgb8", BM_djpeg)->UseRealTime()->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(g_dir);
  return 0;
}
