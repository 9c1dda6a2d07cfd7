// Nothing lost: result file names that collide with the run's own image or
// database never delete or overwrite them, and a .wcs that cannot be written
// leaves the failure .ini, never a success .ini without its .wcs.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process.hpp"
#include "tests/support/solvable_field.hpp"
#include "tools/render.hpp"

namespace fs = std::filesystem;
using namespace kestrune;
using namespace kestrune::testing;

namespace {

// The solvable field as a 16-bit FITS file and its database, in `dir`.
struct Scene {
  TempDir dir;
  std::string image;  // FITS bytes
  std::string db;     // database bytes

  Scene() {
    const Field& f = solvable_field();
    auto rendered = tools::render_field(f.desc, f.catalogue);
    EXPECT_TRUE(rendered.has_value());
    const fs::path fits = dir / "field.fits";
    EXPECT_TRUE(tools::write_image(fits.string(), *rendered, {}).has_value());
    image = read_file(fits);
    fs::remove(fits);
    db.assign(reinterpret_cast<const char*>(f.database.data()), f.database.size());
  }
};

}  // namespace

TEST(Collision, RunInputsAreNeverDeletedOrOverwritten) {
  const Scene scene;
  const struct {
    const char* name;
    std::string image;               // file name of the image
    std::string db;                  // file name of the database
    std::vector<std::string> extra;  // more arguments
    std::vector<std::string> links;  // "link=target" symbolic links made first
    int code;
    const char* error;  // start of the message on standard error ("" for a solution)
  } cases[] = {
      {"image named like the .wcs (-f m31.wcs)",
       "m31.wcs",
       "kestrune.krdb",
       {},
       {},
       16,
       "writing wcs: m31.wcs is an input of this run"},
      {"image named like the .ini",
       "m31.ini",
       "kestrune.krdb",
       {},
       {},
       16,
       "writing ini: m31.ini is an input of this run"},
      {"-o spelling the image's base another way",
       "m31.wcs",
       "kestrune.krdb",
       {"-o", "./m31"},
       {},
       16,
       "writing wcs: ./m31.wcs is an input of this run"},
      {"database named like the .wcs",
       "m31.fits",
       "m31.wcs",
       {},
       {},
       16,
       "writing wcs: m31.wcs is an input of this run"},
      {"database named like the .ini",
       "m31.fits",
       "out.ini",
       {"-o", "out"},
       {},
       16,
       "writing ini: out.ini is an input of this run"},
      {"result .wcs a symbolic link to the image",
       "m31.fits",
       "kestrune.krdb",
       {"-o", "res"},
       {"res.wcs=m31.fits"},
       16,
       "writing wcs: res.wcs is an input of this run"},
      {"result .ini a symbolic link to the database",
       "m31.fits",
       "kestrune.krdb",
       {"-o", "res"},
       {"res.ini=kestrune.krdb"},
       16,
       "writing ini: res.ini is an input of this run"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir / c.image, scene.image);
    write_file(dir / c.db, scene.db);
    for (const std::string& link : c.links) {
      const size_t eq = link.find('=');
      fs::create_symlink(link.substr(eq + 1), dir / link.substr(0, eq));
    }
    std::vector<std::string> args = {"-f", c.image};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    auto r = run_program(ORVEK_CLI_PATH, args, {{"KESTRUNE_DB", c.db}}, dir.path());

    EXPECT_EQ(r.exit_code, c.code) << r.err;
    EXPECT_TRUE(r.err.starts_with(c.error)) << r.err;
    EXPECT_EQ(read_file(dir / c.image), scene.image);
    EXPECT_EQ(read_file(dir / c.db), scene.db);
    for (const std::string& link : c.links)
      EXPECT_TRUE(fs::is_symlink(dir / link.substr(0, link.find('='))));
  }
}

// A solved run whose .wcs cannot be written (here a directory stands at its
// name, which the stale-file removal cannot delete) ends with exit 16 and the
// failure .ini in place of the success .ini of an earlier run.
TEST(Collision, FailedWcsWriteLeavesTheFailureIni) {
  const Scene scene;
  TempDir dir;
  write_file(dir / "m31.fits", scene.image);
  write_file(dir / "kestrune.krdb", scene.db);
  const std::map<std::string, std::string> env = {{"KESTRUNE_DB", "kestrune.krdb"}};
  auto first = run_program(ORVEK_CLI_PATH, {"-f", "m31.fits"}, env, dir.path());
  ASSERT_EQ(first.exit_code, 0) << first.err;
  ASSERT_TRUE(read_file(dir / "m31.ini").starts_with("PLTSOLVD=T\n"));

  fs::remove(dir / "m31.wcs");
  fs::create_directory(dir / "m31.wcs");
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "m31.fits"}, env, dir.path());
  EXPECT_EQ(r.exit_code, 16);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("writing wcs: ")) << r.err;
  EXPECT_EQ(read_file(dir / "m31.ini"), "PLTSOLVD=F\nERROR=" + r.err);
  EXPECT_TRUE(fs::is_directory(dir / "m31.wcs"));
}

// A run that finds the image's name among its result names still solves the
// image it was given (the stale-file removal comes first and must spare it).
TEST(Collision, ImageNamedLikeItsResultIsStillSolved) {
  const Scene scene;
  TempDir dir;
  write_file(dir / "m31.wcs", scene.image);
  write_file(dir / "kestrune.krdb", scene.db);
  auto r = run_program(ORVEK_CLI_PATH, {"-f", "m31.wcs", "-o", "elsewhere"},
                       {{"KESTRUNE_DB", "kestrune.krdb"}}, dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(read_file(dir / "elsewhere.ini").starts_with("PLTSOLVD=T\n"));
  EXPECT_EQ(read_file(dir / "m31.wcs"), scene.image);
  EXPECT_TRUE(r.out.starts_with("Solution found: RA ")) << r.out;
}
