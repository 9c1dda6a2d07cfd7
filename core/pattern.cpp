// pattern.cpp — pattern invariants, lookup keys, the key hash and the gates.
#include "core/pattern.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kestrune::pattern {

namespace {

constexpr double kMinRatio = 0.05;
constexpr double kMinAreaFraction = 0.02;  // of L * L, against collinear quads
constexpr double kBinWidth = 0.01;
constexpr double kEdgeMargin = 0.004;      // a ratio this close to a bin edge also tries the neighbour
constexpr double kRatioTolerance = 0.00596078431372549;  // kEdgeMargin + half a ratio byte
constexpr double kFovLow = 1.34;
constexpr double kFovHigh = 2.6;
constexpr double kRoughSlack = 1.01;

// Total order of doubles as a signed integer key.
int64_t total_order_key(double v) {
  const auto bits = std::bit_cast<int64_t>(v);
  return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

// Heron's area from sides sorted so that a >= b >= c, in the arrangement that
// stays accurate for needle-shaped triangles.
double heron(double a, double b, double c) {
  if (a < b) std::swap(a, b);
  if (b < c) std::swap(b, c);
  if (a < b) std::swap(a, b);
  const double p = (a + (b + c)) * (c - (a - b)) * (c + (a - b)) * (a + (b - c));
  return 0.25 * std::sqrt(std::max(0.0, p));
}

double separation(const std::array<double, 3>& a, const std::array<double, 3>& b) {
  const double kx = a[1] * b[2] - a[2] * b[1];
  const double ky = a[2] * b[0] - a[0] * b[2];
  const double kz = a[0] * b[1] - a[1] * b[0];
  return std::atan2(std::sqrt(kx * kx + ky * ky + kz * kz),
                    a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

constexpr std::array<std::array<int, 2>, 6> kPairs = {
    {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}};

int64_t floor_bin(double r) { return static_cast<int64_t>(std::floor(r / kBinWidth)); }

uint8_t clamp_bin(int64_t f) { return static_cast<uint8_t>(std::clamp<int64_t>(f, 0, 99)); }

}  // namespace

std::optional<Pattern> build(const std::array<double, 6>& d, const std::array<double, 4>& c) {
  for (double v : d)
    if (!std::isfinite(v)) return std::nullopt;
  for (double v : c)
    if (!std::isfinite(v)) return std::nullopt;

  size_t longest_at = 0;
  double longest = std::max(d[0], 0.0);
  for (size_t i = 1; i < 6; ++i)
    if (d[i] > longest) {
      longest = d[i];
      longest_at = i;
    }
  if (longest <= 0 || !std::isfinite(longest * longest)) return std::nullopt;

  Pattern p{};
  p.longest = longest;
  size_t n = 0;
  for (size_t i = 0; i < 6; ++i)
    if (i != longest_at) p.ratios[n++] = d[i] / longest;
  // Insertion sort: five elements, no allocation.
  for (size_t i = 1; i < 5; ++i)
    for (size_t j = i; j > 0 && total_less(p.ratios[j], p.ratios[j - 1]); --j)
      std::swap(p.ratios[j], p.ratios[j - 1]);
  if (!(p.ratios[0] >= kMinRatio)) return std::nullopt;

  const double area = std::max({heron(d[3], d[4], d[5]), heron(d[1], d[2], d[5]),
                                heron(d[0], d[2], d[4]), heron(d[0], d[1], d[3])});
  if (kMinAreaFraction * longest * longest > area) return std::nullopt;

  p.order = {0, 1, 2, 3};
  for (size_t i = 1; i < 4; ++i)
    for (size_t j = i; j > 0 && total_less(c[p.order[j]], c[p.order[j - 1]]); --j)
      std::swap(p.order[j], p.order[j - 1]);
  return p;
}

std::optional<Pattern> image_pattern(const std::array<Vec2, 4>& points) {
  std::array<double, 6> d{};
  for (size_t k = 0; k < 6; ++k) {
    const Vec2& a = points[kPairs[k][0]];
    const Vec2& b = points[kPairs[k][1]];
    d[k] = std::hypot(a[0] - b[0], a[1] - b[1]);
  }
  const double mx = (points[0][0] + points[1][0] + points[2][0] + points[3][0]) / 4;
  const double my = (points[0][1] + points[1][1] + points[2][1] + points[3][1]) / 4;
  std::array<double, 4> c{};
  for (size_t i = 0; i < 4; ++i) c[i] = std::hypot(points[i][0] - mx, points[i][1] - my);
  return build(d, c);
}

std::optional<Pattern> sky_pattern(const std::array<StarRecord, 4>& stars) {
  std::array<std::array<double, 3>, 4> v{};
  for (size_t i = 0; i < 4; ++i) v[i] = {stars[i].x, stars[i].y, stars[i].z};
  std::array<double, 6> d{};
  for (size_t k = 0; k < 6; ++k) d[k] = separation(v[kPairs[k][0]], v[kPairs[k][1]]);

  std::array<double, 3> u{};
  for (const auto& s : v)
    for (size_t j = 0; j < 3; ++j) u[j] += s[j];
  const double len2 = u[0] * u[0] + u[1] * u[1] + u[2] * u[2];
  if (!std::isfinite(len2) || len2 < 1e-24) return std::nullopt;
  const double len = std::sqrt(len2);
  for (double& x : u) x /= len;

  std::array<double, 4> c{};
  for (size_t i = 0; i < 4; ++i) c[i] = separation(v[i], u);
  return build(d, c);
}

PatternKey base_key(const std::array<double, 5>& ratios) {
  PatternKey key{};
  for (size_t i = 0; i < 5; ++i) key[i] = clamp_bin(floor_bin(ratios[i]));
  return key;
}

KeyList lookup_keys(const Pattern& image) {
  PatternKey base{};
  std::array<uint8_t, 5> alt{};
  std::array<size_t, 5> flagged{};
  size_t k = 0;
  for (size_t i = 0; i < 5; ++i) {
    const double r = image.ratios[i];
    const int64_t f = floor_bin(r);
    const uint8_t q = clamp_bin(f);
    base[i] = q;
    if (f > 0 && r - q * kBinWidth < kEdgeMargin) {
      alt[i] = static_cast<uint8_t>(q - 1);
      flagged[k++] = i;
    } else if (f < 99 && (q + 1) * kBinWidth - r < kEdgeMargin) {
      alt[i] = static_cast<uint8_t>(q + 1);
      flagged[k++] = i;
    }
  }
  KeyList list;
  list.count = uint32_t{1} << k;
  for (uint32_t m = 0; m < list.count; ++m) {
    PatternKey key = base;
    for (size_t b = 0; b < k; ++b)
      if (m & (uint32_t{1} << b)) key[flagged[b]] = alt[flagged[b]];
    list.keys[m] = key;
  }
  return list;
}

uint64_t key_hash(const PatternKey& key) {
  uint64_t x = 0;
  for (uint8_t q : key) x = (x << 7) | (q & 0x7F);
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9;
  x ^= x >> 27;
  x *= 0x94d049bb133111eb;
  return x ^ (x >> 31);
}

std::optional<PatternHit> examine(const Database& db, const Pattern& image,
                                  const std::array<uint32_t, 4>& quad, double diag,
                                  uint32_t pattern_index) {
  const PatternRecord rec = db.pattern_at(pattern_index);
  if (rec.band >= db.band_count()) return std::nullopt;

  for (size_t i = 0; i < 5; ++i)
    if (!(std::abs(rec.ratios[i] / 255.0 - image.ratios[i]) <= kRatioTolerance))
      return std::nullopt;

  const BandEntry& band = db.bands()[rec.band];
  const double estimate =
      band.size_scale_rad * (rec.size / 65535.0) / image.longest * diag * kRadToDeg;
  if (!(band.fov_deg / kFovLow / kRoughSlack <= estimate &&
        estimate <= band.fov_deg * kFovHigh * kRoughSlack))
    return std::nullopt;

  const std::array<StarRecord, 4> stars = {db.star_at(rec.star_ids[0]), db.star_at(rec.star_ids[1]),
                                           db.star_at(rec.star_ids[2]), db.star_at(rec.star_ids[3])};
  const std::optional<Pattern> sky = sky_pattern(stars);
  if (!sky) return std::nullopt;

  const double implied = diag * (sky->longest / image.longest) * kRadToDeg;
  if (!(band.fov_deg / kFovLow <= implied && implied <= band.fov_deg * kFovHigh))
    return std::nullopt;

  PatternHit hit{pattern_index, rec.band, {}, {}};
  for (size_t k = 0; k < 4; ++k) {
    hit.image_stars[k] = quad[image.order[k]];
    hit.catalogue_stars[k] = rec.star_ids[sky->order[k]];
  }
  return hit;
}

}  // namespace kestrune::pattern
