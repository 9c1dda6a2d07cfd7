#include "core/solve.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <limits>
#include <numbers>

#include "core/pattern.hpp"

namespace kestrune {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kMatchStars = 40;
constexpr int kDensePasses = 5;
constexpr unsigned kMaxSipOrder = 9;
constexpr size_t kMaxSipTerms = (kMaxSipOrder + 1) * (kMaxSipOrder + 2) / 2;

double det_of(const std::array<double, 4>& cd) { return cd[0] * cd[3] - cd[1] * cd[2]; }

struct ConeStar {
  int16_t mag;
  uint32_t id;
  double ra, dec;
};

}  // namespace

Ctx::Ctx(const Database& db_, const SolveParams& params_, std::vector<ImageStar> stars_,
         double width_, double height_)
    : stars(std::move(stars_)),
      db(db_),
      params(params_),
      n_match(std::min(stars.size(), kMatchStars)),
      width(width_),
      height(height_),
      centre{(width_ - 1) / 2, (height_ - 1) / 2},
      diag(std::hypot(width_, height_)) {
  field.reserve(2 * kMatchStars);
  used.reserve(stars.size());
  img_pts.reserve(2 * kMatchStars + 4);
  sky_pts.reserve(2 * kMatchStars + 4);
}

void Ctx::project_field(const Wcs& wcs, size_t band, std::span<const uint32_t> exclude,
                        size_t limit) {
  const double radius = std::sqrt(std::abs(det_of(wcs.cd))) * diag * 0.5 * 1.01;
  cone_ids.clear();
  field.clear();
  if (!std::isfinite(radius)) return;
  db.stars_in_cone(band, unit_vector(wcs.crval[0], wcs.crval[1]), radius, cone_ids);
  // Most of a verification's time is spent here, so stars are projected from
  // their stored directions, without trigonometry.
  const DirectionProjector projector(wcs);
  for (uint32_t id : cone_ids) {
    if (std::ranges::find(exclude, id) != exclude.end()) continue;
    const StarRecord star = db.star_at(id);
    const auto p = projector.to_pixel(star.x, star.y, star.z);
    if (!p) continue;
    const auto [x, y] = *p;
    if (x >= 0 && x < width && y >= 0 && y < height) field.push_back({star.mag, id, x, y});
  }
  std::ranges::sort(field, [](const ProjectedStar& a, const ProjectedStar& b) {
    return a.mag != b.mag ? a.mag < b.mag : a.id < b.id;
  });
  if (field.size() > limit) field.resize(limit);
}

size_t Ctx::match_field(std::span<const uint32_t> exclude, size_t n) {
  const double r2 = params.match_radius_px * params.match_radius_px;
  n = std::min(n, stars.size());
  used.assign(n, 0);
  for (uint32_t e : exclude) {
    if (e < n) used[e] = 1;
  }
  size_t count = 0;
  for (const ProjectedStar& p : field) {
    size_t best = n;
    double best_d2 = r2;
    for (size_t j = 0; j < n; ++j) {
      if (used[j]) continue;
      const double dx = stars[j].x - p.x, dy = stars[j].y - p.y;
      const double d2 = dy * dy + dx * dx;
      // <= lets a later star win a tie, and admits a star exactly at r.
      if (d2 <= best_d2) {
        best = j;
        best_d2 = d2;
      }
    }
    if (best == n) continue;
    used[best] = 1;
    img_pts.push_back({stars[best].x, stars[best].y});
    sky_pts.push_back(star_radec(db.star_at(p.id)));
    ++count;
  }
  return count;
}

double log_binomial_tail(uint64_t n, uint64_t k, double p) {
  if (k == 0) return 0;
  if (!(p < 1)) return 0;
  if (p <= 0) return -kInf;
  if (k > n) return -kInf;
  const double nd = static_cast<double>(n);
  const double lp = std::log(p), lq = std::log1p(-p);
  double log_c = 0;
  for (uint64_t i = 0; i < k; ++i) {
    log_c += std::log(nd - static_cast<double>(i)) - std::log(static_cast<double>(i + 1));
  }
  double t = log_c + static_cast<double>(k) * lp + (nd - static_cast<double>(k)) * lq;
  double sum = t;
  for (uint64_t j = k + 1; j <= n; ++j) {
    const double jd = static_cast<double>(j);
    t += std::log(nd - jd + 1) - std::log(jd) + lp - lq;
    const double a = std::max(sum, t), b = std::min(sum, t);
    sum = a + std::log1p(std::exp(b - a));
  }
  return std::min(sum, 0.0);
}

