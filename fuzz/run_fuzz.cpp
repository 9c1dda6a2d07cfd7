// The run of orvek_cli on arbitrary image bytes with a real small database:
// load_image (mapping, format detection, FITS or raster decoding), the solver
// entry with the front end's parameters, and the result texts it would write.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include "cli/image_access.hpp"
#include "cli/results.hpp"
#include "cli/wcs_file.hpp"
#include "core/db.hpp"
#include "core/solver.hpp"
#include "tests/support/solvable_field.hpp"

using namespace kestrune;

namespace {

// Deterministic time: each reading is 5 ms later, so one search ends after
// at most 400 quads and the same input always takes the same path.
class StepClock final : public Clock {
 public:
  double now_ms() override { return static_cast<double>(reads_++) * 5.0; }

 private:
  uint64_t reads_ = 0;
};

const Database& database() {
  static const Database db = [] {
    auto loaded = Database::load(testing::solvable_field().database, false, false);
    if (!loaded) std::abort();
    return *loaded;
  }();
  return db;
}

// The image as a file, without touching the disk: an anonymous memory file
// reached through its /proc path.
int image_fd() {
  static const int fd = ::memfd_create("image", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  database();
  image_fd();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = image_fd();
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  auto plane = cli::load_image(path);
  if (!plane) {
    if (plane.error().text().empty()) std::abort();
    return 0;
  }
  StepClock clock;
  auto solved = solve_image_with_stars(database(), plane->samples, plane->width, plane->height,
                                       kFrontEndExtractParams, kFrontEndSolveParams, clock);
  if (!solved) {
    if (solved.error().message().empty()) std::abort();
    return 0;
  }
  if (const auto* s = std::get_if<Solution>(&solved->result)) {
    const std::string ini = cli::success_ini(*s);
    const std::string wcs = cli::wcs_file(s->wcs, plane->width, plane->height);
    if (ini.empty() || wcs.empty() || wcs.size() % 2880 != 0 || wcs.find('\n') != std::string::npos)
      std::abort();
  }
  return 0;
}
