// extract.hpp — star extraction: background, noise and star detection.
//
// extract_stars bins the plane 2 x 2 into a working image, estimates a
// background and noise level per tile (robust medians with a gradient model),
// interpolates them onto a lattice every 8 working pixels, scans for local
// maxima above background + k_sigma * noise, rejects hot pixels, measures each
// peak against a local ring and returns the stars brightest first, in plane
// pixel coordinates. Single precision where the maps are built, so the same
// plane always gives bit-identical results.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/records.hpp"

namespace kestrune {

struct ExtractParams {
  uint64_t max_stars = 40;  // the star cap is max(this, SolveParams.max_stars)
  uint64_t tile_size = 64;  // background tile, working pixels; clamped to [4, 65536]
  float k_sigma = 5.0f;     // detection threshold in noise units; clamped to [0, 1e9], NaN -> 5
};

inline constexpr ExtractParams kFrontEndExtractParams{};

struct ExtractError {
  uint64_t sample_count;
  uint32_t width;
  uint32_t height;
  // "bad image dimensions {w}×{h} for {n} pixels (minimum 16×16)"
  std::string message() const;
};

struct Extraction {
  std::vector<ImageStar> stars;  // brightest first
  float background_level = 0;    // plane units
  float noise_level = 0;         // plane units
};

std::expected<Extraction, ExtractError> extract_stars(std::span<const uint16_t> samples,
                                                      uint32_t width, uint32_t height,
                                                      const ExtractParams& params,
                                                      uint64_t solve_max_stars);

// Element at index n/2 under the IEEE total order (selection, reorders the
// slice); 0 for an empty slice.
float median(std::span<float> values);

// The background and noise model of a working image (the plane binned 2 x 2,
// `bw` x `bh` sums of four samples), in working units. extract_stars builds
// it internally; it is exposed so that its maps can be examined on their own.
struct BackgroundModel {
  uint32_t tiles_x = 1;
  uint32_t tiles_y = 1;
  float cell_w = 0;
  float cell_h = 0;
  std::vector<float> background;  // per tile, row-major, after the curvature correction
  std::vector<float> noise;       // per tile, at least 1
  uint32_t nodes_x = 0;           // lattice nodes every 8 working pixels, the last at the border
  uint32_t nodes_y = 0;
  std::vector<float> threshold;        // per node, row-major: background + k_sigma * noise
  std::vector<float> node_noise;       // per node
  std::vector<float> node_background;  // per node
};

// `working` holds bw * bh values, bw and bh at least 8.
BackgroundModel estimate_background(std::span<const uint32_t> working, uint32_t bw, uint32_t bh,
                                    const ExtractParams& params);

}  // namespace kestrune
