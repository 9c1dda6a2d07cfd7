// catalog.hpp — reading real star catalogues for the builder and the renderer.
//
// Three sources, all reduced to (RA, Dec, magnitude) in J2000 degrees:
// the Tycho-2 star table packed in a Debian data package (three binary-table
// extensions recognised by their first column name), the bright-star text
// table of another Debian package (fixed columns), and a plain CSV file with
// the columns ra_deg, dec_deg, mag. Errors name the file and the row or line.
#pragma once

#include <expected>
#include <string>
#include <vector>

namespace kestrune::tools {

struct CatalogStar {
  double ra_deg;
  double dec_deg;
  float mag;
};

std::expected<std::vector<CatalogStar>, std::string> read_tycho2_fits(const std::string& path);
std::expected<std::vector<CatalogStar>, std::string> read_kstars_dat(const std::string& path);
std::expected<std::vector<CatalogStar>, std::string> read_csv_catalog(const std::string& path);

// Reads by file name: *.fits (Tycho-2 table), *.dat (bright stars), anything else as CSV.
std::expected<std::vector<CatalogStar>, std::string> read_catalog(const std::string& path);

// Merges stars within `radius_arcsec` and `mag_tolerance` of each other into
// one (the brighter entry wins); the result is sorted by magnitude.
std::vector<CatalogStar> merge_catalogs(std::vector<CatalogStar> stars, double radius_arcsec = 3.0,
                                        float mag_tolerance = 1.0f);

// The default catalogue files that scripts/fetch_catalogues puts in cache/catalogues.
std::vector<std::string> default_catalog_paths(const std::string& cache_dir);

}  // namespace kestrune::tools
