// db_writer.hpp — writing star databases (kestrune.krdb).
//
// The writing side of the layout that core/db.hpp reads: the same record
// structs, written once. A DbSpec lists the stars, the bands (each a set of
// star ids that the writer groups by nested HEALPix cell at the band's depth)
// and the patterns (four star ids and a band). encode_database lays out the
// header and the five sections at 8-byte-aligned offsets, computes each
// pattern's ratio bytes and size from its sky pattern, stores it in the slot
// table under its base key (key_hash, tag h >> 48, linear probing) and sets
// the checksum last. write_database writes those bytes through a temporary
// file and a rename, so a failure never leaves a partial file at the path.
//
// Patterns whose sky pattern is degenerate, or whose longest separation
// exceeds the band's size_scale_rad (a size above 65535), are skipped and
// counted, never clamped: a clamped size would misstate the quad's scale.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "core/db.hpp"

namespace kestrune::tools {

// A star record from a direction given as RA and Dec in radians, or as a
// vector (normalised here).
StarRecord star_record(double ra, double dec, int16_t mag);
StarRecord star_record(const std::array<double, 3>& v, int16_t mag);

// The nested HEALPix cell at `depth` (0..29) of the stored (f32) direction:
// the cell under which the writer lists the star.
uint64_t star_cell(const StarRecord& star, uint32_t depth);

struct BandSpec {
  double fov_deg = 0;
  double size_scale_rad = 0;
  uint32_t depth = 0;
  // Stars listed in the band. Any order: the writer sorts them stably by cell,
  // so a list already grouped by ascending cell keeps its order.
  std::vector<uint32_t> star_ids;
};

struct PatternSpec {
  std::array<uint32_t, 4> star_ids{};
  uint8_t band = 0;
};

struct DbSpec {
  std::vector<StarRecord> stars;
  std::vector<BandSpec> bands;  // at most 8
  std::vector<PatternSpec> patterns;
  // The slot table is the smallest power of two with at least min_slots slots
  // that keeps the fill (written patterns / slots) at or below max_load.
  double max_load = 0.5;
  uint32_t min_slots = 1;
};

struct WriteStats {
  uint32_t patterns_written = 0;
  uint32_t skipped_degenerate = 0;  // sky pattern absent
  uint32_t skipped_too_large = 0;   // longest separation above size_scale_rad
  uint32_t slot_count = 0;
  uint32_t longest_probe = 0;       // slots visited by the worst insertion
  uint64_t file_bytes = 0;
};

struct WriteError {
  std::string text;
  const std::string& message() const { return text; }
};

struct EncodedDb {
  std::vector<std::byte> bytes;  // the whole file; new[] storage is 8-byte aligned
  WriteStats stats;
};

// Fails on a description that cannot be written: more than 8 bands, a band depth
// above 29, a bad scale, a star id out of range, a pattern band out of range,
// a star that is not a finite non-zero vector, max_load outside (0, 1], or a
// file above 2^31 bytes.
std::expected<EncodedDb, WriteError> encode_database(const DbSpec& desc);

// encode_database, then write to `path` via a temporary file in the same
// directory and an atomic rename. Errors name the path and the system error.
std::expected<WriteStats, WriteError> write_database(const DbSpec& desc, const std::string& path);

// Writes `bytes` to `path` the same safe way.
std::expected<void, WriteError> write_file_atomic(const std::string& path,
                                                  const std::vector<std::byte>& bytes);

// Recomputes and stores the checksum of a file image (after patching bytes).
void reseal(std::vector<std::byte>& bytes);

}  // namespace kestrune::tools
