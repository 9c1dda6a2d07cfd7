// The front end as a user meets it: the built orvek_cli run as a process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/results.hpp"
#include "tests/support/process.hpp"

namespace fs = std::filesystem;
using kestrune::testing::read_file;
using kestrune::testing::run_program;
using kestrune::testing::TempDir;
using kestrune::testing::write_file;

namespace {

const std::string kUsage =
    "usage: orvek_cli -f <image> [-wcs] [-o <base>] [ORVEK hints are ignored]\n";

std::vector<std::string> files_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

// Without an image the program prints the usage line, exits 16 and touches nothing.
TEST(Cli, UsageWithoutImage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-o", "x"},
      {"-f"},
      {"-f", "a.fits", "-f"},
      {"-z", "-f", "a.fits"},
      {"a.fits"},
      {"-wcs", "-sip"},
  };
  for (const auto& args : cases) {
    TempDir dir;
    write_file(dir / "a.ini", "old ini");
    write_file(dir / "a.wcs", "old wcs");
    write_file(dir / "log.txt", "");
    auto r = run_program(ORVEK_CLI_PATH, args,
                         {{"KESTRUNE_DB", "/nonexistent"}, {"KESTRUNE_LOG", (dir / "log.txt").string()}},
                         dir.path());
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(r.exit_code, 16);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir / "a.ini"), "old ini");
    EXPECT_EQ(read_file(dir / "a.wcs"), "old wcs");
    EXPECT_EQ(files_in(dir.path()), (std::vector<std::string>{"a.ini", "a.wcs", "log.txt"}));
    // Only the argument list is logged, before the options are looked at.
    EXPECT_EQ(read_file(dir / "log.txt"),
              "args: " + kestrune::cli::debug_args(args) + "\n");
  }
}

// Which image and which base the option scan picks shows in the failure .ini
// that a missing database leaves behind.
TEST(Cli, OptionScanPicksImageAndBase) {
  struct Case {
    std::vector<std::string> args;
    std::string ini;  // the one result file expected
  };
  const Case cases[] = {
      {{"-f", "a.fits"}, "a.ini"},
      {{"-f", "a.fits", "-f", "b.fits"}, "b.ini"},
      {{"-f", "a.fits", "-o", "x", "-o", "y"}, "y.ini"},
      {{"-z", "2", "-f", "a.fits"}, "a.ini"},
      {{"-fov", "0", "-f", "a.fits"}, "a.ini"},
      {{"-wcs", "-f", "a.fits", "-sip", "-update"}, "a.ini"},
      {{"-r", "30", "-f", "a.fits", "-W", "-f", "-fits", "q"}, "a.ini"},
      {{"-f", "-wcs"}, "-wcs.ini"},
      {{"", "-f", "dir/m31.fits"}, "dir/m31.ini"},
      {{"-f", "m31"}, "m31.ini"},
      {{"-f", "m31.final.fits"}, "m31.final.ini"},
      {{"-f", "a.fits", "-o", "out/result.INI"}, "out/result.ini"},
      {{"-f", "a.fits", "-o", "out/result.wcs"}, "out/result.ini"},
      {{"-f", "a.fits", "-o", "out/result.txt"}, "out/result.txt.ini"},
      {{"-f", "a.fits", "-o", "out/.ini"}, "out/.ini.ini"},
      {{"-f", "..", "-o", "out/.."}, "out/...ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    TempDir dir;
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "dir");
    auto r = run_program(ORVEK_CLI_PATH, c.args, {{"KESTRUNE_DB", "/nonexistent"}}, dir.path());
    EXPECT_EQ(r.exit_code, 32);
    EXPECT_EQ(r.err, "star database not found: /nonexistent\n");
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{c.ini});
  }
}

