#include "core/fits.hpp"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "tests/support/image_fixtures.hpp"
#include "tests/support/process.hpp"

namespace kestrune::fits {
namespace {

using testing::FitsKey;
using testing::FitsSpec;
using testing::TempDir;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A header typed card by card: each text padded to 80 columns.
std::string cards(std::initializer_list<std::string> texts) {
  std::string out;
  for (const auto& t : texts) {
    out += t;
    out.resize((out.size() + kCardBytes - 1) / kCardBytes * kCardBytes, ' ');
  }
  return out;
}

using testing::bytes_of;
using testing::read_bytes;

const std::string kSimple = "SIMPLE  =                    T";
const std::string kEnd = "END";

TEST(FitsHeader, FirstCardAndTruncation) {
  struct Case {
    const char* name;
    std::string file;
    std::optional<FitsErrorKind> error;
    size_t data_offset = 0;
  };
  std::string filler;
  for (int i = 0; i < 34; ++i) filler += cards({"COMMENT filler"});
  const Case cases[] = {
      {"79 bytes", cards({kSimple}).substr(0, 79), FitsErrorKind::NotFits},
      {"one space before =", cards({"SIMPLE =                     T", kEnd}), FitsErrorKind::NotFits},
      {"SIMPLE = F", cards({"SIMPLE  =                    F", kEnd}), FitsErrorKind::NotFits},
      {"not FITS at all", std::string(200, 'x'), FitsErrorKind::NotFits},
      {"only the SIMPLE card", cards({kSimple}), FitsErrorKind::Truncated},
      {"END card cut short", cards({kSimple}) + "END", FitsErrorKind::Truncated},
      {"T with comment", cards({"SIMPLE  =                    T / conforms", kEnd}), {}, 2880},
      {"ends right after END", cards({kSimple, kEnd}), {}, 2880},
      // 35 cards before END: END at 2800, data at 2880.
      {"END at 2800", cards({kSimple}) + filler + cards({kEnd}), {}, 2880},
      {"END at 2880", cards({kSimple}) + filler + cards({"COMMENT x", kEnd}), {}, 5760},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto scan = scan_header(bytes_of(c.file));
    if (c.error) {
      ASSERT_FALSE(scan.has_value());
      EXPECT_EQ(scan.error().kind, *c.error);
    } else {
      ASSERT_TRUE(scan.has_value()) << scan.error().message();
      EXPECT_EQ(scan->data_offset, c.data_offset);
      ASSERT_FALSE(scan->header.cards.empty());
      EXPECT_EQ(scan->header.cards[0], (Card{"SIMPLE", "T"}));
    }
  }
}

TEST(FitsHeader, WhichCardsAreKept) {
  std::string file = cards({kSimple, "BSCALE  =                    2", "BSCALE  =                    3",
                            "naxis1  =                   10", "NAXIS2  =20", "NAXIS3 = 5",
                            "COMMENT = not a value", "HISTORY   x", "  LEAD  = 'kept'",
                            "        = 'no keyword'", kEnd, "AFTER   =                    1"});
  auto scan = scan_header(bytes_of(file));
  ASSERT_TRUE(scan.has_value());
  const std::vector<Card> expected = {
      {"SIMPLE", "T"}, {"BSCALE", "2"}, {"BSCALE", "3"}, {"naxis1", "10"},
      {"COMMENT", "not a value"}, {"  LEAD", "kept"}};
  EXPECT_EQ(scan->header.cards, expected);
  EXPECT_EQ(lookup_f64(scan->header.cards, "BSCALE"), 2.0);  // the first one counts
  EXPECT_EQ(lookup_f64(scan->header.cards, "NAXIS1"), std::nullopt);
  EXPECT_EQ(scan->header.keyword("  LEAD"), "kept");
  EXPECT_EQ(scan->header.keyword("AFTER"), std::nullopt);
}

TEST(FitsHeader, CardTextReplacesHighBytes) {
  std::string card = cards({"OBJECT  = 'caf\xc3\xa9'"});
  std::string text = card_str(bytes_of(card));
  EXPECT_EQ(text.size(), 80u);
  EXPECT_EQ(text.substr(0, 17), "OBJECT  = 'caf?" "?'");
}

TEST(FitsHeader, ValueSyntax) {
  struct Case {
    std::string field;
    std::string value;
  };
  const Case cases[] = {
      {" 'M 31''s core  ' / name", "M 31's core"},
      {"                120.5 / seconds", "120.5"},
      {"'  lead kept'", "  lead kept"},
      {"'no closing quote   ", "no closing quote"},
      {"''", ""},
      {"'a''' / x", "a'"},
      {"'x'y'", "x"},
      {"                    ", ""},
      {"  T", "T"},
      {"\t1.2D+2\t/ tab", "1.2D+2"},
      {"/ only a comment", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_value(c.field), c.value) << c.field;
}

TEST(FitsHeader, NumericLookup) {
  struct Case {
    std::string text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"120.5", 120.5},     {"1.2D+2", 120.0},    {"1.2d+2", 120.0},   {"-3", -3.0},
      {"+4.", 4.0},         {".5", 0.5},          {"1e3", 1000.0},     {"1E-2", 0.01},
      {"INF", kInf},        {"-Infinity", -kInf}, {"1e400", kInf},     {"", std::nullopt},
      {" 1", std::nullopt}, {"1 ", std::nullopt}, {".", std::nullopt}, {"1e", std::nullopt},
      {"abc", std::nullopt}, {"0x10", std::nullopt}, {"T", std::nullopt},
      {"1.5.2", std::nullopt},
  };
  for (const auto& c : cases) {
    std::vector<Card> cs = {{"X", c.text}};
    EXPECT_EQ(lookup_f64(cs, "X"), c.value) << "'" << c.text << "'";
  }
  std::vector<Card> nan = {{"X", "nan"}};
  ASSERT_TRUE(lookup_f64(nan, "X").has_value());
  EXPECT_TRUE(std::isnan(*lookup_f64(nan, "X")));
  EXPECT_EQ(lookup_f64(nan, "Y"), std::nullopt);
}

TEST(FitsHeader, IntegerKeywords) {
  struct Case {
    std::string text;
    std::expected<int64_t, std::string> result;  // value or FitsError text
  };
  const Case cases[] = {
      {"16", 16},
      {"16.0", 16},
      {"-64", -64},
      {"100.5", std::unexpected("unsupported FITS: NAXIS1 = 100.5")},
      {"0.00000015", std::unexpected("unsupported FITS: NAXIS1 = 0.00000015")},
      {"nan", std::unexpected("unsupported FITS: NAXIS1 = NaN")},
      {"-inf", std::unexpected("unsupported FITS: NAXIS1 = -inf")},
      {"abc", std::unexpected("unsupported FITS: missing NAXIS1")},
      {"1e30", std::numeric_limits<int64_t>::max()},
      {"-1e30", std::numeric_limits<int64_t>::min()},
  };
  for (const auto& c : cases) {
    std::vector<Card> cs = {{"NAXIS1", c.text}};
    auto r = int_keyword(cs, "NAXIS1");
    if (c.result) {
      ASSERT_TRUE(r.has_value()) << c.text;
      EXPECT_EQ(*r, *c.result);
    } else {
      ASSERT_FALSE(r.has_value()) << c.text;
      EXPECT_EQ(r.error().message(), c.result.error());
    }
  }
  auto missing = int_keyword({}, "NAXIS2");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(), "unsupported FITS: missing NAXIS2");
}

TEST(FitsError, Texts) {
  EXPECT_EQ((FitsError{FitsErrorKind::NotFits, {}}).message(), "not a FITS file");
  EXPECT_EQ((FitsError{FitsErrorKind::Truncated, {}}).message(), "truncated FITS file");
  EXPECT_EQ((FitsError{FitsErrorKind::Unsupported, "BITPIX = 8"}).message(),
            "unsupported FITS: BITPIX = 8");
}

// Description checks in their order, on headers that cfitsio wrote.
TEST(FitsImage, RejectsUnsupportedDescriptions) {
  TempDir dir;
  struct Case {
    const char* name;
    FitsSpec desc;
    std::string message;
  };
  const Case cases[] = {
      {"BITPIX 8", {8, {4, 3}, std::vector<double>(12, 1.0), {}}, "unsupported FITS: BITPIX = 8"},
      {"BITPIX 64", {64, {4, 3}, {}, {}}, "unsupported FITS: BITPIX = 64"},
      {"NAXIS 1", {16, {4}, {}, {}}, "unsupported FITS: NAXIS = 1"},
      {"NAXIS 4", {16, {2, 2, 1, 1}, {}, {}}, "unsupported FITS: NAXIS = 4"},
      {"NAXIS3 2", {16, {2, 2, 2}, {}, {}}, "unsupported FITS: NAXIS3 = 2"},
      {"NAXIS1 0", {16, {0, 5}, {}, {}}, "unsupported FITS: NAXIS1\u00d7NAXIS2 = 0\u00d75"},
      {"I16 BZERO 1000", {16, {2, 2}, {}, {{"BZERO", 1000.0}}}, "unsupported FITS: BZERO = 1000"},
      {"I16 BSCALE 2", {16, {2, 2}, {}, {{"BSCALE", 2.0}}}, "unsupported FITS: BSCALE = 2"},
      {"I16 BZERO checked first",
       {16, {2, 2}, {}, {{"BSCALE", 2.0}, {"BZERO", 0.5}}},
       "unsupported FITS: BZERO = 0.5"},
      {"F32 BSCALE 0",
       {-32, {2, 2}, {}, {{"BSCALE", 0.0}}},
       "unsupported FITS: BSCALE = 0, BZERO = 0"},
      {"I32 BZERO inf",
       {32, {2, 2}, {}, {{"BZERO", std::string("inf")}}},
       "unsupported FITS: BSCALE = 1, BZERO = inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto path = dir / "x.fits";
    testing::write_fits(path, c.desc);
    auto bytes = read_bytes(path);
    auto img = FitsImage::parse(bytes);
    ASSERT_FALSE(img.has_value());
    EXPECT_EQ(img.error().message(), c.message);
  }
}

// Integer-valued cards in forms no FITS writer produces.
TEST(FitsImage, ReadsIntegerCardsAsNumbers) {
  struct Case {
    std::vector<std::string> cards;
    std::string message;  // empty: accepted
  };
  const std::string data(2880, '\0');
  const Case cases[] = {
      {{"BITPIX  =                 16.0", "NAXIS   = 2", "NAXIS1  = 2", "NAXIS2  = 2"}, ""},
      {{"BITPIX  =                 16.5"}, "unsupported FITS: BITPIX = 16.5"},
      {{"BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 'abc'", "NAXIS2  = 2"},
       "unsupported FITS: missing NAXIS1"},
      {{"BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 2"}, "unsupported FITS: missing NAXIS2"},
      {{"BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = -3", "NAXIS2  = 2.5"},
       "unsupported FITS: NAXIS2 = 2.5"},
      {{"BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = -3", "NAXIS2  = 2"},
       "unsupported FITS: NAXIS1\u00d7NAXIS2 = -3\u00d72"},
      {{"BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 4294967296", "NAXIS2  = 1"},
       "unsupported FITS: NAXIS1\u00d7NAXIS2 = 4294967296\u00d71"},
      {{"BITPIX  = -64", "NAXIS   = 3", "NAXIS3  = 3", "NAXIS1  = 4294967295",
        "NAXIS2  = 4294967295"},
       "unsupported FITS: image too large"},
      {{"BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 4294967295", "NAXIS2  = 1"},
       "truncated FITS file"},
  };
  for (const auto& c : cases) {
    std::string header = cards({kSimple});
    for (const auto& card : c.cards) header += cards({card});
    header += cards({kEnd});
    header.resize(2880, ' ');
    std::string file = header + data;
    auto img = FitsImage::parse(bytes_of(file));
    if (c.message.empty()) {
      ASSERT_TRUE(img.has_value()) << img.error().message();
      EXPECT_EQ(img->bitpix, 16);
    } else {
      ASSERT_FALSE(img.has_value()) << c.cards.front();
      EXPECT_EQ(img.error().message(), c.message);
    }
  }
}

TEST(FitsImage, DataMustBeComplete) {
  TempDir dir;
  auto path = dir / "d.fits";
  testing::write_fits(path, {-32, {10, 7}, std::vector<double>(70, 1.0), {}});
  const size_t end = testing::fits_data_offset(path) + 70 * 4;
  struct Case {
    size_t size;
    bool ok;
  };
  for (Case c : {Case{end - 1, false}, Case{end, true}, Case{end + 100, true}}) {
    std::filesystem::resize_file(path, c.size);
    auto bytes = read_bytes(path);
    auto img = FitsImage::parse(bytes);
    EXPECT_EQ(img.has_value(), c.ok) << c.size;
    if (!c.ok) {
      EXPECT_EQ(img.error().kind, FitsErrorKind::Truncated);
    } else {
      EXPECT_EQ(img->data.size(), 70u * 4);
    }
  }
}

TEST(FitsImage, ViewsDescriptionAndData) {
  TempDir dir;
  auto path = dir / "rgb.fits";
  testing::write_fits(path, {32,
                             {3, 2, 3},
                             std::vector<double>(18, 5.0),
                             {{"BZERO", 10.0}, {"BSCALE", 0.5}, {"BAYERPAT", std::string("RGGB")}}});
  auto bytes = read_bytes(path);
  auto img = FitsImage::parse(bytes);
  ASSERT_TRUE(img.has_value()) << img.error().message();
  EXPECT_EQ(img->width, 3u);
  EXPECT_EQ(img->height, 2u);
  EXPECT_EQ(img->planes, 3u);
  EXPECT_EQ(img->bitpix, 32);
  EXPECT_EQ(img->sample.kind, Sample::I32);
  EXPECT_EQ(img->bzero, 10.0);
  EXPECT_EQ(img->bscale, 0.5);
  EXPECT_EQ(img->bayer_pattern, "RGGB");
  EXPECT_EQ(img->data.data(), bytes.data() + testing::fits_data_offset(path));
  EXPECT_EQ(img->data.size(), 18u * 4);
}

TEST(FitsImage, SampleRead) {
  const unsigned char i16[] = {0xFF, 0xFE};
  const unsigned char i32[] = {0x80, 0, 0, 0};
  const unsigned char f32[] = {0x3F, 0xC0, 0, 0};
  const unsigned char f64[] = {0xC0, 0x04, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Sample::read(Sample::I16, std::as_bytes(std::span(i16))), -2.0);
  EXPECT_EQ(Sample::read(Sample::I32, std::as_bytes(std::span(i32))), -2147483648.0);
  EXPECT_EQ(Sample::read(Sample::F32, std::as_bytes(std::span(f32))), 1.5);
  EXPECT_EQ(Sample::read(Sample::F64, std::as_bytes(std::span(f64))), -2.5);
}

// Files from cfitsio, every sample kind and scaling, with the expected plane.
TEST(FitsImage, ToSamples) {
  TempDir dir;
  struct Case {
    const char* name;
    FitsSpec desc;
    std::vector<uint16_t> plane;
  };
  const Case cases[] = {
      {"I16 unsigned (BZERO 32768)",
       {16, {4, 1}, {-32768, -1, 0, 32767}, {{"BZERO", 32768.0}}},
       {0, 32767, 32768, 65535}},
      {"I16 signed: negatives cut, not shifted",
       {16, {4, 1}, {-5, 0, 7, 32767}, {}},
       {0, 0, 7, 32767}},
      {"NAXIS3 1 reads as two axes",
       {16, {2, 2, 1}, {-32768, 0, 1, 2}, {{"BZERO", 32768.0}}},
       {0, 32768, 32769, 32770}},
      {"F32 unit range stretched", {-32, {3, 1}, {0.0, 0.5, 1.0}, {}}, {0, 32768, 65535}},
      {"F32 up to 1000 rounded, not scaled",
       {-32, {4, 1}, {0.0, 2.4, 10.5, 1000.0}, {}},
       {0, 2, 11, 1000}},
      {"F32 negatives shifted up", {-32, {3, 1}, {-10.0, 0.0, 5.5}, {}}, {0, 10, 16}},
      {"I32 compressed into 16 bits", {32, {3, 1}, {-100, 19900, 99900}, {}}, {0, 13107, 65535}},
      {"I32 BSCALE and BZERO applied",
       {32, {2, 1}, {0, 5}, {{"BSCALE", 2.0}, {"BZERO", 10.0}}},
       {10, 20}},
      {"I16 three planes averaged", {16, {2, 1, 3}, {1, 0, 2, 0, 2, 3}, {}}, {2, 1}},
      {"I16 three planes, unsigned",
       {16, {1, 1, 3}, {-32768, -32768, -32767}, {{"BZERO", 32768.0}}},
       {0}},
      {"F64 NaN only", {-64, {3, 1}, {kNaN, kNaN, kNaN}, {}}, {0, 0, 0}},
      {"F64 non-finite values left out of the range",
       {-64, {5, 1}, {1.0, kInf, -kInf, kNaN, 3.0}, {}},
       {1, 65535, 0, 0, 3}},
      {"F64 all equal and negative", {-64, {2, 1}, {-4.0, -4.0}, {}}, {0, 0}},
      // The range comes from the stored extremes: a negative BSCALE swaps
      // them, and one that overflows there falls back to scaling each value.
      {"I32 negative BSCALE", {32, {3, 1}, {0, 5, 10}, {{"BSCALE", -2.0}}}, {20, 10, 0}},
      {"F64 scaling overflows at the top",
       {-64, {3, 1}, {1.0, 2.0, 1e308}, {{"BSCALE", 10.0}}},
       {10, 20, 65535}},
      {"F32 signed zeros and subnormals", {-32, {3, 1}, {-0.0, 1e-40, 2.0}, {}}, {0, 0, 2}},
      {"F32 three planes, NaN in one", {-32, {2, 1, 3}, {1, 2, kNaN, 4, 3, 6}, {}}, {0, 4}},
      {"F32 negative infinity the only extreme", {-32, {3, 1}, {-kInf, 7.0, 9.0}, {}}, {0, 7, 9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto path = dir / "s.fits";
    testing::write_fits(path, c.desc);
    auto bytes = read_bytes(path);
    auto img = FitsImage::parse(bytes);
    ASSERT_TRUE(img.has_value()) << img.error().message();
    SamplePlane plane = img->to_samples();
    EXPECT_EQ(plane.width, static_cast<uint32_t>(c.desc.axes[0]));
    EXPECT_EQ(plane.height, static_cast<uint32_t>(c.desc.axes[1]));
    EXPECT_EQ(plane.samples, c.plane);
  }
}

// cfitsio's own reading of unsigned 16-bit data is the reference.
TEST(FitsImage, UnsignedPlaneMatchesCfitsio) {
  TempDir dir;
  auto path = dir / "u16.fits";
  const long w = 67, h = 41;
  std::vector<double> raw(w * h);
  uint32_t state = 12345;
  for (auto& v : raw) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<int16_t>(state >> 16);
  }
  testing::write_fits(path, {16, {w, h}, raw, {{"BZERO", 32768.0}}});

  fitsfile* f = nullptr;
  int status = 0, anynul = 0;
  std::vector<unsigned short> expected(w * h);
  fits_open_file(&f, path.c_str(), READONLY, &status);
  fits_read_img(f, TUSHORT, 1, w * h, nullptr, expected.data(), &anynul, &status);
  fits_close_file(f, &status);
  ASSERT_EQ(status, 0);

  auto bytes = read_bytes(path);
  auto img = FitsImage::parse(bytes);
  ASSERT_TRUE(img.has_value());
  auto plane = img->to_samples();
  EXPECT_EQ(plane.samples, std::vector<uint16_t>(expected.begin(), expected.end()));
}

// to_samples reports every block of the data it has read, and reporting
// changes nothing in the plane.
TEST(FitsImage, ReportsTheDataItIsDoneWith) {
  TempDir dir;
  const long w = 301, h = 257;  // several blocks, the last one partial
  std::vector<double> raw(w * h * 3);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<double>((i * 7919) % 4001) - 500;
  struct Case {
    const char* name;
    FitsSpec desc;
  };
  const Case cases[] = {
      {"I16 one plane",
       {16, {w, h}, std::vector<double>(raw.begin(), raw.begin() + w * h), {{"BZERO", 32768.0}}}},
      {"F32 three planes", {-32, {w, h, 3}, raw, {}}},
      {"F64 three planes", {-64, {w, h, 3}, raw, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto path = dir / "r.fits";
    testing::write_fits(path, c.desc);
    auto bytes = read_bytes(path);
    auto img = FitsImage::parse(bytes);
    ASSERT_TRUE(img.has_value());
    std::vector<bool> reported(img->data.size());
    bool inside = true;
    auto done = [&](std::span<const std::byte> part) {
      inside = inside && part.data() >= img->data.data() &&
               part.data() + part.size() <= img->data.data() + img->data.size();
      if (!inside) return;
      std::fill_n(reported.begin() + (part.data() - img->data.data()), part.size(), true);
    };
    EXPECT_EQ(img->to_samples(done).samples, img->to_samples().samples);
    EXPECT_TRUE(inside);
    EXPECT_EQ(std::count(reported.begin(), reported.end(), false), 0);
  }
}

}  // namespace
}  // namespace kestrune::fits
