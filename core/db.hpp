// db.hpp — the star catalogue database (kestrune.krdb), read in place.
//
// The file is a 448-byte DbHeader followed by five sections that the header
// locates by absolute offset: stars (StarRecord), star_lists (u32 star ids,
// one run per band, grouped by HEALPix cell), cell_offsets (u32, one table of
// 12 * 4^depth + 1 entries per band), patterns (PatternRecord) and slots
// (SlotRecord, an open-addressing table over the patterns). Everything is
// little-endian and naturally aligned, so the records below are the bytes.
//
// Database::load validates a mapped file and returns views into it; nothing
// is copied. Readers guard themselves (star_at, pattern_at) because without
// the verification flags the contents are not checked.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/wcs.hpp"

namespace kestrune {

static_assert(std::endian::native == std::endian::little, "the database is read in place");

struct BandEntry {
  double fov_deg;              // field diagonal the band's patterns serve
  double size_scale_rad;       // angle that a pattern size of 65535 stands for
  uint32_t depth;              // HEALPix depth (nested), 0..29
  uint32_t star_list_len;
  uint64_t star_list_start;    // in u32 units inside star_lists
  uint64_t cell_offsets_start; // in u32 units inside cell_offsets
};
static_assert(sizeof(BandEntry) == 40);

struct SectionRef {
  uint64_t offset;
  uint64_t length;  // bytes
};

struct DbHeader {
  uint32_t magic;  // "KRDB"
  uint32_t version;
  uint32_t band_count;
  uint32_t reserved0[2];
  uint32_t star_count;
  uint32_t pattern_count;
  uint32_t slot_count;
  uint64_t reserved1;
  uint64_t checksum;  // FNV-1a 64 of bytes 448 .. end
  BandEntry bands[8];
  SectionRef stars;
  SectionRef star_lists;
  SectionRef cell_offsets;
  SectionRef patterns;
  SectionRef slots;
};
static_assert(sizeof(DbHeader) == 448);

inline constexpr uint32_t kDbMagic = 0x4244524B;  // "KRDB" read little-endian
inline constexpr uint32_t kDbVersion = 1;
inline constexpr uint32_t kEmptySlot = 0xFFFFFFFF;

struct StarRecord {
  float x, y, z;  // unit vector
  int16_t mag;    // smaller is brighter; only compared
  uint16_t reserved;
};
static_assert(sizeof(StarRecord) == 16);

struct PatternRecord {
  uint32_t star_ids[4];
  uint8_t ratios[5];  // byte b stands for b / 255
  uint8_t band;
  uint16_t size;      // longest separation as a fraction of the band's size_scale_rad, /65535
};
static_assert(sizeof(PatternRecord) == 24);

struct SlotRecord {
  uint32_t pattern_index;  // kEmptySlot for an empty slot
  uint16_t tag;            // key hash >> 48
  uint16_t reserved;
};
static_assert(sizeof(SlotRecord) == 8);

enum class LoadErrorKind { TooShort, BadMagic, BadVersion, Misaligned, BadSection, Checksum };

struct LoadError {
  LoadErrorKind kind;
  uint32_t version = 0;          // BadVersion
  std::string_view section;      // BadSection: a fixed name such as "slot count"
  // "TooShort", "BadVersion(2)", "BadSection(\"slot count\")", "Checksum", ...
  std::string message() const;
};

// FNV-1a 64 of `bytes`; the header's checksum covers bytes 448 .. end.
uint64_t fnv1a64(std::span<const std::byte> bytes);

// (RA in [0, 2pi), Dec) of a star, from its vector in double precision.
Vec2 star_radec(const StarRecord& star);
// The same conversion for any direction (x, y, z), not necessarily unit length.
Vec2 direction_radec(double x, double y, double z);

// The nested cells at `depth` that a cone query below pi/4 visits, as
// ascending half-open ranges; empty for inputs the query rejects or scans whole.
std::vector<std::array<uint64_t, 2>> cone_cells(uint32_t depth, const std::array<double, 3>& centre,
                                                double radius);

class Database {
 public:
  static std::expected<Database, LoadError> load(std::span<const std::byte> bytes,
                                                 bool verify_checksum, bool verify_contents);

  const DbHeader& header() const { return *header_; }
  std::span<const BandEntry> bands() const;  // the used entries
  uint32_t band_count() const { return header_->band_count; }

  // All-zero records for an index out of range.
  StarRecord star_at(uint32_t id) const;
  PatternRecord pattern_at(uint32_t index) const;

  std::span<const StarRecord> stars() const { return stars_; }
  std::span<const PatternRecord> patterns() const { return patterns_; }
  std::span<const SlotRecord> slots() const { return slots_; }
  std::span<const uint32_t> band_star_list(size_t band) const;  // the band's run
  std::span<const uint32_t> band_cells(size_t band) const;      // 12 * 4^depth + 1 offsets

  // Appends to `out` the ids of the band's stars within `radius` (radians) of
  // `centre`, by ascending cell and stored order. Never clears `out`.
  void stars_in_cone(size_t band, const std::array<double, 3>& centre, double radius,
                     std::vector<uint32_t>& out) const;

 private:
  const DbHeader* header_ = nullptr;
  std::span<const StarRecord> stars_;
  std::span<const uint32_t> star_lists_;
  std::span<const uint32_t> cell_offsets_;
  std::span<const PatternRecord> patterns_;
  std::span<const SlotRecord> slots_;
};

}  // namespace kestrune
