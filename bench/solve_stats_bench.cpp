// solve_stats_bench — the per-phase figures behind one orvek_cli run, and the
// accuracy of a written solution against a rendered field's truth.
//
//   solve_stats_bench solve <image>            one JSON line of phase times
//   solve_stats_bench check <base.wcs> <truth.json>   one JSON line of errors
//   solve_stats_bench match <image> <truth.json>   catalogue stars among the brightest
//
// "solve" repeats what orvek_cli does (map and load the database named by
// KESTRUNE_DB, load the image, run the solver entry with the front end's
// parameters) and reports the time of each phase with the SolveStats, since
// orvek_cli itself prints nothing beyond its result line. "check" reads the
// .wcs back through wcslib, so the comparison shares no projection code with
// the engine: the centre error is the angle between where the solution and
// the truth put the image centre, the grid figures compare the pixels at
// which the two projections place the sky of a lattice over the image.
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "cli/image_access.hpp"
#include "core/db.hpp"
#include "core/solver.hpp"
#include "tests/support/truth.hpp"

namespace {

using namespace kestrune;
using Json = nlohmann::json;

constexpr double kDeg = 3.14159265358979323846 / 180;
constexpr int kGrid = 16;

double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Resident memory of this process from /proc/self/status, in MiB: the peak,
// and the current split into private memory and mapped file pages (the
// database's pages are shared page cache, counted apart).
void add_memory(Json& out) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    for (const auto& [key, name] : {std::pair{"VmHWM:", "peak_rss_mib"},
                                    std::pair{"RssAnon:", "rss_anon_mib"},
                                    std::pair{"RssFile:", "rss_file_mib"}})
      if (line.starts_with(key)) out[name] = std::strtod(line.c_str() + std::strlen(key), nullptr) / 1024;
  }
}

int fail(Json out, const std::string& error, int code) {
  out["error"] = error;
  std::printf("%s\n", out.dump().c_str());
  return code;
}

int solve(const std::string& image) {
  Json out{{"image", image}, {"solved", false}};
  const char* env = std::getenv("KESTRUNE_DB");
  if (!env) return fail(out, "KESTRUNE_DB is not set", 2);

  const auto t0 = std::chrono::steady_clock::now();
  auto mapped = cli::map_file(env);
  if (!mapped) return fail(out, mapped.error().text(), 2);
  const double map_ms = ms_since(t0);
  auto db = Database::load(mapped->bytes(), false, false);
  if (!db) return fail(out, "loading database: " + db.error().message(), 2);
  const double db_ms = ms_since(t0) - map_ms;
  auto plane = cli::load_image(image);
  if (!plane) return fail(out, plane.error().text(), 16);
  const double load_ms = ms_since(t0);
  out["map_ms"] = map_ms;
  out["db_load_ms"] = db_ms;
  out["image_load_ms"] = load_ms - map_ms - db_ms;
  out["load_ms"] = load_ms;
  out["width"] = plane->width;
  out["height"] = plane->height;

  cli::StdClock clock;
  auto solved = solve_image_with_stars(*db, plane->samples, plane->width, plane->height,
                                       kFrontEndExtractParams, kFrontEndSolveParams, clock);
  if (!solved) return fail(out, solved.error().message(), 16);
  const SolveStats& stats = stats_of(solved->result);
  out["stars"] = solved->stars.size();
  out["extract_ms"] = stats.extract_ms;
  out["solve_ms"] = stats.solve_ms;
  out["entry_ms"] = stats.total_ms;
  out["quads_tried"] = stats.quads_tried;
  out["stars_used"] = stats.stars_used;
  if (const auto* s = std::get_if<Solution>(&solved->result)) {
    out["solved"] = true;
    out["band"] = s->band;
    out["ra_deg"] = s->ra_deg;
    out["dec_deg"] = s->dec_deg;
    out["scale_arcsec"] = s->scale_arcsec;
    out["fit_rms_px"] = std::isfinite(s->rms) ? Json(s->rms) : Json(nullptr);
    out["sip"] = s->wcs.sip.has_value();
  } else {
    out["reason"] = to_string(std::get<NotSolved>(solved->result).reason);
  }
  out["total_ms"] = ms_since(t0);
  add_memory(out);  // the plane and the star lists are still held here
  std::printf("%s\n", out.dump().c_str());
  return 0;
}

// Angle between two (RA, Dec) positions in degrees, by the haversine form
// that stays exact for the sub-arcsecond differences measured here.
double separation_deg(double ra1, double dec1, double ra2, double dec2) {
  const double sd = std::sin((dec2 - dec1) * kDeg / 2), sr = std::sin((ra2 - ra1) * kDeg / 2);
  const double h = sd * sd + std::cos(dec1 * kDeg) * std::cos(dec2 * kDeg) * sr * sr;
  return 2 * std::asin(std::sqrt(std::min(1.0, h))) / kDeg;
}

