// db.cpp — validating a mapped database and reading it in place.
#include "core/db.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include <healpix_cxx/healpix_base.h>
#include <healpix_cxx/pointing.h>
#include <healpix_cxx/rangeset.h>

namespace kestrune {

namespace {

constexpr uint64_t kHeaderBytes = sizeof(DbHeader);
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 31;
constexpr uint32_t kMaxDepth = 29;
constexpr uint32_t kMaxBands = 8;

std::unexpected<LoadError> fail(LoadErrorKind kind, uint32_t version = 0) {
  return std::unexpected(LoadError{kind, version, {}});
}

std::unexpected<LoadError> bad_section(std::string_view name) {
  return std::unexpected(LoadError{LoadErrorKind::BadSection, 0, name});
}

// 12 * 4^depth, for depth <= 29 (fits in 62 bits).
uint64_t cell_count(uint32_t depth) { return uint64_t{12} << (2 * depth); }

bool section_ok(const SectionRef& s, uint64_t file_len, uint64_t record_size) {
  if (s.offset < kHeaderBytes) return false;
  uint64_t end = 0;
  if (__builtin_add_overflow(s.offset, s.length, &end)) return false;
  if (end > file_len) return false;
  return s.length % record_size == 0 && s.offset % 4 == 0;
}

// start + len must neither overflow nor pass `entries`.
bool range_ok(uint64_t start, uint64_t len, uint64_t entries) {
  uint64_t end = 0;
  return !__builtin_add_overflow(start, len, &end) && end <= entries;
}

template <class T>
std::span<const T> view(std::span<const std::byte> bytes, const SectionRef& s) {
  return {reinterpret_cast<const T*>(bytes.data() + s.offset), s.length / sizeof(T)};
}

// Longitude in [0, 2pi) and latitude of a direction, as star_radec.
Vec2 lon_lat(double x, double y, double z) {
  double lon = std::atan2(y, x);
  if (lon < 0) lon += 2 * std::numbers::pi;
  if (lon >= 2 * std::numbers::pi) lon = 0;
  return {lon, std::atan2(z, std::hypot(x, y))};
}

// The library's inclusive disc query works in cosines of angles, so it
// returns nothing for radius 0 at the poles and for any radius at depths
// near 29 (cos(r) rounds to 1). The coverage is therefore asked with a
// radius of at least kMinCoverRadius, at a depth of at most kMaxCoverDepth,
// and expanded to the band's depth; the exact distance test removes the
// surplus.
constexpr double kMinCoverRadius = 1e-12;
constexpr uint32_t kMaxCoverDepth = 20;

// A cone that meets at most this many cells is covered faster in the ring
// scheme, converting its few cells to nested numbers one by one, than by the
// nested scheme's hierarchical search. Both covers are supersets of the cells
// the cone meets, and the exact distance test removes the surplus, so the
// choice never changes a query's result.
constexpr double kRingCoverMaxCells = 512;
constexpr double kRingCoverMinRadius = 1e-6;

// Calls f(first, last) for each ascending range of nested cells at `depth`
// that may meet the cone. Callers guarantee depth <= 29, a finite centre and
// 0 <= radius < pi/4, which keeps the library away from its failing
// (printing, throwing) paths.
template <class F>
void for_each_cone_range(uint32_t depth, const std::array<double, 3>& centre, double radius, F&& f) {
  const Vec2 ll = lon_lat(centre[0], centre[1], centre[2]);
  const double theta = std::clamp(std::numbers::pi / 2 - ll[1], 0.0, std::numbers::pi);
  const uint32_t cover_depth = std::min(depth, kMaxCoverDepth);
  const uint32_t shift = 2 * (depth - cover_depth);
  thread_local rangeset<int64> ranges;  // reused, so repeated queries do not allocate

  // Cells of side s cover a disc of radius r widened by a cell in about
  // pi (r + s)^2 / s^2 cells; s^2 = pi / (3 * 4^depth).
  const double side = std::sqrt(std::numbers::pi / 3) / static_cast<double>(int64{1} << cover_depth);
  const double cells = std::numbers::pi * (radius + side) * (radius + side) / (side * side);
  if (radius >= kRingCoverMinRadius && cells <= kRingCoverMaxCells) {
    const T_Healpix_Base<int64> ring(static_cast<int>(cover_depth), RING);
    ring.query_disc_inclusive(pointing(theta, ll[0]), radius, ranges, 1);
    thread_local std::vector<int64> nested;
    nested.clear();
    for (tsize r = 0; r < ranges.nranges(); ++r)
      for (int64 pix = ranges.ivbegin(r); pix < ranges.ivend(r); ++pix)
        nested.push_back(ring.ring2nest(pix));
    std::ranges::sort(nested);
    for (size_t i = 0; i < nested.size();) {
      size_t j = i + 1;
      while (j < nested.size() && nested[j] == nested[j - 1] + 1) ++j;
      f(nested[i] << shift, (nested[j - 1] + 1) << shift);
      i = j;
    }
    return;
  }

  const T_Healpix_Base<int64> base(static_cast<int>(cover_depth), NEST);
  base.query_disc_inclusive(pointing(theta, ll[0]), std::max(radius, kMinCoverRadius), ranges, 1);
  for (tsize r = 0; r < ranges.nranges(); ++r)
    f(ranges.ivbegin(r) << shift, ranges.ivend(r) << shift);
}

}  // namespace

std::string LoadError::message() const {
  switch (kind) {
    case LoadErrorKind::TooShort: return "TooShort";
    case LoadErrorKind::BadMagic: return "BadMagic";
    case LoadErrorKind::BadVersion: return "BadVersion(" + std::to_string(version) + ")";
    case LoadErrorKind::Misaligned: return "Misaligned";
    case LoadErrorKind::BadSection: return "BadSection(\"" + std::string(section) + "\")";
    case LoadErrorKind::Checksum: return "Checksum";
  }
  return "Unknown";
}

uint64_t fnv1a64(std::span<const std::byte> bytes) {
  uint64_t h = 0xcbf29ce484222325;
  for (std::byte b : bytes) {
    h ^= static_cast<uint8_t>(b);
    h *= 0x100000001b3;
  }
  return h;
}

Vec2 direction_radec(double x, double y, double z) { return lon_lat(x, y, z); }
Vec2 star_radec(const StarRecord& star) { return lon_lat(star.x, star.y, star.z); }

std::expected<Database, LoadError> Database::load(std::span<const std::byte> bytes,
                                                  bool verify_checksum, bool verify_contents) {
  const uint64_t len = bytes.size();
  if (len < kHeaderBytes) return fail(LoadErrorKind::TooShort);
  if (reinterpret_cast<uintptr_t>(bytes.data()) % 8 != 0)
    return fail(LoadErrorKind::Misaligned);
  if (len > kMaxFileBytes) return bad_section("file too large");

  const auto* h = reinterpret_cast<const DbHeader*>(bytes.data());
  if (h->magic != kDbMagic) return fail(LoadErrorKind::BadMagic);
  if (h->version != kDbVersion)
    return fail(LoadErrorKind::BadVersion, h->version);
  if (verify_checksum && fnv1a64(bytes.subspan(kHeaderBytes)) != h->checksum)
    return fail(LoadErrorKind::Checksum);
  if (h->band_count > kMaxBands) return bad_section("band count");

  struct Check {
    const SectionRef& ref;
    uint64_t record_size;
    std::string_view name;
  };
  const Check sections[] = {{h->stars, sizeof(StarRecord), "stars"},
                            {h->star_lists, 4, "star_lists"},
                            {h->cell_offsets, 4, "cell_offsets"},
                            {h->patterns, sizeof(PatternRecord), "patterns"},
                            {h->slots, sizeof(SlotRecord), "slots"}};
  for (const Check& c : sections)
    if (!section_ok(c.ref, len, c.record_size)) return bad_section(c.name);

  if (h->stars.length / sizeof(StarRecord) != h->star_count) return bad_section("star count");
  if (h->patterns.length / sizeof(PatternRecord) != h->pattern_count)
    return bad_section("pattern count");
  if (h->slots.length / sizeof(SlotRecord) != h->slot_count || !std::has_single_bit(h->slot_count))
    return bad_section("slot count");

  Database db;
  db.header_ = h;
  db.stars_ = view<StarRecord>(bytes, h->stars);
  db.star_lists_ = view<uint32_t>(bytes, h->star_lists);
  db.cell_offsets_ = view<uint32_t>(bytes, h->cell_offsets);
  db.patterns_ = view<PatternRecord>(bytes, h->patterns);
  db.slots_ = view<SlotRecord>(bytes, h->slots);

  for (uint32_t b = 0; b < h->band_count; ++b) {
    const BandEntry& band = h->bands[b];
    if (band.depth > kMaxDepth) return bad_section("band depth");
    if (!range_ok(band.star_list_start, band.star_list_len, db.star_lists_.size()))
      return bad_section("star list range");
    const uint64_t cells = cell_count(band.depth);
    if (!range_ok(band.cell_offsets_start, cells + 1, db.cell_offsets_.size()))
      return bad_section("cell offsets range");
    if (!verify_contents) continue;

    for (uint32_t id : db.band_star_list(b))
      if (id >= h->star_count) return bad_section("star id in star list");
    const std::span<const uint32_t> offs = db.band_cells(b);
    bool ok = offs.front() == 0 && offs.back() == band.star_list_len;
    for (size_t i = 1; ok && i < offs.size(); ++i) ok = offs[i - 1] <= offs[i];
    if (!ok) return bad_section("cell offsets contents");
  }

  if (verify_contents) {
    for (const PatternRecord& p : db.patterns_) {
      for (uint32_t id : p.star_ids)
        if (id >= h->star_count) return bad_section("pattern record");
      if (p.band >= h->band_count) return bad_section("pattern record");
    }
    for (const SlotRecord& s : db.slots_)
      if (s.pattern_index != kEmptySlot && s.pattern_index >= h->pattern_count)
        return bad_section("slot pattern index");
  }
  return db;
}

std::span<const BandEntry> Database::bands() const {
  return {header_->bands, header_->band_count};
}

StarRecord Database::star_at(uint32_t id) const {
  return id < stars_.size() ? stars_[id] : StarRecord{};
}

PatternRecord Database::pattern_at(uint32_t index) const {
  return index < patterns_.size() ? patterns_[index] : PatternRecord{};
}

std::span<const uint32_t> Database::band_star_list(size_t band) const {
  if (band >= header_->band_count) return {};
  const BandEntry& e = header_->bands[band];
  return star_lists_.subspan(e.star_list_start, e.star_list_len);
}

std::span<const uint32_t> Database::band_cells(size_t band) const {
  if (band >= header_->band_count) return {};
  const BandEntry& e = header_->bands[band];
  return cell_offsets_.subspan(e.cell_offsets_start, cell_count(e.depth) + 1);
}

void Database::stars_in_cone(size_t band, const std::array<double, 3>& centre, double radius,
                             std::vector<uint32_t>& out) const {
  if (band >= band_count() || !(radius >= 0)) return;
  for (double v : centre)
    if (!std::isfinite(v)) return;

  const std::span<const uint32_t> run = band_star_list(band);
  const std::span<const uint32_t> offs = band_cells(band);
  const auto [cx, cy, cz] = centre;

  // Most stars lie clearly inside or outside the cone, which the cosine of
  // the angle (dot over the norms) settles without atan2; only stars within
  // kCosMargin of the boundary take the exact test, so the result is exactly
  // that of atan2(|c x s|, c . s) <= radius.
  constexpr double kCosMargin = 1e-9;
  const double cos_r = std::cos(std::min(radius, std::numbers::pi));
  const double c2 = cx * cx + cy * cy + cz * cz;
  auto within = [&](double sx, double sy, double sz) {
    const double dot = cx * sx + cy * sy + cz * sz;
    const double norms = std::sqrt(c2 * (sx * sx + sy * sy + sz * sz));
    if (dot > (cos_r + kCosMargin) * norms) return true;
    if (dot < (cos_r - kCosMargin) * norms) return false;
    const double kx = cy * sz - cz * sy, ky = cz * sx - cx * sz, kz = cx * sy - cy * sx;
    return std::atan2(std::sqrt(kx * kx + ky * ky + kz * kz), dot) <= radius;
  };

  // A damaged cell table (possible without verify_contents) must not lead
  // outside the run: such a cell is skipped. The candidates are gathered
  // first and tested after, because their records lie scattered over the
  // star table: the test can then ask for records a few candidates ahead and
  // overlap the cache misses.
  const size_t first = out.size();
  auto gather = [&](uint64_t cell) {
    const uint32_t begin = offs[cell];
    const uint32_t end = offs[cell + 1];
    if (begin > end || end > run.size()) return;
    out.insert(out.end(), run.begin() + begin, run.begin() + end);
  };

  const uint64_t cells = offs.size() - 1;
  if (radius >= std::numbers::pi / 4) {
    for (uint64_t cell = 0; cell < cells; ++cell) gather(cell);
  } else {
    for_each_cone_range(header_->bands[band].depth, centre, radius,
                        [&](int64 lo, int64 hi) {
                          for (int64 cell = std::max<int64>(lo, 0);
                               cell < hi && static_cast<uint64_t>(cell) < cells; ++cell)
                            gather(static_cast<uint64_t>(cell));
                        });
  }

  constexpr size_t kAhead = 8;
  auto prefetch = [&](size_t i) {
    if (i < out.size() && out[i] < stars_.size()) __builtin_prefetch(stars_.data() + out[i]);
  };
  for (size_t i = first; i < first + kAhead; ++i) prefetch(i);
  size_t kept = first;
  for (size_t i = first; i < out.size(); ++i) {
    prefetch(i + kAhead);
    const uint32_t id = out[i];
    const StarRecord s = star_at(id);
    if (within(s.x, s.y, s.z)) out[kept++] = id;
  }
  out.resize(kept);
}

std::vector<std::array<uint64_t, 2>> cone_cells(uint32_t depth, const std::array<double, 3>& centre,
                                                double radius) {
  std::vector<std::array<uint64_t, 2>> out;
  if (depth > kMaxDepth || !(radius >= 0) || radius >= std::numbers::pi / 4) return out;
  for (double v : centre)
    if (!std::isfinite(v)) return out;
  for_each_cone_range(depth, centre, radius, [&](int64 first, int64 last) {
    out.push_back({static_cast<uint64_t>(first), static_cast<uint64_t>(last)});
  });
  return out;
}

}  // namespace kestrune
