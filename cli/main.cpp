// orvek_cli — solves one star-field image and reports the result.
//
// The run is one straight sequence: log the arguments, scan the options, clear
// stale result files, map and validate the star database, load the image,
// solve, then write base.ini and base.wcs and print one line. Every failure
// after the option scan leaves through `fail` with its exit code.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/image_access.hpp"
#include "cli/results.hpp"
#include "cli/wcs_file.hpp"
#include "core/db.hpp"
#include "core/numfmt.hpp"
#include "core/solver.hpp"

namespace {

using namespace kestrune;
using namespace kestrune::cli;

constexpr uint8_t kExitExhausted = 1;
constexpr uint8_t kExitTooFewStars = 2;
constexpr uint8_t kExitImage = 16;
constexpr uint8_t kExitDbMissing = 32;
constexpr uint8_t kExitDbUnusable = 33;

constexpr const char* kUsage =
    "usage: orvek_cli -f <image> [-wcs] [-o <base>] [ORVEK hints are ignored]\n";

std::string database_path() {
  if (const char* env = std::getenv("KESTRUNE_DB")) return env;
  std::string exe(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
  if (n <= 0 || static_cast<size_t>(n) >= exe.size()) return "kestrune.krdb";
  exe.resize(static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return exe.substr(0, slash + 1) + "kestrune.krdb";
}

bool exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (const auto& a : args) {
    if (!valid_utf8(a)) {
      std::fputs("invalid argument: not valid UTF-8 text\n", stderr);
      return kExitImage;
    }
  }
  log("args: " + debug_args(args));

  Args parsed = scan_args(args);
  if (!parsed.image) {
    std::fputs(kUsage, stderr);
    return kExitImage;
  }
  const std::string& image_path = *parsed.image;
  std::string db_path = database_path();
  Outputs outputs{output_base(parsed), {image_path, db_path}};
  outputs.remove_stale();

  if (!exists(db_path)) return fail(outputs, kExitDbMissing, "star database not found: " + db_path);
  auto mapped = map_file(db_path);
  if (!mapped) return fail(outputs, kExitDbUnusable, mapped.error().text());
  const char* verify_env = std::getenv("KESTRUNE_VERIFY");
  bool verify = verify_env != nullptr && std::string(verify_env) == "1";
  auto db = Database::load(mapped->bytes(), verify, verify);
  if (!db) return fail(outputs, kExitDbUnusable, "loading database: " + db.error().message());

  auto plane = load_image(image_path);
  if (!plane) return fail(outputs, kExitImage, plane.error().text());

  StdClock clock;
  auto solved = solve_image_with_stars(*db, plane->samples, plane->width, plane->height,
                                       kFrontEndExtractParams, kFrontEndSolveParams, clock);
  uint32_t width = plane->width, height = plane->height;
  std::vector<uint16_t>().swap(plane->samples);  // not needed past the solver entry
  if (!solved) return fail(outputs, kExitImage, solved.error().message());

  if (const auto* failed = std::get_if<NotSolved>(&solved->result)) {
    std::string message = "No solution found: " + std::string(to_string(failed->reason)) + " (" +
                          std::to_string(failed->stats.stars_used) + " stars)";
    uint8_t code =
        failed->reason == NotSolvedReason::TooFewStars ? kExitTooFewStars : kExitExhausted;
    return fail(outputs, code, message);
  }
  const Solution& s = std::get<Solution>(solved->result);
  if (auto err = outputs.write("ini", success_ini(s)))
    return fail(outputs, kExitImage, "writing ini: " + *err);
  if (auto err = outputs.write("wcs", wcs_file(s.wcs, width, height)))
    return fail(outputs, kExitImage, "writing wcs: " + *err);

  log("  solved RA " + fmt_fixed(s.ra_deg, 5) + " Dec " + fmt_fixed(s.dec_deg, 5, true) + " (" +
      fmt_fixed(s.stats.total_ms, 0) + " ms)");
  std::string line = "Solution found: RA " + fmt_fixed(s.ra_deg, 5) + " Dec " +
                     fmt_fixed(s.dec_deg, 5, true) + " scale " + fmt_fixed(s.scale_arcsec, 3) +
                     "\"/px rot " + fmt_fixed(s.rotation_deg, 2) + " (" +
                     fmt_fixed(s.stats.total_ms, 0) + " ms)\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
