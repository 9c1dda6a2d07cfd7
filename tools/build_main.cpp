// kestrune_build — builds a star database (kestrune.krdb) from star catalogues.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/builder.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string duration_text(double s) {
  char buf[32];
  if (s < 60) std::snprintf(buf, sizeof buf, "%.1fs", s);
  else std::snprintf(buf, sizeof buf, "%dm%02ds", static_cast<int>(s) / 60, static_cast<int>(s) % 60);
  return buf;
}

// Progress lines on standard error: a phase, its percentage, the time since
// the start and the estimated rest of the phase. At most one line a second
// per phase (overwritten in place on a terminal).
class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool quiet) : quiet_(quiet), tty_(isatty(STDERR_FILENO) != 0), start_(Clock::now()) {}

  void operator()(std::string_view phase, double fraction) {
    if (quiet_) return;
    const auto now = Clock::now();
    if (phase != phase_) {
      if (tty_ && !phase_.empty()) std::fputc('\n', stderr);
      phase_ = phase;
      phase_start_ = now;
      last_ = Clock::time_point{};
    }
    const bool done = fraction >= 1.0;
    if (!done && now - last_ < std::chrono::seconds(1)) return;
    last_ = now;
    const double in_phase = std::chrono::duration<double>(now - phase_start_).count();
    std::string rest = "-";
    if (fraction > 0.01 && !done) rest = duration_text(in_phase * (1.0 - fraction) / fraction);
    std::fprintf(stderr, "%s%-22s %5.1f%%  elapsed %-8s remaining %-8s%s", tty_ ? "\r" : "", phase_.c_str(),
                 100.0 * std::min(fraction, 1.0), duration_text(seconds_since(start_)).c_str(), rest.c_str(),
                 tty_ ? "" : "\n");
    std::fflush(stderr);
  }

  void finish() {
    if (!quiet_ && tty_ && !phase_.empty()) std::fputc('\n', stderr);
  }

 private:
  bool quiet_, tty_;
  Clock::time_point start_, phase_start_, last_;
  std::string phase_;
};

void print_summary(const kestrune::tools::BuildSummary& s, const std::string& output, double seconds) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("database        %s\n", output.c_str());
  std::printf("stars read      %llu\n", static_cast<unsigned long long>(s.stars_read));
  std::printf("after merging   %llu\n", static_cast<unsigned long long>(s.stars_merged));
  std::printf("stars kept      %llu\n", static_cast<unsigned long long>(s.stars_kept));
  std::printf("band  fov_deg  depth  per_cell  star_list  centres  radius_deg  patterns\n");
  for (size_t b = 0; b < s.bands.size(); ++b) {
    const auto& band = s.bands[b];
    std::printf("%4zu  %7.3f  %5u  %8s  %9u  %7llu  %10.3f  %8llu\n", b, band.plan.fov_deg, band.plan.depth,
                band.plan.stars_per_cell ? std::to_string(band.plan.stars_per_cell).c_str() : "all",
                band.star_list_len, static_cast<unsigned long long>(band.neighbourhoods), band.plan.radius_deg,
                static_cast<unsigned long long>(band.patterns));
  }
  std::printf("patterns        %u", s.write.patterns_written);
  if (s.write.skipped_degenerate || s.write.skipped_too_large)
    std::printf(" (writer skipped %u degenerate, %u too large)", s.write.skipped_degenerate, s.write.skipped_too_large);
  std::printf("\nslots           %u (load factor %.3f, longest probe %u)\n", s.write.slot_count,
              s.write.slot_count ? static_cast<double>(s.write.patterns_written) / s.write.slot_count : 0.0,
              s.write.longest_probe);
  std::printf("file size       %llu bytes (%.1f MiB)\n", static_cast<unsigned long long>(s.write.file_bytes),
              static_cast<double>(s.write.file_bytes) / (1024.0 * 1024.0));
  std::printf("build time      %s\n", duration_text(seconds).c_str());
  std::printf("peak memory     %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  namespace kt = kestrune::tools;
  CLI::App app{
      "Builds a star database for orvek_cli from star catalogues: the packed Tycho-2 star table\n"
      "(*.fits), the bright-star table (*.dat, fixed columns) or CSV files with the header columns\n"
      "ra_deg, dec_deg, mag (J2000 degrees). Duplicates within 3 arcsec and 1 mag are merged.\n"
      "The file is written through a temporary name and checked by loading it with every\n"
      "verification; on failure nothing is left at the output path.",
      "kestrune_build"};
  std::vector<std::string> inputs;
  std::string output;
  std::optional<double> mag_limit;
  std::vector<double> region;
  std::string bands;
  double max_load = 0.5;
  bool quiet = false;
  app.add_option("catalogues", inputs, "Catalogue files to read (any number, at least one)")->required();
  app.add_option("-o,--output", output, "Path of the database file to write (e.g. kestrune.krdb)")->required();
  app.add_option("-m,--mag-limit", mag_limit, "Keep only stars of this magnitude or brighter");
  app.add_option("-r,--region", region,
                 "Keep only stars within a sky region: RA,DEC,RADIUS in degrees (for small test databases)")
      ->expected(3)
      ->delimiter(',');
  app.add_option("-b,--bands", bands,
                 "Band plan: field diagonals in degrees, ascending, 1 to 8, comma-separated. A band of diagonal F "
                 "serves images whose diagonal lies in [F/1.34, 2.6F]; its star list, neighbourhood size and quad "
                 "sizes follow from F, and the first band lists every star. Default: "
                 "0.45,0.67,1.3,2.55,5,9.8,19.2,37.5 (images of 0.5 to 60 degrees)");
  app.add_option("--max-load", max_load, "Highest fill of the pattern hash table (slots in use / slots)")
      ->check(CLI::Range(0.05, 0.9));
  app.add_flag("-q,--quiet", quiet, "No progress lines on standard error");
  CLI11_PARSE(app, argc, argv);

  kt::BuildOptions options;
  if (!bands.empty()) {
    auto plan = kt::parse_band_plan(bands);
    if (!plan) {
      std::fprintf(stderr, "kestrune_build: %s\n", plan.error().c_str());
      return 2;
    }
    options.bands = *plan;
  }
  if (!region.empty()) {
    if (!(region[1] >= -90 && region[1] <= 90 && region[2] > 0 && std::isfinite(region[0]))) {
      std::fprintf(stderr, "kestrune_build: --region needs RA, Dec in -90..90 and a positive radius\n");
      return 2;
    }
    options.region = kt::SkyRegion{region[0], region[1], region[2]};
  }
  options.mag_limit = mag_limit;
  options.max_load = max_load;
  ProgressPrinter printer(quiet);
  options.progress = [&printer](std::string_view phase, double fraction) { printer(phase, fraction); };

  const auto start = Clock::now();
  auto summary = kt::build_database(inputs, output, options);
  printer.finish();
  if (!summary) {
    std::fprintf(stderr, "kestrune_build: %s\n", summary.error().c_str());
    return 1;
  }
  print_summary(*summary, output, seconds_since(start));
  return 0;
}
