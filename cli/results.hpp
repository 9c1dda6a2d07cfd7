// results.hpp — the run's verdict files (.ini, .wcs), the log and the arguments.
//
// A run leaves base.ini once it gets past the command line and base.wcs only
// on success. The output base is the -o value (less a final .ini/.wcs in any
// letter case) or the image path less its extension. `fail` is the single way
// out of a failing run: log line, one line on standard error, failure .ini.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.hpp"

namespace kestrune::cli {

struct Args {
  std::optional<std::string> image;  // after the last -f
  std::optional<std::string> out;    // after the last -o
};

// The lenient option scan: -f and -o take values, nine bare switches are
// skipped, every other "-..." swallows the argument after it.
Args scan_args(std::span<const std::string> args);

// Arguments must be text: well-formed UTF-8 sequences.
bool valid_utf8(std::string_view s);

// The argument list in its debug form: ["-f", "a b", "q\"x"].
std::string debug_args(std::span<const std::string> args);

// Path without its last extension ("m31.final.fits" -> "m31.final"); a last
// component of "..", without a dot, or whose only dot leads keeps its text.
std::string strip_extension(std::string_view path);
std::string output_base(const Args& args);
// Appends "." and ext; never replaces.
std::string with_ext(std::string_view base, std::string_view ext);

// Writes `text` in one piece (create or truncate); the error is the system's
// text "{} (os error {})".
std::optional<std::string> write_text(const std::string& path, std::string_view text);

// The result files of one run. The run's own inputs (the image and the
// database) are never deleted or overwritten, even when a result file name
// collides with one of them: such a write is refused with an error instead.
struct Outputs {
  std::string base;
  std::vector<std::string> inputs;

  std::string path(std::string_view ext) const { return with_ext(base, ext); }
  // Deletes base.ini and base.wcs, ignoring every failure.
  void remove_stale() const;
  std::optional<std::string> write(std::string_view ext, std::string_view text) const;
};

// The thirteen lines of a solved run.
std::string success_ini(const Solution& solution);
// "PLTSOLVD=F\nERROR={message}\n"
std::string failure_ini(std::string_view message);

// CRVAL1 of the .ini: degrees reduced into [0, 360).
double reduce_degrees(double deg);

// Appends "{message}\n" to the file named by KESTRUNE_LOG, if set; failures ignored.
void log(std::string_view message);

// Logs "  exit {code}: {message}", prints the message on standard error,
// writes the failure .ini and returns the code.
uint8_t fail(const Outputs& outputs, uint8_t code, std::string_view message);

}  // namespace kestrune::cli
