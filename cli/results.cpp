#include "cli/results.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/image_access.hpp"
#include "cli/wcs_file.hpp"
#include "core/numfmt.hpp"

namespace kestrune::cli {
namespace {

constexpr std::string_view kSwitches[] = {"-wcs",   "-log",     "-sip",     "-check",   "-debug",
                                          "-update", "-analyse", "-extract", "-annotate"};

bool is_switch(std::string_view a) {
  for (auto s : kSwitches)
    if (a == s) return true;
  return false;
}

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i,
// or -1 (i unchanged) for a malformed sequence.
long next_code_point(std::string_view s, size_t& i) {
  auto b = static_cast<unsigned char>(s[i]);
  int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + len > s.size()) return -1;
  long cp = len == 1 ? b : b & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (c & 0x3F);
  }
  i += len;
  return cp;
}

bool printable(long cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
  if (cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
      (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF)
    return false;
  return true;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool is_input(const Outputs& outputs, const std::string& path) {
  for (const auto& input : outputs.inputs)
    if (same_file(path, input)) return true;
  return false;
}

}  // namespace

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();)
    if (next_code_point(s, i) < 0) return false;
  return true;
}

Args scan_args(std::span<const std::string> args) {
  Args out;
  size_t i = 0;
  while (i < args.size()) {
    const std::string& a = args[i];
    if (a.empty() || a[0] != '-' || is_switch(a)) {
      ++i;
      continue;
    }
    std::optional<std::string> value;
    if (i + 1 < args.size()) value = args[i + 1];
    if (a == "-f") out.image = value;
    if (a == "-o") out.out = value;
    i += 2;
  }
  return out;
}

std::string debug_args(std::span<const std::string> args) {
  std::string out = "[";
  for (size_t n = 0; n < args.size(); ++n) {
    if (n > 0) out += ", ";
    out += '"';
    std::string_view s = args[n];
    for (size_t i = 0; i < s.size();) {
      size_t start = i;
      long cp = next_code_point(s, i);
      if (cp < 0) {  // not reachable for validated text; keep the byte visible
        char buf[32];
        std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned char>(s[start]));
        out += buf;
        i = start + 1;
        continue;
      }
      switch (cp) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case 0: out += "\\0"; break;
        default:
          if (printable(cp)) {
            out.append(s.substr(start, i - start));
          } else {
            char buf[32];
            std::snprintf(buf, sizeof buf, "\\u{%lx}", cp);
            out += buf;
          }
      }
    }
    out += '"';
  }
  out += "]";
  return out;
}

std::string strip_extension(std::string_view path) {
  size_t slash = path.rfind('/');
  size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  std::string_view name = path.substr(name_start);
  size_t dot = name.rfind('.');
  if (name == ".." || dot == std::string_view::npos || dot == 0) return std::string(path);
  return std::string(path.substr(0, name_start + dot));
}

std::string output_base(const Args& args) {
  if (!args.out) return strip_extension(*args.image);
  const std::string& out = *args.out;
  std::string stripped = strip_extension(out);
  if (stripped.size() == out.size()) return out;
  std::string ext = out.substr(stripped.size() + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return (ext == "ini" || ext == "wcs") ? stripped : out;
}

std::string with_ext(std::string_view base, std::string_view ext) {
  std::string out(base);
  out += '.';
  out += ext;
  return out;
}

void Outputs::remove_stale() const {
  for (auto ext : {"ini", "wcs"}) {
    std::string p = path(ext);
    if (!is_input(*this, p)) ::unlink(p.c_str());
  }
}

std::optional<std::string> Outputs::write(std::string_view ext, std::string_view text) const {
  std::string p = path(ext);
  if (is_input(*this, p)) return p + " is an input of this run and is not overwritten";
  return write_text(p, text);
}

std::optional<std::string> write_text(const std::string& path, std::string_view text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return os_error_text(errno);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return os_error_text(err);
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) return os_error_text(errno);
  return std::nullopt;
}

double reduce_degrees(double deg) {
  double r = std::fmod(deg, 360.0);
  if (r < 0) r += 360.0;
  return r;
}

std::string success_ini(const Solution& s) {
  const Wcs& w = s.wcs;
  DerivedAxes axes = derived_axes(w);
  auto line = [](std::string_view key, double v) {
    return std::string(key) + "=" + fmt_fixed(v, 12) + "\n";
  };
  std::string out = "PLTSOLVD=T\n";
  out += line("CRPIX1", w.crpix[0] + 1.0);
  out += line("CRPIX2", w.crpix[1] + 1.0);
  out += line("CRVAL1", reduce_degrees(w.crval[0] * kRadToDeg));
  out += line("CRVAL2", w.crval[1] * kRadToDeg);
  out += line("CDELT1", axes.cdelt1);
  out += line("CDELT2", axes.cdelt2);
  out += line("CROTA1", axes.crota);
  out += line("CROTA2", axes.crota);
  out += line("CD1_1", w.cd[0] * kRadToDeg);
  out += line("CD1_2", w.cd[1] * kRadToDeg);
  out += line("CD2_1", w.cd[2] * kRadToDeg);
  out += line("CD2_2", w.cd[3] * kRadToDeg);
  return out;
}

std::string failure_ini(std::string_view message) {
  std::string out = "PLTSOLVD=F\nERROR=";
  out += message;
  out += "\n";
  return out;
}

void log(std::string_view message) {
  const char* path = std::getenv("KESTRUNE_LOG");
  if (path == nullptr) return;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string line(message);
  line += '\n';
  // One write per line, so lines of concurrent runs do not interleave.
  [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
  ::close(fd);
}

uint8_t fail(const Outputs& outputs, uint8_t code, std::string_view message) {
  log("  exit " + std::to_string(code) + ": " + std::string(message));
  std::string line(message);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  outputs.write("ini", failure_ini(message));
  return code;
}

}  // namespace kestrune::cli