std::pair<bool, double> Ctx::verify(const Wcs& wcs, size_t band,
                                    const std::array<uint32_t, 4>& image_quad,
                                    const std::array<uint32_t, 4>& catalogue_quad) {
  project_field(wcs, band, catalogue_quad, 2 * n_match);
  img_pts.clear();
  sky_pts.clear();
  for (size_t q = 0; q < 4; ++q) {
    const ImageStar& s = stars[image_quad[q]];
    img_pts.push_back({s.x, s.y});
    sky_pts.push_back(star_radec(db.star_at(catalogue_quad[q])));
  }
  const size_t k = match_field(image_quad, n_match);
  const double r = params.match_radius_px;
  const double m = n_match < 4 ? 0.0 : static_cast<double>(n_match - 4);
  const double p = m * std::numbers::pi * r * r / (width * height);
  const double log_fa = log_binomial_tail(field.size(), k, p);
  return {log_fa < std::log(params.false_alarm_max), log_fa};
}

bool QuadSequence::next(std::array<uint32_t, 4>& quad) {
  if (l_ >= n_) return false;
  quad = {i_, j_, k_, l_};
  // Advance k, then j, then i, all below l; then the next l.
  if (++k_ < l_) return true;
  if (++j_ < l_ - 1) {
    k_ = j_ + 1;
    return true;
  }
  if (++i_ < l_ - 2) {
    j_ = i_ + 1;
    k_ = j_ + 1;
    return true;
  }
  ++l_;
  i_ = 0;
  j_ = 1;
  k_ = 2;
  return true;
}

std::optional<std::pair<Wcs, double>> fit_sip(std::span<const Vec2> pixels,
                                              std::span<const Vec2> sky, Vec2 crval, Vec2 centre,
                                              unsigned order) {
  if (order < 2 || order > kMaxSipOrder) return std::nullopt;
  const size_t count = std::min(pixels.size(), sky.size());
  std::array<SipTerm, kMaxSipTerms> terms{};
  terms[0] = {0, 0};
  terms[1] = {1, 0};
  terms[2] = {0, 1};
  const auto sip_terms = Sip::terms(order);
  std::ranges::copy(sip_terms, terms.begin() + 3);
  const size_t n = 3 + sip_terms.size();
  if (count < n + 3) return std::nullopt;

  double a_f = 0;
  for (size_t i = 0; i < count; ++i) {
    a_f = std::max({a_f, std::abs(pixels[i][0] - centre[0]), std::abs(pixels[i][1] - centre[1])});
  }
  if (!(a_f > 0 && std::isfinite(a_f))) return std::nullopt;

  std::vector<double> m(n * n), m2(n * n);
  std::vector<double> c_xi(n), c_eta(n);
  std::array<double, kMaxSipTerms> mono{};
  std::array<double, kMaxSipOrder + 1> up{}, vp{};
  Vec2 t = crval;
  for (int iter = 0; iter < 10; ++iter) {
    std::ranges::fill(m, 0.0);
    std::ranges::fill(c_xi, 0.0);
    std::ranges::fill(c_eta, 0.0);
    const double sd0 = std::sin(t[1]), cd0 = std::cos(t[1]);
    size_t c = 0;
    for (size_t i = 0; i < count; ++i) {
      const auto [ra, dec] = sky[i];
      const double da = ra - t[0];
      const double sd = std::sin(dec), cdec = std::cos(dec), ca = std::cos(da);
      const double d = sd0 * sd + cd0 * cdec * ca;
      if (!(d > 1e-12)) continue;
      const double xi = cdec * std::sin(da) / d;
      const double eta = (cd0 * sd - sd0 * cdec * ca) / d;
      if (!std::isfinite(xi) || !std::isfinite(eta)) continue;
      const double u = (pixels[i][0] - centre[0]) / a_f, v = (pixels[i][1] - centre[1]) / a_f;
      up[0] = vp[0] = 1;
      for (unsigned e = 1; e <= order; ++e) {
        up[e] = up[e - 1] * u;
        vp[e] = vp[e - 1] * v;
      }
      for (size_t a = 0; a < n; ++a) mono[a] = up[terms[a].p] * vp[terms[a].q];
      for (size_t a = 0; a < n; ++a) {
        for (size_t b = a; b < n; ++b) m[a * n + b] += mono[a] * mono[b];
        c_xi[a] += xi * mono[a];
        c_eta[a] += eta * mono[a];
      }
      ++c;
    }
    if (c < n + 3) return std::nullopt;
    const double inv = 1.0 / static_cast<double>(c);
    for (size_t a = 0; a < n; ++a) {
      for (size_t b = a; b < n; ++b) {
        m[a * n + b] *= inv;
        m[b * n + a] = m[a * n + b];
      }
      c_xi[a] *= inv;
      c_eta[a] *= inv;
    }
    m2 = m;
    if (!wcs::solve_dense(m, c_xi, n) || !wcs::solve_dense(m2, c_eta, n)) return std::nullopt;
    const double xi0 = c_xi[0], eta0 = c_eta[0];
    t = wcs::deproject(t, xi0, eta0);
    if (std::max(std::abs(xi0), std::abs(eta0)) < 1e-15) break;
  }

  const std::array<double, 4> cd{c_xi[1] / a_f, c_xi[2] / a_f, c_eta[1] / a_f, c_eta[2] / a_f};
  const double det = det_of(cd);
  if (det == 0 || !std::isfinite(det)) return std::nullopt;
  Sip sip;
  sip.order = static_cast<uint8_t>(order);
  sip.a.reserve(n - 3);
  sip.b.reserve(n - 3);
  for (size_t i = 3; i < n; ++i) {
    const double s = std::pow(a_f, terms[i].p + terms[i].q);
    const double a_xi = c_xi[i] / s, a_eta = c_eta[i] / s;
    // Plane-space coefficients taken back through cd into pixel units.
    sip.a.push_back((cd[3] * a_xi - cd[1] * a_eta) / det);
    sip.b.push_back((cd[0] * a_eta - cd[2] * a_xi) / det);
  }
  Wcs s;
  s.sip = std::move(sip);
  s.crval = t;
  s.crpix = centre;
  s.cd = cd;
  const auto rms = wcs::rms_px(s, pixels.first(count), sky.first(count));
  if (!rms) return std::nullopt;
  return std::pair{std::move(s), *rms};
}

