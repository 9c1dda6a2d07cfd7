// catalog.cpp — the three catalogue readers and the duplicate merge.
#include "tools/catalog.hpp"

#include <fitsio.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <numbers>
#include <optional>
#include <string_view>

#include <healpix_cxx/healpix_base.h>

#include "core/wcs.hpp"

namespace kestrune::tools {
namespace {


// Message text from pieces; `{}` in `pattern` takes the next argument.
template <class... Args>
std::string fmt(std::string_view pattern, const Args&... args) {
  std::ostringstream out;
  auto put = [&](const auto& arg) {
    const size_t at = pattern.find("{}");
    out << pattern.substr(0, at) << arg;
    pattern.remove_prefix(at == std::string_view::npos ? pattern.size() : at + 2);
  };
  (put(args), ...);
  out << pattern;
  return out.str();
}

struct FitsCloser {
  void operator()(fitsfile* f) const {
    int status = 0;
    fits_close_file(f, &status);
  }
};
using FitsFile = std::unique_ptr<fitsfile, FitsCloser>;

std::string fits_text(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  fits_clear_errmsg();  // cfitsio keeps a global message stack; we report by value
  return fmt("{} (cfitsio status {})", text, status);
}

CatalogStar from_vector(double x, double y, double z, float mag) {
  double ra = std::atan2(y, x) * kRadToDeg;
  if (ra < 0) ra += 360.0;
  if (ra >= 360.0) ra = 0.0;
  return {ra, std::atan2(z, std::hypot(x, y)) * kRadToDeg, mag};
}

template <class T>
T read_le(const unsigned char* p) {
  std::array<unsigned char, sizeof(T)> b;
  std::memcpy(b.data(), p, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) std::ranges::reverse(b);
  return std::bit_cast<T>(b);
}

// The three extensions of the star table, found by their first column name.
struct TychoHdus {
  int data = 0, range = 0, mag = 0;
};

std::expected<TychoHdus, std::string> find_tycho_hdus(fitsfile* f, const std::string& path) {
  int status = 0, count = 0;
  if (fits_get_num_hdus(f, &count, &status))
    return std::unexpected(fmt("{}: counting HDUs: {}", path, fits_text(status)));
  TychoHdus hdus;
  for (int h = 2; h <= count; ++h) {
    int type = 0;
    if (fits_movabs_hdu(f, h, &type, &status))
      return std::unexpected(fmt("{}: HDU {}: {}", path, h, fits_text(status)));
    if (type != BINARY_TBL) continue;
    char ttype[FLEN_VALUE] = {};
    if (fits_read_key(f, TSTRING, "TTYPE1", ttype, nullptr, &status)) {
      status = 0;
      fits_clear_errmsg();
      continue;
    }
    const std::string_view name(ttype);
    if (name == "kdtree_data_stars") hdus.data = h;
    else if (name == "kdtree_range_stars") hdus.range = h;
    else if (name == "MAG_VT") hdus.mag = h;
  }
  for (auto [hdu, name] : {std::pair{hdus.data, "kdtree_data_stars"},
                           std::pair{hdus.range, "kdtree_range_stars"}, std::pair{hdus.mag, "MAG_VT"}})
    if (hdu == 0) return std::unexpected(fmt("{}: no binary table with column {}", path, name));
  return hdus;
}

// Moves to `hdu` and returns its row count after checking the row width.
std::expected<long, std::string> open_table(fitsfile* f, int hdu, long row_bytes,
                                            const std::string& path, std::string_view what) {
  int status = 0, type = 0;
  long width = 0, rows = 0;
  if (fits_movabs_hdu(f, hdu, &type, &status) ||
      fits_read_key(f, TLONG, "NAXIS1", &width, nullptr, &status) || fits_get_num_rows(f, &rows, &status))
    return std::unexpected(fmt("{}: table {}: {}", path, what, fits_text(status)));
  if (row_bytes > 0 && width != row_bytes)
    return std::unexpected(
        fmt("{}: table {}: rows of {} bytes, expected {}", path, what, width, row_bytes));
  return rows;
}

// Reads rows [first, first + n) as raw bytes; on failure names the first bad row.
std::expected<void, std::string> read_rows(fitsfile* f, long first, long n, long width,
                                           unsigned char* out, const std::string& path,
                                           std::string_view what) {
  int status = 0;
  if (!fits_read_tblbytes(f, first + 1, 1, n * width, out, &status)) return {};
  for (long r = first; r < first + n; ++r) {
    status = 0;
    if (fits_read_tblbytes(f, r + 1, 1, width, out + (r - first) * width, &status))
      return std::unexpected(fmt("{}: table {}: row {}: {}", path, what, r + 1, fits_text(status)));
  }
  return std::unexpected(fmt("{}: table {}: rows {}..{}: {}", path, what, first + 1, first + n,
                                     fits_text(status)));
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::optional<double> parse_double(std::string_view s) {
  s = trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

// A fixed-width field of digits only (the sexagesimal parts of stars.dat).
std::optional<int> parse_digits(std::string_view s) {
  int v = 0;
  if (s.empty()) return std::nullopt;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::optional<CatalogStar> parse_kstars_line(std::string_view line) {
  if (line.size() < 51) return std::nullopt;
  auto hh = parse_digits(line.substr(0, 2)), rm = parse_digits(line.substr(2, 2));
  auto rs = parse_double(line.substr(4, 5));
  const char sign = line[10];
  auto dd = parse_digits(line.substr(11, 2)), dm = parse_digits(line.substr(13, 2));
  auto ds = parse_double(line.substr(15, 4));
  auto mag = parse_double(line.substr(45, 6));
  if (!hh || !rm || !rs || !dd || !dm || !ds || !mag || (sign != '+' && sign != '-' && sign != ' '))
    return std::nullopt;
  // Seconds of exactly 60 occur in the file (rounded values) and are taken as they read.
  if (*hh >= 24 || *rm >= 60 || *rs < 0 || *rs > 60 || *dd > 90 || *dm >= 60 || *ds < 0 || *ds > 60)
    return std::nullopt;
  double ra = (*hh + *rm / 60.0 + *rs / 3600.0) * 15.0;
  if (ra >= 360.0) ra -= 360.0;
  double dec = *dd + *dm / 60.0 + *ds / 3600.0;
  if (dec > 90.0) return std::nullopt;
  if (sign == '-') dec = -dec;
  return CatalogStar{ra, dec, static_cast<float>(*mag)};
}

// Splits a CSV line on commas (no quoting: the catalogue columns are numbers).
void split_csv(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  for (;;) {
    const size_t comma = line.find(',');
    fields.push_back(trim(line.substr(0, comma)));
    if (comma == std::string_view::npos) return;
    line.remove_prefix(comma + 1);
  }
}

}  // namespace

std::expected<std::vector<CatalogStar>, std::string> read_tycho2_fits(const std::string& path) {
  int status = 0;
  fitsfile* raw = nullptr;
  if (fits_open_diskfile(&raw, path.c_str(), READONLY, &status)) {
    if (raw) fits_close_file(raw, &status);
    return std::unexpected(fmt("{}: {}", path, fits_text(status)));
  }
  FitsFile file(raw);
  auto hdus = find_tycho_hdus(file.get(), path);
  if (!hdus) return std::unexpected(hdus.error());

  auto range_rows = open_table(file.get(), hdus->range, 8, path, "kdtree_range_stars");
  if (!range_rows) return std::unexpected(range_rows.error());
  if (*range_rows != 7)
    return std::unexpected(fmt("{}: table kdtree_range_stars: {} rows, expected 7", path, *range_rows));
  std::array<unsigned char, 56> range_bytes{};
  if (auto r = read_rows(file.get(), 0, 7, 8, range_bytes.data(), path, "kdtree_range_stars"); !r)
    return std::unexpected(r.error());
  std::array<double, 7> range{};
  for (int i = 0; i < 7; ++i) range[i] = read_le<double>(range_bytes.data() + 8 * i);
  const double scale = range[6];
  for (double v : range)
    if (!std::isfinite(v)) return std::unexpected(fmt("{}: table kdtree_range_stars: non-finite value", path));
  if (!(scale > 0)) return std::unexpected(fmt("{}: table kdtree_range_stars: scale {} is not positive", path, scale));

  auto mag_rows = open_table(file.get(), hdus->mag, 0, path, "MAG_VT");
  if (!mag_rows) return std::unexpected(mag_rows.error());
  std::vector<float> mags(static_cast<size_t>(*mag_rows));
  if (*mag_rows > 0) {
    float nul = 0;
    int any_nul = 0;
    if (fits_read_col(file.get(), TFLOAT, 1, 1, 1, *mag_rows, &nul, mags.data(), &any_nul, &status)) {
      // Narrow the failure down to a row so that the message can name it.
      long bad = 1;
      for (long step = 65536; bad <= *mag_rows; bad += step) {
        int s = 0;
        const long n = std::min(step, *mag_rows - bad + 1);
        if (fits_read_col(file.get(), TFLOAT, 1, bad, 1, n, &nul, mags.data() + bad - 1, &any_nul, &s)) {
          for (long r = bad; r < bad + n; ++r) {
            s = 0;
            if (fits_read_col(file.get(), TFLOAT, 1, r, 1, 1, &nul, mags.data() + r - 1, &any_nul, &s))
              return std::unexpected(fmt("{}: table MAG_VT: row {}: {}", path, r, fits_text(s)));
          }
        }
      }
      return std::unexpected(fmt("{}: table MAG_VT: {}", path, fits_text(status)));
    }
  }

  auto data_rows = open_table(file.get(), hdus->data, 12, path, "kdtree_data_stars");
  if (!data_rows) return std::unexpected(data_rows.error());
  if (*data_rows != *mag_rows)
    return std::unexpected(fmt("{}: table kdtree_data_stars has {} rows but MAG_VT has {}", path,
                                       *data_rows, *mag_rows));

  std::vector<CatalogStar> stars;
  stars.reserve(static_cast<size_t>(*data_rows));
  constexpr long kChunk = 1 << 16;
  std::vector<unsigned char> chunk(kChunk * 12);
  for (long first = 0; first < *data_rows; first += kChunk) {
    const long n = std::min(kChunk, *data_rows - first);
    if (auto r = read_rows(file.get(), first, n, 12, chunk.data(), path, "kdtree_data_stars"); !r)
      return std::unexpected(r.error());
    for (long i = 0; i < n; ++i) {
      const long row = first + i;
      std::array<double, 3> v{};
      for (int a = 0; a < 3; ++a) v[a] = range[a] + read_le<uint32_t>(chunk.data() + 12 * i + 4 * a) / scale;
      const double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
      if (!(norm > 0.5 && norm < 2.0))
        return std::unexpected(fmt("{}: table kdtree_data_stars: row {}: not a direction", path, row + 1));
      const float mag = mags[static_cast<size_t>(row)];
      if (!std::isfinite(mag))
        return std::unexpected(fmt("{}: table MAG_VT: row {}: magnitude is not a number", path, row + 1));
      stars.push_back(from_vector(v[0] / norm, v[1] / norm, v[2] / norm, mag));
    }
  }
  return stars;
}

std::expected<std::vector<CatalogStar>, std::string> read_kstars_dat(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(fmt("{}: cannot open ({})", path, std::strerror(errno)));
  std::vector<CatalogStar> stars;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    const std::string_view view = trim(line);
    if (view.empty() || line.front() == '#') continue;
    auto star = parse_kstars_line(line);
    if (!star) return std::unexpected(fmt("{}: line {}: not a star entry (RA hhmmss.ss, Dec sddmmss.s, magnitude at columns 45-50)", path, number));
    stars.push_back(*star);
  }
  if (in.bad()) return std::unexpected(fmt("{}: read error", path));
  return stars;
}

std::expected<std::vector<CatalogStar>, std::string> read_csv_catalog(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected(fmt("{}: cannot open ({})", path, std::strerror(errno)));
  std::string line;
  std::vector<std::string_view> fields;
  size_t number = 0;
  // The header is the first non-empty line.
  while (std::getline(in, line)) {
    ++number;
    if (!trim(line).empty()) break;
  }
  if (trim(line).empty()) return std::unexpected(fmt("{}: empty file, expected a header row", path));
  split_csv(line, fields);
  std::array<size_t, 3> column{};
  const std::array<std::string_view, 3> names{"ra_deg", "dec_deg", "mag"};
  for (size_t c = 0; c < 3; ++c) {
    auto it = std::ranges::find(fields, names[c]);
    if (it == fields.end())
      return std::unexpected(fmt("{}: line {}: header has no column {}", path, number, names[c]));
    column[c] = static_cast<size_t>(it - fields.begin());
  }
  const size_t width = fields.size();

  std::vector<CatalogStar> stars;
  while (std::getline(in, line)) {
    ++number;
    if (trim(line).empty()) continue;
    split_csv(line, fields);
    if (fields.size() != width)
      return std::unexpected(fmt("{}: line {}: {} fields, the header has {}", path, number, fields.size(), width));
    std::array<double, 3> v{};
    for (size_t c = 0; c < 3; ++c) {
      auto value = parse_double(fields[column[c]]);
      if (!value)
        return std::unexpected(
            fmt("{}: line {}: {} \"{}\" is not a finite number", path, number, names[c], fields[column[c]]));
      v[c] = *value;
    }
    if (v[1] < -90.0 || v[1] > 90.0)
      return std::unexpected(fmt("{}: line {}: dec_deg {} outside -90..90", path, number, v[1]));
    double ra = std::fmod(v[0], 360.0);
    if (ra < 0) ra += 360.0;
    if (ra >= 360.0) ra = 0.0;
    stars.push_back({ra, v[1], static_cast<float>(v[2])});
  }
  if (in.bad()) return std::unexpected(fmt("{}: read error", path));
  return stars;
}

std::expected<std::vector<CatalogStar>, std::string> read_catalog(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::ranges::transform(ext, ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == ".fits" || ext == ".fit" || ext == ".fts") return read_tycho2_fits(path);
  if (ext == ".dat") return read_kstars_dat(path);
  return read_csv_catalog(path);
}

std::vector<CatalogStar> merge_catalogs(std::vector<CatalogStar> stars, double radius_arcsec,
                                        float mag_tolerance) {
  // Brightest first; position breaks ties so the result never depends on input order.
  auto brighter = [](const CatalogStar& a, const CatalogStar& b) {
    if (auto c = std::strong_order(a.mag, b.mag); c != 0) return c < 0;
    if (auto c = std::strong_order(a.ra_deg, b.ra_deg); c != 0) return c < 0;
    return std::strong_order(a.dec_deg, b.dec_deg) < 0;
  };
  std::ranges::stable_sort(stars, brighter);
  if (!(radius_arcsec > 0) || stars.size() < 2) return stars;

  // Cells at least four radii wide, so that a star's partners lie in its own
  // cell or one of its eight neighbours.
  constexpr double kDepth0CellArcsec = 58.6 * 3600.0;
  int depth = 0;
  while (depth < 29 && kDepth0CellArcsec / std::ldexp(1.0, depth + 1) >= 4.0 * radius_arcsec) ++depth;
  T_Healpix_Base<int64_t> grid(depth, NEST);

  std::vector<std::array<double, 3>> dirs(stars.size());
  std::vector<int64_t> cell_of(stars.size());
  std::vector<std::pair<int64_t, uint32_t>> by_cell(stars.size());  // (cell, rank)
  for (size_t i = 0; i < stars.size(); ++i) {
    dirs[i] = unit_vector(stars[i].ra_deg / kRadToDeg, stars[i].dec_deg / kRadToDeg);
    cell_of[i] = grid.vec2pix(vec3(dirs[i][0], dirs[i][1], dirs[i][2]));
    by_cell[i] = {cell_of[i], static_cast<uint32_t>(i)};
  }
  std::ranges::sort(by_cell);

  const double chord = 2.0 * std::sin(radius_arcsec / 3600.0 / kRadToDeg / 2.0);
  const double chord2 = chord * chord;
  std::vector<uint8_t> gone(stars.size(), 0);
  fix_arr<int64_t, 8> around;
  for (size_t i = 0; i < stars.size(); ++i) {
    if (gone[i]) continue;
    const int64_t cell = cell_of[i];
    grid.neighbors(cell, around);
    std::array<int64_t, 9> cells{cell};
    for (size_t k = 0; k < 8; ++k) cells[k + 1] = around[k];
    for (int64_t c : cells) {
      if (c < 0) continue;
      auto lo = std::ranges::lower_bound(by_cell, std::pair{c, uint32_t{0}});
      for (auto it = lo; it != by_cell.end() && it->first == c; ++it) {
        const uint32_t j = it->second;
        if (j <= i || gone[j]) continue;
        const double dx = dirs[i][0] - dirs[j][0], dy = dirs[i][1] - dirs[j][1], dz = dirs[i][2] - dirs[j][2];
        if (dx * dx + dy * dy + dz * dz <= chord2 && std::fabs(stars[j].mag - stars[i].mag) <= mag_tolerance)
          gone[j] = 1;
      }
    }
  }
  std::vector<CatalogStar> kept;
  kept.reserve(stars.size());
  for (size_t i = 0; i < stars.size(); ++i)
    if (!gone[i]) kept.push_back(stars[i]);
  return kept;
}

std::vector<std::string> default_catalog_paths(const std::string& cache_dir) {
  namespace fs = std::filesystem;
  fs::path dir(cache_dir);
  if (fs::is_directory(dir / "catalogues")) dir /= "catalogues";
  return {(dir / "index-tycho2-07.littleendian.fits").string(), (dir / "stars.dat").string()};
}

}  // namespace kestrune::tools