// A stale result pair is removed before the database is looked at, so a run
// that then fails leaves only its own failure .ini; the log gets two lines.
TEST(Cli, MissingDatabaseAfterStaleFiles) {
  TempDir dir;
  fs::create_directories(dir / "out");
  write_file(dir / "out/r.wcs", "stale");
  write_file(dir / "out/r.ini", "PLTSOLVD=T\n");
  auto log = (dir / "log.txt").string();
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "x.fits", "-o", "out/r.INI"},
                       {{"KESTRUNE_DB", "/nonexistent"}, {"KESTRUNE_LOG", log}}, dir.path());
  EXPECT_EQ(r.exit_code, 32);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "star database not found: /nonexistent\n");
  EXPECT_FALSE(fs::exists(dir / "out/r.wcs"));
  EXPECT_EQ(read_file(dir / "out/r.ini"),
            "PLTSOLVD=F\nERROR=star database not found: /nonexistent\n");
  EXPECT_EQ(read_file(log),
            "args: [\"-f\", \"x.fits\", \"-o\", \"out/r.INI\"]\n"
            "  exit 32: star database not found: /nonexistent\n");
}

// An empty KESTRUNE_DB names no file; without it the program looks beside itself.
TEST(Cli, DatabaseLocation) {
  TempDir dir;
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "a.fits"}, {{"KESTRUNE_DB", ""}}, dir.path());
  EXPECT_EQ(r.exit_code, 32);
  EXPECT_EQ(r.err, "star database not found: \n");

  // A copy of the program in a folder of its own has no database beside it.
  fs::copy_file(ORVEK_CLI_PATH, dir / "orvek_cli");
  r = run_program((dir / "orvek_cli").string(), {"-f", "a.fits"}, {}, dir.path());
  EXPECT_EQ(r.exit_code, 32);
  EXPECT_EQ(r.err, "star database not found: " + (fs::canonical(dir.path()) / "kestrune.krdb").string() + "\n");
}

// A database that cannot be opened or mapped exits 33 with the system's text.
TEST(Cli, UnreadableDatabase) {
  TempDir dir;
  fs::create_directories(dir / "db.krdb");
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "a.fits"}, {{"KESTRUNE_DB", "db.krdb"}}, dir.path());
  EXPECT_EQ(r.exit_code, 33);
  EXPECT_EQ(r.err, "mapping db.krdb: Is a directory (os error 21)\n");
  EXPECT_EQ(read_file(dir / "a.ini"),
            "PLTSOLVD=F\nERROR=mapping db.krdb: Is a directory (os error 21)\n");
}

// Logging never changes the course of a run, even when the log cannot be written.
TEST(Cli, UnwritableLogIsIgnored) {
  TempDir dir;
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "a.fits"},
                       {{"KESTRUNE_DB", "/nonexistent"}, {"KESTRUNE_LOG", "/nonexistent/dir/log"}},
                       dir.path());
  EXPECT_EQ(r.exit_code, 32);
  EXPECT_EQ(r.err, "star database not found: /nonexistent\n");
}

// Log lines append across runs; the argument list is written in its debug form.
TEST(Cli, LogAppendsDebugArguments) {
  TempDir dir;
  auto log = (dir / "log.txt").string();
  write_file(log, "earlier\n");
  run_program(ORVEK_CLI_PATH, {"a\"b\\c", "tab\there", "nl\n", "\x1b", "é"},
              {{"KESTRUNE_LOG", log}}, dir.path());
  EXPECT_EQ(read_file(log),
            "earlier\n"
            "args: [\"a\\\"b\\\\c\", \"tab\\there\", \"nl\\n\", \"\\u{1b}\", \"é\"]\n");
}

// An output base in a missing directory: the failure .ini cannot be written,
// and the run keeps its own exit code.
TEST(Cli, OutputInMissingDirectory) {
  TempDir dir;
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "a.fits", "-o", "nowhere/r"},
                       {{"KESTRUNE_DB", "/nonexistent"}}, dir.path());
  EXPECT_EQ(r.exit_code, 32);
  EXPECT_TRUE(files_in(dir.path()).empty());
}