bool sip_preferred(unsigned order, size_t pairs, double rms_sip, double rms_linear) {
  const double o = std::min(order, kMaxSipOrder);
  const double p = (o + 1) * (o + 2);
  const double n2 = 2.0 * static_cast<double>(pairs);
  const double e_s = p < n2 ? std::sqrt(n2 / (n2 - p)) * rms_sip : kInf;
  const double e_l = 0.8 * std::sqrt(n2 / (n2 - 6)) * rms_linear;
  return e_l >= e_s;
}

std::pair<Wcs, double> with_distortion(const SolveParams& params, std::span<const Vec2> pixels,
                                       std::span<const Vec2> sky, const Wcs& linear,
                                       double rms_linear) {
  const unsigned order = params.sip_order;
  const size_t k = std::min(pixels.size(), sky.size());
  if (order >= 2 && order <= kMaxSipOrder && k >= params.sip_min_matches) {
    if (auto s = fit_sip(pixels, sky, linear.crval, linear.crpix, order)) {
      if (sip_preferred(order, k, s->second, rms_linear)) return std::move(*s);
    }
  }
  return {linear, rms_linear};
}

RefineResult Ctx::refine_dense(const Wcs& candidate, size_t band) {
  // Stage A: refit with the verified pairs, then once more with a fresh match.
  RefineResult best{candidate, kNaN, static_cast<uint32_t>(img_pts.size())};
  const uint32_t count0 = best.count;
  if (auto w1 = wcs::fit_wcs(img_pts, sky_pts, centre, candidate.crval)) {
    best = {w1->first, w1->second, count0};
    project_field(w1->first, band, {}, 2 * n_match);
    img_pts.clear();
    sky_pts.clear();
    const size_t k = match_field({}, n_match);
    if (k >= count0) {
      if (auto w2 = wcs::fit_wcs(img_pts, sky_pts, centre, w1->first.crval)) {
        best = {std::move(w2->first), w2->second, static_cast<uint32_t>(k)};
      }
    }
  }

  // Stage B: dense passes against every kept star.
  const double radius = diag * std::sqrt(std::abs(det_of(best.wcs.cd))) * 0.5 * 1.02;
  if (!std::isfinite(radius)) return best;
  cone_ids.clear();
  db.stars_in_cone(0, unit_vector(best.wcs.crval[0], best.wcs.crval[1]), radius, cone_ids);
  std::vector<ConeStar> cone;
  cone.reserve(cone_ids.size());
  for (uint32_t id : cone_ids) {
    const StarRecord s = db.star_at(id);
    const Vec2 radec = star_radec(s);
    cone.push_back({s.mag, id, radec[0], radec[1]});
  }
  std::ranges::sort(cone, [](const ConeStar& a, const ConeStar& b) {
    return a.mag != b.mag ? a.mag < b.mag : a.id < b.id;
  });
  std::vector<uint32_t> by_x(stars.size());
  for (uint32_t i = 0; i < by_x.size(); ++i) by_x[i] = i;
  std::ranges::sort(by_x, [this](uint32_t a, uint32_t b) {
    return std::strong_order(stars[a].x, stars[b].x) < 0;
  });
  const size_t field_cap = 2 * stars.size();
  field.reserve(field_cap);
  img_pts.reserve(field_cap);
  sky_pts.reserve(field_cap);

  const double r = params.match_radius_px, r2 = r * r;
  std::optional<RefineResult> pass;
  Wcs current = best.wcs;
  size_t last = 0;
  for (int p = 0; p < kDensePasses; ++p) {
    field.clear();
    for (const ConeStar& c : cone) {
      if (field.size() >= field_cap) break;
      const auto xy = current.sky_to_pixel(c.ra, c.dec);
      if (!xy) continue;
      const auto [x, y] = *xy;
      if (x >= 0 && x < width && y >= 0 && y < height) {
        field.push_back({c.mag, c.id, x, y});
      }
    }
    if (field.empty()) break;

    img_pts.clear();
    sky_pts.clear();
    used.assign(stars.size(), 0);
    for (const ProjectedStar& ps : field) {
      auto it =
          std::ranges::partition_point(by_x, [&](uint32_t i) { return stars[i].x < ps.x - r; });
      uint32_t found = 0;
      bool have = false;
      double best_d2 = r2;
      for (; it != by_x.end() && stars[*it].x <= ps.x + r; ++it) {
        if (used[*it]) continue;
        const double dx = stars[*it].x - ps.x, dy = stars[*it].y - ps.y;
        const double d2 = dx * dx + dy * dy;
        if (d2 <= best_d2) {
          found = *it;
          best_d2 = d2;
          have = true;
        }
      }
      if (!have) continue;
      used[found] = 1;
      img_pts.push_back({stars[found].x, stars[found].y});
      sky_pts.push_back(star_radec(db.star_at(ps.id)));
    }
    const size_t k = img_pts.size();
    if (k < 3) break;
    if (pass && k <= last) break;
    auto fit = wcs::fit_wcs(img_pts, sky_pts, centre, current.crval);
    if (!fit) break;
    auto [w, rms] = with_distortion(params, img_pts, sky_pts, fit->first, fit->second);
    current = w;
    pass = RefineResult{std::move(w), rms, static_cast<uint32_t>(k)};
    last = k;
  }
  if (!pass || pass->count < best.count) return best;
  return std::move(*pass);
}

