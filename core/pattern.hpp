// pattern.hpp — four-star shapes as lookup keys, and the pattern table lookup.
//
// A Pattern reduces four points to the five smaller pair distances over the
// longest (invariant under shift, rotation, mirroring and scale), the longest
// distance itself, and the order of the points by distance from their centre,
// which fixes the star correspondence. The same build() serves pixels on the
// image side and angles on the sky side. Ratios are binned at 0.01; an image
// ratio within 0.004 of a bin edge also tries the neighbour bin, so one quad
// yields 1 to 32 keys. Nothing here allocates.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "core/db.hpp"
#include "core/wcs.hpp"

namespace kestrune::pattern {

struct Pattern {
  std::array<double, 5> ratios;  // ascending
  double longest;                // pixels or radians
  std::array<uint8_t, 4> order;  // point positions by ascending centre distance
};

using PatternKey = std::array<uint8_t, 5>;

struct KeyList {
  std::array<PatternKey, 32> keys;
  uint32_t count = 0;
};

struct PatternHit {
  uint32_t pattern_index;
  uint8_t band;
  std::array<uint32_t, 4> image_stars;      // canonical order
  std::array<uint32_t, 4> catalogue_stars;  // canonical order
};

// d: the six pair distances (0,1) (0,2) (0,3) (1,2) (1,3) (2,3); c: distances
// from the centre. Empty for a degenerate shape.
std::optional<Pattern> build(const std::array<double, 6>& d, const std::array<double, 4>& c);

std::optional<Pattern> image_pattern(const std::array<Vec2, 4>& points);
std::optional<Pattern> sky_pattern(const std::array<StarRecord, 4>& stars);

// The base bins of a pattern's ratios (what a writer stores a pattern under).
PatternKey base_key(const std::array<double, 5>& ratios);
KeyList lookup_keys(const Pattern& image);
uint64_t key_hash(const PatternKey& key);

// Offers every hit of one image quad, keys in order and slots in probe order,
// after the gates; `on_hit(const PatternHit&)` returns true to stop the lookup.
// Returns true when on_hit stopped it. `quad` holds the image star indices in
// quad order, `diag` the frame diagonal in pixels.
template <class OnHit>
bool lookup(const Database& db, const Pattern& image, const std::array<uint32_t, 4>& quad,
            double diag, OnHit&& on_hit);

// What one lookup did, for benchmarks and diagnostics.
struct LookupCounters {
  uint32_t keys = 0;
  uint32_t probes = 0;      // slots read
  uint32_t candidates = 0;  // slots whose tag matched
  uint32_t hits = 0;        // candidates that passed every gate
};

// The same lookup, counting into `counters`.
template <class OnHit>
bool lookup(const Database& db, const Pattern& image, const std::array<uint32_t, 4>& quad,
            double diag, OnHit&& on_hit, LookupCounters& counters);

// The gates on one candidate record, in order; the hit when all pass.
std::optional<PatternHit> examine(const Database& db, const Pattern& image,
                                  const std::array<uint32_t, 4>& quad, double diag,
                                  uint32_t pattern_index);

}  // namespace kestrune::pattern

#include "core/pattern_lookup.inl"
