// db_writer.cpp — laying out, filling and writing a star database.
#include "tools/db_writer.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include <healpix_cxx/healpix_base.h>
#include <healpix_cxx/vec3.h>

#include "core/pattern.hpp"

namespace kestrune::tools {

namespace {

constexpr uint64_t kHeaderBytes = sizeof(DbHeader);
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 31;
constexpr uint32_t kMaxDepth = 29;

// Concatenates the texts of its arguments.
template <class... Args>
std::string cat(const Args&... args) {
  std::ostringstream os;
  (os << ... << args);
  return os.str();
}

std::unexpected<WriteError> error(std::string text) {
  return std::unexpected(WriteError{std::move(text)});
}

uint64_t align8(uint64_t v) { return (v + 7) & ~uint64_t{7}; }

bool usable_star(const StarRecord& s) {
  return std::isfinite(s.x) && std::isfinite(s.y) && std::isfinite(s.z) &&
         (s.x != 0 || s.y != 0 || s.z != 0);
}

std::string system_error(int err) { return cat(std::strerror(err), " (os error ", err, ")"); }

}  // namespace

StarRecord star_record(double ra, double dec, int16_t mag) {
  return star_record(unit_vector(ra, dec), mag);
}

StarRecord star_record(const std::array<double, 3>& v, int16_t mag) {
  const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  return {static_cast<float>(v[0] / len), static_cast<float>(v[1] / len),
          static_cast<float>(v[2] / len), mag, 0};
}

uint64_t star_cell(const StarRecord& star, uint32_t depth) {
  const T_Healpix_Base<int64> base(static_cast<int>(depth), NEST);
  return static_cast<uint64_t>(base.vec2pix(vec3(star.x, star.y, star.z)));
}

void reseal(std::vector<std::byte>& bytes) {
  if (bytes.size() < kHeaderBytes) return;
  const uint64_t sum = fnv1a64(std::span(bytes).subspan(kHeaderBytes));
  std::memcpy(bytes.data() + offsetof(DbHeader, checksum), &sum, sizeof sum);
}

std::expected<EncodedDb, WriteError> encode_database(const DbSpec& desc) {
  const uint64_t star_count = desc.stars.size();
  if (star_count > UINT32_MAX) return error("too many stars");
  if (desc.bands.size() > 8) return error(cat(desc.bands.size(), " bands, at most 8"));
  if (!(desc.max_load > 0 && desc.max_load <= 1)) return error("max_load must lie in (0, 1]");
  for (size_t i = 0; i < star_count; ++i)
    if (!usable_star(desc.stars[i])) return error(cat("star ", i, " has no direction"));

  // Section sizes, in entries, with every bound checked before anything is allocated.
  uint64_t list_entries = 0;
  uint64_t cell_entries = 0;
  for (size_t b = 0; b < desc.bands.size(); ++b) {
    const BandSpec& band = desc.bands[b];
    if (band.depth > kMaxDepth) return error(cat("band ", b, ": depth ", band.depth, " above 29"));
    if (!(band.size_scale_rad > 0) || !std::isfinite(band.size_scale_rad) ||
        !std::isfinite(band.fov_deg))
      return error(cat("band ", b, ": bad fov_deg or size_scale_rad"));
    for (uint32_t id : band.star_ids)
      if (id >= star_count) return error(cat("band ", b, ": star id ", id, " out of range"));
    if (band.star_ids.size() > UINT32_MAX) return error(cat("band ", b, ": too many stars"));
    const uint64_t cells = uint64_t{12} << (2 * band.depth);
    if (cells + 1 > kMaxFileBytes / 4) return error(cat("band ", b, ": depth ", band.depth, " too deep for a file"));
    list_entries += band.star_ids.size();
    cell_entries += cells + 1;
  }
  for (size_t i = 0; i < desc.patterns.size(); ++i) {
    const PatternSpec& p = desc.patterns[i];
    if (p.band >= desc.bands.size()) return error(cat("pattern ", i, ": band ", unsigned{p.band}, " out of range"));
    for (uint32_t id : p.star_ids)
      if (id >= star_count) return error(cat("pattern ", i, ": star id ", id, " out of range"));
  }

  // Pattern records first: the slot table is sized by the ones that survive.
  WriteStats stats;
  std::vector<PatternRecord> records;
  std::vector<pattern::PatternKey> keys;
  records.reserve(desc.patterns.size());
  keys.reserve(desc.patterns.size());
  for (const PatternSpec& p : desc.patterns) {
    const std::array<StarRecord, 4> stars = {desc.stars[p.star_ids[0]], desc.stars[p.star_ids[1]],
                                             desc.stars[p.star_ids[2]], desc.stars[p.star_ids[3]]};
    const std::optional<pattern::Pattern> sky = pattern::sky_pattern(stars);
    if (!sky) {
      ++stats.skipped_degenerate;
      continue;
    }
    const double size = std::round(sky->longest / desc.bands[p.band].size_scale_rad * 65535.0);
    if (!(size <= 65535)) {
      ++stats.skipped_too_large;
      continue;
    }
    PatternRecord rec{};
    std::copy(p.star_ids.begin(), p.star_ids.end(), rec.star_ids);
    for (size_t i = 0; i < 5; ++i)
      rec.ratios[i] = static_cast<uint8_t>(std::lround(sky->ratios[i] * 255.0));
    rec.band = p.band;
    rec.size = static_cast<uint16_t>(size);
    records.push_back(rec);
    keys.push_back(pattern::base_key(sky->ratios));
  }
  if (records.size() >= kEmptySlot) return error("too many patterns");
  stats.patterns_written = static_cast<uint32_t>(records.size());

  const double wanted = std::ceil(static_cast<double>(records.size()) / desc.max_load);
  if (wanted > double{uint64_t{1} << 31}) return error("slot table too large");
  const uint64_t slot_count =
      std::bit_ceil(std::max<uint64_t>({uint64_t{1}, desc.min_slots, static_cast<uint64_t>(wanted)}));
  if (slot_count > UINT32_MAX) return error("slot table too large");
  stats.slot_count = static_cast<uint32_t>(slot_count);

  // Placement: header, then the sections in order, each at a multiple of 8.
  SectionRef stars_ref{kHeaderBytes, star_count * sizeof(StarRecord)};
  SectionRef lists_ref{align8(stars_ref.offset + stars_ref.length), list_entries * 4};
  SectionRef cells_ref{align8(lists_ref.offset + lists_ref.length), cell_entries * 4};
  SectionRef patterns_ref{align8(cells_ref.offset + cells_ref.length),
                          records.size() * sizeof(PatternRecord)};
  SectionRef slots_ref{align8(patterns_ref.offset + patterns_ref.length),
                       slot_count * sizeof(SlotRecord)};
  const uint64_t file_bytes = slots_ref.offset + slots_ref.length;
  if (file_bytes > kMaxFileBytes)
    return error(cat("database of ", file_bytes, " bytes exceeds 2^31"));
  stats.file_bytes = file_bytes;

  EncodedDb out;
  out.bytes.resize(file_bytes);
  std::byte* base = out.bytes.data();

  DbHeader header{};
  header.magic = kDbMagic;
  header.version = kDbVersion;
  header.band_count = static_cast<uint32_t>(desc.bands.size());
  header.star_count = static_cast<uint32_t>(star_count);
  header.pattern_count = static_cast<uint32_t>(records.size());
  header.slot_count = static_cast<uint32_t>(slot_count);
  header.stars = stars_ref;
  header.star_lists = lists_ref;
  header.cell_offsets = cells_ref;
  header.patterns = patterns_ref;
  header.slots = slots_ref;

  if (star_count) std::memcpy(base + stars_ref.offset, desc.stars.data(), stars_ref.length);

  auto* lists = reinterpret_cast<uint32_t*>(base + lists_ref.offset);
  auto* offsets = reinterpret_cast<uint32_t*>(base + cells_ref.offset);
  uint64_t list_at = 0;
  uint64_t cells_at = 0;
  std::vector<std::pair<uint64_t, uint32_t>> by_cell;  // (cell, id), reused across bands
  for (size_t b = 0; b < desc.bands.size(); ++b) {
    const BandSpec& band = desc.bands[b];
    const uint64_t cells = uint64_t{12} << (2 * band.depth);
    const T_Healpix_Base<int64> hp(static_cast<int>(band.depth), NEST);
    by_cell.clear();
    for (uint32_t id : band.star_ids) {
      const StarRecord& s = desc.stars[id];
      by_cell.emplace_back(static_cast<uint64_t>(hp.vec2pix(vec3(s.x, s.y, s.z))), id);
    }
    std::stable_sort(by_cell.begin(), by_cell.end(),
                     [](const auto& a, const auto& c) { return a.first < c.first; });

    BandEntry& e = header.bands[b];
    e.fov_deg = band.fov_deg;
    e.size_scale_rad = band.size_scale_rad;
    e.depth = band.depth;
    e.star_list_len = static_cast<uint32_t>(by_cell.size());
    e.star_list_start = list_at;
    e.cell_offsets_start = cells_at;

    uint32_t* run = lists + list_at;
    uint32_t* off = offsets + cells_at;
    size_t pos = 0;
    for (uint64_t cell = 0; cell < cells; ++cell) {
      off[cell] = static_cast<uint32_t>(pos);
      while (pos < by_cell.size() && by_cell[pos].first == cell) {
        run[pos] = by_cell[pos].second;
        ++pos;
      }
    }
    off[cells] = static_cast<uint32_t>(pos);
    list_at += by_cell.size();
    cells_at += cells + 1;
  }

  if (!records.empty())
    std::memcpy(base + patterns_ref.offset, records.data(), patterns_ref.length);

  auto* slots = reinterpret_cast<SlotRecord*>(base + slots_ref.offset);
  for (uint64_t s = 0; s < slot_count; ++s) slots[s] = SlotRecord{kEmptySlot, 0, 0};
  const uint64_t mask = slot_count - 1;
  for (size_t i = 0; i < records.size(); ++i) {
    const uint64_t h = pattern::key_hash(keys[i]);
    uint64_t s = h & mask;
    uint32_t probes = 1;
    while (slots[s].pattern_index != kEmptySlot) {
      s = (s + 1) & mask;
      ++probes;
    }
    slots[s] = SlotRecord{static_cast<uint32_t>(i), static_cast<uint16_t>(h >> 48), 0};
    stats.longest_probe = std::max(stats.longest_probe, probes);
  }

  std::memcpy(base, &header, sizeof header);
  reseal(out.bytes);
  out.stats = stats;
  return out;
}

std::expected<void, WriteError> write_file_atomic(const std::string& path,
                                                  const std::vector<std::byte>& bytes) {
  const std::string temp = cat(path, ".tmp", getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return error(cat("creating ", temp, ": ", system_error(errno)));

  auto abandon = [&](const char* what, int err) {
    ::close(fd);
    ::unlink(temp.c_str());
    return error(cat(what, " ", temp, ": ", system_error(err)));
  };
  const std::byte* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon("writing", errno);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return abandon("syncing", errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return error(cat("closing ", temp, ": ", system_error(err)));
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return error(cat("renaming ", temp, " to ", path, ": ", system_error(err)));
  }
  return {};
}

std::expected<WriteStats, WriteError> write_database(const DbSpec& desc, const std::string& path) {
  auto encoded = encode_database(desc);
  if (!encoded) return std::unexpected(encoded.error());
  if (auto written = write_file_atomic(path, encoded->bytes); !written)
    return std::unexpected(written.error());
  return encoded->stats;
}

}  // namespace kestrune::tools
