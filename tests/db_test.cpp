// Loading, validation, accessors and the cone query of the star database,
// on files made by the writer library.
#include "core/db.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numbers>
#include <random>

#include <healpix_cxx/healpix_base.h>
#include <healpix_cxx/vec3.h>

#include "cli/image_access.hpp"
#include "core/pattern.hpp"
#include "tests/support/tiny_db.hpp"
#include "tools/db_writer.hpp"

namespace kestrune {
namespace {

using testing::make_db;
using Bytes = std::vector<std::byte>;

constexpr double kPi = std::numbers::pi;

// A small valid database: 400 stars in a 5 degree cap, two bands, quads of
// consecutive stars as patterns.
tools::DbSpec small_spec() {
  tools::DbSpec desc;
  desc.stars = testing::random_stars_in_cap(400, 1.0, 0.3, 5 / kRadToDeg, 7);
  desc.bands.push_back({10.0, 0.2, 1, testing::all_ids(400)});
  desc.bands.push_back({5.0, 0.2, 3, testing::all_ids(200)});
  for (uint32_t i = 0; i + 3 < 200; i += 4)
    desc.patterns.push_back({{i, i + 1, i + 2, i + 3}, static_cast<uint8_t>(i % 2)});
  return desc;
}

Bytes small_db() {
  auto encoded = tools::encode_database(small_spec());
  EXPECT_TRUE(encoded.has_value());
  return encoded ? encoded->bytes : Bytes{};
}

DbHeader header_of(const Bytes& b) {
  DbHeader h;
  std::memcpy(&h, b.data(), sizeof h);
  return h;
}

void put_header(Bytes& b, const DbHeader& h) { std::memcpy(b.data(), &h, sizeof h); }

template <class T>
void put(Bytes& b, uint64_t offset, T value) {
  std::memcpy(b.data() + offset, &value, sizeof value);
}

template <class T>
T get(const Bytes& b, uint64_t offset) {
  T v;
  std::memcpy(&v, b.data() + offset, sizeof v);
  return v;
}

std::string load_text(std::span<const std::byte> b, bool checksum, bool contents) {
  auto db = Database::load(b, checksum, contents);
  return db ? "ok" : db.error().message();
}

TEST(LoadError, DisplayTexts) {
  struct Case {
    LoadError error;
    const char* text;
  } cases[] = {
      {{LoadErrorKind::TooShort, 0, {}}, "TooShort"},
      {{LoadErrorKind::BadMagic, 0, {}}, "BadMagic"},
      {{LoadErrorKind::BadVersion, 2, {}}, "BadVersion(2)"},
      {{LoadErrorKind::BadVersion, 4294967295u, {}}, "BadVersion(4294967295)"},
      {{LoadErrorKind::Misaligned, 0, {}}, "Misaligned"},
      {{LoadErrorKind::BadSection, 0, "slot count"}, "BadSection(\"slot count\")"},
      {{LoadErrorKind::Checksum, 0, {}}, "Checksum"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

TEST(Checksum, Fnv1a64) {
  EXPECT_EQ(fnv1a64({}), 0xcbf29ce484222325u);
  const std::string a = "a";
  EXPECT_EQ(fnv1a64(std::as_bytes(std::span(a))), 0xaf63dc4c8601ec8cu);
  const std::string foobar = "foobar";
  EXPECT_EQ(fnv1a64(std::as_bytes(std::span(foobar))), 0x85944171f73967e8u);
}

// Each damaged variant of a valid file, loaded with the given flags. The
// checksum is recomputed after the damage so that only the intended check fails.
TEST(Load, RejectsEachDamagedVariantWithItsText) {
  const Bytes good = small_db();
  ASSERT_EQ(load_text(good, true, true), "ok");
  const DbHeader h0 = header_of(good);

  using Patch = std::function<void(Bytes&, DbHeader&)>;
  struct Case {
    const char* what;
    Patch patch;
    bool checksum, contents;
    std::string text;
  };
  std::vector<Case> cases = {
      {"447 bytes", [](Bytes& b, DbHeader&) { b.resize(447); }, false, false, "TooShort"},
      {"magic", [](Bytes&, DbHeader& h) { h.magic = 0x42445258; }, false, false, "BadMagic"},
      {"version", [](Bytes&, DbHeader& h) { h.version = 2; }, false, false, "BadVersion(2)"},
      {"band count 9", [](Bytes&, DbHeader& h) { h.band_count = 9; }, true, true,
       "BadSection(\"band count\")"},
      {"star count", [](Bytes&, DbHeader& h) { h.star_count -= 1; }, false, false,
       "BadSection(\"star count\")"},
      {"pattern count", [](Bytes&, DbHeader& h) { h.pattern_count += 1; }, false, false,
       "BadSection(\"pattern count\")"},
      {"slot count differs", [](Bytes&, DbHeader& h) { h.slot_count /= 2; }, false, false,
       "BadSection(\"slot count\")"},
      {"slot count not a power of two",
       [](Bytes&, DbHeader& h) {
         h.slot_count = 3;
         h.slots.length = 24;
       },
       false, false, "BadSection(\"slot count\")"},
      {"band depth 30", [](Bytes&, DbHeader& h) { h.bands[1].depth = 30; }, false, false,
       "BadSection(\"band depth\")"},
      {"band depth 30, contents", [](Bytes&, DbHeader& h) { h.bands[1].depth = 30; }, true, true,
       "BadSection(\"band depth\")"},
      {"star list past the end",
       [](Bytes&, DbHeader& h) { h.bands[1].star_list_start = h.star_lists.length / 4 - 199; },
       false, false, "BadSection(\"star list range\")"},
      {"star list start overflows", [](Bytes&, DbHeader& h) { h.bands[0].star_list_start = ~0ull; },
       false, false, "BadSection(\"star list range\")"},
      {"cell table past the end", [](Bytes&, DbHeader& h) { h.bands[1].depth = 4; }, false, false,
       "BadSection(\"cell offsets range\")"},
      {"cell table start overflows",
       [](Bytes&, DbHeader& h) { h.bands[0].cell_offsets_start = ~0ull - 10; }, false, false,
       "BadSection(\"cell offsets range\")"},
      {"star id in a band's run",
       [](Bytes& b, DbHeader& h) { put<uint32_t>(b, h.star_lists.offset + 8, h.star_count); },
       true, true, "BadSection(\"star id in star list\")"},
      {"first cell offset not 0",
       [](Bytes& b, DbHeader& h) { put<uint32_t>(b, h.cell_offsets.offset, 1); }, true, true,
       "BadSection(\"cell offsets contents\")"},
      {"last cell offset not the run length",
       [](Bytes& b, DbHeader& h) { put<uint32_t>(b, h.cell_offsets.offset + 48 * 4, 399); }, true,
       true, "BadSection(\"cell offsets contents\")"},
      {"cell offsets decreasing",
       [](Bytes& b, DbHeader& h) {
         // Band 1 (depth 3): find a rising step and push the offset before it above it.
         const uint64_t at = h.cell_offsets.offset + h.bands[1].cell_offsets_start * 4;
         for (uint64_t i = 1; i < 768; ++i) {
           const auto prev = get<uint32_t>(b, at + 4 * (i - 1)), cur = get<uint32_t>(b, at + 4 * i);
           if (cur > prev && i >= 2) {
             put<uint32_t>(b, at + 4 * (i - 1), cur + 1);
             return;
           }
         }
       },
       true, true, "BadSection(\"cell offsets contents\")"},
      {"pattern star id",
       [](Bytes& b, DbHeader& h) { put<uint32_t>(b, h.patterns.offset + 24 + 12, h.star_count); },
       true, true, "BadSection(\"pattern record\")"},
      {"pattern band",
       [](Bytes& b, DbHeader& h) { put<uint8_t>(b, h.patterns.offset + 24 * 3 + 21, 2); }, true,
       true, "BadSection(\"pattern record\")"},
      {"slot at pattern_count",
       [](Bytes& b, DbHeader& h) { put<uint32_t>(b, h.slots.offset + 8 * 5, h.pattern_count); },
       true, true, "BadSection(\"slot pattern index\")"},
      // The same damage loads when the flags are off.
      {"slot at pattern_count, no flags",
       [](Bytes& b, DbHeader& h) { put<uint32_t>(b, h.slots.offset + 8 * 5, h.pattern_count); },
       false, false, "ok"},
      {"star id in a run, no flags",
       [](Bytes& b, DbHeader& h) { put<uint32_t>(b, h.star_lists.offset, ~0u); }, false, false,
       "ok"},
      {"band count 0", [](Bytes&, DbHeader& h) { h.band_count = 0; }, true, false, "ok"},
      {"band count 0 leaves patterns without a band", [](Bytes&, DbHeader& h) { h.band_count = 0; },
       true, true, "BadSection(\"pattern record\")"},
      {"band entries past band_count are ignored",
       [](Bytes&, DbHeader& h) {
         h.band_count = 1;
         h.bands[1].depth = 99;
       },
       true, true, "ok"},
      {"version and checksum both wrong, version first",
       [](Bytes& b, DbHeader& h) {
         h.version = 7;
         b.back() ^= std::byte{1};
       },
       true, true, "BadVersion(7)"},
  };

  // Every bound of every section, checked in section order.
  const char* names[] = {"stars", "star_lists", "cell_offsets", "patterns", "slots"};
  const uint64_t record[] = {16, 4, 4, 24, 8};
  for (int s = 0; s < 5; ++s) {
    auto ref = [s](DbHeader& h) -> SectionRef& {
      SectionRef* refs[] = {&h.stars, &h.star_lists, &h.cell_offsets, &h.patterns, &h.slots};
      return *refs[s];
    };
    const std::string text = std::string("BadSection(\"") + names[s] + "\")";
    const uint64_t rec = record[s];
    auto add = [&](Patch p) { cases.push_back({names[s], std::move(p), false, false, text}); };
    add([ref](Bytes&, DbHeader& h) { ref(h).offset = 444; });
    add([ref](Bytes&, DbHeader& h) { ref(h).offset = ~0ull - 3; });
    add([ref, rec](Bytes& b, DbHeader& h) { ref(h).length = b.size() - ref(h).offset + rec; });
    add([ref](Bytes&, DbHeader& h) { ref(h).length += 2; });
    add([ref](Bytes&, DbHeader& h) {
      ref(h).offset += 2;
      ref(h).length = 0;
    });
  }

  for (const Case& c : cases) {
    Bytes b = good;
    DbHeader h = h0;
    c.patch(b, h);
    if (b.size() >= sizeof h) put_header(b, h);
    if (std::string(c.what).find("checksum") == std::string::npos) tools::reseal(b);
    EXPECT_EQ(load_text(b, c.checksum, c.contents), c.text) << c.what;
  }
}

TEST(Load, ChecksumOnlyWithItsFlagAndOnlyAfterTheHeader) {
  Bytes b = small_db();
  b[sizeof(DbHeader) + 5] ^= std::byte{0x40};
  EXPECT_EQ(load_text(b, true, false), "Checksum");
  EXPECT_EQ(load_text(b, false, false), "ok");

  Bytes h = small_db();
  h[13] ^= std::byte{1};  // an unread header byte
  EXPECT_EQ(load_text(h, true, true), "ok");
}

TEST(Load, EmptyFileOfJustAHeader) {
  Bytes b(448);
  DbHeader h{};
  h.magic = kDbMagic;
  h.version = 1;
  h.checksum = 0xcbf29ce484222325;
  for (SectionRef* s : {&h.stars, &h.star_lists, &h.cell_offsets, &h.patterns, &h.slots})
    *s = {448, 0};
  put_header(b, h);
  EXPECT_EQ(load_text(b, true, true), "BadSection(\"slot count\")");
}

TEST(Load, MisalignedStart) {
  const Bytes good = small_db();
  Bytes shifted(good.size() + 8);
  std::memcpy(shifted.data() + 4, good.data(), good.size());
  EXPECT_EQ(load_text(std::span(shifted).subspan(4, good.size()), false, false), "Misaligned");
}

// A file length of exactly 2^31 passes and one more 8 bytes fails; an
// unbacked anonymous mapping stands in for the file, and without flags only
// its header is read.
TEST(Load, SizeLimitAndConstantTimeWithoutFlags) {
  const Bytes good = small_db();
  const size_t limit = size_t{1} << 31;
  void* m = mmap(nullptr, limit + 8, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  ASSERT_NE(m, MAP_FAILED);
  std::memcpy(m, good.data(), good.size());
  const auto* p = static_cast<const std::byte*>(m);
  EXPECT_EQ(load_text({p, limit}, false, false), "ok");
  EXPECT_EQ(load_text({p, limit + 8}, false, false), "BadSection(\"file too large\")");
  munmap(m, limit + 8);
}

TEST(Load, ViewsAndGuardedAccessors) {
  const tools::DbSpec desc = small_spec();
  auto t = make_db(desc);
  ASSERT_TRUE(t.has_value()) << t.error();
  const Database& db = t->db;
  ASSERT_EQ(db.stars().size(), 400u);
  ASSERT_EQ(db.bands().size(), 2u);
  EXPECT_EQ(db.band_star_list(0).size(), 400u);
  EXPECT_EQ(db.band_cells(0).size(), 49u);
  EXPECT_EQ(db.band_cells(1).size(), 769u);
  EXPECT_TRUE(db.band_cells(2).empty());
  EXPECT_EQ(db.star_at(17).x, desc.stars[17].x);
  EXPECT_EQ(db.star_at(17).mag, 17);

  const uint32_t n = db.header().pattern_count;
  ASSERT_GT(n, 40u);
  for (uint32_t id : {400u, 401u, 0xFFFFFFFFu}) {
    const StarRecord s = db.star_at(id);
    EXPECT_TRUE(s.x == 0 && s.y == 0 && s.z == 0 && s.mag == 0) << id;
  }
  for (uint32_t index : {n, n + 1, 0xFFFFFFFFu}) {
    const PatternRecord p = db.pattern_at(index);
    EXPECT_TRUE(p.star_ids[0] == 0 && p.star_ids[3] == 0 && p.band == 0 && p.size == 0 &&
                p.ratios[0] == 0 && p.ratios[4] == 0)
        << index;
  }
  EXPECT_EQ(db.pattern_at(0).star_ids[3], 3u);
}

TEST(StarRadec, Quadrants) {
  struct Case {
    float x, y, z;
    double ra, dec;
  } cases[] = {
      {1, 0, 0, 0, 0},
      {0, 1, 0, kPi / 2, 0},
      {-1, 0, 0, kPi, 0},
      {0, -1, 0, 3 * kPi / 2, 0},
      {0, 0, 1, 0, kPi / 2},
      {0, 0, -2, 0, -kPi / 2},
      {1, -1e-30f, 0, 0, 0},  // just below RA 0 wraps to 0, not 2 pi
  };
  for (const Case& c : cases) {
    const Vec2 rd = star_radec({c.x, c.y, c.z, 0, 0});
    EXPECT_NEAR(rd[0], c.ra, 1e-15) << c.x << " " << c.y << " " << c.z;
    EXPECT_LT(rd[0], 2 * kPi);
    EXPECT_NEAR(rd[1], c.dec, 1e-15);
  }
}

// ---- cone query ----

double angle(const std::array<double, 3>& c, const StarRecord& s) {
  const double x = s.x, y = s.y, z = s.z;
  const double cx = c[1] * z - c[2] * y, cy = c[2] * x - c[0] * z, cz = c[0] * y - c[1] * x;
  return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), c[0] * x + c[1] * y + c[2] * z);
}

// The reference: every star of the band's run in stored order (the writer
// stores runs by ascending cell, which the cone query must reproduce).
std::vector<uint32_t> brute_force(const Database& db, size_t band,
                                  const std::array<double, 3>& c, double radius) {
  std::vector<uint32_t> out;
  for (uint32_t id : db.band_star_list(band))
    if (angle(c, db.star_at(id)) <= radius) out.push_back(id);
  return out;
}

// Stars over the whole sky, with extra ones crowded at both poles and
// across RA 0, at depths 0, 4 and 8.
struct ConeFixture : ::testing::Test {
  static inline std::optional<testing::TinyDb> t;
  static void SetUpTestSuite() {
    tools::DbSpec desc;
    desc.stars = testing::random_stars(12000, 11);
    for (auto [ra, dec] : {std::pair{0.0, kPi / 2}, {0.0, -kPi / 2}, {0.0, 0.0}, {0.0, 0.7}}) {
      auto crowd = testing::random_stars_in_cap(2000, ra, dec, 0.01, 5 + desc.stars.size());
      desc.stars.insert(desc.stars.end(), crowd.begin(), crowd.end());
    }
    desc.stars.push_back(tools::star_record({0, 0, 1}, 0));  // exactly at the pole
    for (uint32_t depth : {0u, 4u, 8u})
      desc.bands.push_back({1, 1, depth, testing::all_ids(desc.stars.size())});
    auto made = make_db(desc);
    ASSERT_TRUE(made.has_value()) << made.error();
    t.emplace(std::move(*made));
  }
  static void TearDownTestSuite() { t.reset(); }
};

TEST_F(ConeFixture, MatchesBruteForceInIdsAndOrder) {
  const Database& db = t->db;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> uni(0, 1);
  struct Cone {
    std::array<double, 3> c;
    double r;
  };
  std::vector<Cone> cones = {
      {{0, 0, 1}, 0.001},          {{0, 0, 1}, 0.02},         {{0, 0, -1}, 0.005},
      {{0, 0, -1}, 0.3},           {{1, 0, 0}, 0.004},        {{1, -1e-9, 0}, 0.01},
      {unit_vector(2 * kPi - 1e-7, 0), 0.003},                {unit_vector(0, 0.7), 0.0},
      {{0, 0, 1}, 0.0},            {{0, 0, 1}, kPi / 4},      {{0.3, 0.2, -0.1}, 1.0},
      {{0, 0, 1}, kPi},            {{1, 1, 1}, std::nextafter(kPi / 4, 0.0)},
      {{1e3, -2e3, 5e2}, 0.05},  // not normalised
  };
  for (int i = 0; i < 200; ++i) {
    const double ra = uni(rng) * 2 * kPi, dec = std::asin(2 * uni(rng) - 1);
    const double r = std::exp(std::log(1e-6) + uni(rng) * (std::log(0.9) - std::log(1e-6)));
    cones.push_back({unit_vector(ra, dec), r});
  }
  size_t nonempty = 0;
  for (size_t band = 0; band < 3; ++band)
    for (const Cone& cone : cones) {
      std::vector<uint32_t> got;
      db.stars_in_cone(band, cone.c, cone.r, got);
      const std::vector<uint32_t> want = brute_force(db, band, cone.c, cone.r);
      ASSERT_EQ(got, want) << "band " << band << " centre " << cone.c[0] << "," << cone.c[1]
                           << "," << cone.c[2] << " radius " << cone.r;
      nonempty += !got.empty();
    }
  EXPECT_GT(nonempty, cones.size());  // the comparison is not vacuous
}

TEST_F(ConeFixture, BoundaryAndRejectedInputs) {
  const Database& db = t->db;
  const StarRecord s = db.star_at(123);
  const std::array<double, 3> c = unit_vector(1.1, 0.4);
  const double r = angle(c, s);
  const uint32_t sentinel = 0xABCDEF;

  std::vector<uint32_t> out{sentinel};
  db.stars_in_cone(2, c, r, out);
  EXPECT_EQ(out.front(), sentinel);
  EXPECT_NE(std::find(out.begin(), out.end(), 123u), out.end()) << "a star at exactly radius";

  std::vector<uint32_t> pole;
  db.stars_in_cone(1, {0, 0, 1}, 0.0, pole);
  EXPECT_EQ(pole, std::vector<uint32_t>{static_cast<uint32_t>(db.stars().size() - 1)});

  const double nan = std::nan(""), inf = INFINITY;
  struct Bad {
    size_t band;
    std::array<double, 3> c;
    double r;
  } bad[] = {{3, c, 0.1}, {99, c, 0.1}, {0, c, -1e-12}, {0, c, nan},
             {0, {nan, 0, 1}, 0.1}, {0, {0, inf, 1}, 0.1}, {0, {0, 0, -inf}, 1.0}};
  for (const Bad& b : bad) {
    std::vector<uint32_t> o{sentinel};
    db.stars_in_cone(b.band, b.c, b.r, o);
    EXPECT_EQ(o, std::vector<uint32_t>{sentinel}) << b.band << " " << b.r;
  }

  std::vector<uint32_t> all;
  db.stars_in_cone(0, c, kPi, all);
  EXPECT_EQ(all.size(), db.stars().size());
}

// A direction at angle about atan(rho) from c (a unit vector), towards phi.
std::array<double, 3> offset_from(const std::array<double, 3>& c, double rho, double phi) {
  const std::array<double, 3> a = std::abs(c[2]) < 0.9 ? std::array{0.0, 0.0, 1.0}
                                                       : std::array{1.0, 0.0, 0.0};
  std::array<double, 3> u = {a[1] * c[2] - a[2] * c[1], a[2] * c[0] - a[0] * c[2],
                             a[0] * c[1] - a[1] * c[0]};
  const double nu = std::hypot(u[0], u[1], u[2]);
  for (double& x : u) x /= nu;
  const std::array<double, 3> v = {c[1] * u[2] - c[2] * u[1], c[2] * u[0] - c[0] * u[2],
                                   c[0] * u[1] - c[1] * u[0]};
  std::array<double, 3> p{};
  for (int j = 0; j < 3; ++j)
    p[j] = c[j] + rho * (std::cos(phi) * u[j] + std::sin(phi) * v[j]);
  return p;
}

// At depth 29 no file can hold the cell table, so the coverage itself is
// checked: it holds the depth-29 cell of every direction inside tiny cones.
TEST(ConeCells, CoverTinyConesAtDepth29) {
  const T_Healpix_Base<int64> hp(29, NEST);
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> uni(0, 1);
  struct Centre {
    double ra, dec;
  } centres[] = {{0, kPi / 2}, {1, -kPi / 2 + 1e-9}, {0, 0}, {2 * kPi - 1e-12, 0.3}, {3, 0.72},
                 {0.785398, 0.7297}};
  for (const Centre& ce : centres)
    for (double radius : {0.0, 1e-10, 1e-8, 1e-6}) {
      const auto c = unit_vector(ce.ra, ce.dec);
      const auto ranges = cone_cells(29, c, radius);
      ASSERT_FALSE(ranges.empty());
      for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_LT(ranges[i][0], ranges[i][1]);
        if (i) {
          EXPECT_LT(ranges[i - 1][1], ranges[i][0]) << "ascending, disjoint";
        }
      }
      auto covered = [&](const std::array<double, 3>& p) {
        const auto cell = static_cast<uint64_t>(hp.vec2pix(vec3(p[0], p[1], p[2])));
        for (const auto& r : ranges)
          if (r[0] <= cell && cell < r[1]) return true;
        return false;
      };
      EXPECT_TRUE(covered(c)) << ce.ra << " " << ce.dec << " " << radius;
      int tested = 0;
      for (int k = 0; k < 300; ++k) {
        const auto p = offset_from(c, radius * std::sqrt(uni(rng)), uni(rng) * 2 * kPi);
        if (angle_between(c, p) > radius) continue;
        ++tested;
        EXPECT_TRUE(covered(p)) << ce.ra << " " << ce.dec << " " << radius;
      }
      if (radius > 0) {
        EXPECT_GT(tested, 200);
      }
    }
}

// Without verify_contents a damaged cell table loads; the query must stay
// inside the band's run (AddressSanitizer watches the exact-size copy) and
// skip exactly the cells whose range is broken.
TEST(Cone, DamagedCellTableSkipsBrokenCells) {
  tools::DbSpec desc;
  desc.stars = testing::random_stars(3000, 21);
  desc.bands.push_back({1, 1, 2, testing::all_ids(1000)});  // band 0: ids 0..999
  desc.bands.push_back({1, 1, 2, testing::all_ids(3000)});
  auto encoded = tools::encode_database(desc);
  ASSERT_TRUE(encoded.has_value());
  const DbHeader h = header_of(encoded->bytes);
  const uint64_t table = h.cell_offsets.offset + h.bands[0].cell_offsets_start * 4;
  const uint32_t cells = 12 * 16;

  struct Damage {
    const char* what;
    uint32_t cell;
    uint32_t value;
  } damage[] = {
      {"offset past the run, into the next band's", 100, 1500},
      {"offset far past the section", 50, 0xFFFFFF00},
      {"offset below the previous one", 120, 3},
      {"last offset past the run", cells, 2000},
  };
  for (const Damage& d : damage) {
    Bytes b = encoded->bytes;
    put<uint32_t>(b, table + 4ull * d.cell, d.value);
    auto db = Database::load(b, false, false);
    ASSERT_TRUE(db.has_value()) << d.what;
    EXPECT_EQ(load_text(b, false, true), "BadSection(\"cell offsets contents\")") << d.what;

    const auto run = db->band_star_list(0);
    const auto off = db->band_cells(0);
    std::vector<uint32_t> want;
    for (uint32_t cell = 0; cell < cells; ++cell)
      if (off[cell] <= off[cell + 1] && off[cell + 1] <= run.size())
        want.insert(want.end(), run.begin() + off[cell], run.begin() + off[cell + 1]);

    std::vector<uint32_t> all;
    db->stars_in_cone(0, {0, 0, 1}, kPi, all);
    EXPECT_EQ(all, want) << d.what;
    for (uint32_t i = 0; i < 100; ++i) {
      const StarRecord s = db->star_at(i * 7);
      std::vector<uint32_t> near;
      db->stars_in_cone(0, {s.x, s.y, s.z}, 0.3, near);
      for (uint32_t id : near) EXPECT_NE(std::find(want.begin(), want.end(), id), want.end());
    }
  }
}

TEST(Cone, NoBandsNoStars) {
  Bytes b = small_db();
  DbHeader h = header_of(b);
  h.band_count = 0;
  put_header(b, h);
  auto db = Database::load(b, true, false);
  ASSERT_TRUE(db.has_value());
  std::vector<uint32_t> out;
  db->stars_in_cone(0, {1, 0, 0}, kPi, out);
  EXPECT_TRUE(out.empty());
}


// ---- the writer ----

TEST(Writer, RefusesSpecsItCannotWrite) {
  using Edit = std::function<void(tools::DbSpec&)>;
  struct Case {
    const char* what;
    Edit edit;
  } cases[] = {
      {"nine bands", [](tools::DbSpec& s) { s.bands.resize(9, s.bands[0]); }},
      {"depth 30", [](tools::DbSpec& s) { s.bands[1].depth = 30; }},
      {"depth 13 cannot fit in 2^31 bytes", [](tools::DbSpec& s) { s.bands[1].depth = 13; }},
      {"zero size scale", [](tools::DbSpec& s) { s.bands[0].size_scale_rad = 0; }},
      {"band star id out of range", [](tools::DbSpec& s) { s.bands[0].star_ids.push_back(400); }},
      {"pattern star id out of range", [](tools::DbSpec& s) { s.patterns[2].star_ids[1] = 400; }},
      {"pattern band out of range", [](tools::DbSpec& s) { s.patterns[2].band = 2; }},
      {"zero star vector", [](tools::DbSpec& s) { s.stars[3] = StarRecord{}; }},
      {"NaN star vector", [](tools::DbSpec& s) { s.stars[3].y = NAN; }},
      {"max_load 0", [](tools::DbSpec& s) { s.max_load = 0; }},
      {"max_load above 1", [](tools::DbSpec& s) { s.max_load = 1.5; }},
  };
  for (const Case& c : cases) {
    tools::DbSpec desc = small_spec();
    c.edit(desc);
    auto e = tools::encode_database(desc);
    EXPECT_FALSE(e.has_value()) << c.what;
    if (!e) {
      EXPECT_FALSE(e.error().message().empty());
    }
  }
}

TEST(Writer, LayoutAndCellGrouping) {
  tools::DbSpec desc = small_spec();
  std::reverse(desc.bands[0].star_ids.begin(), desc.bands[0].star_ids.end());
  auto e = tools::encode_database(desc);
  ASSERT_TRUE(e.has_value());
  const DbHeader h = header_of(e->bytes);
  for (const SectionRef& s : {h.stars, h.star_lists, h.cell_offsets, h.patterns, h.slots})
    EXPECT_EQ(s.offset % 8, 0u);
  EXPECT_EQ(h.checksum, fnv1a64(std::span(e->bytes).subspan(448)));
  EXPECT_EQ(e->stats.file_bytes, e->bytes.size());

  auto db = Database::load(e->bytes, true, true);
  ASSERT_TRUE(db.has_value());
  for (size_t b = 0; b < 2; ++b) {
    const auto run = db->band_star_list(b);
    const auto off = db->band_cells(b);
    EXPECT_EQ(run.size(), desc.bands[b].star_ids.size());
    for (uint64_t cell = 0; cell + 1 < off.size(); ++cell)
      for (uint32_t pos = off[cell]; pos < off[cell + 1]; ++pos)
        ASSERT_EQ(tools::star_cell(db->star_at(run[pos]), desc.bands[b].depth), cell);
    // Within a cell the given order is kept (band 0 was given in descending id order).
    for (uint64_t cell = 0; b == 0 && cell + 1 < off.size(); ++cell)
      for (uint32_t pos = off[cell] + 1; pos < off[cell + 1]; ++pos)
        EXPECT_GT(run[pos - 1], run[pos]);
  }
  // Each stored slot carries the tag of its record's base key.
  for (const SlotRecord& slot : db->slots()) {
    if (slot.pattern_index == kEmptySlot) continue;
    const PatternRecord p = db->pattern_at(slot.pattern_index);
    const auto sky = pattern::sky_pattern({db->star_at(p.star_ids[0]), db->star_at(p.star_ids[1]),
                                           db->star_at(p.star_ids[2]), db->star_at(p.star_ids[3])});
    ASSERT_TRUE(sky.has_value());
    EXPECT_EQ(slot.tag, pattern::key_hash(pattern::base_key(sky->ratios)) >> 48);
  }
}

TEST(Writer, SkipsPatternsLargerThanTheScale) {
  tools::DbSpec desc = small_spec();
  desc.bands[0].size_scale_rad = 0.5 / kRadToDeg;  // quads of consecutive stars span degrees
  auto e = tools::encode_database(desc);
  ASSERT_TRUE(e.has_value());
  EXPECT_GT(e->stats.skipped_too_large, 0u);
  auto db = Database::load(e->bytes, true, true);
  ASSERT_TRUE(db.has_value());
  EXPECT_EQ(db->header().pattern_count,
            desc.patterns.size() - e->stats.skipped_too_large - e->stats.skipped_degenerate);
  for (const PatternRecord& p : db->patterns()) {
    const auto sky = pattern::sky_pattern({db->star_at(p.star_ids[0]), db->star_at(p.star_ids[1]),
                                           db->star_at(p.star_ids[2]), db->star_at(p.star_ids[3])});
    ASSERT_TRUE(sky.has_value());
    EXPECT_LE(sky->longest, db->bands()[p.band].size_scale_rad * (1 + 0.5 / 65535));
  }
}

TEST(Writer, WritesThroughATemporaryFile) {
  const std::string dir = ::testing::TempDir() + "kestrune_db_writer";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/kestrune.krdb";

  auto stats = tools::write_database(small_spec(), path);
  ASSERT_TRUE(stats.has_value()) << stats.error().message();
  auto mapped = cli::map_file(path);
  ASSERT_TRUE(mapped.has_value());
  EXPECT_EQ(mapped->bytes().size(), stats->file_bytes);
  EXPECT_TRUE(Database::load(mapped->bytes(), true, true).has_value());

  // A failing write (the target is a directory) leaves no file behind.
  const std::string blocked = dir + "/blocked";
  std::filesystem::create_directories(blocked + "/inner");
  auto failed = tools::write_database(small_spec(), blocked);
  ASSERT_FALSE(failed.has_value());
  EXPECT_NE(failed.error().message().find("os error"), std::string::npos) << failed.error().message();
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u) << "only the first database remains";

  EXPECT_FALSE(tools::write_database(small_spec(), dir + "/missing/kestrune.krdb").has_value());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrune
