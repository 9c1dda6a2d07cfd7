// builder.cpp — band planning, neighbourhood quads and the build chain.
#include "tools/builder.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <sstream>

#include <healpix_cxx/healpix_base.h>

#include "core/db.hpp"
#include "core/pattern.hpp"

namespace kestrune::tools {
namespace {

constexpr double kSkyDeg2 = 4.0 * std::numbers::pi * kRadToDeg * kRadToDeg;

// Stars of a band's uniformised list in the smallest field it serves
// (diagonal fov/1.34, aspect 4:3): well above the 80 that verification
// projects, far below the tens of thousands that would slow cone queries.
constexpr double kStarsPerSmallestField = 150.0;
constexpr double kSmallestFieldArea = 0.48 / (1.34 * 1.34);  // times fov^2
// Neighbourhood radius as a fraction of the band's fov: its few brightest
// stars are then among the twenty brightest of an image the band serves.
constexpr double kRadiusPerFov = 0.35;
constexpr uint32_t kQuadStars = 6;
// Neighbourhood centres lie this many radii apart: neighbouring neighbourhoods
// overlap by far more than half, so that any image holds several whole ones.
constexpr double kCentreSpacingPerRadius = 0.75;
constexpr double kMinSidePerFov = 0.2;
constexpr double kSizeScalePerFov = 2.6;  // the largest implied diagonal a band accepts

template <class... Args>
std::string cat(const Args&... args) {
  std::ostringstream out;
  (out << ... << args);
  return out.str();
}

double cell_deg(uint32_t depth) { return std::sqrt(kSkyDeg2 / 12.0) / std::ldexp(1.0, static_cast<int>(depth)); }
double cell_area_deg2(uint32_t depth) { return kSkyDeg2 / (12.0 * std::ldexp(1.0, 2 * static_cast<int>(depth))); }

// The coarsest depth whose cells are at most `size_deg` wide.
uint32_t depth_for(double size_deg) {
  uint32_t d = 0;
  while (d < 29 && cell_deg(d) > size_deg) ++d;
  return d;
}

// The depth whose cells come closest to `size_deg` wide (in ratio).
uint32_t depth_near(double size_deg) {
  const double d = std::round(std::log2(cell_deg(0) / size_deg));
  return static_cast<uint32_t>(std::clamp(d, 0.0, 29.0));
}

vec3 to_vec3(const StarRecord& s) { return vec3(s.x, s.y, s.z); }

void report(const Progress& progress, std::string_view phase, double fraction) {
  if (progress) progress(phase, fraction);
}

// Stars of one band grouped by cell at the band's depth, brightest first within a cell.
struct CellIndex {
  uint32_t depth = 0;
  std::vector<uint64_t> cells;  // sorted distinct cells that hold stars
  std::vector<uint32_t> starts; // per entry of `cells`, into `ids`; one extra at the end
  std::vector<uint32_t> ids;

  CellIndex(const std::vector<StarRecord>& stars, const std::vector<uint32_t>& band_ids, uint32_t d) : depth(d) {
    std::vector<std::pair<uint64_t, uint32_t>> keyed(band_ids.size());
    for (size_t i = 0; i < band_ids.size(); ++i) keyed[i] = {star_cell(stars[band_ids[i]], d), band_ids[i]};
    std::ranges::sort(keyed);
    ids.reserve(keyed.size());
    for (size_t i = 0; i < keyed.size(); ++i) {
      if (i == 0 || keyed[i].first != keyed[i - 1].first) {
        cells.push_back(keyed[i].first);
        starts.push_back(static_cast<uint32_t>(i));
      }
      ids.push_back(keyed[i].second);
    }
    starts.push_back(static_cast<uint32_t>(ids.size()));
  }

  // Direct table of starts by cell where the grid is small enough.
  std::vector<uint32_t> dense;

