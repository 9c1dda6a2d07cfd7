#include "tests/support/truth.hpp"

#include <wcslib/wcs.h>
#include <wcslib/wcshdr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

namespace kestrune::testing {
namespace {

constexpr double kDegToRad = 1 / kRadToDeg;

std::string card(const std::string& key, const std::string& value) {
  char text[81];
  std::snprintf(text, sizeof text, "%-8s= %-70s", key.c_str(), value.c_str());
  return std::string(text, 80);
}

std::string number(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%25.17E", v);
  return text;
}

// "A_2_0" -> (2, 0)
std::optional<std::pair<int, int>> exponents(const std::string& key) {
  int p = 0, q = 0;
  char letter = 0;
  if (std::sscanf(key.c_str(), "%c_%d_%d", &letter, &p, &q) != 3) return std::nullopt;
  return std::pair{p, q};
}

}  // namespace

std::expected<Truth, std::string> read_truth(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::unexpected(path + ": cannot open");
  Truth truth;
  truth.json = nlohmann::json::parse(in, nullptr, false);
  if (truth.json.is_discarded() || !truth.json.contains("wcs"))
    return std::unexpected(path + ": not a truth file");
  const auto& w = truth.json["wcs"];
  truth.width = truth.json.value("width", 0u);
  truth.height = truth.json.value("height", 0u);
  truth.wcs.crval = {w["crval"][0].get<double>() * kDegToRad,
                     w["crval"][1].get<double>() * kDegToRad};
  truth.wcs.crpix = {w["crpix"][0].get<double>() - 1, w["crpix"][1].get<double>() - 1};
  for (int i = 0; i < 4; ++i) truth.wcs.cd[i] = w["cd"][i / 2][i % 2].get<double>() * kDegToRad;
  if (w.contains("sip") && !w["sip"].is_null()) {
    const auto& s = w["sip"];
    Sip sip;
    sip.order = uint8_t(std::max(s["a_order"].get<int>(), s["b_order"].get<int>()));
    const auto terms = Sip::terms(sip.order);
    sip.a.assign(terms.size(), 0.0);
    sip.b.assign(terms.size(), 0.0);
    for (size_t i = 0; i < terms.size(); ++i) {
      const std::string suffix = std::to_string(terms[i].p) + "_" + std::to_string(terms[i].q);
      sip.a[i] = s["a"].value("A_" + suffix, 0.0);
      sip.b[i] = s["b"].value("B_" + suffix, 0.0);
    }
    truth.wcs.sip = std::move(sip);
  }
  truth.image_path =
      (std::filesystem::path(path).parent_path() / truth.json.value("image", std::string()))
          .string();
  return truth;
}

std::string truth_header(const nlohmann::json& truth) {
  const auto& w = truth["wcs"];
  std::string cards;
  cards += card("NAXIS", "2");
  cards += card("NAXIS1", std::to_string(truth.value("width", 0u)));
  cards += card("NAXIS2", std::to_string(truth.value("height", 0u)));
  for (int i = 0; i < 2; ++i) {
    std::string ctype = "'";
    ctype += w["ctype"][i].get<std::string>();
    ctype += '\'';
    cards += card("CTYPE" + std::to_string(i + 1), ctype);
  }
  for (int i = 0; i < 2; ++i) {
    cards += card("CRVAL" + std::to_string(i + 1), number(w["crval"][i].get<double>()));
    cards += card("CRPIX" + std::to_string(i + 1), number(w["crpix"][i].get<double>()));
  }
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      cards += card("CD" + std::to_string(i + 1) + "_" + std::to_string(j + 1),
                    number(w["cd"][i][j].get<double>()));
  cards += card("EQUINOX", "2000.0");
  if (w.contains("sip") && !w["sip"].is_null()) {
    const auto& s = w["sip"];
    for (const char* letter : {"a", "b"}) {
      const std::string upper = letter[0] == 'a' ? "A" : "B";
      cards += card(upper + "_ORDER", std::to_string(s[std::string(letter) + "_order"].get<int>()));
      for (const auto& [key, value] : s[letter].items())
        if (exponents(key)) cards += card(key, number(value.get<double>()));
    }
  }
  return cards;
}

void WcslibProjection::Free::operator()(wcsprm* wcs) const {
  int n = 1;
  wcsvfree(&n, &wcs);
}

std::expected<WcslibProjection, std::string> WcslibProjection::from_cards(
    const std::string& cards) {
  std::string text = cards;
  int nreject = 0, nwcs = 0;
  wcsprm* wcs = nullptr;
  const int status =
      wcspih(text.data(), int(text.size() / 80), WCSHDR_all, 0, &nreject, &nwcs, &wcs);
  if (status != 0 || nwcs < 1) {
    if (wcs) wcsvfree(&nwcs, &wcs);
    return std::unexpected("wcspih failed: status " + std::to_string(status));
  }
  // Keep only the primary description; free any alternates.
  for (int i = 1; i < nwcs; ++i) wcsfree(wcs + i);
  WcslibProjection projection;
  projection.wcs_.reset(wcs);
  if (int s = wcsset(wcs); s != 0)
    return std::unexpected("wcsset failed: status " + std::to_string(s));
  return projection;
}

std::optional<Vec2> WcslibProjection::sky_to_pixel(double ra_deg, double dec_deg) const {
  double world[2] = {ra_deg, dec_deg}, phi, theta, img[2], pix[2];
  int stat = 0;
  if (wcss2p(wcs_.get(), 1, 2, world, &phi, &theta, img, pix, &stat) != 0 || stat)
    return std::nullopt;
  return Vec2{pix[0] - 1, pix[1] - 1};
}

std::optional<Vec2> WcslibProjection::pixel_to_sky(double x, double y) const {
  double pix[2] = {x + 1, y + 1}, img[2], phi, theta, world[2];
  int stat = 0;
  if (wcsp2s(wcs_.get(), 1, 2, pix, img, &phi, &theta, world, &stat) != 0 || stat)
    return std::nullopt;
  return Vec2{world[0], world[1]};
}

std::optional<double> max_pixel_error(const Wcs& solved, const Truth& truth, int grid) {
  const auto wcslib = WcslibProjection::from_truth(truth.json);
  if (!wcslib || grid < 2) return std::nullopt;
  double worst = 0;
  for (int j = 0; j < grid; ++j)
    for (int i = 0; i < grid; ++i) {
      const double x = (truth.width - 1.0) * i / (grid - 1),
                   y = (truth.height - 1.0) * j / (grid - 1);
      const auto sky = wcslib->pixel_to_sky(x, y);
      if (!sky) return std::nullopt;
      const auto p = solved.sky_to_pixel((*sky)[0] * kDegToRad, (*sky)[1] * kDegToRad);
      if (!p) return std::nullopt;
      worst = std::max(worst, std::hypot((*p)[0] - x, (*p)[1] - y));
    }
  return worst;
}

double worst_grid_error(const Wcs& truth, const Wcs& solved, double w, double h) {
  double worst = 0;
  for (int j = 0; j <= 8; ++j) {
    for (int i = 0; i <= 8; ++i) {
      const double x = (w - 1) * i / 8, y = (h - 1) * j / 8;
      const Vec2 sky = truth.pixel_to_sky(x, y);
      const auto p = solved.sky_to_pixel(sky[0], sky[1]);
      if (!p) return std::numeric_limits<double>::infinity();
      worst = std::max(worst, std::hypot((*p)[0] - x, (*p)[1] - y));
    }
  }
  return worst;
}

Wcs truth_wcs(double ra_deg, double dec_deg, double scale_arcsec, double rot_deg, bool mirror,
              double width, double height) {
  const double s = scale_arcsec / 3600 * kDegToRad, t = rot_deg * kDegToRad, m = mirror ? -1 : 1;
  Wcs w;
  w.crval = {ra_deg * kDegToRad, dec_deg * kDegToRad};
  w.crpix = {(width - 1) / 2, (height - 1) / 2};
  w.cd = {s * std::cos(t) * m, -s * std::sin(t), s * std::sin(t) * m, s * std::cos(t)};
  return w;
}

}  // namespace kestrune::testing
