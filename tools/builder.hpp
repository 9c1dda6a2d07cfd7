// builder.hpp — turning star catalogues into a star database.
//
// The builder reads and merges the catalogues, keeps the stars inside an
// optional magnitude limit and sky region, and plans the bands. Each band
// serves one range of image diagonals: its star list is uniformised (the
// brightest stars of each HEALPix cell, so that a field of the band's size
// holds a few hundred stars), and its patterns are the quads among the
// brightest stars of small sky neighbourhoods, centred on the cells of a finer
// grid. Those neighbourhood stars are what an image of that size shows as its
// brightest, so the image's first quads are usually stored. Band 0 lists every
// kept star, because the solver's dense refinement passes read band 0.
//
// build_database runs the whole chain, writes the file through the writer
// library and loads it back with full verification before reporting success.
// Everything is deterministic: the same inputs give the same bytes.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/catalog.hpp"
#include "tools/db_writer.hpp"

namespace kestrune::tools {

struct BandPlan {
  double fov_deg = 0;           // field diagonal the band's patterns serve
  uint32_t depth = 0;           // HEALPix depth of the band's star index
  uint32_t stars_per_cell = 0;  // brightest stars kept per index cell; 0 keeps every star
  uint32_t centre_depth = 0;    // neighbourhoods are centred on the cells of this depth
  double radius_deg = 0;        // neighbourhood radius
  uint32_t quad_stars = 0;      // quads are formed among this many brightest neighbourhood stars
  double min_side_deg = 0;      // quads whose longest side is shorter are not stored
  double size_scale_rad = 0;    // angle of a pattern size of 65535
};

// The band serving diagonals around `fov_deg`, with every derived parameter.
// `densest` lists every star (band 0).
BandPlan band_for_fov(double fov_deg, bool densest);

// The default plan: image diagonals from 0.5 to 60 degrees.
std::vector<BandPlan> default_band_plan();

// "0.67,1.3,2.6": one band per field diagonal in degrees, ascending, 1 to 8 of
// them; the first band lists every star.
std::expected<std::vector<BandPlan>, std::string> parse_band_plan(std::string_view text);

struct SkyRegion {
  double ra_deg = 0;
  double dec_deg = 0;
  double radius_deg = 180;
};

// Called with a phase name and the fraction of it done (0 to 1).
using Progress = std::function<void(std::string_view phase, double fraction)>;

struct BuildOptions {
  std::vector<BandPlan> bands = default_band_plan();
  std::optional<double> mag_limit;  // keep stars at most this faint
  std::optional<SkyRegion> region;  // keep stars within the region
  double max_load = 0.5;            // slot table fill
  Progress progress;
};

struct BandSummary {
  BandPlan plan;
  uint32_t star_list_len = 0;
  uint64_t neighbourhoods = 0;
  uint64_t patterns = 0;  // as written
};

struct BuildSummary {
  uint64_t stars_read = 0;
  uint64_t stars_merged = 0;  // after merging duplicates
  uint64_t stars_kept = 0;    // after the magnitude limit and region
  std::vector<BandSummary> bands;
  WriteStats write;
};

// Catalogue stars to star records: the magnitude limit and region applied,
// sorted brightest first, so that star ids follow brightness. The key is
// round(mag * 1000).
std::vector<StarRecord> select_stars(const std::vector<CatalogStar>& merged, const BuildOptions& options);

// The bands and patterns of a database over `stars` (as select_stars returns them).
std::expected<DbSpec, std::string> plan_database(std::vector<StarRecord> stars, const BuildOptions& options,
                                                 std::vector<BandSummary>* band_summaries = nullptr);

// Reads `inputs`, merges them, plans, writes `output` and verifies it by
// loading it with every check. On any failure nothing is left at `output`.
std::expected<BuildSummary, std::string> build_database(const std::vector<std::string>& inputs,
                                                        const std::string& output,
                                                        const BuildOptions& options);

}  // namespace kestrune::tools
