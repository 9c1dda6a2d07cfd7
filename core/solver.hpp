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

std::expected<ImageSolve, ExtractError> solve_image_with_stars(
    const Database& db, std::span<const uint16_t> samples, uint32_t width, uint32_t height,
    const ExtractParams& extract, const SolveParams& params, Clock& clock);

}  // namespace kestrune
