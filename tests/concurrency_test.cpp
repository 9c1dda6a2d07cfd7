// Under load: 200 runs of orvek_cli, four at a time, on one database and
// different images, give exactly what serial runs give, and their log lines
// stay whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.hpp"
#include "tests/support/solvable_field.hpp"
#include "tools/render.hpp"

extern char** environ;

namespace fs = std::filesystem;
using namespace kestrune;
using namespace kestrune::testing;

namespace {

struct Outcome {
  int code = -1;
  std::string out;  // without the "(N ms)" timing
  std::string err;
  std::string ini;
  std::string wcs;
};

// One run with absolute paths only, its output streams in files beside its
// results: posix_spawn, so runs may start from several threads at once.
Outcome run_once(const fs::path& image, const fs::path& base, const fs::path& db,
                 const fs::path& log) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e)
    if (!std::string_view(*e).starts_with("KESTRUNE_")) env_text.emplace_back(*e);
  env_text.push_back("KESTRUNE_DB=" + db.string());
  env_text.push_back("KESTRUNE_LOG=" + log.string());
  std::vector<char*> envp;
  for (auto& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> args = {ORVEK_CLI_PATH, "-f", image.string(), "-o", base.string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const std::string out_path = base.string() + ".stdout", err_path = base.string() + ".stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  Outcome o;
  if (spawned != 0) return o;
  int status = 0;
  waitpid(pid, &status, 0);
  o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.out = read_file(out_path);
  o.out = o.out.substr(0, o.out.rfind(" ("));
  o.err = read_file(err_path);
  if (fs::exists(base.string() + ".ini")) o.ini = read_file(base.string() + ".ini");
  if (fs::exists(base.string() + ".wcs")) o.wcs = read_file(base.string() + ".wcs");
  return o;
}

}  // namespace

TEST(Concurrency, ParallelRunsMatchSerialRuns) {
  TempDir dir;
  const Field& f = solvable_field();
  write_file(dir / "kestrune.krdb",
             std::string(reinterpret_cast<const char*>(f.database.data()), f.database.size()));

  // The field under different noise in every format, a blank frame and a cut file.
  using tools::OutputFormat;
  const OutputFormat formats[] = {OutputFormat::Fits16, OutputFormat::Png16,
                                  OutputFormat::Png8,   OutputFormat::Jpeg,
                                  OutputFormat::Tiff16, OutputFormat::FitsFloat};
  std::vector<fs::path> images;
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    tools::RenderSpec desc = f.desc;
    desc.seed = seed;
    auto rendered = tools::render_field(desc, f.catalogue);
    ASSERT_TRUE(rendered.has_value());
    const OutputFormat format = formats[seed - 1];
    images.push_back(
        dir / ("field" + std::to_string(seed) + std::string(tools::format_extension(format))));
    tools::WriteOptions options;
    options.format = format;
    ASSERT_TRUE(tools::write_image(images.back().string(), *rendered, options));
  }
  tools::RenderSpec blank = f.desc;
  blank.seed = 7;
  auto sky = tools::render_field(blank, {});
  ASSERT_TRUE(sky.has_value());
  images.push_back(dir / "blank.fits");
  ASSERT_TRUE(tools::write_image(images.back().string(), *sky, {}));
  const std::string png = read_file(images[1]);
  images.push_back(dir / "cut.png");
  write_file(images.back(), png.substr(0, png.size() / 2));

  std::vector<Outcome> serial;
  for (size_t i = 0; i < images.size(); ++i)
    serial.push_back(run_once(images[i], dir / ("serial" + std::to_string(i)),
                              dir / "kestrune.krdb", dir / "serial.log"));
  size_t solved = 0;
  for (const Outcome& o : serial) solved += o.code == 0;
  EXPECT_EQ(solved, 6u);
  EXPECT_EQ(serial[6].code, 2) << serial[6].err;
  EXPECT_EQ(serial[7].code, 16) << serial[7].err;

  constexpr size_t kRuns = 200, kWorkers = 4;
  std::vector<Outcome> parallel(kRuns);
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (size_t w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (size_t i = next++; i < kRuns; i = next++)
        parallel[i] = run_once(images[i % images.size()], dir / ("run" + std::to_string(i)),
                               dir / "kestrune.krdb", dir / "parallel.log");
    });
  }
  for (auto& t : workers) t.join();

  for (size_t i = 0; i < kRuns; ++i) {
    const Outcome& want = serial[i % images.size()];
    const Outcome& got = parallel[i];
    SCOPED_TRACE("run " + std::to_string(i) + " on " + images[i % images.size()].string());
    EXPECT_EQ(got.code, want.code);
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(got.err, want.err);
    EXPECT_EQ(got.ini, want.ini);
    EXPECT_EQ(got.wcs, want.wcs);
  }

  // Every run logged its arguments and its outcome, each on a line of its own.
  const std::string log = read_file(dir / "parallel.log");
  size_t args = 0, ends = 0, at = 0;
  while (at < log.size()) {
    const size_t nl = log.find('\n', at);
    ASSERT_NE(nl, std::string::npos);
    const std::string_view line(log.data() + at, nl - at);
    if (line.starts_with("args: [\"-f\", ")) {
      ++args;
    } else if (line.starts_with("  exit ") || line.starts_with("  solved RA ")) {
      ++ends;
    } else {
      ADD_FAILURE() << "torn log line: " << line;
    }
    at = nl + 1;
  }
  EXPECT_EQ(args, kRuns);
  EXPECT_EQ(ends, kRuns);
}
