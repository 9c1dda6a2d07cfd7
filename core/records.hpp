// records.hpp — what crosses the plate solver's boundary.
//
// Star detection produces ImageStar lists, the front end fills SolveParams,
// the solver reads time through Clock and answers with a SolveResult: a
// Solution, or NotSolved with its reason. The defaults below are the values
// the front end passes on every run; nothing changes them at run time.
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "core/wcs.hpp"

namespace kestrune {

struct ImageStar {
  double x = 0;     // column, zero-based, pixel centre at the integer
  double y = 0;     // row
  double flux = 0;  // larger is brighter
};

struct SolveParams {
  uint64_t max_quad_stars = 20;   // quads come from at most this many brightest stars (never > 40)
  uint64_t max_quads = 4845;      // quad budget per search (20 choose 4)
  double match_radius_px = 4.0;   // pairing radius for projected catalogue stars
  double false_alarm_max = 1e-9;  // accept a candidate below this false-alarm probability
  double time_limit_ms = 2000.0;  // per search
  uint64_t sip_min_matches = 30;  // pairs needed before a SIP fit is tried
  uint64_t max_stars = 200;       // a search keeps max(max_stars, 40) stars
  uint8_t sip_order = 3;          // 0, 1 and >= 10 turn the SIP fit off
};

// The front end's parameters: the same for every run.
inline constexpr SolveParams kFrontEndSolveParams{};

// The solver's only time source; now_ms never decreases.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double now_ms() = 0;
};

struct SolveStats {
  double extract_ms = 0;
  double solve_ms = 0;
  double total_ms = 0;
  uint32_t stars_used = 0;   // not solved: stars kept; solved: pairs behind the final fit
  uint32_t quads_tried = 0;  // quads formed, the accepted one included
};

enum class NotSolvedReason { TooFewStars, Exhausted, Timeout };

// "too_few_stars", "exhausted", "timeout".
std::string_view to_string(NotSolvedReason reason);

struct Solution {
  Wcs wcs;
  double ra_deg = 0;        // image centre, [0, 360)
  double dec_deg = 0;
  double scale_arcsec = 0;  // per pixel
  double rotation_deg = 0;  // [0, 360); 0 for a singular cd
  double fov_w_deg = 0;
  double fov_h_deg = 0;
  double rms = 0;           // pixels; NaN when no refit succeeded
  double false_alarm = 0;
  SolveStats stats;
  int8_t parity = 0;        // +1 for a negative cd determinant, -1 positive, 0 zero
  uint8_t band = 0;
};

struct NotSolved {
  SolveStats stats;
  NotSolvedReason reason = NotSolvedReason::Exhausted;
};

using SolveResult = std::variant<Solution, NotSolved>;

inline SolveStats& stats_of(SolveResult& r) {
  return std::visit([](auto& v) -> SolveStats& { return v.stats; }, r);
}
inline const SolveStats& stats_of(const SolveResult& r) {
  return std::visit([](const auto& v) -> const SolveStats& { return v.stats; }, r);
}

}  // namespace kestrune
