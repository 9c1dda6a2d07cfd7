// Catalogue readers: decoding of the real files, fixtures written by cfitsio
// and by hand-made text, damaged inputs, and the duplicate merge.
#include "tools/catalog.hpp"

#include "core/wcs.hpp"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace kestrune::tools {
namespace {

namespace fs = std::filesystem;

fs::path scratch_dir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  fs::path dir = fs::path(KESTRUNE_BINARY_DIR) / "test_scratch" / "catalog" / info->name();
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

double separation_arcsec(const CatalogStar& a, const CatalogStar& b) {
  auto v = [](const CatalogStar& s) { return unit_vector(s.ra_deg / kRadToDeg, s.dec_deg / kRadToDeg); };
  return angle_between(v(a), v(b)) * kRadToDeg * 3600.0;
}

// A star table in the packed layout, written by cfitsio: MAG_VT first, then
// the range and the quantised directions, so that truncating the file cuts
// into the last table.
struct PackedStar {
  std::array<double, 3> v;
  float mag;
};

void write_packed_table(const fs::path& path, const std::vector<PackedStar>& stars, double scale) {
  int status = 0;
  fitsfile* f = nullptr;
  fs::remove(path);
  ASSERT_EQ(fits_create_file(&f, path.c_str(), &status), 0);
  ASSERT_EQ(fits_create_img(f, 8, 0, nullptr, &status), 0);
  auto table = [&](const char* name, const char* form) {
    char* ttype[] = {const_cast<char*>(name)};
    char* tform[] = {const_cast<char*>(form)};
    fits_create_tbl(f, BINARY_TBL, 0, 1, ttype, tform, nullptr, nullptr, &status);
  };
  // An unrelated table first, which the reader must pass over.
  table("quads", "4A");
  std::array<unsigned char, 4> junk{1, 2, 3, 4};
  fits_write_tblbytes(f, 1, 1, 4, junk.data(), &status);

  table("MAG_VT", "1E");
  std::vector<float> mags;
  for (auto& s : stars) mags.push_back(s.mag);
  fits_write_col(f, TFLOAT, 1, 1, 1, static_cast<long>(mags.size()), mags.data(), &status);

  const std::array<double, 3> lo{-1.0, -1.0, -1.0};
  table("kdtree_range_stars", "8A");
  std::array<double, 7> range{lo[0], lo[1], lo[2], 1.0, 1.0, 1.0, scale};
  std::array<unsigned char, 56> range_bytes;
  std::memcpy(range_bytes.data(), range.data(), 56);  // little-endian host
  fits_write_tblbytes(f, 1, 1, 56, range_bytes.data(), &status);

  table("kdtree_data_stars", "12A");
  std::vector<unsigned char> data(stars.size() * 12);
  for (size_t i = 0; i < stars.size(); ++i)
    for (int a = 0; a < 3; ++a) {
      const auto q = static_cast<uint32_t>(std::llround((stars[i].v[a] - lo[a]) * scale));
      std::memcpy(data.data() + 12 * i + 4 * a, &q, 4);
    }
  fits_write_tblbytes(f, 1, 1, static_cast<LONGLONG>(data.size()), data.data(), &status);
  fits_close_file(f, &status);
  ASSERT_EQ(status, 0);
}

std::vector<PackedStar> random_packed_stars(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g;
  std::uniform_real_distribution<float> m(2.0f, 12.0f);
  std::vector<PackedStar> stars;
  for (size_t i = 0; i < n; ++i) {
    std::array<double, 3> v{g(rng), g(rng), g(rng)};
    const double len = std::hypot(v[0], v[1], v[2]);
    for (double& c : v) c /= len;
    stars.push_back({v, m(rng)});
  }
  return stars;
}

TEST(Tycho2Table, DecodesDirectionsAndMagnitudesOfACfitsioFixture) {
  const fs::path path = scratch_dir() / "stars.fits";
  auto stars = random_packed_stars(3000, 7);
  stars[0] = {{0, 0, 1}, -0.5f};   // north pole
  stars[1] = {{1, 0, 0}, 11.25f};  // RA 0, Dec 0
  stars[2] = {{0, -1, 0}, 3.0f};   // RA 270
  const double scale = 2e9;        // quantum 5e-10 of the unit vector: 0.0001"
  write_packed_table(path, stars, scale);

  auto read = read_tycho2_fits(path.string());
  ASSERT_TRUE(read) << read.error();
  ASSERT_EQ(read->size(), stars.size());
  for (size_t i = 0; i < stars.size(); ++i) {
    const auto& v = stars[i].v;
    double ra = std::atan2(v[1], v[0]) * kRadToDeg;
    if (ra < 0) ra += 360.0;
    const CatalogStar want{ra, std::asin(v[2]) * kRadToDeg, stars[i].mag};
    ASSERT_LT(separation_arcsec((*read)[i], want), 0.01) << "row " << i + 1;
    ASSERT_EQ((*read)[i].mag, stars[i].mag) << "row " << i + 1;
  }
  EXPECT_NEAR((*read)[0].dec_deg, 90.0, 1e-6);
  EXPECT_NEAR((*read)[1].ra_deg, 0.0, 1e-6);
  EXPECT_NEAR((*read)[2].ra_deg, 270.0, 1e-6);
}

TEST(Tycho2Table, RealFileAgreesWithTheBrightStarTable) {
  const auto paths = default_catalog_paths(KESTRUNE_CACHE_DIR);
  if (!fs::exists(paths[0]) || !fs::exists(paths[1])) GTEST_SKIP() << "catalogues not fetched";
  auto tycho = read_tycho2_fits(paths[0]);
  ASSERT_TRUE(tycho) << tycho.error();
  EXPECT_EQ(tycho->size(), 1'871'011u);
  auto bright = read_kstars_dat(paths[1]);
  ASSERT_TRUE(bright) << bright.error();

  // Every 500th bright star of magnitude 7 to 8 has a Tycho partner within a
  // few arc seconds and about a magnitude: this pins the decoding of the
  // packed directions (axis order, offsets, endianness) to an independent table.
  std::vector<CatalogStar> sample;
  for (size_t i = 0; i < bright->size(); i += 500)
    if ((*bright)[i].mag >= 7.0f && (*bright)[i].mag <= 8.0f) sample.push_back((*bright)[i]);
  ASSERT_GT(sample.size(), 40u);
  size_t found = 0;
  for (const auto& s : sample) {
    const double cos_dec = std::max(std::cos(s.dec_deg / kRadToDeg), 1e-3);
    for (const auto& t : *tycho) {
      if (std::fabs(t.dec_deg - s.dec_deg) > 0.01) continue;
      double dra = std::fabs(t.ra_deg - s.ra_deg);
      dra = std::min(dra, 360.0 - dra);
      if (dra * cos_dec > 0.01) continue;
      if (separation_arcsec(s, t) < 5.0 && std::fabs(s.mag - t.mag) < 1.0) {
        ++found;
        break;
      }
    }
  }
  // The Tycho table is thinned in crowded fields, so a few partners are missing.
  EXPECT_GE(found * 10, sample.size() * 8) << found << " of " << sample.size();
  for (const auto& t : *tycho) {
    ASSERT_TRUE(t.ra_deg >= 0 && t.ra_deg < 360 && t.dec_deg >= -90 && t.dec_deg <= 90);
    ASSERT_TRUE(t.mag > -2 && t.mag < 17) << t.mag;
  }
}

TEST(BrightStarTable, ReadsTheRealFile) {
  const auto path = default_catalog_paths(KESTRUNE_CACHE_DIR)[1];
  if (!fs::exists(path)) GTEST_SKIP() << "catalogues not fetched";
  auto stars = read_kstars_dat(path);
  ASSERT_TRUE(stars) << stars.error();
  EXPECT_GT(stars->size(), 120'000u);
  // The first entry is Sirius: 06 45 08.92, -16 42 58.0, magnitude -1.44.
  const auto& first = stars->front();
  EXPECT_NEAR(first.ra_deg, (6 + 45 / 60.0 + 8.92 / 3600.0) * 15.0, 1e-9);
  EXPECT_NEAR(first.dec_deg, -(16 + 42 / 60.0 + 58.0 / 3600.0), 1e-9);
  EXPECT_FLOAT_EQ(first.mag, -1.44f);
}

TEST(BrightStarTable, ParsesFixedColumnsAndSkipsComments) {
  const fs::path path = scratch_dir() / "stars.dat";
  write_text(path,
             "# comment line\n"
             "\n"
             "000000.00 +000000.0 -000546.0-001223.100379.2 05.0000.01A0 1            , a\n"
             "235959.99 -895959.9 +000020.0+000023.700010.4 -0.6200.16F0 0            , b\n"
             "120000.00 +300000.0 +000020.0+000023.700010.4 12.5000.16F0 0\n");
  auto stars = read_kstars_dat(path.string());
  ASSERT_TRUE(stars) << stars.error();
  ASSERT_EQ(stars->size(), 3u);
  EXPECT_DOUBLE_EQ((*stars)[0].ra_deg, 0.0);
  EXPECT_DOUBLE_EQ((*stars)[0].dec_deg, 0.0);
  EXPECT_FLOAT_EQ((*stars)[0].mag, 5.0f);
  EXPECT_NEAR((*stars)[1].ra_deg, 360.0 - 0.01 / 240.0, 1e-9);
  EXPECT_NEAR((*stars)[1].dec_deg, -(90.0 - 0.1 / 3600.0), 1e-9);
  EXPECT_FLOAT_EQ((*stars)[1].mag, -0.62f);
  EXPECT_DOUBLE_EQ((*stars)[2].ra_deg, 180.0);
  EXPECT_DOUBLE_EQ((*stars)[2].dec_deg, 30.0);
}

TEST(CsvCatalog, ReadsColumnsByHeaderName) {
  const fs::path path = scratch_dir() / "gaia.csv";
  write_text(path,
             "source_id, mag ,dec_deg,ra_deg\r\n"
             "1,10.5,-30.25,350.5\r\n"
             "\n"
             "2,+3,89.9,-10\n"
             "3,7,0,360\n");
  auto stars = read_csv_catalog(path.string());
  ASSERT_TRUE(stars) << stars.error();
  ASSERT_EQ(stars->size(), 3u);
  EXPECT_DOUBLE_EQ((*stars)[0].ra_deg, 350.5);
  EXPECT_DOUBLE_EQ((*stars)[0].dec_deg, -30.25);
  EXPECT_FLOAT_EQ((*stars)[0].mag, 10.5f);
  EXPECT_DOUBLE_EQ((*stars)[1].ra_deg, 350.0);
  EXPECT_FLOAT_EQ((*stars)[1].mag, 3.0f);
  EXPECT_DOUBLE_EQ((*stars)[2].ra_deg, 0.0);
  auto by_name = read_catalog(path.string());
  ASSERT_TRUE(by_name);
  EXPECT_EQ(by_name->size(), 3u);
}

TEST(CatalogReaders, RejectDamagedFilesNamingFileAndLine) {
  const fs::path dir = scratch_dir();
  struct Case {
    const char* name;
    std::string text;
    std::string where;  // expected in the message besides the path
  };
  const std::string header = "ra_deg,dec_deg,mag\n";
  const std::string good_dat = "000000.00 +000000.0 -000546.0-001223.100379.2 05.0000.01A0 1\n";
  const std::vector<Case> cases = {
      {"bad_number.csv", header + "1,2,3\n10,20,abc\n", "line 3"},
      {"short_row.csv", header + "1,2,3\n4,5\n", "line 3"},
      {"long_row.csv", header + "1,2,3,4\n", "line 2"},
      {"dec_range.csv", header + "1,2,3\n\n1,95,3\n", "line 4"},
      {"nan.csv", header + "nan,2,3\n", "line 2"},
      {"no_mag.csv", "ra_deg,dec_deg,vmag\n1,2,3\n", "line 1"},
      {"empty.csv", "", "header"},
      {"short_line.dat", "# c\n" + good_dat + "000000.00 +000000.0\n", "line 3"},
      {"bad_minutes.dat", good_dat + "006100.00 +000000.0 -000546.0-001223.100379.2 05.0000.01A0 1\n",
       "line 2"},
      {"bad_sign.dat", good_dat + good_dat + "000000.00 x000000.0 -000546.0-001223.100379.2 05.0000.01A0 1\n",
       "line 3"},
      {"bad_mag.dat", "000000.00 +000000.0 -000546.0-001223.100379.2 0x.0000.01A0 1\n", "line 1"},
  };
  for (const auto& c : cases) {
    const fs::path path = dir / c.name;
    write_text(path, c.text);
    auto read = read_catalog(path.string());
    ASSERT_FALSE(read) << c.name;
    EXPECT_NE(read.error().find(path.string()), std::string::npos) << read.error();
    EXPECT_NE(read.error().find(c.where), std::string::npos) << read.error();
  }
  auto missing = read_catalog((dir / "absent.csv").string());
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().find("absent.csv"), std::string::npos);
}

TEST(Tycho2Table, RejectsTruncatedAndIncompleteFiles) {
  const fs::path dir = scratch_dir();
  const fs::path whole = dir / "whole.fits";
  write_packed_table(whole, random_packed_stars(5000, 3), 1e9);
  const auto size = fs::file_size(whole);

  // Cut inside the direction table (the last one): 5000 rows of 12 bytes.
  const fs::path cut = dir / "cut.fits";
  fs::copy_file(whole, cut);
  fs::resize_file(cut, size - 30000);
  auto read = read_tycho2_fits(cut.string());
  ASSERT_FALSE(read);
  EXPECT_NE(read.error().find(cut.string()), std::string::npos) << read.error();
  EXPECT_NE(read.error().find("row"), std::string::npos) << read.error();

  // A FITS file without the star table.
  const fs::path other = dir / "other.fits";
  int status = 0;
  fitsfile* f = nullptr;
  fits_create_file(&f, other.c_str(), &status);
  fits_create_img(f, 8, 0, nullptr, &status);
  fits_close_file(f, &status);
  auto none = read_tycho2_fits(other.string());
  ASSERT_FALSE(none);
  EXPECT_NE(none.error().find("kdtree_data_stars"), std::string::npos) << none.error();

  write_text(dir / "text.fits", "not a fits file at all");
  auto text = read_tycho2_fits((dir / "text.fits").string());
  ASSERT_FALSE(text);
  EXPECT_NE(text.error().find("text.fits"), std::string::npos);
}

CatalogStar offset(const CatalogStar& s, double north_arcsec, double east_arcsec, float dmag) {
  const double dec = s.dec_deg + north_arcsec / 3600.0;
  double ra = s.ra_deg + east_arcsec / 3600.0 / std::cos(s.dec_deg / kRadToDeg);
  ra = std::fmod(ra + 360.0, 360.0);
  return {ra, dec, s.mag + dmag};
}

TEST(MergeCatalogs, MergesCloseStarsOfSimilarMagnitude) {
  struct Case {
    const char* name;
    CatalogStar base;
    double north, east;
    float dmag;
    bool merged;
  };
  const std::vector<Case> cases = {
      {"2 arcsec, 0.5 mag", {10, 20, 8}, 2, 0, 0.5f, true},
      {"2.9 arcsec east", {200, -40, 8}, 0, 2.9, 0.2f, true},
      {"3.2 arcsec", {10, 20, 8}, 3.2, 0, 0.1f, false},
      {"1 arcsec, 1.5 mag", {10, 20, 8}, 1, 0, 1.5f, false},
      {"1 arcsec, fainter by 0.9", {10, 20, 8}, 0, 1, -0.9f, true},
      {"across RA 0", {359.9997, 5, 6}, 0, 2.0, 0.1f, true},
      {"near the pole", {45, 89.9995, 6}, 0, 2.5, 0.3f, true},
  };
  for (const auto& c : cases) {
    const CatalogStar other = offset(c.base, c.north, c.east, c.dmag);
    const CatalogStar far{std::fmod(c.base.ra_deg + 90, 360.0), 0, 9};
    auto merged = merge_catalogs({far, c.base, other});
    ASSERT_EQ(merged.size(), c.merged ? 2u : 3u) << c.name;
    if (c.merged) {
      const CatalogStar& brighter = c.dmag >= 0 ? c.base : other;
      EXPECT_TRUE(std::ranges::any_of(merged, [&](const CatalogStar& s) {
        return s.ra_deg == brighter.ra_deg && s.dec_deg == brighter.dec_deg;
      })) << c.name;
    }
  }
}

TEST(MergeCatalogs, ResultIsSortedAndIndependentOfInputOrder) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> ra(10, 11), dec(-5, -4);
  std::uniform_real_distribution<float> mag(5, 9);
  std::vector<CatalogStar> stars;
  for (int i = 0; i < 4000; ++i) stars.push_back({ra(rng), dec(rng), mag(rng)});
  // Duplicates of a quarter of them, as a second catalogue would carry them.
  for (int i = 0; i < 1000; ++i) stars.push_back(offset(stars[static_cast<size_t>(i)], 0.5, -0.5, 0.2f));
  auto merged = merge_catalogs(stars);
  EXPECT_TRUE(std::ranges::is_sorted(merged, {}, &CatalogStar::mag));
  EXPECT_LE(merged.size(), 4000u);
  EXPECT_GT(merged.size(), 3500u);
  std::ranges::shuffle(stars, rng);
  auto again = merge_catalogs(stars);
  ASSERT_EQ(again.size(), merged.size());
  for (size_t i = 0; i < merged.size(); ++i) {
    ASSERT_EQ(again[i].ra_deg, merged[i].ra_deg);
    ASSERT_EQ(again[i].dec_deg, merged[i].dec_deg);
  }
  // No two survivors within 3" and 1 mag of each other (brute force).
  for (size_t i = 0; i < merged.size(); ++i)
    for (size_t j = i + 1; j < merged.size(); ++j)
      if (std::fabs(merged[i].dec_deg - merged[j].dec_deg) < 0.001 &&
          std::fabs(merged[i].mag - merged[j].mag) <= 1.0f) {
        ASSERT_GT(separation_arcsec(merged[i], merged[j]), 3.0) << i << " " << j;
      }
}

}  // namespace
}  // namespace kestrune::tools