  void make_dense() {
    const uint64_t n = 12ULL << (2 * depth);
    if (n > (1ULL << 24)) return;
    dense.assign(n + 1, 0);
    size_t k = 0;
    for (uint64_t c = 0; c <= n; ++c) {
      while (k < cells.size() && cells[k] < c) ++k;
      dense[c] = k < cells.size() ? starts[k] : starts.back();
    }
  }

  std::span<const uint32_t> cell_stars(uint64_t cell) const {
    if (!dense.empty()) return std::span(ids).subspan(dense[cell], dense[cell + 1] - dense[cell]);
    auto it = std::ranges::lower_bound(cells, cell);
    if (it == cells.end() || *it != cell) return {};
    const size_t k = static_cast<size_t>(it - cells.begin());
    return std::span(ids).subspan(starts[k], starts[k + 1] - starts[k]);
  }
};

// Membership set of quads (four sorted star ids), open addressing.
class QuadSet {
 public:
  // True when the quad was not in the set before.
  bool insert(const std::array<uint32_t, 4>& q) {
    if ((size_ + 1) * 2 > table_.size()) grow();
    const size_t mask = table_.size() - 1;
    for (size_t s = hash(q) & mask;; s = (s + 1) & mask) {
      if (table_[s] == kEmpty) {
        table_[s] = q;
        ++size_;
        return true;
      }
      if (table_[s] == q) return false;
    }
  }

