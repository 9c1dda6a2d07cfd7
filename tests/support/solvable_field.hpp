// solvable_field.hpp — one small sky field with a database that solves it.
//
// Runs that must reach every stage (extraction, quad search, verification,
// refinement, result files) need a real database and images of its sky: the
// field's database holds the patterns of its brightest stars, and rendering
// the description (in any format, with any noise seed) gives images that solve in a
// few milliseconds. The fuzz targets and the process-level tests share it.
// Everything is deterministic: the same bytes on every build.
#pragma once

#include <cstddef>
#include <vector>

#include "tools/render.hpp"

namespace kestrune::testing {

struct Field {
  tools::RenderSpec desc;  // 160 x 120 pixels
  std::vector<tools::CatalogStar> catalogue;
  std::vector<std::byte> database;  // a kestrune.krdb file image
};

// Built once; later calls return the same object.
const Field& solvable_field();

}  // namespace kestrune::testing
