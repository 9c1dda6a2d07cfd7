#include "core/solver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/solve.hpp"

namespace kestrune {
namespace {

constexpr double kCropFractions[] = {0.7, 0.5};
constexpr size_t kMinCropStars = 6;

uint32_t to_u32_saturating(double v) {
  if (!(v > 0)) return 0;
  if (v >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(v);
}

}  // namespace

Crop central_crop(uint32_t width, uint32_t height, double fraction) {
  const double w = width, h = height;
  const double cw = std::floor(fraction * w), ch = std::floor(fraction * h);
  return {std::floor((w - cw) * 0.5), std::floor((h - ch) * 0.5), cw, ch};
}

void stars_in_crop(std::span<const ImageStar> stars, const Crop& crop,
                   std::vector<ImageStar>& out) {
  out.clear();
  for (const ImageStar& s : stars) {
    if (s.x >= crop.x0 && s.x < crop.x0 + crop.width && s.y >= crop.y0 &&
        s.y < crop.y0 + crop.height) {
      out.push_back({s.x - crop.x0, s.y - crop.y0, s.flux});
    }
  }
}

void move_to_full_frame(Solution& solution, const Crop& crop, uint32_t width, uint32_t height) {
  Wcs& wcs = solution.wcs;
  // SIP terms are relative to crpix, so shifting crpix moves the whole solution.
  wcs.crpix[0] += crop.x0;
  wcs.crpix[1] += crop.y0;
  const double w = width, h = height;
  const Vec2 c = wcs.pixel_to_sky((w - 1) * 0.5, (h - 1) * 0.5);
  solution.ra_deg = ra_degrees(c[0]);
  solution.dec_deg = c[1] * kRadToDeg;
  const auto& cd = wcs.cd;
  const double scale = std::sqrt(std::abs(cd[0] * cd[3] - cd[1] * cd[2])) * kRadToDeg;
  solution.fov_w_deg = w * scale;
  solution.fov_h_deg = h * scale;
}

SolveResult solve_with_crops(const Database& db, std::span<const ImageStar> stars, uint32_t width,
                             uint32_t height, const SolveParams& params, Clock& clock) {
  SolveResult first = solve_stars_frame(db, stars, width, height, params, clock);
  const auto* failed = std::get_if<NotSolved>(&first);
  if (!failed || failed->reason == NotSolvedReason::TooFewStars) return first;

  uint64_t failed_quads = failed->stats.quads_tried;
  std::vector<ImageStar> sub;
  sub.reserve(stars.size());
  for (double fraction : kCropFractions) {
    const Crop crop = central_crop(width, height, fraction);
    stars_in_crop(stars, crop, sub);
    if (sub.size() < kMinCropStars) break;
    SolveResult attempt = solve_stars_frame(db, sub, to_u32_saturating(crop.width),
                                            to_u32_saturating(crop.height), params, clock);
    if (auto* solution = std::get_if<Solution>(&attempt)) {
      move_to_full_frame(*solution, crop, width, height);
      const uint64_t quads = solution->stats.quads_tried + failed_quads;
      solution->stats.quads_tried =
          static_cast<uint32_t>(std::min<uint64_t>(quads, std::numeric_limits<uint32_t>::max()));
      solution->stats.solve_ms += failed->stats.solve_ms;
      return attempt;
    }
    failed_quads += stats_of(attempt).quads_tried;
  }
  return first;
}

std::expected<ImageSolve, ExtractError> solve_image_with_stars(
    const Database& db, std::span<const uint16_t> samples, uint32_t width, uint32_t height,
    const ExtractParams& extract, const SolveParams& params, Clock& clock) {
  const double t0 = clock.now_ms();
  auto extraction = extract_stars(samples, width, height, extract, params.max_stars);
  if (!extraction) return std::unexpected(extraction.error());
  const double t1 = clock.now_ms();
  ImageSolve out{std::move(extraction->stars), extraction->background_level,
                 extraction->noise_level, NotSolved{}};
  out.result = solve_with_crops(db, out.stars, width, height, params, clock);
  const double t2 = clock.now_ms();
  SolveStats& stats = stats_of(out.result);
  stats.extract_ms = t1 - t0;
  stats.total_ms = t2 - t0;
  return out;
}

}  // namespace kestrune