 private:
  static constexpr std::array<uint32_t, 4> kEmpty{~0u, ~0u, ~0u, ~0u};
  static size_t hash(const std::array<uint32_t, 4>& q) {
    uint64_t x = (uint64_t{q[0]} << 32 | q[1]) * 0x9e3779b97f4a7c15ULL ^ (uint64_t{q[2]} << 32 | q[3]);
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return static_cast<size_t>(x ^ (x >> 31));
  }
  void grow() {
    std::vector<std::array<uint32_t, 4>> old(std::max<size_t>(1024, table_.size() * 2), kEmpty);
    old.swap(table_);
    size_ = 0;
    for (const auto& q : old)
      if (q != kEmpty) insert(q);
  }
  std::vector<std::array<uint32_t, 4>> table_;
  size_t size_ = 0;
};

// Uniformised star list of a band: the brightest `per_cell` of each cell.
std::vector<uint32_t> band_star_ids(const std::vector<StarRecord>& stars, const BandPlan& plan) {
  std::vector<uint32_t> all(stars.size());
  for (uint32_t i = 0; i < all.size(); ++i) all[i] = i;
  if (plan.stars_per_cell == 0) return all;
  CellIndex index(stars, all, plan.depth);
  std::vector<uint32_t> kept;
  for (size_t k = 0; k < index.cells.size(); ++k) {
    const uint32_t n = std::min(index.starts[k + 1] - index.starts[k], plan.stars_per_cell);
    kept.insert(kept.end(), index.ids.begin() + index.starts[k], index.ids.begin() + index.starts[k] + n);
  }
  std::ranges::sort(kept);  // ids follow brightness
  return kept;
}

// Neighbourhood centres: cells at the centre depth within two rings of a
// cell that holds a band star, so that small regions do not scan the sky.
std::vector<int64_t> centre_cells(const std::vector<StarRecord>& stars, const std::vector<uint32_t>& ids,
                                  const BandPlan& plan) {
  const T_Healpix_Base<int64_t> grid(static_cast<int>(plan.centre_depth), NEST);
  std::vector<int64_t> cells;
  cells.reserve(ids.size());
  for (uint32_t id : ids) cells.push_back(grid.vec2pix(to_vec3(stars[id])));
  std::ranges::sort(cells);
  cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  const int rings = static_cast<int>(std::ceil(plan.radius_deg / cell_deg(plan.centre_depth)));
  fix_arr<int64_t, 8> around;
  for (int r = 0; r < rings && cells.size() < static_cast<size_t>(grid.Npix()); ++r) {
    const size_t n = cells.size();
    for (size_t i = 0; i < n; ++i) {
      grid.neighbors(cells[i], around);
      for (size_t k = 0; k < 8; ++k)
        if (around[k] >= 0) cells.push_back(around[k]);
    }
    std::ranges::sort(cells);
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  }
  return cells;
}

// All storable quads among the brightest stars of each neighbourhood, in the
// order of the centre cells; each quad once.
uint64_t band_patterns(const std::vector<StarRecord>& stars, const std::vector<uint32_t>& ids,
                       const BandPlan& plan, uint8_t band, std::vector<PatternSpec>& out,
                       const Progress& progress, std::string_view phase) {
  CellIndex index(stars, ids, plan.depth);
  index.make_dense();
  const T_Healpix_Base<int64_t> index_grid(static_cast<int>(plan.depth), NEST);
  const T_Healpix_Base<int64_t> centre_grid(static_cast<int>(plan.centre_depth), NEST);
  const auto centres = centre_cells(stars, ids, plan);
  const double radius = plan.radius_deg / kRadToDeg;
  const double cos_radius = std::cos(radius);
  const double min_side = plan.min_side_deg / kRadToDeg;

  QuadSet seen;
  rangeset<int64_t> cover;
  std::vector<uint32_t> near;
  std::vector<uint32_t> top;
  std::array<std::vector<uint32_t>, 8> recent;
  for (size_t c = 0; c < centres.size(); ++c) {
    if ((c & 0xFFFF) == 0) report(progress, phase, static_cast<double>(c) / centres.size());
    const vec3 centre = centre_grid.pix2vec(centres[c]);
    index_grid.query_disc_inclusive(pointing(centre), radius, cover, 4);
    near.clear();
    for (size_t r = 0; r < cover.nranges(); ++r)
      for (int64_t cell = cover.ivbegin(r); cell < cover.ivend(r); ++cell)
        for (uint32_t id : index.cell_stars(static_cast<uint64_t>(cell)))
          if (dotprod(to_vec3(stars[id]), centre) >= cos_radius) near.push_back(id);
    if (near.size() < 4) continue;
    const size_t k = std::min<size_t>(near.size(), plan.quad_stars);
    std::ranges::partial_sort(near, near.begin() + static_cast<ptrdiff_t>(k));  // ids follow brightness
    // Neighbouring centres mostly share their brightest stars; a set seen
    // just before adds nothing.
    auto& slot = recent[c % recent.size()];
    if (std::ranges::any_of(recent, [&](const auto& r) {
          return r.size() == k && std::equal(r.begin(), r.end(), near.begin());
        }))
      continue;
    slot.assign(near.begin(), near.begin() + static_cast<ptrdiff_t>(k));
    top = slot;
    for (size_t a = 0; a < k; ++a)
      for (size_t b = a + 1; b < k; ++b)
        for (size_t e = b + 1; e < k; ++e)
          for (size_t f = e + 1; f < k; ++f) {
            const std::array<uint32_t, 4> quad{top[a], top[b], top[e], top[f]};
            if (!seen.insert(quad)) continue;
            auto shape = pattern::sky_pattern({stars[quad[0]], stars[quad[1]], stars[quad[2]], stars[quad[3]]});
            if (!shape || shape->longest < min_side || shape->longest >= plan.size_scale_rad) continue;
            out.push_back({quad, band});
          }
  }
  report(progress, phase, 1.0);
  return centres.size();
}

struct Mapping {
  void* data = MAP_FAILED;
  size_t size = 0;
  ~Mapping() {
    if (data != MAP_FAILED) munmap(data, size);
  }
};

// Maps the written file and loads it with every check.
std::expected<void, std::string> verify_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(cat("opening ", path, ": ", std::strerror(errno)));
  struct stat st{};
  Mapping map;
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    map.size = static_cast<size_t>(st.st_size);
    map.data = mmap(nullptr, map.size, PROT_READ, MAP_PRIVATE, fd, 0);
  }
  const int err = errno;
  ::close(fd);
  if (map.data == MAP_FAILED) return std::unexpected(cat("mapping ", path, ": ", std::strerror(err)));
  auto db = Database::load({static_cast<const std::byte*>(map.data), map.size}, true, true);
  if (!db) return std::unexpected(cat("verifying ", path, ": ", db.error().message()));
  return {};
}

}  // namespace

