// The messages a user sees when the database or the image cannot be used,
// through the built orvek_cli.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/image_fixtures.hpp"
#include "tests/support/process.hpp"
#include "tests/support/tiny_db.hpp"
#include "tools/db_writer.hpp"

namespace fs = std::filesystem;
using namespace kestrune;
using namespace kestrune::testing;

namespace {

// A valid database of a few hundred random stars in one band, no patterns.
std::vector<std::byte> small_database() {
  tools::DbSpec desc;
  desc.stars = random_stars(300, 7);
  desc.bands.push_back({10.0, 0.5, 2, all_ids(desc.stars.size())});
  return must_make_db(desc).encoded.bytes;
}

void write_bytes(const fs::path& path, const std::vector<std::byte>& bytes) {
  write_file(path, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

struct Outcome {
  int code;
  std::string err;
  std::string ini;
};

Outcome run_in(const TempDir& dir, const std::vector<std::string>& args,
               std::map<std::string, std::string> env) {
  auto r = run_program(ORVEK_CLI_PATH, args, env, dir.path());
  EXPECT_EQ(r.out, "");
  return {r.exit_code, r.err, read_file(dir / "img.ini")};
}

}  // namespace

// Damaged databases end the run with exit 33 and the loader's own words.
TEST(CliInputs, DatabaseRejected) {
  TempDir dir;
  auto good = small_database();

  auto short_file = std::vector<std::byte>(good.begin(), good.begin() + 447);
  auto bad_version = good;
  uint32_t two = 2;
  std::memcpy(bad_version.data() + 4, &two, 4);
  auto flipped = good;
  flipped.back() ^= std::byte{0x40};

  write_bytes(dir / "short.krdb", short_file);
  write_bytes(dir / "version.krdb", bad_version);
  write_bytes(dir / "flipped.krdb", flipped);

  struct Case {
    const char* db;
    const char* verify;  // nullptr: unset
    int code;
    std::string err;
  };
  const Case cases[] = {
      {"short.krdb", nullptr, 33, "loading database: TooShort\n"},
      {"version.krdb", "1", 33, "loading database: BadVersion(2)\n"},
      {"flipped.krdb", "1", 33, "loading database: Checksum\n"},
      // Without verification the flipped byte goes unnoticed; the image is read next.
      {"flipped.krdb", nullptr, 16, "opening img.fits: No such file or directory (os error 2)\n"},
      {"flipped.krdb", "0", 16, "opening img.fits: No such file or directory (os error 2)\n"},
      {"flipped.krdb", "11", 16, "opening img.fits: No such file or directory (os error 2)\n"},
      {"flipped.krdb", "", 16, "opening img.fits: No such file or directory (os error 2)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.db) + " verify=" + (c.verify ? c.verify : "unset"));
    std::map<std::string, std::string> env{{"KESTRUNE_DB", c.db}};
    if (c.verify) env["KESTRUNE_VERIFY"] = c.verify;
    auto o = run_in(dir, {"-f", "img.fits"}, env);
    EXPECT_EQ(o.code, c.code);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.ini, "PLTSOLVD=F\nERROR=" + o.err);
  }
}

// An unreadable image ends the run with exit 16 and "{path}: {reason}".
TEST(CliInputs, ImageRejected) {
  TempDir dir;
  write_bytes(dir / "db.krdb", small_database());
  write_file(dir / "empty.png", "");
  FitsSpec bitpix8;
  bitpix8.bitpix = 8;
  bitpix8.axes = {16, 16};
  bitpix8.raw.assign(256, 1.0);
  write_fits(dir / "bitpix8.fits", bitpix8);
  fs::create_directories(dir / "folder.fits");

  struct Case {
    std::string image;
    std::string err;
  };
  const Case cases[] = {
      {"bitpix8.fits", "bitpix8.fits: unsupported FITS: BITPIX = 8\n"},
      {"empty.png", "empty.png: unknown file format (expected FITS, JPEG, TIFF or PNG)\n"},
      {"missing.fits", "opening missing.fits: No such file or directory (os error 2)\n"},
      {"folder.fits", "mapping folder.fits: Is a directory (os error 21)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    auto r = run_program(ORVEK_CLI_PATH, {"-f", c.image, "-o", "img"},
                         {{"KESTRUNE_DB", "db.krdb"}}, dir.path());
    EXPECT_EQ(r.exit_code, 16);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(read_file(dir / "img.ini"), "PLTSOLVD=F\nERROR=" + c.err);
  }
}

// A database that fails validation is reported before a missing image.
TEST(CliInputs, DatabaseCheckedBeforeImage) {
  TempDir dir;
  write_file(dir / "bad.krdb", std::string(600, 'x'));
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "nothere.fits"}, {{"KESTRUNE_DB", "bad.krdb"}},
                       dir.path());
  EXPECT_EQ(r.exit_code, 33);
  EXPECT_EQ(r.err, "loading database: BadMagic\n");
}

// An image too small for extraction exits 16 with the extractor's message.
TEST(CliInputs, ImageTooSmall) {
  TempDir dir;
  write_bytes(dir / "db.krdb", small_database());
  FitsSpec tiny;
  tiny.bitpix = 16;
  tiny.axes = {15, 16};
  tiny.raw.assign(15 * 16, 100.0);
  write_fits(dir / "img.fits", tiny);
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "img.fits"}, {{"KESTRUNE_DB", "db.krdb"}}, dir.path());
  EXPECT_EQ(r.exit_code, 16);
  EXPECT_EQ(r.err, "bad image dimensions 15×16 for 240 pixels (minimum 16×16)\n");
}

// A blank frame has no stars: exit 2, and no .wcs is left.
TEST(CliInputs, BlankImageHasTooFewStars) {
  TempDir dir;
  write_bytes(dir / "db.krdb", small_database());
  write_file(dir / "img.wcs", "stale");
  FitsSpec flat;
  flat.bitpix = 16;
  flat.axes = {64, 48};
  flat.raw.assign(64 * 48, 1000.0);
  write_fits(dir / "img.fits", flat);
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "img.fits"}, {{"KESTRUNE_DB", "db.krdb"}}, dir.path());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "No solution found: too_few_stars (0 stars)\n");
  EXPECT_FALSE(fs::exists(dir / "img.wcs"));
}