struct Candidate {
  Wcs wcs;
  double log_fa;
  uint8_t band;
};

// Fits each hit's four pairs, gates the fit's rms and verifies the survivors;
// stops the lookup at the first accepted candidate.
struct HitVerifier {
  const Database& db;
  Ctx& ctx;
  double rms_max;
  std::optional<Candidate>& accepted;

  bool operator()(const pattern::PatternHit& hit) const {
    std::array<Vec2, 4> img, sky;
    double sx = 0, sy = 0, sz = 0;
    for (size_t q = 0; q < 4; ++q) {
      const StarRecord s = db.star_at(hit.catalogue_stars[q]);
      sky[q] = star_radec(s);
      sx += s.x;
      sy += s.y;
      sz += s.z;
      img[q] = {ctx.stars[hit.image_stars[q]].x, ctx.stars[hit.image_stars[q]].y};
    }
    const auto fit = wcs::fit_wcs(img, sky, ctx.centre, direction_radec(sx, sy, sz));
    if (!fit || !(fit->second <= rms_max)) return false;
    const auto [ok, log_fa] =
        ctx.verify(fit->first, hit.band, hit.image_stars, hit.catalogue_stars);
    if (!ok) return false;
    accepted = Candidate{fit->first, log_fa, hit.band};
    return true;
  }
};