int check(const std::string& wcs_path, const std::string& truth_path) {
  Json out{{"wcs", wcs_path}};
  auto truth = testing::read_truth(truth_path);
  if (!truth) return fail(out, truth.error(), 2);
  std::ifstream in(wcs_path, std::ios::binary);
  if (!in) return fail(out, wcs_path + ": cannot open", 2);
  const std::string cards{std::istreambuf_iterator<char>(in), {}};
  auto solved = testing::WcslibProjection::from_cards(cards);
  if (!solved) return fail(out, wcs_path + ": " + solved.error(), 2);
  auto truer = testing::WcslibProjection::from_truth(truth->json);
  if (!truer) return fail(out, truth_path + ": " + truer.error(), 2);

  const double scale_arcsec = truth->json.value("scale_arcsec", 0.0);
  const double cx = (truth->width - 1.0) / 2, cy = (truth->height - 1.0) / 2;
  const auto a = solved->pixel_to_sky(cx, cy), b = truer->pixel_to_sky(cx, cy);
  if (!a || !b) return fail(out, "centre does not project", 3);
  const double centre_arcsec = separation_deg((*a)[0], (*a)[1], (*b)[0], (*b)[1]) * 3600;
  out["centre_err_arcsec"] = centre_arcsec;
  out["centre_err_px"] = scale_arcsec > 0 ? centre_arcsec / scale_arcsec : NAN;

  double sum2 = 0, worst = 0;
  int points = 0;
  for (int j = 0; j < kGrid; ++j)
    for (int i = 0; i < kGrid; ++i) {
      const double x = (truth->width - 1.0) * i / (kGrid - 1),
                   y = (truth->height - 1.0) * j / (kGrid - 1);
      const auto sky = solved->pixel_to_sky(x, y);
      const auto back = sky ? truer->sky_to_pixel((*sky)[0], (*sky)[1]) : std::nullopt;
      if (!back) continue;
      const double d = std::hypot((*back)[0] - x, (*back)[1] - y);
      sum2 += d * d;
      worst = std::max(worst, d);
      ++points;
    }
  if (points == 0) return fail(out, "no grid point projects", 3);
  out["grid_rms_px"] = std::sqrt(sum2 / points);
  out["grid_max_px"] = worst;
  out["grid_points"] = points;
  std::printf("%s\n", out.dump().c_str());
  return 0;
}

// How many of the brightest extracted stars are catalogue stars: the quads
// come from the first 20, so a field whose top 20 hold few catalogue stars
// cannot match whatever the database stores.
int match(const std::string& image, const std::string& truth_path) {
  Json out{{"image", image}};
  auto truth = testing::read_truth(truth_path);
  if (!truth) return fail(out, truth.error(), 2);
  auto plane = cli::load_image(image);
  if (!plane) return fail(out, plane.error().text(), 16);
  const auto stars = extract_stars(plane->samples, plane->width, plane->height,
                                   kFrontEndExtractParams, kFrontEndSolveParams.max_stars);
  if (!stars) return fail(out, stars.error().message(), 16);
  const auto& listed = truth->json["stars"];
  Json ranks = Json::array(), top = Json::array();
  size_t in_top20 = 0;
  for (size_t i = 0; i < std::min<size_t>(stars->stars.size(), 20); ++i) {
    const ImageStar& s = stars->stars[i];
    int rank = -1;
    for (size_t k = 0; k < listed.size(); ++k)
      if (std::hypot(listed[k]["x"].get<double>() - s.x, listed[k]["y"].get<double>() - s.y) < 2) {
        rank = int(k);
        break;
      }
    ranks.push_back(rank);
    top.push_back({s.x, s.y, s.flux});
    in_top20 += rank >= 0;
  }
  out["stars"] = stars->stars.size();
  out["top20_catalogue"] = in_top20;
  out["top20_truth_rank"] = ranks;  // -1: not among the truth's brightest catalogue stars
  out["top20"] = top;               // x, y, flux
  std::printf("%s\n", out.dump().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "solve" && argc == 3) return solve(argv[2]);
  if (mode == "check" && argc == 4) return check(argv[2], argv[3]);
  if (mode == "match" && argc == 4) return match(argv[2], argv[3]);
  std::fprintf(stderr,
               "usage: solve_stats_bench solve <image>\n"
               "       solve_stats_bench check <base.wcs> <truth.json>\n"
               "       solve_stats_bench match <image> <truth.json>\n");
  return 2;
}
