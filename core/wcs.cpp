#include "core/wcs.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/numfmt.hpp"

namespace kestrune {
namespace {

constexpr unsigned kMaxSipDegree = 9;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

constexpr size_t term_count(unsigned degree) {
  // Degrees 2..degree contribute 3, 4, ..., degree + 1 terms.
  return degree < 2 ? 0 : (degree + 1) * (degree + 2) / 2 - 3;
}

constexpr auto kSipTerms = [] {
  std::array<SipTerm, term_count(kMaxSipDegree)> table{};
  size_t i = 0;
  for (unsigned n = 2; n <= kMaxSipDegree; ++n) {
    for (unsigned p = n + 1; p-- > 0;) {
      table[i++] = SipTerm{static_cast<uint8_t>(p), static_cast<uint8_t>(n - p)};
    }
  }
  return table;
}();

double reduce_ra(double ra) {
  double r = std::fmod(ra, kTwoPi);
  return r < 0 ? r + kTwoPi : r;
}

struct Plane {
  double xi, eta;
};

// A tangent point with its trigonometry done once, for projecting many points.
struct Tangent {
  double ra0, sin_dec0, cos_dec0;
  Tangent(double ra, double dec) : ra0(ra), sin_dec0(std::sin(dec)), cos_dec0(std::cos(dec)) {}
};

// Gnomonic projection of a point whose declination's sine and cosine are
// given; empty at or beyond 90 degrees and for non-finite plane coordinates.
std::optional<Plane> project(const Tangent& t, double ra, double sin_dec, double cos_dec) {
  const double dra = ra - t.ra0;
  const double cos_dra = std::cos(dra);
  const double d = sin_dec * t.sin_dec0 + cos_dec * t.cos_dec0 * cos_dra;
  if (!(d > 1e-12)) return std::nullopt;
  const double xi = std::sin(dra) * cos_dec / d;
  const double eta = (sin_dec * t.cos_dec0 - cos_dra * cos_dec * t.sin_dec0) / d;
  if (!std::isfinite(xi) || !std::isfinite(eta)) return std::nullopt;
  return Plane{xi, eta};
}

std::optional<Plane> project(double ra0, double dec0, double ra, double dec) {
  return project(Tangent(ra0, dec0), ra, std::sin(dec), std::cos(dec));
}

// Inverse gnomonic projection; RA is not reduced here.
Vec2 deproject_unreduced(double ra0, double dec0, double xi, double eta) {
  const double r = std::hypot(xi, eta);
  if (r == 0 || !std::isfinite(r)) return {ra0, dec0};
  const double rho = std::atan(r);
  const double sin_rho = std::sin(rho), cos_rho = std::cos(rho);
  const double sin_dec0 = std::sin(dec0), cos_dec0 = std::cos(dec0);
  const double s = std::clamp(eta * sin_rho * cos_dec0 / r + sin_dec0 * cos_rho, -1.0, 1.0);
  const double ra =
      ra0 + std::atan2(xi * sin_rho, cos_dec0 * r * cos_rho - eta * sin_dec0 * sin_rho);
  return {ra, std::asin(s)};
}

void append_sip_cards(std::string& out, char letter, const std::vector<double>& coeffs,
                      uint8_t order) {
  wcs::append_card(out, std::string(1, letter) + "_ORDER", std::to_string(order));
  out += '\n';
  const auto terms = Sip::terms(order);
  const size_t n = std::min(terms.size(), coeffs.size());
  for (size_t i = 0; i < n; ++i) {
    const std::string key = std::string(1, letter) + "_" + std::to_string(terms[i].p) + "_" +
                            std::to_string(terms[i].q);
    wcs::append_card(out, key, fmt_exp(coeffs[i], 15));
    out += '\n';
  }
}

}  // namespace

std::span<const SipTerm> Sip::terms(unsigned order) {
  return std::span<const SipTerm>(kSipTerms).first(term_count(std::min(order, kMaxSipDegree)));
}

SipEval Sip::eval(double u, double v, bool derivatives) const {
  const unsigned m = std::min<unsigned>(order, kMaxSipDegree);
  std::array<double, kMaxSipDegree + 1> up, vp;
  up.fill(1.0);
  vp.fill(1.0);
  for (unsigned k = 1; k <= m; ++k) {
    up[k] = up[k - 1] * u;
    vp[k] = vp[k - 1] * v;
  }
  SipEval e;
  const auto list = terms(m);
  const size_t n = std::min({list.size(), a.size(), b.size()});
  for (size_t i = 0; i < n; ++i) {
    const unsigned p = list[i].p, q = list[i].q;
    const double mono = up[p] * vp[q];
    e.du += a[i] * mono;
    e.dv += b[i] * mono;
    if (!derivatives) continue;
    if (p > 0) {
      const double d = p * up[p - 1] * vp[q];
      e.ddu_du += a[i] * d;
      e.ddv_du += b[i] * d;
    }
    if (q > 0) {
      const double d = q * up[p] * vp[q - 1];
      e.ddu_dv += a[i] * d;
      e.ddv_dv += b[i] * d;
    }
  }
  return e;
}

Vec2 Wcs::pixel_to_sky(double x, double y) const {
  double u = x - crpix[0], v = y - crpix[1];
  if (sip) {
    const SipEval e = sip->eval(u, v, false);
    u += e.du;
    v += e.dv;
  }
  const double xi = cd[0] * u + cd[1] * v;
  const double eta = cd[2] * u + cd[3] * v;
  return wcs::deproject(crval, xi, eta);
}

std::optional<Vec2> Wcs::sky_to_pixel(double ra, double dec) const {
  const auto plane = project(crval[0], crval[1], ra, dec);
  if (!plane) return std::nullopt;
  return plane_to_pixel(plane->xi, plane->eta);
}

std::optional<Vec2> Wcs::plane_to_pixel(double xi, double eta) const {
  const double det = cd[0] * cd[3] - cd[2] * cd[1];
  if (det == 0 || !std::isfinite(det)) return std::nullopt;
  const double ul = (xi * cd[3] - eta * cd[1]) / det;
  const double vl = (eta * cd[0] - xi * cd[2]) / det;
  if (!sip) return Vec2{ul + crpix[0], vl + crpix[1]};

  double u = ul, v = vl;
  for (int step = 0; step < 10; ++step) {
    const SipEval e = sip->eval(u, v, true);
    const double j = (1 + e.ddu_du) * (1 + e.ddv_dv) - e.ddu_dv * e.ddv_du;
    if (!(j > 0) || !std::isfinite(j)) return std::nullopt;
    const double ru = u + e.du - ul, rv = v + e.dv - vl;
    const double du = ((1 + e.ddv_dv) * ru - e.ddu_dv * rv) / j;
    const double dv = ((1 + e.ddu_du) * rv - e.ddv_du * ru) / j;
    u -= du;
    v -= dv;
    if (!std::isfinite(u) || !std::isfinite(v)) return std::nullopt;
    if (std::max(std::abs(du), std::abs(dv)) < 1e-6) return Vec2{u + crpix[0], v + crpix[1]};
  }
  return std::nullopt;
}

std::array<double, 3> unit_vector(double ra, double dec) {
  return {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
}

double angle_between(const std::array<double, 3>& a, const std::array<double, 3>& b) {
  const double cross =
      std::hypot(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
  return std::atan2(cross, a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

double ra_degrees(double ra) {
  double deg = std::fmod(ra * kRadToDeg, 360.0);
  if (deg < 0) deg += 360.0;
  if (deg >= 360.0) deg = 0;
  return deg;
}

DirectionProjector::DirectionProjector(const Wcs& wcs) : wcs_(wcs) {
  const double sa = std::sin(wcs.crval[0]), ca = std::cos(wcs.crval[0]);
  const double sd = std::sin(wcs.crval[1]), cd = std::cos(wcs.crval[1]);
  centre_ = {cd * ca, cd * sa, sd};
  east_ = {-sa, ca, 0};
  north_ = {-sd * ca, -sd * sa, cd};
}

std::optional<Vec2> DirectionProjector::to_pixel(double x, double y, double z) const {
  const double along = x * centre_[0] + y * centre_[1] + z * centre_[2];
  // Same limit as the angular form: the direction's cosine to the tangent point.
  if (!(along > 1e-12 * std::sqrt(x * x + y * y + z * z))) return std::nullopt;
  const double xi = (x * east_[0] + y * east_[1]) / along;
  const double eta = (x * north_[0] + y * north_[1] + z * north_[2]) / along;
  if (!std::isfinite(xi) || !std::isfinite(eta)) return std::nullopt;
  return wcs_.plane_to_pixel(xi, eta);
}

std::string Wcs::to_fits_header() const {
  const char* suffix = sip ? "-SIP" : "";
  std::string out;
  out.reserve(80 * 37);
  auto card = [&out](std::string_view key, const std::string& value) {
    wcs::append_card(out, key, value);
    out += '\n';
  };
  card("CTYPE1", std::string("'RA---TAN") + suffix + "'");
  card("CTYPE2", std::string("'DEC--TAN") + suffix + "'");
  card("CRVAL1", fmt_exp(crval[0] * kRadToDeg, 15));
  card("CRVAL2", fmt_exp(crval[1] * kRadToDeg, 15));
  card("CRPIX1", fmt_fixed(crpix[0] + 1, 6));
  card("CRPIX2", fmt_fixed(crpix[1] + 1, 6));
  card("CD1_1", fmt_exp(cd[0] * kRadToDeg, 15));
  card("CD1_2", fmt_exp(cd[1] * kRadToDeg, 15));
  card("CD2_1", fmt_exp(cd[2] * kRadToDeg, 15));
  card("CD2_2", fmt_exp(cd[3] * kRadToDeg, 15));
  card("EQUINOX", "2000.0");
  if (sip) {
    append_sip_cards(out, 'A', sip->a, sip->order);
    append_sip_cards(out, 'B', sip->b, sip->order);
  }
  return out;
}

namespace wcs {

void append_card(std::string& out, std::string_view key, std::string_view value) {
  std::string card(key);
  card.resize(std::max<size_t>(card.size(), 8), ' ');
  card += "= ";
  if (value.size() < 20) card.append(20 - value.size(), ' ');
  card += value;
  card.resize(80, ' ');
  out += card;
}

Vec2 deproject(Vec2 tangent, double xi, double eta) {
  const Vec2 sky = deproject_unreduced(tangent[0], tangent[1], xi, eta);
  return {reduce_ra(sky[0]), sky[1]};
}

std::optional<std::pair<Wcs, double>> fit_wcs(std::span<const Vec2> pixels,
                                              std::span<const Vec2> sky, Vec2 crpix, Vec2 crval0) {
  if (pixels.size() != sky.size() || pixels.size() < 3) return std::nullopt;
  const double cx = crpix[0], cy = crpix[1];
  double ra0 = crval0[0], dec0 = crval0[1];
  std::array<double, 3> p{}, q{};
  double s = 0;
  // The sky points' declinations do not change between passes; for the
  // small fits of the search (four pairs, thousands of times) their sines
  // and cosines are kept rather than recomputed.
  constexpr size_t kKept = 16;
  std::array<double, kKept> sin_dec, cos_dec;
  const bool keep = sky.size() <= kKept;
  if (keep) {
    for (size_t i = 0; i < sky.size(); ++i) {
      sin_dec[i] = std::sin(sky[i][1]);
      cos_dec[i] = std::cos(sky[i][1]);
    }
  }

  for (int pass = 0; pass < 10; ++pass) {
    const Tangent t(ra0, dec0);
    auto plane = [&](size_t i) {
      return keep ? project(t, sky[i][0], sin_dec[i], cos_dec[i])
                  : project(t, sky[i][0], std::sin(sky[i][1]), std::cos(sky[i][1]));
    };
    // First sweep: which pairs project, and the scale of their offsets.
    size_t k = 0;
    s = 0;
    for (size_t i = 0; i < sky.size(); ++i) {
      if (!plane(i)) continue;
      ++k;
      for (double off : {std::abs(pixels[i][0] - cx), std::abs(pixels[i][1] - cy)}) {
        if (off > s) s = off;  // NaN offsets never win
      }
    }
    if (k < 3 || !(s > 0) || !std::isfinite(s)) return std::nullopt;

    // Second sweep: normal equations of xi, eta = linear in scaled offsets.
    double sxx = 0, sxy = 0, syy = 0, sx = 0, sy = 0;
    double sxix = 0, sxiy = 0, sxi = 0, setax = 0, setay = 0, seta = 0;
    for (size_t i = 0; i < sky.size(); ++i) {
      const auto pl = plane(i);
      if (!pl) continue;
      const double x = (pixels[i][0] - cx) / s, y = (pixels[i][1] - cy) / s;
      sxx += x * x;
      sxy += x * y;
      syy += y * y;
      sx += x;
      sy += y;
      sxix += pl->xi * x;
      sxiy += pl->xi * y;
      sxi += pl->xi;
      setax += pl->eta * x;
      setay += pl->eta * y;
      seta += pl->eta;
    }
    const double kd = static_cast<double>(k);
    const std::array<double, 9> m{sxx / kd, sxy / kd, sx / kd, sxy / kd, syy / kd,
                                  sy / kd,  sx / kd,  sy / kd, 1.0};
    std::array<double, 9> mp = m, mq = m;
    std::array<double, 3> bp{sxix / kd, sxiy / kd, sxi / kd};
    std::array<double, 3> bq{setax / kd, setay / kd, seta / kd};
    const auto sp = solve3(mp, bp);
    const auto sq = solve3(mq, bq);
    if (!sp || !sq) return std::nullopt;
    p = *sp;
    q = *sq;

    const Vec2 moved = deproject({ra0, dec0}, p[2], q[2]);
    ra0 = moved[0];
    dec0 = moved[1];
    if (std::max(std::abs(p[2]), std::abs(q[2])) < 1e-15) break;
  }

  Wcs out;
  out.crval = {ra0, dec0};
  out.crpix = crpix;
  out.cd = {p[0] / s, p[1] / s, q[0] / s, q[1] / s};
  const double det = out.cd[0] * out.cd[3] - out.cd[1] * out.cd[2];
  if (det == 0 || !std::isfinite(det)) return std::nullopt;

  double sum = 0;
  size_t projected = 0;
  for (size_t i = 0; i < sky.size(); ++i) {
    const auto px = out.sky_to_pixel(sky[i][0], sky[i][1]);
    if (!px) continue;
    const double dx = (*px)[0] - pixels[i][0], dy = (*px)[1] - pixels[i][1];
    sum += dx * dx + dy * dy;
    ++projected;
  }
  if (projected == 0) return std::nullopt;
  return std::pair{out, std::sqrt(sum / static_cast<double>(projected))};
}

std::optional<double> rms_px(const Wcs& wcs, std::span<const Vec2> pixels,
                             std::span<const Vec2> sky) {
  const size_t n = std::min(pixels.size(), sky.size());
  if (n == 0) return std::nullopt;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto px = wcs.sky_to_pixel(sky[i][0], sky[i][1]);
    if (!px) return std::nullopt;
    const double dx = (*px)[0] - pixels[i][0], dy = (*px)[1] - pixels[i][1];
    sum += dx * dx + dy * dy;
  }
  return std::sqrt(sum / static_cast<double>(n));
}

std::optional<std::array<double, 3>> solve3(std::array<double, 9>& m, std::array<double, 3>& b) {
  auto at = [&m](int r, int c) -> double& { return m[static_cast<size_t>(r * 3 + c)]; };
  auto swap_rows = [&](int r1, int r2) {
    if (r1 == r2) return;
    for (int c = 0; c < 3; ++c) std::swap(at(r1, c), at(r2, c));
    std::swap(b[static_cast<size_t>(r1)], b[static_cast<size_t>(r2)]);
  };
  auto eliminate = [&](int col) -> bool {
    int pivot = col;
    for (int r = col + 1; r < 3; ++r) {
      if (std::abs(at(r, col)) > std::abs(at(pivot, col))) pivot = r;
    }
    if (!(std::abs(at(pivot, col)) > 1e-12)) return false;
    swap_rows(pivot, col);
    for (int r = col + 1; r < 3; ++r) {
      const double f = at(r, col) / at(col, col);
      for (int c = col; c < 3; ++c) at(r, c) -= f * at(col, c);
      b[static_cast<size_t>(r)] -= f * b[static_cast<size_t>(col)];
    }
    return true;
  };
  if (!eliminate(0) || !eliminate(1)) return std::nullopt;
  if (!(std::abs(at(2, 2)) > 1e-12)) return std::nullopt;
  const double x2 = b[2] / at(2, 2);
  const double x1 = (b[1] - at(1, 2) * x2) / at(1, 1);
  const double x0 = (b[0] - at(0, 1) * x1 - at(0, 2) * x2) / at(0, 0);
  if (!std::isfinite(x0) || !std::isfinite(x1) || !std::isfinite(x2)) return std::nullopt;
  return std::array<double, 3>{x0, x1, x2};
}

bool solve_dense(std::span<double> a, std::span<double> b, size_t n) {
  // Undersized storage would be read out of bounds; refuse it instead.
  if (a.size() / std::max<size_t>(n, 1) < n || b.size() < n) return false;
  auto at = [&a, n](size_t r, size_t c) -> double& { return a[r * n + c]; };
  for (size_t i = 0; i < n; ++i) {
    size_t pivot = i;
    for (size_t r = i + 1; r < n; ++r) {
      if (std::abs(at(r, i)) > std::abs(at(pivot, i))) pivot = r;
    }
    if (!(std::abs(at(pivot, i)) > 1e-12)) return false;
    if (pivot != i) {
      for (size_t c = 0; c < n; ++c) std::swap(at(pivot, c), at(i, c));
      std::swap(b[pivot], b[i]);
    }
    for (size_t r = i + 1; r < n; ++r) {
      const double f = at(r, i) / at(i, i);
      for (size_t c = i; c < n; ++c) at(r, c) -= f * at(i, c);
      b[r] -= f * b[i];
    }
  }
  for (size_t i = n; i-- > 0;) {
    double acc = b[i];
    for (size_t k = i + 1; k < n; ++k) acc -= at(i, k) * b[k];
    b[i] = acc / at(i, i);
  }
  return std::all_of(b.begin(), b.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace wcs
}  // namespace kestrune