SolveResult solve_stars_frame(const Database& db, std::span<const ImageStar> stars, uint32_t width,
                              uint32_t height, const SolveParams& params, Clock& clock) {
  const double t0 = clock.now_ms();
  std::vector<ImageStar> kept;
  kept.reserve(stars.size());
  for (const ImageStar& s : stars) {
    if (std::isfinite(s.x) && std::isfinite(s.y) && std::isfinite(s.flux)) kept.push_back(s);
  }
  std::ranges::stable_sort(kept, [](const ImageStar& a, const ImageStar& b) {
    return std::strong_order(a.flux, b.flux) > 0;
  });
  const size_t cap = std::max<uint64_t>(params.max_stars, kMatchStars);
  if (kept.size() > cap) kept.resize(cap);
  const auto kept_count = static_cast<uint32_t>(kept.size());

  auto not_solved = [&](NotSolvedReason reason, uint32_t quads) -> SolveResult {
    const double t = clock.now_ms() - t0;
    return NotSolved{{0, t, t, kept_count, quads}, reason};
  };
  if (kept.size() < 6 || width == 0 || height == 0) {
    return not_solved(NotSolvedReason::TooFewStars, 0);
  }

  Ctx ctx(db, params, std::move(kept), width, height);
  const size_t n_q = std::min<uint64_t>(ctx.n_match, params.max_quad_stars);
  if (n_q < 4) return not_solved(NotSolvedReason::Exhausted, 0);

  std::optional<Candidate> accepted;
  uint32_t quads = 0;
  QuadSequence sequence(static_cast<uint32_t>(n_q));
  std::array<uint32_t, 4> quad;
  while (sequence.next(quad)) {
    if (quads >= params.max_quads) return not_solved(NotSolvedReason::Exhausted, quads);
    std::array<Vec2, 4> points;
    for (size_t q = 0; q < 4; ++q) points[q] = {ctx.stars[quad[q]].x, ctx.stars[quad[q]].y};
    const auto image = pattern::image_pattern(points);
    ++quads;
    if (image) {
      const double rms_max = 0.01 * image->longest;
      pattern::lookup(db, *image, quad, ctx.diag, HitVerifier{db, ctx, rms_max, accepted});
    }
    if (accepted) break;
    if (clock.now_ms() - t0 > params.time_limit_ms) {
      return not_solved(NotSolvedReason::Timeout, quads);
    }
  }
  if (!accepted) return not_solved(NotSolvedReason::Exhausted, quads);

  RefineResult refined = ctx.refine_dense(accepted->wcs, accepted->band);
  Solution sol;
  const auto& cd = refined.wcs.cd;
  const double det = det_of(cd);
  const Vec2 c = refined.wcs.pixel_to_sky(ctx.centre[0], ctx.centre[1]);
  sol.ra_deg = ra_degrees(c[0]);
  sol.dec_deg = c[1] * kRadToDeg;
  sol.scale_arcsec = std::sqrt(std::abs(det)) * kRadToDeg * 3600;
  if (det != 0 && std::isfinite(det)) {
    double rot = std::fmod(std::atan2(-cd[1] / det, cd[0] / det) * kRadToDeg, 360.0);
    if (rot < 0) rot += 360.0;
    sol.rotation_deg = rot < 360.0 ? rot : 0.0;
  }
  sol.fov_w_deg = sol.scale_arcsec / 3600 * width;
  sol.fov_h_deg = height * sol.scale_arcsec / 3600;
  sol.rms = refined.rms;
  sol.false_alarm = std::exp(accepted->log_fa);
  sol.parity = det < 0 ? 1 : det > 0 ? -1 : 0;
  sol.band = accepted->band;
  sol.wcs = std::move(refined.wcs);
  const double t = clock.now_ms() - t0;
  sol.stats = {0, t, t, refined.count, quads};
  return sol;
}

}  // namespace kestrune
