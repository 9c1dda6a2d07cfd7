// process.hpp — running a built program as a user would, for end-to-end tests.
#pragma once

#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace kestrune::testing {

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal
  std::string out;
  std::string err;
};

// Runs `program` with `args` in `cwd` (empty: the current directory). `env`
// sets variables (an empty optional-like "\x01unset" value removes one);
// KESTRUNE_DB, KESTRUNE_LOG and KESTRUNE_VERIFY are removed unless given.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {},
                      const std::filesystem::path& cwd = {});

inline constexpr const char* kUnset = "\x01unset";

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);
// A file's bytes, and a string's bytes seen as std::byte, for the readers.
std::vector<std::byte> read_bytes(const std::filesystem::path& path);
std::span<const std::byte> bytes_of(const std::string& s);

// A fresh empty directory under the system temp dir, removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace kestrune::testing
