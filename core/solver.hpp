// solver.hpp — the solver entry: from a sample plane to a solution.
//
// solve_image_with_stars extracts the stars, searches the full frame and,
// unless there were too few stars, central crops of 0.7 and 0.5 of the frame
// (on the star list only), moving a crop's solution back into the full frame.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "core/db.hpp"
#include "core/extract.hpp"
#include "core/records.hpp"

namespace kestrune {

struct ImageSolve {
  std::vector<ImageStar> stars;  // full-frame list, brightest first
  float background_level = 0;
  float noise_level = 0;
  SolveResult result;
};

// A central crop of a frame, in whole pixels of the full frame.
struct Crop {
  double x0 = 0, y0 = 0;
  double width = 0, height = 0;
};

// floor(fraction * size) wide and high, centred (offsets rounded down).
Crop central_crop(uint32_t width, uint32_t height, double fraction);

// The stars with x0 <= x < x0 + width and y0 <= y < y0 + height, in their
// order, moved into the crop's coordinates; `out` is replaced.
void stars_in_crop(std::span<const ImageStar> stars, const Crop& crop, std::vector<ImageStar>& out);

// Moves a solution found on `crop` into the full frame of width x height:
// crpix shifts by the crop offset, the centre and field size are recomputed.
void move_to_full_frame(Solution& solution, const Crop& crop, uint32_t width, uint32_t height);

// The search over a star list: the full frame, then (unless there were too few
// stars) the 0.7 and 0.5 central crops until one solves. A failure is always
// the full frame's.
SolveResult solve_with_crops(const Database& db, std::span<const ImageStar> stars, uint32_t width,
                             uint32_t height, const SolveParams& params, Clock& clock);

std::expected<ImageSolve, ExtractError> solve_image_with_stars(
    const Database& db, std::span<const uint16_t> samples, uint32_t width, uint32_t height,
    const ExtractParams& extract, const SolveParams& params, Clock& clock);

}  // namespace kestrune
