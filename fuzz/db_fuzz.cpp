// Database::load without the verification flags on arbitrary bytes, then
// every reader on what loaded: cone queries on each band, the pattern table
// lookup, and a short search of the field's stars (verification and
// refinement read stars, cells and patterns that nothing has checked).
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <span>
#include <vector>

#include "core/db.hpp"
#include "core/extract.hpp"
#include "core/pattern.hpp"
#include "core/solve.hpp"
#include "tests/support/solvable_field.hpp"
#include "tools/render.hpp"

using namespace kestrune;

namespace {

// Each reading moves time on by a fixed step, so a search ends after a
// bounded number of quads whatever the database holds.
class StepClock final : public Clock {
 public:
  double now_ms() override { return static_cast<double>(reads_++) * 25.0; }

 private:
  uint64_t reads_ = 0;
};

std::vector<ImageStar> field_stars() {
  const auto& f = testing::solvable_field();
  auto image = tools::render_field(f.desc, f.catalogue);
  if (!image) std::abort();
  std::vector<uint16_t> plane(image->pixels.size());
  for (size_t i = 0; i < plane.size(); ++i)
    plane[i] = static_cast<uint16_t>(std::clamp(std::lround(image->pixels[i]), 0L, 65535L));
  auto found = extract_stars(plane, image->width, image->height, kFrontEndExtractParams,
                             kFrontEndSolveParams.max_stars);
  if (!found) std::abort();
  return found->stars;
}

const std::vector<ImageStar>& stars() {
  static const std::vector<ImageStar> s = field_stars();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  stars();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A mapping starts on a page; the fuzzer's buffer need not be aligned.
  std::unique_ptr<uint64_t[]> aligned(new uint64_t[size / 8 + 1]);
  std::memcpy(aligned.get(), data, size);
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(aligned.get()), size);
  auto db = Database::load(bytes, false, false);
  if (!db) {
    if (db.error().message().empty()) std::abort();
    return 0;
  }

  std::vector<uint32_t> out;
  const double radii[] = {0.0, 1e-3, 0.05, 0.5, std::numbers::pi / 4, std::numbers::pi};
  for (size_t band = 0; band <= db->band_count(); ++band) {
    std::array<double, 3> centres[] = {{1, 0, 0}, {0, 0, -1}, {0.3, -0.4, 0.866}, {0, 0, 0}};
    if (!db->stars().empty()) {
      const StarRecord& s = db->stars().front();
      centres[3] = {s.x, s.y, s.z};
    }
    for (const auto& c : centres)
      for (double r : radii) {
        out.clear();
        db->stars_in_cone(band, c, r, out);
        for (uint32_t id : out) (void)db->star_at(id);
      }
  }

  // A lookup with one of the field's quads, offering every hit.
  const auto& s = stars();
  if (s.size() >= 4) {
    const std::array<Vec2, 4> points = {Vec2{s[0].x, s[0].y}, Vec2{s[1].x, s[1].y},
                                        Vec2{s[2].x, s[2].y}, Vec2{s[3].x, s[3].y}};
    if (auto image = pattern::image_pattern(points)) {
      size_t hits = 0;
      pattern::lookup(*db, *image, {0, 1, 2, 3}, 200.0, [&](const pattern::PatternHit& hit) {
        (void)db->pattern_at(hit.pattern_index);
        return ++hits > 64;
      });
    }
  }

  StepClock clock;
  const auto& f = testing::solvable_field();
  (void)solve_stars_frame(*db, s, f.desc.width, f.desc.height, kFrontEndSolveParams, clock);
  return 0;
}
