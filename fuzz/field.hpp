// field.hpp — one small sky field with a database that solves it.
//
// The whole-run target needs a real database and images that reach every
// stage of a run (extraction, quad search, verification, refinement, result
// texts), so its seeds are renderings of this field and its database holds
// the patterns of the field's brightest stars. Everything is deterministic:
// the same bytes on every build.
#pragma once

#include <cstddef>
#include <vector>

#include "tools/render.hpp"

namespace kestrune::fuzzing {

struct Field {
  tools::RenderSpec spec;                   // 160 x 120 pixels
  std::vector<tools::CatalogStar> catalogue;
  std::vector<std::byte> database;          // a kestrune.krdb file image
};

// Built once; later calls return the same object.
const Field& field();

}  // namespace kestrune::fuzzing
