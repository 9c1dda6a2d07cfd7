// extract.cpp — background model, peak scan and star measurement.
//
// The maps are built in single precision in a fixed order of operations, and
// every ordering compares under the IEEE total order, so one plane always
// yields the same bits. The plane is read once (binning); everything after
// works on the quarter-size working image with scratch allocated per call.
#include "core/extract.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

namespace kestrune {

namespace {

constexpr float kMadScale = 1.4826f;  // MAD to standard deviation for a normal distribution
constexpr float kSqrt2 = 1.4142135f;
constexpr uint32_t kNodeStep = 8;  // lattice spacing, working pixels

// Float to u32 as a saturating cast: NaN and negatives give 0.
uint32_t to_u32(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 4294967296.0f) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

size_t to_index(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 18446744073709551616.0f) return SIZE_MAX;
  return static_cast<size_t>(v);
}

// Integer keys that order floats like the IEEE total order (-NaN < -inf <
// ... < -0 < +0 < ... < inf < NaN): negative values get their magnitude bits
// flipped so that a larger magnitude compares smaller.
int64_t total_order_key(double v) {
  const auto bits = std::bit_cast<int64_t>(v);
  return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

// The f32 key, computed on a float's raw bits; applied twice it gives the
// bits back.
int32_t key_from_bits(int32_t bits) {
  return bits ^ static_cast<int32_t>(static_cast<uint32_t>(bits >> 31) >> 1);
}

using AliasedKey = int32_t __attribute__((may_alias));

// Quickselect: returns the key that belongs at index `kth` in sorted order,
// reordering k. Partitions are branch-free (Lomuto with an unconditional
// swap), and a run of keys equal to the pivot is split off so that the
// many ties of integer-valued samples cannot make it quadratic.
template <class Key>
int32_t select_key(Key* k, size_t n, size_t kth) {
  size_t lo = 0;
  size_t hi = n - 1;
  for (int rounds = 0; hi - lo > 8; ++rounds) {
    if (rounds > 64) {
      std::nth_element(k + lo, k + kth, k + hi + 1);
      return k[kth];
    }
    const size_t mid = lo + (hi - lo) / 2;
    if (k[mid] < k[lo]) std::swap(k[mid], k[lo]);
    if (k[hi] < k[lo]) std::swap(k[hi], k[lo]);
    if (k[hi] < k[mid]) std::swap(k[hi], k[mid]);
    std::swap(k[mid], k[hi]);
    const int32_t pivot = k[hi];
    size_t store = lo;
    for (size_t i = lo; i < hi; ++i) {
      const int32_t x = k[i];
      k[i] = k[store];
      k[store] = x;
      store += x < pivot;
    }
    k[hi] = k[store];
    k[store] = pivot;
    if (kth < store) {
      hi = store - 1;
      continue;
    }
    size_t equal = store + 1;
    for (size_t i = store + 1; i <= hi; ++i) {
      const int32_t x = k[i];
      k[i] = k[equal];
      k[equal] = x;
      equal += x == pivot;
    }
    if (kth < equal) return pivot;
    lo = equal;
  }
  for (size_t i = lo + 1; i <= hi; ++i) {
    const int32_t x = k[i];
    size_t j = i;
    for (; j > lo && k[j - 1] > x; --j) k[j] = k[j - 1];
    k[j] = x;
  }
  return k[kth];
}

// max that ignores a NaN on either side.
float at_least(float v, float floor) { return v >= floor ? v : floor; }

struct WorkingImage {
  const uint32_t* px;
  uint32_t w;
  uint32_t h;
  uint32_t at(uint64_t x, uint64_t y) const { return px[y * w + x]; }
};

uint64_t effective_tile_size(uint64_t tile_size) {
  return std::clamp<uint64_t>(tile_size, 4, 65536);
}

float effective_k_sigma(float k_sigma) {
  if (std::isnan(k_sigma)) return 5.0f;
  return std::clamp(k_sigma, 0.0f, 1e9f);
}

// Sums each 2 x 2 block of the plane into one working pixel (a last odd row
// or column is dropped); returns the largest working value. A pair of
// samples is loaded as one 32-bit word and its halves added (the sum does
// not depend on the byte order), which the compiler turns into wide vector
// code; sums of four 16-bit samples stay below 2^31, so signed maxima serve.
uint32_t bin_row(const uint16_t* __restrict r0, const uint16_t* __restrict r1,
                 uint32_t* __restrict out, uint32_t bw) {
  int32_t row_max = 0;
  for (uint32_t x = 0; x < bw; ++x) {
    uint32_t a;
    uint32_t b;
    std::memcpy(&a, r0 + 2 * size_t{x}, sizeof a);
    std::memcpy(&b, r1 + 2 * size_t{x}, sizeof b);
    const auto v = static_cast<int32_t>((a & 0xffff) + (a >> 16) + (b & 0xffff) + (b >> 16));
    out[x] = static_cast<uint32_t>(v);
    row_max = v > row_max ? v : row_max;
  }
  return static_cast<uint32_t>(row_max);
}

uint32_t bin_2x2(const uint16_t* samples, uint32_t width, uint32_t bw, uint32_t bh, uint32_t* out) {
  uint32_t max_level = 0;
  for (uint32_t y = 0; y < bh; ++y) {
    const uint16_t* r0 = samples + size_t{2} * y * width;
    max_level = std::max(max_level, bin_row(r0, r0 + width, out + size_t{y} * bw, bw));
  }
  return max_level;
}

// Whether any of n working values exceeds floor; a plain loop the compiler
// vectorises (working values fit in int32, so a signed compare is exact).
bool any_above(const uint32_t* p, size_t n, uint32_t floor) {
  const auto f = static_cast<int32_t>(std::min<uint32_t>(floor, INT32_MAX));
  int32_t hits = 0;
  for (size_t k = 0; k < n; ++k) hits |= static_cast<int32_t>(p[k]) > f;
  return hits != 0;
}

struct TileSample {
  float v;
  float dx;  // offset from the tile centre
  float dy;
};

struct TileScratch {
  std::vector<TileSample> samples;
  std::vector<float> residuals;
  std::vector<float> hdiff;
  std::vector<float> vdiff;
  std::vector<float> absdev;

  void clear() {
    samples.clear();
    residuals.clear();
    hdiff.clear();
    vdiff.clear();
    absdev.clear();
  }
};

struct TileEstimate {
  float level;
  float noise;
};

// Robust level (at the tile centre, after removing the median gradient) and
// noise (from the spread of neighbour differences, which a smooth background
// does not reach) of one tile, from every fourth pixel in both directions.
TileEstimate estimate_tile(const WorkingImage& img, uint32_t x0, uint32_t x1, uint32_t y0,
                           uint32_t y1, float cx, float cy, TileScratch& s) {
  s.clear();
  const uint32_t mx = std::min((x1 - x0) / 2, 2u);
  const uint32_t my = std::min((y1 - y0) / 2, 2u);
  for (uint32_t y = y0 + my; y < y1; y += 4) {
    for (uint32_t x = x0 + mx; x < x1; x += 4) {
      const float v = static_cast<float>(img.at(x, y));
      s.samples.push_back({v, static_cast<float>(x) - cx, static_cast<float>(y) - cy});
      s.hdiff.push_back(x + 1 == img.w ? v - static_cast<float>(img.at(x - 1, y))
                                       : static_cast<float>(img.at(x + 1, y)) - v);
      s.vdiff.push_back(y + 1 == img.h ? v - static_cast<float>(img.at(x, y - 1))
                                       : static_cast<float>(img.at(x, y + 1)) - v);
    }
  }
  if (s.samples.empty()) return {0.0f, 1.0f};

  const float gx = median(s.hdiff);
  const float gy = median(s.vdiff);
  for (const TileSample& p : s.samples) s.residuals.push_back((p.v - p.dx * gx) - p.dy * gy);
  float level = median(s.residuals);

  for (float r : s.residuals) s.absdev.push_back(std::fabs(r - level));
  const float spread = kMadScale * median(s.absdev);
  if (spread > 0.0f) {
    const float limit = 3.0f * spread;
    const size_t before = s.residuals.size();
    std::erase_if(s.residuals, [&](float r) { return !(std::fabs(r - level) <= limit); });
    if (!s.residuals.empty() && s.residuals.size() < before) level = median(s.residuals);
  }

  s.absdev.clear();
  for (float h : s.hdiff) s.absdev.push_back(std::fabs(h - gx));
  const float noise = at_least(kMadScale * median(s.absdev) / kSqrt2, 1.0f);
  return {level, noise};
}

// A tile grid row or column (n values, `stride` apart) evaluated at working
// coordinate p by a Catmull-Rom cubic through the tile centres, with the
// outer control points extrapolated at the borders.
float catmull_rom(const float* a, size_t stride, size_t n, float cell, float p) {
  if (n < 2) return a[0];
  const float f = (p + 0.5f) / cell - 0.5f;
  const size_t k = std::min(to_index(std::floor(f > 0.0f ? f : 0.0f)), n - 2);
  const float t = f - static_cast<float>(k);
  const float p1 = a[k * stride];
  const float p2 = a[(k + 1) * stride];
  float p0;
  float p3;
  if (k == 0 && n == 2) {
    p0 = 2.0f * p1 - p2;
    p3 = 2.0f * p2 - p1;
  } else if (k == 0) {
    p3 = a[2 * stride];
    p0 = 3.0f * p1 - 3.0f * p2 + p3;
  } else {
    p0 = a[(k - 1) * stride];
    p3 = k + 2 < n ? a[(k + 2) * stride] : 3.0f * p2 - 3.0f * p1 + p0;
  }
  return 0.5f * (2.0f * p1 + t * ((p2 - p0) + t * ((2.0f * p0 - 5.0f * p1 + 4.0f * p2 - p3) +
                                                   t * (3.0f * p1 - p0 - 3.0f * p2 + p3))));
}

uint32_t node_count(uint32_t extent) { return (extent - 1 + kNodeStep - 1) / kNodeStep + 1; }

// The lattice interpolated to one working row: the threshold at every node
// column (and as an integer, with the smallest per block of eight node
// intervals for the coarse skip), noise and background on demand.
class RowArrays {
 public:
  static constexpr uint32_t kBlock = 8;  // node intervals per coarse block

  RowArrays(const BackgroundModel& m, uint32_t bh)
      : threshold(m.nodes_x),
        threshold_u32(m.nodes_x),
        block_floor((m.nodes_x - 1 + kBlock - 1) / kBlock),
        m_(m),
        bh_(bh) {}

  void fill(uint32_t y) {
    const size_t n = m_.nodes_x;
    const uint32_t j = std::min(y / kNodeStep, m_.nodes_y - 2);
    const uint32_t y0 = kNodeStep * j;
    const uint32_t y1 = std::min(y0 + kNodeStep, bh_ - 1);
    t_ = static_cast<float>(y - y0) / static_cast<float>(y1 - y0);
    lo_ = size_t{j} * n;
    hi_ = lo_ + n;
    for (size_t i = 0; i < n; ++i) {
      threshold[i] = lerp(m_.threshold, i);
      threshold_u32[i] = to_u32(threshold[i]);
    }
    for (size_t b = 0; b < block_floor.size(); ++b) {
      const size_t end = std::min(kBlock * (b + 1), n - 1);
      block_floor[b] = *std::min_element(&threshold_u32[kBlock * b], &threshold_u32[end] + 1);
    }
  }

  float noise(size_t i) const { return lerp(m_.node_noise, i); }
  float background(size_t i) const { return lerp(m_.node_background, i); }

  std::vector<float> threshold;
  std::vector<uint32_t> threshold_u32;
  std::vector<uint32_t> block_floor;

 private:
  float lerp(const std::vector<float>& lattice, size_t i) const {
    return lattice[lo_ + i] + t_ * (lattice[hi_ + i] - lattice[lo_ + i]);
  }

  const BackgroundModel& m_;
  uint32_t bh_;
  float t_ = 0;
  size_t lo_ = 0;
  size_t hi_ = 0;
};

struct FloodBox {
  uint64_t x_min, x_max, y_min, y_max;
  double sum;
};

// Bounded 4-connected fill over the pixels >= floor, within 63 working
// pixels of its start. The visited window is fixed and cleared through the
// touched list, so a fill costs what it visits.
class Flood {
 public:
  Flood() : visited_(kSide * kSide, 0) {}

  std::optional<FloodBox> core(const WorkingImage& img, uint32_t sx, uint32_t sy, uint32_t floor,
                               uint32_t ceiling) {
    FloodBox box{sx, sx, sy, sy, 0.0};
    uint64_t sum = 0;
    bool ok = true;
    stack_.clear();
    mark(sx, sy, sx, sy);
    stack_.emplace_back(sx, sy);
    while (!stack_.empty()) {
      const auto [x, y] = stack_.back();
      stack_.pop_back();
      box.x_min = std::min<uint64_t>(box.x_min, x);
      box.x_max = std::max<uint64_t>(box.x_max, x);
      box.y_min = std::min<uint64_t>(box.y_min, y);
      box.y_max = std::max<uint64_t>(box.y_max, y);
      const uint32_t capped = std::min(img.at(x, y), ceiling);
      if (capped > floor) sum += capped - floor;
      if (std::abs(int64_t{x} - sx) > kReach || std::abs(int64_t{y} - sy) > kReach) {
        ok = false;
        break;
      }
      if (x > 0) visit(img, x - 1, y, sx, sy, floor);
      if (x + 1 < img.w) visit(img, x + 1, y, sx, sy, floor);
      if (y > 0) visit(img, x, y - 1, sx, sy, floor);
      if (y + 1 < img.h) visit(img, x, y + 1, sx, sy, floor);
    }
    for (uint32_t i : touched_) visited_[i] = 0;
    touched_.clear();
    stack_.clear();
    if (!ok) return std::nullopt;
    box.sum = static_cast<double>(sum);
    return box;
  }

 private:
  static constexpr int64_t kReach = 63;
  static constexpr int64_t kSide = 2 * kReach + 3;  // offsets -64 ... 64

  static size_t cell(uint32_t x, uint32_t y, uint32_t sx, uint32_t sy) {
    return static_cast<size_t>((int64_t{x} - sx + kReach + 1) +
                               kSide * (int64_t{y} - sy + kReach + 1));
  }

  void mark(uint32_t x, uint32_t y, uint32_t sx, uint32_t sy) {
    const size_t c = cell(x, y, sx, sy);
    visited_[c] = 1;
    touched_.push_back(static_cast<uint32_t>(c));
  }

  void visit(const WorkingImage& img, uint32_t x, uint32_t y, uint32_t sx, uint32_t sy,
             uint32_t floor) {
    if (img.at(x, y) < floor || visited_[cell(x, y, sx, sy)]) return;
    mark(x, y, sx, sy);
    stack_.emplace_back(x, y);
  }

  std::vector<uint8_t> visited_;
  std::vector<uint32_t> touched_;
  std::vector<std::pair<uint32_t, uint32_t>> stack_;
};

struct Candidate {
  double x;
  double y;
  double flux;
  double size;
  bool saturated;
};

struct Saturation {
  float level;       // a peak at or above this is saturated
  uint32_t ceiling;  // level as an integer
  uint32_t core_floor;
};

// Everything one peak needs beyond its position: the lattice values at it.
struct PeakContext {
  float sigma;
  float background;
};

// Two rows of at most 127 + 9 pixels and two columns as tall.
constexpr size_t kRingCapacity = 4 * (127 + 9);

struct Measurer {
  const WorkingImage& img;
  const Saturation& sat;
  float k_sigma;
  Flood flood;
  // Ring samples, sized for the widest core a fill can return. They are
  // working values, exact as floats, so their median is the floats' one.
  std::vector<int32_t> ring = std::vector<int32_t>(kRingCapacity);

  std::optional<Candidate> measure(uint32_t x, uint32_t y, PeakContext at) {
    const uint32_t v = img.at(x, y);
    const float vf = static_cast<float>(v);
    const bool saturated = vf >= sat.level;
    int64_t x_min = x, x_max = x, y_min = y, y_max = y;
    if (saturated) {
      const auto fill = flood.core(img, x, y, to_u32(0.98f * vf), 0);
      if (!fill) return std::nullopt;
      x_min = static_cast<int64_t>(fill->x_min);
      x_max = static_cast<int64_t>(fill->x_max);
      y_min = static_cast<int64_t>(fill->y_min);
      y_max = static_cast<int64_t>(fill->y_max);
    }
    const int64_t last_x = int64_t{img.w} - 1;
    const int64_t last_y = int64_t{img.h} - 1;

    // Local background from a ring four pixels outside the core box.
    int32_t* out = ring.data();
    size_t count = 0;
    const int64_t rx0 = std::max<int64_t>(x_min - 4, 0);
    const int64_t rx1 = std::min(x_max + 4, last_x);
    for (const int64_t r : {y_min - 4, y_max + 4}) {
      if (r < 0 || r > last_y) continue;
      for (int64_t c = rx0; c <= rx1; ++c) out[count++] = static_cast<int32_t>(img.at(c, r));
    }
    const int64_t ry1 = std::min(y_max + 4, last_y);
    for (int64_t r = std::max<int64_t>(y_min - 4, 0); r <= ry1; ++r) {
      if (r == y_min - 4 || r == y_max + 4) continue;
      if (x_min - 4 >= 0) out[count++] = static_cast<int32_t>(img.at(x_min - 4, r));
      if (x_max + 4 <= last_x) out[count++] = static_cast<int32_t>(img.at(x_max + 4, r));
    }
    const float local_bg =
        count == 0 ? 0.0f : static_cast<float>(select_key(out, count, count / 2));

    // A peak must stand out of its own surroundings, not just the smooth map.
    const float confirm = local_bg + k_sigma * at.sigma;
    if (!(vf > confirm)) return std::nullopt;
    int above = 0;
    for (uint32_t r = y - 1; r <= y + 1; ++r)
      for (uint32_t c = x - 1; c <= x + 1; ++c) above += static_cast<float>(img.at(c, r)) > confirm;
    if (above < 3) return std::nullopt;

    const int64_t mx0 = std::max<int64_t>(x_min - 2, 0);
    const int64_t mx1 = std::min(x_max + 2, last_x);
    const int64_t my0 = std::max<int64_t>(y_min - 2, 0);
    const int64_t my1 = std::min(y_max + 2, last_y);
    const double bg = local_bg;
    double f = 0, sx = 0, sy = 0;
    for (int64_t r = my0; r <= my1; ++r) {
      for (int64_t c = mx0; c <= mx1; ++c) {
        // Adding +0 for the pixels at or below the ring level leaves every
        // sum as it was; the select avoids a hard-to-predict branch.
        const double d = static_cast<double>(img.at(c, r)) - bg;
        const double w = d > 0 ? d : 0.0;
        f += w;
        sx += static_cast<double>(c - mx0) * w;
        sy += static_cast<double>(r) * w;
      }
    }
    if (!(f > 0)) return std::nullopt;

    Candidate cand{static_cast<double>(mx0) + sx / f, sy / f, f,
                   0.5 * static_cast<double>(std::max(mx1 - mx0, my1 - my0)) + 1.0, saturated};
    if (saturated) {
      // The clipped core hides the true flux: combine the light above the
      // smooth background with the depth of the plateau.
      const double map_bg = at.background;
      double light = 0;
      for (int64_t r = my0; r <= my1; ++r)
        for (int64_t c = mx0; c <= mx1; ++c)
          light += std::max(static_cast<double>(img.at(c, r)) - map_bg, 0.0);
      const auto plateau =
          flood.core(img, x, y, std::min(v, sat.core_floor), std::min(v, sat.ceiling));
      const double depth = plateau ? std::max(plateau->sum, 1.0) : 1.0;
      cand.flux = std::sqrt(light * depth);
    }
    return cand;
  }
};

}  // namespace

std::string ExtractError::message() const {
  return "bad image dimensions " + std::to_string(width) + "\u00d7" + std::to_string(height) +
         " for " + std::to_string(sample_count) + " pixels (minimum 16\u00d716)";
}

float median(std::span<float> values) {
  const size_t n = values.size();
  if (n == 0) return 0.0f;
  // Select on integer keys held in the floats' own storage: the comparisons
  // become plain integer ones, which the partition below makes branch-free.
  auto* k = reinterpret_cast<AliasedKey*>(values.data());
  for (size_t i = 0; i < n; ++i) k[i] = key_from_bits(k[i]);
  const int32_t m = select_key(k, n, n / 2);
  for (size_t i = 0; i < n; ++i) k[i] = key_from_bits(k[i]);  // the mapping is its own inverse
  return std::bit_cast<float>(key_from_bits(m));
}

BackgroundModel estimate_background(std::span<const uint32_t> working, uint32_t bw, uint32_t bh,
                                    const ExtractParams& params) {
  const WorkingImage img{working.data(), bw, bh};
  const uint64_t tile = effective_tile_size(params.tile_size);
  const float k_sigma = effective_k_sigma(params.k_sigma);

  BackgroundModel m;
  m.tiles_x = static_cast<uint32_t>(std::max<uint64_t>(1, (bw + tile / 2) / tile));
  m.tiles_y = static_cast<uint32_t>(std::max<uint64_t>(1, (bh + tile / 2) / tile));
  m.cell_w = static_cast<float>(bw) / static_cast<float>(m.tiles_x);
  m.cell_h = static_cast<float>(bh) / static_cast<float>(m.tiles_y);
  const size_t ntx = m.tiles_x;
  const size_t nty = m.tiles_y;
  m.background.assign(ntx * nty, 0.0f);
  m.noise.assign(ntx * nty, 0.0f);

  TileScratch scratch;
  for (uint64_t ty = 0; ty < nty; ++ty) {
    const auto y0 = static_cast<uint32_t>(ty * bh / nty);
    const auto y1 = static_cast<uint32_t>((ty + 1) * bh / nty);
    const float cy = (static_cast<float>(ty) + 0.5f) * m.cell_h - 0.5f;
    for (uint64_t tx = 0; tx < ntx; ++tx) {
      const auto x0 = static_cast<uint32_t>(tx * bw / ntx);
      const auto x1 = static_cast<uint32_t>((tx + 1) * bw / ntx);
      const float cx = (static_cast<float>(tx) + 0.5f) * m.cell_w - 0.5f;
      const TileEstimate e = estimate_tile(img, x0, x1, y0, y1, cx, cy, scratch);
      m.background[ty * ntx + tx] = e.level;
      m.noise[ty * ntx + tx] = e.noise;
    }
  }

  // A tile's median sits at the mean over the tile, which differs from the
  // value at its centre by the curvature over 24; put that back.
  if (ntx >= 3 || nty >= 3) {
    const std::vector<float> o = m.background;
    for (size_t ty = 0; ty < nty; ++ty) {
      for (size_t tx = 0; tx < ntx; ++tx) {
        float d2y = 0.0f;
        float d2x = 0.0f;
        if (nty >= 3) {
          const size_t c = std::clamp<size_t>(ty, 1, nty - 2);
          d2y = o[(c - 1) * ntx + tx] + o[(c + 1) * ntx + tx] - 2.0f * o[c * ntx + tx];
        }
        if (ntx >= 3) {
          const size_t c = std::clamp<size_t>(tx, 1, ntx - 2);
          d2x = o[ty * ntx + c - 1] + o[ty * ntx + c + 1] - 2.0f * o[ty * ntx + c];
        }
        m.background[ty * ntx + tx] += (d2x + d2y) / -24.0f;
      }
    }
  }

  m.nodes_x = node_count(bw);
  m.nodes_y = node_count(bh);
  const size_t nodes = size_t{m.nodes_x} * m.nodes_y;
  m.threshold.reserve(nodes);
  m.node_noise.reserve(nodes);
  m.node_background.reserve(nodes);
  std::vector<float> col_bg(ntx);
  std::vector<float> col_noise(ntx);
  for (uint32_t j = 0; j < m.nodes_y; ++j) {
    const float yj = static_cast<float>(std::min(kNodeStep * j, bh - 1));
    for (size_t tx = 0; tx < ntx; ++tx) {
      col_bg[tx] = catmull_rom(&m.background[tx], ntx, nty, m.cell_h, yj);
      col_noise[tx] = at_least(catmull_rom(&m.noise[tx], ntx, nty, m.cell_h, yj), 1.0f);
    }
    for (uint32_t i = 0; i < m.nodes_x; ++i) {
      const float xi = static_cast<float>(std::min(kNodeStep * i, bw - 1));
      const float n = at_least(catmull_rom(col_noise.data(), 1, ntx, m.cell_w, xi), 1.0f);
      const float b = catmull_rom(col_bg.data(), 1, ntx, m.cell_w, xi);
      m.threshold.push_back(b + k_sigma * n);
      m.node_noise.push_back(n);
      m.node_background.push_back(b);
    }
  }
  return m;
}

std::expected<Extraction, ExtractError> extract_stars(std::span<const uint16_t> samples,
                                                      uint32_t width, uint32_t height,
                                                      const ExtractParams& params,
                                                      uint64_t solve_max_stars) {
  if (width < 16 || height < 16 || uint64_t{width} * height != samples.size())
    return std::unexpected(ExtractError{samples.size(), width, height});

  const uint32_t bw = width / 2;
  const uint32_t bh = height / 2;
  const auto working = std::make_unique_for_overwrite<uint32_t[]>(size_t{bw} * bh);
  const uint32_t max_level = bin_2x2(samples.data(), width, bw, bh, working.get());
  const WorkingImage img{working.get(), bw, bh};

  BackgroundModel model = estimate_background({working.get(), size_t{bw} * bh}, bw, bh, params);

  Extraction out;
  {
    std::vector<float> copy = model.background;
    out.background_level = median(copy) * 0.25f;
    copy = model.noise;
    out.noise_level = median(copy) * 0.5f;
  }

  const float sat_level = at_least(0.98f * static_cast<float>(max_level), 1.0f);
  const Saturation sat{sat_level, to_u32(sat_level), to_u32(0.9f * static_cast<float>(max_level))};
  Measurer measurer{img, sat, effective_k_sigma(params.k_sigma), Flood{}};
  std::vector<Candidate> candidates;
  RowArrays rows(model, bh);
  // x / 8 for the pixels of a full node interval, as the threshold
  // interpolation computes it.
  float eighths[kNodeStep];
  for (uint32_t k = 0; k < kNodeStep; ++k)
    eighths[k] = static_cast<float>(k) / static_cast<float>(kNodeStep);
  const uint32_t intervals = model.nodes_x - 1;

  for (uint32_t y = 1; y + 1 < bh; ++y) {
    rows.fill(y);
    const uint32_t* row = working.get() + size_t{y} * bw;
    const uint32_t* up = row - bw;
    const uint32_t* down = row + bw;
    for (uint32_t b = 0; b < rows.block_floor.size(); ++b) {
      const uint32_t i_end = std::min(RowArrays::kBlock * (b + 1), intervals);
      // Every interval's own floor is at least the block's, so a block
      // wholly at or below it holds no interval that could pass.
      const uint32_t bx0 = std::max(kNodeStep * RowArrays::kBlock * b, 1u);
      const uint32_t bx1 = std::min(kNodeStep * i_end, bw - 1);
      if (!any_above(row + bx0, bx1 - bx0, rows.block_floor[b])) continue;

      for (uint32_t i = RowArrays::kBlock * b; i < i_end; ++i) {
        const uint32_t x_lo = kNodeStep * i;
        const uint32_t x1 = std::min(x_lo + kNodeStep, bw - 1);
        const uint32_t xs = std::max(x_lo, 1u);
        // Most intervals lie wholly below both end thresholds, and no pixel
        // there can exceed the interpolated threshold.
        const uint32_t floor = std::min(rows.threshold_u32[i], rows.threshold_u32[i + 1]);
        if (!any_above(row + xs, x1 - xs, floor)) continue;

        const float t0 = rows.threshold[i];
        const float dt = rows.threshold[i + 1] - t0;
        const float span = static_cast<float>(x1 - x_lo);
        for (uint32_t x = xs; x < x1; ++x) {
          const uint32_t v = row[x];
          const float frac =
              x1 - x_lo == kNodeStep ? eighths[x - x_lo] : static_cast<float>(x - x_lo) / span;
          const uint32_t t = to_u32(t0 + frac * dt);
          if (v <= t) continue;
          // Strict against the pixels before it in row order, so a plateau
          // yields its first pixel only.
          if (!(v > up[x - 1] && v > up[x] && v > up[x + 1] && v > row[x - 1] && v >= row[x + 1] &&
                v >= down[x - 1] && v >= down[x] && v >= down[x + 1]))
            continue;
          const int bright = (up[x - 1] > t) + (up[x] > t) + (up[x + 1] > t) + (row[x - 1] > t) +
                             (row[x + 1] > t) + (down[x - 1] > t) + (down[x] > t) +
                             (down[x + 1] > t);
          if (bright < 2) continue;
          const float n0 = rows.noise(i);
          const float b0 = rows.background(i);
          const PeakContext at{n0 + frac * (rows.noise(i + 1) - n0),
                               b0 + frac * (rows.background(i + 1) - b0)};
          if (auto c = measurer.measure(x, y, at)) candidates.push_back(*c);
        }
      }
    }
  }

  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    if (a.saturated != b.saturated) return a.saturated;
    return total_order_key(a.flux) > total_order_key(b.flux);
  });

  const uint64_t cap = std::max(params.max_stars, solve_max_stars);
  std::vector<const Candidate*> accepted;
  for (const Candidate& c : candidates) {
    if (accepted.size() >= cap) break;
    const bool clash = std::ranges::any_of(accepted, [&](const Candidate* k) {
      const double limit = std::fmax(k->size, c.size);
      const double dx = k->x - c.x;
      const double dy = k->y - c.y;
      // hypot is never below either leg, so a far leg settles it cheaply.
      if (!std::isnan(dx) && !std::isnan(dy) && (std::fabs(dx) >= limit || std::fabs(dy) >= limit))
        return false;
      const double d = std::hypot(dx, dy);
      return std::isnan(d) || d < limit;
    });
    if (!clash) accepted.push_back(&c);
  }

  const auto first_unsaturated =
      std::ranges::find_if(candidates, [](const Candidate& c) { return !c.saturated; });
  const double f_max = first_unsaturated == candidates.end() ? 0.0 : first_unsaturated->flux;
  out.stars.reserve(accepted.size());
  for (const Candidate* c : accepted)
    out.stars.push_back(
        {2.0 * c->x + 0.5, 2.0 * c->y + 0.5, c->saturated ? c->flux + f_max : c->flux});
  return out;
}

}  // namespace kestrune