BandPlan band_for_fov(double fov_deg, bool densest) {
  BandPlan plan;
  plan.fov_deg = fov_deg;
  plan.depth = depth_for(fov_deg / 3.0);
  if (!densest) {
    const double per_cell =
        kStarsPerSmallestField * cell_area_deg2(plan.depth) / (kSmallestFieldArea * fov_deg * fov_deg);
    plan.stars_per_cell = static_cast<uint32_t>(std::clamp(std::ceil(per_cell), 4.0, 1e6));
  }
  plan.radius_deg = kRadiusPerFov * fov_deg;
  plan.centre_depth = depth_near(kCentreSpacingPerRadius * plan.radius_deg);
  plan.quad_stars = kQuadStars;
  plan.min_side_deg = kMinSidePerFov * fov_deg;
  plan.size_scale_rad = kSizeScalePerFov * fov_deg / kRadToDeg;
  return plan;
}

std::vector<BandPlan> default_band_plan() {
  std::vector<BandPlan> plan;
  constexpr std::array kFov{0.45, 0.67, 1.3, 2.55, 5.0, 9.8, 19.2, 37.5};
  for (double f : kFov) plan.push_back(band_for_fov(f, plan.empty()));
  return plan;
}

std::expected<std::vector<BandPlan>, std::string> parse_band_plan(std::string_view text) {
  std::vector<BandPlan> plan;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    double fov = 0;
    auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), fov);
    if (item.empty() || ec != std::errc{} || end != item.data() + item.size() || !(fov >= 0.01 && fov <= 180.0))
      return std::unexpected(cat("band plan: \"", item, "\" is not a field diagonal between 0.01 and 180 degrees"));
    if (!plan.empty() && fov <= plan.back().fov_deg)
      return std::unexpected(cat("band plan: diagonals must ascend (", fov, " after ", plan.back().fov_deg, ")"));
    plan.push_back(band_for_fov(fov, plan.empty()));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (plan.empty() || plan.size() > 8) return std::unexpected(std::string("band plan: give 1 to 8 diagonals"));
  return plan;
}

std::vector<StarRecord> select_stars(const std::vector<CatalogStar>& merged, const BuildOptions& options) {
  std::vector<std::pair<const CatalogStar*, StarRecord>> kept;
  std::array<double, 3> centre{};
  double cos_region = -2;
  if (options.region) {
    centre = unit_vector(options.region->ra_deg / kRadToDeg, options.region->dec_deg / kRadToDeg);
    cos_region = std::cos(options.region->radius_deg / kRadToDeg);
  }
  for (const auto& s : merged) {
    if (options.mag_limit && !(s.mag <= *options.mag_limit)) continue;
    const double mag_key = std::clamp(std::round(static_cast<double>(s.mag) * 1000.0), -32768.0, 32767.0);
    const StarRecord rec = star_record(s.ra_deg / kRadToDeg, s.dec_deg / kRadToDeg, static_cast<int16_t>(mag_key));
    if (options.region && rec.x * centre[0] + rec.y * centre[1] + rec.z * centre[2] < cos_region) continue;
    kept.push_back({&s, rec});
  }
  // Brightest first; ties by position so that the order never depends on the input order.
  std::ranges::stable_sort(kept, [](const auto& a, const auto& b) {
    if (auto c = std::strong_order(a.first->mag, b.first->mag); c != 0) return c < 0;
    if (auto c = std::strong_order(a.first->ra_deg, b.first->ra_deg); c != 0) return c < 0;
    return std::strong_order(a.first->dec_deg, b.first->dec_deg) < 0;
  });
  std::vector<StarRecord> records;
  records.reserve(kept.size());
  for (const auto& k : kept) records.push_back(k.second);
  return records;
}

std::expected<DbSpec, std::string> plan_database(std::vector<StarRecord> stars, const BuildOptions& options,
                                                 std::vector<BandSummary>* band_summaries) {
  if (options.bands.empty() || options.bands.size() > 8)
    return std::unexpected(cat("a database holds 1 to 8 bands, not ", options.bands.size()));
  if (stars.size() >= kEmptySlot) return std::unexpected(std::string("too many stars for 32-bit ids"));
  DbSpec desc;
  desc.max_load = options.max_load;
  desc.stars = std::move(stars);
  if (band_summaries) band_summaries->clear();
  for (size_t b = 0; b < options.bands.size(); ++b) {
    const BandPlan& plan = options.bands[b];
    BandSpec band{plan.fov_deg, plan.size_scale_rad, plan.depth, band_star_ids(desc.stars, plan)};
    const size_t before = desc.patterns.size();
    const std::string phase = cat("band ", b, " patterns");
    const uint64_t hoods =
        band_patterns(desc.stars, band.star_ids, plan, static_cast<uint8_t>(b), desc.patterns, options.progress, phase);
    if (band_summaries)
      band_summaries->push_back({plan, static_cast<uint32_t>(band.star_ids.size()), hoods, desc.patterns.size() - before});
    desc.bands.push_back(std::move(band));
  }
  return desc;
}

std::expected<BuildSummary, std::string> build_database(const std::vector<std::string>& inputs,
                                                        const std::string& output,
                                                        const BuildOptions& options) {
  if (inputs.empty()) return std::unexpected(std::string("no catalogue given"));
  BuildSummary summary;
  std::vector<CatalogStar> all;
  for (size_t i = 0; i < inputs.size(); ++i) {
    report(options.progress, "reading catalogues", static_cast<double>(i) / inputs.size());
    auto stars = read_catalog(inputs[i]);
    if (!stars) return std::unexpected(stars.error());
    all.insert(all.end(), stars->begin(), stars->end());
  }
  summary.stars_read = all.size();
  report(options.progress, "reading catalogues", 1.0);
  report(options.progress, "merging duplicates", 0.0);
  all = merge_catalogs(std::move(all));
  summary.stars_merged = all.size();
  report(options.progress, "merging duplicates", 1.0);
  auto records = select_stars(all, options);
  summary.stars_kept = records.size();
  std::vector<CatalogStar>().swap(all);

  auto desc = plan_database(std::move(records), options, &summary.bands);
  if (!desc) return std::unexpected(desc.error());
  report(options.progress, "writing", 0.0);
  auto encoded = encode_database(*desc);
  if (!encoded) return std::unexpected(encoded.error().message());
  *desc = DbSpec{};  // release the pattern list before the file image is checked and written
  summary.write = encoded->stats;
  // The checksum was computed over these very bytes; the file written from
  // them gets every check below.
  if (auto db = Database::load(encoded->bytes, false, true); !db)
    return std::unexpected(cat("the encoded database does not load: ", db.error().message()));
  if (auto w = write_file_atomic(output, encoded->bytes); !w) return std::unexpected(w.error().message());
  encoded->bytes = {};
  report(options.progress, "writing", 1.0);
  report(options.progress, "verifying", 0.0);
  if (auto v = verify_file(output); !v) {
    std::error_code ignored;
    std::filesystem::remove(output, ignored);
    return std::unexpected(v.error());
  }
  report(options.progress, "verifying", 1.0);
  return summary;
}

}  // namespace kestrune::tools
