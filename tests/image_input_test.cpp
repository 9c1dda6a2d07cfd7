// g++ 12 at -O2 takes the empty vectors in the TIFF case table for
// "maybe uninitialized" inside the standard headers (a false positive of that
// release), so the warning is off for this file before those headers come in.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "core/image_input.hpp"

#include <gtest/gtest.h>
#include <zlib.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "cli/image_access.hpp"
#include "tests/support/image_fixtures.hpp"
#include "tests/support/process.hpp"

namespace kestrune::image_input {
namespace {

namespace fs = std::filesystem;
using testing::quoted;
using testing::run_tool;
using testing::TempDir;

using testing::read_bytes;

std::expected<DecodedImage, ImageInputError> decode_file(const fs::path& p) {
  return decode(read_bytes(p));
}

std::string message_of(const std::expected<DecodedImage, ImageInputError>& r) {
  return r ? std::string("decoded") : r.error().message();
}

// A raster known sample by sample: `channels` interleaved values per pixel.
struct Raster {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 1;
  unsigned maxval = 255;
  std::vector<uint16_t> samples;

  // The luminance plane the decoders must produce from these samples.
  std::vector<uint16_t> luminance() const {
    std::vector<uint16_t> out(size_t{width} * height);
    for (size_t i = 0; i < out.size(); ++i) {
      const uint16_t* p = &samples[i * channels];
      const unsigned sum = channels >= 3 ? p[0] + p[1] + p[2] : 0;
      if (maxval > 255) {
        out[i] = channels >= 3 ? static_cast<uint16_t>((sum + 1) / 3) : p[0];
      } else {
        out[i] = channels >= 3 ? static_cast<uint16_t>((sum * 257 + 1) / 3) : p[0] * 257;
      }
    }
    return out;
  }
};

// Odd sizes catch row-stride mistakes; `levels` limits the distinct values.
Raster noise(uint32_t w, uint32_t h, int channels, unsigned maxval, unsigned levels = 0) {
  Raster r{w, h, channels, maxval, std::vector<uint16_t>(size_t{w} * h * channels)};
  uint32_t state = 2463534242u;
  for (auto& v : r.samples) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    v = static_cast<uint16_t>(state % (maxval + 1));
    if (levels != 0) v = static_cast<uint16_t>(v % levels * (maxval / (levels - 1)));
  }
  return r;
}

fs::path write_source(const TempDir& dir, const Raster& r) {
  fs::path p = dir / (r.channels == 1 ? "src.pgm" : "src.ppm");
  testing::write_pnm(p, r.width, r.height, r.channels, r.samples, r.maxval);
  return p;
}

Raster read_pnm(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::string magic;
  Raster r;
  in >> magic >> r.width >> r.height >> r.maxval;
  in.get();
  r.channels = magic == "P6" ? 3 : 1;
  r.samples.resize(size_t{r.width} * r.height * r.channels);
  for (auto& v : r.samples) {
    v = static_cast<uint8_t>(in.get());
    if (r.maxval > 255) v = static_cast<uint16_t>(v << 8 | static_cast<uint8_t>(in.get()));
  }
  return r;
}

// Replaces {src}, {tmp} and {out} in a tool command line.
std::string expand(std::string cmd, const fs::path& src, const fs::path& tmp, const fs::path& out) {
  for (auto [key, path] : {std::pair{"{src}", src}, {"{tmp}", tmp}, {"{out}", out}}) {
    for (size_t at; (at = cmd.find(key)) != std::string::npos;) {
      cmd.replace(at, std::string_view(key).size(), quoted(path));
    }
  }
  return cmd;
}

TEST(ImageFormat, Detect) {
  struct Case {
    std::string bytes;
    std::optional<ImageFormat> format;
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"", std::nullopt},
      {"\xFF\xD8"s, std::nullopt},
      {"\xFF\xD8\xFF"s, ImageFormat::Jpeg},
      {"SIMPLE  ="s, ImageFormat::Fits},
      {"SIMPLE  "s, std::nullopt},
      {"SIMPLE =  T"s, std::nullopt},
      {"II*\0"s, ImageFormat::Tiff},
      {"MM\0*"s, ImageFormat::Tiff},
      {"II+\0"s, ImageFormat::Tiff},
      {"MM\0+"s, ImageFormat::Tiff},
      {"II*"s, std::nullopt},
      {"MM*\0"s, std::nullopt},
      {"\x89PNG\r\n\x1a\n"s, ImageFormat::Png},
      {"\x89PNG\r\n\x1a"s, std::nullopt},
      {"GIF89a"s, std::nullopt},
  };
  for (const auto& c : cases) {
    auto bytes = std::as_bytes(std::span(c.bytes.data(), c.bytes.size()));
    EXPECT_EQ(ImageFormat::detect(bytes), c.format) << ::testing::PrintToString(c.bytes);
  }
  static_assert(sizeof(ImageFormat) == 1);
  EXPECT_EQ(ImageFormat(ImageFormat::Tiff).name(), "TIFF");
}

TEST(ImageInputError, Texts) {
  struct Case {
    ImageInputError error;
    std::string text;
  };
  const Case cases[] = {
      {{ImageInputError::UnknownFormat{}}, "unknown file format (expected FITS, JPEG, TIFF or PNG)"},
      {{ImageInputError::FitsInput{}}, "FITS input must be read with the FITS reader"},
      {{ImageInputError::Unsupported{ImageFormat::Tiff, "4-bit samples"}},
       "unsupported TIFF: 4-bit samples"},
      {{ImageInputError::Corrupt{ImageFormat::Png, "bad CRC"}}, "corrupt or truncated PNG: bad CRC"},
      {{ImageInputError::TooLarge{ImageFormat::Jpeg, 20000, 10001}},
       "JPEG image too large: 20000 \u00d7 10001 pixels (the limit is 200 MP)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

TEST(ImageInput, SizeLimits) {
  struct Case {
    uint64_t w, h, bytes, channels;
    std::string text;  // empty: accepted
  };
  const Case cases[] = {
      {20000, 10000, 1, 1, ""},
      {20000, 10001, 1, 1, "PNG image too large: 20000 \u00d7 10001 pixels (the limit is 200 MP)"},
      {12000, 12000, 4, 3, "PNG image too large: 12000 \u00d7 12000 pixels (the limit is 200 MP)"},
      {20000, 10000, 2, 3, ""},  // exactly 1.2e9 bytes
      {20000, 10000, 4, 2, "PNG image too large: 20000 \u00d7 10000 pixels (the limit is 200 MP)"},
      {0, 5, 1, 1, "corrupt or truncated PNG: image size 0 \u00d7 5"},
      {5, 0, 1, 1, "corrupt or truncated PNG: image size 5 \u00d7 0"},
  };
  for (const auto& c : cases) {
    auto e = check_limits(ImageFormat::Png, c.w, c.h, c.bytes, c.channels);
    EXPECT_EQ(e ? e->message() : "", c.text) << c.w << "x" << c.h;
  }
}

TEST(ImageInput, FloatSamples) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<float, uint16_t> cases[] = {
      {0.5f, 32768}, {1.5f, 65535}, {-1.0f, 0},      {nan, 0},
      {0.0f, 0},     {1.0f, 65535}, {1.0f / 65535, 1}, {-std::numeric_limits<float>::infinity(), 0},
  };
  for (auto [v, expected] : cases) EXPECT_EQ(f32_to_u16(v), expected) << v;
}

// Lossless files from independent writers: the plane must equal the
// luminance of the source raster exactly.
TEST(ImageInput, DecodesLosslessFormats) {
  struct Case {
    const char* name;
    Raster source;
    std::vector<std::string> commands;  // {src} -> ... -> {out}
    uint8_t bits;
    size_t channels;  // 0: not checked
  };
  const Raster gray8 = noise(37, 23, 1, 255), rgb8 = noise(37, 23, 3, 255);
  const Raster gray16 = noise(37, 23, 1, 65535), rgb16 = noise(37, 23, 3, 65535);
  const Raster gray4 = noise(37, 23, 1, 255, 16);
  const Case cases[] = {
      {"PNG gray 8", gray8, {"convert {src} {out}"}, 8, 1},
      {"PNG gray 16", gray16, {"convert {src} {out}"}, 16, 1},
      {"PNG RGB 8", rgb8, {"convert {src} PNG24:{out}"}, 8, 3},
      {"PNG RGB 16", rgb16, {"convert {src} PNG48:{out}"}, 16, 3},
      {"PNG RGBA 8", rgb8, {"convert {src} -alpha set -channel A -evaluate set 40% PNG32:{out}"}, 8, 4},
      {"PNG palette", gray4, {"convert {src} -type Palette PNG8:{out}"}, 8, 0},
      {"PNG gray 4-bit", gray4, {"convert {src} -depth 4 {out}"}, 8, 1},
      {"PNG interlaced", rgb16, {"convert {src} -interlace PNG PNG48:{out}"}, 16, 3},
      {"TIFF gray 8", gray8, {"convert {src} -compress none {out}"}, 8, 1},
      {"TIFF gray 8, 5-row strips",
       gray8,
       {"convert {src} -compress none {tmp}", "tiffcp -r 5 {tmp} {out}"},
       8,
       1},
      {"TIFF RGB 8 LZW predictor",
       rgb8,
       {"convert {src} -compress none {tmp}", "tiffcp -c lzw:2 {tmp} {out}"},
       8,
       3},
      {"TIFF gray 16 Deflate predictor",
       gray16,
       {"convert {src} -compress none {tmp}", "tiffcp -c zip:2 {tmp} {out}"},
       16,
       1},
      {"TIFF RGB 16 PackBits big-endian",
       rgb16,
       {"convert {src} -compress none {tmp}", "tiffcp -B -c packbits {tmp} {out}"},
       16,
       3},
      {"TIFF RGB 8 tiles",
       rgb8,
       {"convert {src} -compress none {tmp}", "tiffcp -t -w 16 -l 16 {tmp} {out}"},
       8,
       3},
      {"TIFF RGB 8 planar LZW",
       rgb8,
       {"convert {src} -compress none {tmp}", "tiffcp -p separate -c lzw {tmp} {out}"},
       8,
       3},
      {"TIFF RGB 16 planar tiles Deflate",
       rgb16,
       {"convert {src} -interlace Plane -define tiff:tile-geometry=16x16 -compress zip {out}"},
       16,
       3},
      {"BigTIFF gray 16 LZW",
       gray16,
       {"convert {src} -compress none {tmp}", "tiffcp -8 -c lzw:2 {tmp} {out}"},
       16,
       1},
      {"TIFF 32-bit float",
       gray16,
       {"convert {src} -define quantum:format=floating-point -depth 32 -compress zip {out}"},
       32,
       1},
      {"TIFF 32-bit unsigned", gray16, {"convert {src} -depth 32 -compress none {out}"}, 32, 1},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path src = write_source(dir, c.source), tmp = dir / "tmp.tif";
    fs::path out = dir / (std::string(c.name).starts_with("PNG") ? "out.png" : "out.tif");
    for (const auto& cmd : c.commands) ASSERT_NO_FATAL_FAILURE(run_tool(expand(cmd, src, tmp, out)));
    auto img = decode_file(out);
    ASSERT_TRUE(img.has_value()) << img.error().message();
    EXPECT_EQ(img->width, c.source.width);
    EXPECT_EQ(img->height, c.source.height);
    EXPECT_EQ(img->bits, c.bits);
    if (c.channels != 0) {
      EXPECT_EQ(img->channels, c.channels);
    }
    EXPECT_EQ(img->orientation, 1);
    EXPECT_EQ(img->plane, c.source.luminance());
  }
}

// Adam7 passes without pixels (narrow or short images) are skipped by the
// reader; every pixel of the others lands in its place exactly once.
TEST(ImageInput, DecodesInterlacedPngOfAnySize) {
  const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {2, 1}, {1, 5},  {3, 2}, {5, 3},
                                                 {4, 9}, {8, 8}, {9, 17}, {33, 6}};
  TempDir dir;
  for (auto [w, h] : sizes) {
    for (const Raster& source : {noise(w, h, 1, 255), noise(w, h, 3, 65535)}) {
      SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + ", " +
                   std::to_string(source.channels) + " channels");
      fs::path src = write_source(dir, source), out = dir / "i.png";
      ASSERT_NO_FATAL_FAILURE(
          run_tool(expand(source.channels == 3 ? "convert {src} -interlace PNG PNG48:{out}"
                                               : "convert {src} -interlace PNG {out}",
                          src, {}, out)));
      ASSERT_EQ(testing::read_file(out)[28], '\x01') << "not interlaced";
      auto img = decode_file(out);
      ASSERT_TRUE(img.has_value()) << img.error().message();
      EXPECT_EQ(img->plane, source.luminance());
    }
  }
}

// A strip larger than a megabyte is read row by row; one strip holding the
// whole image is the usual case of such files.
TEST(ImageInput, DecodesOneStripTiffs) {
  const Raster rgb16 = noise(300, 700, 3, 65535), gray8 = noise(1200, 1000, 1, 255);
  struct Case {
    const char* name;
    const Raster& source;
    const char* compression;
  };
  const Case cases[] = {
      {"RGB 16 stored", rgb16, "none"},
      {"RGB 16 Deflate predictor", rgb16, "zip:2"},
      {"gray 8 LZW", gray8, "lzw"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path src = write_source(dir, c.source), tmp = dir / "tmp.tif", out = dir / "one.tif";
    ASSERT_NO_FATAL_FAILURE(run_tool(expand("convert {src} -compress none {tmp}", src, tmp, {})));
    ASSERT_NO_FATAL_FAILURE(run_tool(expand(
        "tiffcp -r " + std::to_string(c.source.height) + " -c " + c.compression + " {tmp} {out}",
        {}, tmp, out)));
    auto img = decode_file(out);
    ASSERT_TRUE(img.has_value()) << img.error().message();
    EXPECT_EQ(img->plane, c.source.luminance());
  }
  // Cut inside the single strip: an error, not a partly filled plane.
  {
    fs::path src = write_source(dir, rgb16), tmp = dir / "tmp.tif", out = dir / "one.tif";
    run_tool(expand("convert {src} -compress none {tmp}", src, tmp, {}));
    run_tool(expand("tiffcp -r 700 -c zip {tmp} {out}", {}, tmp, out));
    std::string bytes = testing::read_file(out);
    // The directory follows the strip in tiffcp's files; the strip is cut
    // in half by zeroing its second half.
    const size_t ifd = static_cast<uint8_t>(bytes[4]) | static_cast<uint8_t>(bytes[5]) << 8 |
                       static_cast<uint8_t>(bytes[6]) << 16 |
                       size_t{static_cast<uint8_t>(bytes[7])} << 24;
    ASSERT_GT(ifd, 1000u);
    std::fill(bytes.begin() + ifd / 2, bytes.begin() + ifd, '\0');
    auto r = decode(std::as_bytes(std::span(bytes.data(), bytes.size())));
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().message().starts_with("corrupt or truncated TIFF: "))
        << r.error().message();
  }
}

// What a decoder reports as finished with lies inside its input and covers
// nearly all of it; reporting changes nothing in the plane.
TEST(ImageInput, ReportsTheInputItIsDoneWith) {
  TempDir dir;
  const Raster rgb16 = noise(400, 300, 3, 65535), rgb8 = noise(400, 300, 3, 255);
  fs::path ppm16 = write_source(dir, rgb16);
  run_tool(expand("convert {src} PNG48:{out}", ppm16, {}, dir / "a.png"));
  run_tool(expand("convert {src} -interlace PNG PNG48:{out}", ppm16, {}, dir / "i.png"));
  run_tool(expand("convert {src} -compress none {out}", ppm16, {}, dir / "a.tif"));
  run_tool(expand("tiffcp -c zip:2 -r 7 {src} {out}", dir / "a.tif", {}, dir / "z.tif"));
  run_tool(
      expand("convert {src} -interlace Plane -define tiff:tile-geometry=64x64 -compress zip "
             "{out}",
             ppm16, {}, dir / "t.tif"));
  run_tool(expand("tiffcp -r 300 {src} {out}", dir / "a.tif", {}, dir / "one.tif"));
  fs::path ppm8 = write_source(dir, rgb8);
  run_tool(expand("convert {src} -quality 95 {out}", ppm8, {}, dir / "a.jpg"));
  for (const char* name : {"a.png", "i.png", "a.tif", "z.tif", "t.tif", "one.tif", "a.jpg"}) {
    SCOPED_TRACE(name);
    const auto bytes = read_bytes(dir / name);
    std::vector<bool> reported(bytes.size());
    bool inside = true;
    auto done = [&](std::span<const std::byte> part) {
      inside = inside && part.data() >= bytes.data() &&
               part.data() + part.size() <= bytes.data() + bytes.size();
      if (!inside) return;
      const size_t at = static_cast<size_t>(part.data() - bytes.data());
      std::fill_n(reported.begin() + at, part.size(), true);
    };
    auto with = decode(bytes, done);
    auto without = decode(bytes);
    ASSERT_TRUE(with.has_value() && without.has_value());
    EXPECT_EQ(with->plane, without->plane);
    EXPECT_TRUE(inside);
    const auto covered = std::count(reported.begin(), reported.end(), true);
    EXPECT_GT(covered, static_cast<std::ptrdiff_t>(bytes.size() * 9 / 10))
        << covered << " of " << bytes.size();
  }
}

// libjpeg-turbo's own djpeg decodes the same files for the reference.
TEST(ImageInput, DecodesJpegLikeDjpeg) {
  struct Case {
    const char* name;
    Raster source;
    std::string command;
  };
  const Case cases[] = {
      {"gray baseline", noise(45, 31, 1, 255), "convert {src} -quality 90 {out}"},
      {"colour baseline", noise(45, 31, 3, 255), "convert {src} -quality 90 {out}"},
      {"colour progressive", noise(45, 31, 3, 255),
       "convert {src} -quality 85 -interlace Plane {out}"},
      {"colour 4:4:4", noise(45, 31, 3, 255), "convert {src} -sampling-factor 1x1 {out}"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path src = write_source(dir, c.source), out = dir / "out.jpg", ref = dir / "ref.pnm";
    ASSERT_NO_FATAL_FAILURE(run_tool(expand(c.command, src, {}, out)));
    ASSERT_NO_FATAL_FAILURE(run_tool("djpeg -pnm -outfile " + quoted(ref) + " " + quoted(out)));
    auto img = decode_file(out);
    ASSERT_TRUE(img.has_value()) << img.error().message();
    Raster expected = read_pnm(ref);
    EXPECT_EQ(img->width, expected.width);
    EXPECT_EQ(img->height, expected.height);
    EXPECT_EQ(img->channels, static_cast<size_t>(c.source.channels));
    EXPECT_EQ(img->bits, 8);
    EXPECT_EQ(img->plane, expected.luminance());
  }
}

TEST(ImageInput, DecodesCmykJpegAsColour) {
  TempDir dir;
  Raster flat{16, 16, 3, 255, {}};
  for (int i = 0; i < 256; ++i) flat.samples.insert(flat.samples.end(), {200, 100, 50});
  fs::path src = write_source(dir, flat), out = dir / "cmyk.jpg";
  ASSERT_NO_FATAL_FAILURE(run_tool(expand("convert {src} -colorspace CMYK {out}", src, {}, out)));
  auto img = decode_file(out);
  ASSERT_TRUE(img.has_value()) << img.error().message();
  EXPECT_EQ(img->channels, 3u);
  for (uint16_t v : img->plane) EXPECT_NEAR(v, flat.luminance()[0], 4 * 257);
}

// Stored 3 x 2 image   a b c   and what each orientation code shows.
//                      d e f
struct Oriented {
  uint8_t code;
  uint32_t width;
  std::vector<int> cells;  // indices 0..5 of a..f, row-major in the output
};
const Oriented kOrientations[] = {
    {1, 3, {0, 1, 2, 3, 4, 5}}, {2, 3, {2, 1, 0, 5, 4, 3}}, {3, 3, {5, 4, 3, 2, 1, 0}},
    {4, 3, {3, 4, 5, 0, 1, 2}}, {5, 2, {0, 3, 1, 4, 2, 5}}, {6, 2, {3, 0, 4, 1, 5, 2}},
    {7, 2, {5, 2, 4, 1, 3, 0}}, {8, 2, {2, 5, 1, 4, 0, 3}},
};

TEST(ImageInput, AppliesAllEightOrientations) {
  struct Format {
    const char* ext;
    uint32_t block;  // pixels per cell side
    int tolerance;
  };
  // Lossless formats use one pixel per cell; JPEG uses flat 8 x 8 blocks.
  const Format formats[] = {{"png", 1, 0}, {"tif", 1, 0}, {"jpg", 8, 3 * 257}};
  const uint16_t level[6] = {20, 60, 100, 140, 180, 220};
  TempDir dir;
  for (const auto& f : formats) {
    Raster src{3 * f.block, 2 * f.block, 1, 255, {}};
    for (uint32_t y = 0; y < src.height; ++y) {
      for (uint32_t x = 0; x < src.width; ++x) {
        src.samples.push_back(level[(y / f.block) * 3 + x / f.block]);
      }
    }
    fs::path pgm = write_source(dir, src);
    const std::string ext = f.ext;
    const fs::path plain = dir / ("plain." + ext);
    ASSERT_NO_FATAL_FAILURE(run_tool("convert " + quoted(pgm) + (ext == "jpg" ? " -quality 100 " : " ") +
                                     quoted(plain)));
    // One exiftool run tags all eight copies.
    std::string tag = "exiftool";
    // Built by appending: g++ 12 warns falsely on "o" + std::string in Release.
    auto oriented = [&](int code) {
      std::string name = "o";
      name += std::to_string(code);
      name += '.';
      name += ext;
      return dir / name;
    };
    for (const auto& o : kOrientations) {
      const fs::path copy = oriented(o.code);
      fs::copy_file(plain, copy, fs::copy_options::overwrite_existing);
      tag += " -Orientation#=" + std::to_string(o.code) + " " + quoted(copy) + " -execute";
    }
    ASSERT_NO_FATAL_FAILURE(run_tool(tag + " -common_args -q -overwrite_original"));
    for (const auto& o : kOrientations) {
      SCOPED_TRACE(ext + " orientation " + std::to_string(o.code));
      const fs::path out = oriented(o.code);
      auto img = decode_file(out);
      ASSERT_TRUE(img.has_value()) << img.error().message();
      EXPECT_EQ(img->orientation, o.code);
      ASSERT_EQ(img->width, o.width * f.block);
      ASSERT_EQ(img->height, 6 / o.width * f.block);
      for (size_t k = 0; k < o.cells.size(); ++k) {
        const size_t cx = k % o.width, cy = k / o.width;
        const size_t px = cx * f.block + f.block / 2, py = cy * f.block + f.block / 2;
        EXPECT_NEAR(img->plane[py * img->width + px], level[o.cells[k]] * 257, f.tolerance)
            << "cell " << k;
      }
    }
  }
}

// Files libtiff writes directly: what ImageMagick will not produce.
TEST(ImageInput, TiffSampleKindsAndColourTypes) {
  struct Case {
    const char* name;
    testing::TiffSpec desc;
    std::variant<std::vector<uint16_t>, std::string> result;  // plane or error text
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  using testing::as_bytes;
  const Case cases[] = {
      {"float samples",
       {4, 1, 1, 32, SAMPLEFORMAT_IEEEFP, PHOTOMETRIC_MINISBLACK, 1, 0, UINT32_MAX,
        as_bytes(std::vector<float>{0.5f, 1.5f, -1.0f, nan})},
       std::vector<uint16_t>{32768, 65535, 0, 0}},
      {"white is zero, 8-bit",
       {3, 1, 1, 8, 1, PHOTOMETRIC_MINISWHITE, 1, 0, UINT32_MAX,
        as_bytes(std::vector<uint8_t>{0, 55, 255})},
       std::vector<uint16_t>{65535, 200 * 257, 0}},
      {"white is zero, 16-bit in strips",
       {3, 2, 1, 16, 1, PHOTOMETRIC_MINISWHITE, 1, 1, UINT32_MAX,
        as_bytes(std::vector<uint16_t>{0, 1000, 65535, 1, 2, 3})},
       std::vector<uint16_t>{65535, 64535, 0, 65534, 65533, 65532}},
      {"RGB rounding",
       {2, 1, 3, 8, 1, PHOTOMETRIC_RGB, 1, 0, UINT32_MAX,
        as_bytes(std::vector<uint8_t>{1, 1, 1, 0, 0, 1})},
       std::vector<uint16_t>{257, 86}},
      {"RGB 16-bit rounding",
       {1, 1, 3, 16, 1, PHOTOMETRIC_RGB, 1, 0, UINT32_MAX,
        as_bytes(std::vector<uint16_t>{1, 1, 0})},
       std::vector<uint16_t>{1}},
      {"gray with alpha: alpha ignored",
       {2, 1, 2, 8, 1, PHOTOMETRIC_MINISBLACK, 1, 0, UINT32_MAX,
        as_bytes(std::vector<uint8_t>{10, 0, 20, 255})},
       std::vector<uint16_t>{10 * 257, 20 * 257}},
      {"multiband gray reads channel 0",
       {2, 1, 3, 8, 1, PHOTOMETRIC_MINISBLACK, 1, 0, UINT32_MAX,
        as_bytes(std::vector<uint8_t>{10, 200, 200, 30, 0, 0})},
       std::vector<uint16_t>{10 * 257, 30 * 257}},
      {"planar multiband 16-bit",
       {2, 1, 3, 16, 1, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_SEPARATE, 0, UINT32_MAX,
        as_bytes(std::vector<uint16_t>{7, 9, 1, 1, 2, 2})},
       std::vector<uint16_t>{7, 9}},
      {"4-bit", {2, 1, 1, 4, 1, PHOTOMETRIC_MINISBLACK, 1, 0, UINT32_MAX, {}},
       std::string("unsupported TIFF: 4-bit samples")},
      {"palette", {2, 1, 1, 8, 1, PHOTOMETRIC_PALETTE, 1, 0, UINT32_MAX, {}},
       std::string("unsupported TIFF: colour type Palette(8)")},
      {"CMYK", {2, 1, 4, 8, 1, PHOTOMETRIC_SEPARATED, 1, 0, UINT32_MAX, {}},
       std::string("unsupported TIFF: colour type CMYK(8)")},
      {"signed 16", {2, 1, 1, 16, SAMPLEFORMAT_INT, PHOTOMETRIC_MINISBLACK, 1, 0, UINT32_MAX, {}},
       std::string("unsupported TIFF: signed or 16-bit float samples")},
      {"16-bit float",
       {2, 1, 1, 16, SAMPLEFORMAT_IEEEFP, PHOTOMETRIC_MINISBLACK, 1, 0, UINT32_MAX, {}},
       std::string("unsupported TIFF: signed or 16-bit float samples")},
      {"RGB 32-bit of 144 MP",
       {12000, 12000, 3, 32, 1, PHOTOMETRIC_RGB, 1, 1, 1, {}},
       std::string("TIFF image too large: 12000 \u00d7 12000 pixels (the limit is 200 MP)")},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path path = dir / "t.tif";
    ASSERT_NO_FATAL_FAILURE(testing::write_tiff(path, c.desc));
    auto img = decode_file(path);
    if (auto* plane = std::get_if<std::vector<uint16_t>>(&c.result)) {
      ASSERT_TRUE(img.has_value()) << img.error().message();
      EXPECT_EQ(img->plane, *plane);
    } else {
      EXPECT_EQ(message_of(img), std::get<std::string>(c.result));
    }
  }
}

TEST(ImageInput, RefusesOversizedHeadersBeforeDecoding) {
  TempDir dir;
  testing::write_png_header_only(dir / "big.png", 20000, 10001);
  testing::write_jpeg_claiming(dir / "big.jpg", 20000, 20000);
  auto png = decode_file(dir / "big.png");
  ASSERT_FALSE(png.has_value());
  auto* too_large = std::get_if<ImageInputError::TooLarge>(&png.error().value);
  ASSERT_NE(too_large, nullptr) << png.error().message();
  EXPECT_EQ(too_large->format, ImageFormat::Png);
  EXPECT_EQ(too_large->width, 20000u);
  EXPECT_EQ(too_large->height, 10001u);
  EXPECT_EQ(message_of(decode_file(dir / "big.jpg")),
            "JPEG image too large: 20000 \u00d7 20000 pixels (the limit is 200 MP)");
}

TEST(ImageInput, ReportsBrokenFiles) {
  TempDir dir;
  const Raster rgb = noise(64, 48, 3, 255);
  fs::path src = write_source(dir, rgb);
  run_tool(expand("convert {src} {out}", src, {}, dir / "a.png"));
  run_tool(expand("convert {src} {out}", src, {}, dir / "a.jpg"));
  run_tool(expand("convert {src} -compress none {out}", src, {}, dir / "tmp.tif"));
  run_tool(expand("tiffcp -c lzw {src} {out}", dir / "tmp.tif", {}, dir / "a.tif"));
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string bytes;
    std::string prefix;  // of the message
  };
  auto cut = [&](const char* file, double keep) {
    std::string s = testing::read_file(dir / file);
    return s.substr(0, static_cast<size_t>(s.size() * keep));
  };
  const Case cases[] = {
      {"empty", "", "unknown file format (expected FITS, JPEG, TIFF or PNG)"},
      {"GIF", "GIF89a\x01\x00\x01\x00"s, "unknown file format (expected FITS, JPEG, TIFF or PNG)"},
      {"FITS", "SIMPLE  =                    T", "FITS input must be read with the FITS reader"},
      {"JPEG signature only", "\xFF\xD8\xFF"s, "corrupt or truncated JPEG: "},
      {"PNG signature only", "\x89PNG\r\n\x1a\n"s, "corrupt or truncated PNG: "},
      {"TIFF signature only", "II*\0"s, "corrupt or truncated TIFF: "},
      {"JPEG cut in its data", cut("a.jpg", 0.6), "corrupt or truncated JPEG: "},
      {"PNG cut in its data", cut("a.png", 0.6), "corrupt or truncated PNG: "},
      {"TIFF cut in its data", cut("a.tif", 0.6), "corrupt or truncated TIFF: "},
  };
  for (const auto& c : cases) {
    auto bytes = std::as_bytes(std::span(c.bytes.data(), c.bytes.size()));
    auto r = decode(bytes);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_TRUE(r.error().message().starts_with(c.prefix)) << c.name << ": " << r.error().message();
  }
}

// ------------------------------------------------------------ load_image

bool is_mapped(const fs::path& path) {
  std::string maps = testing::read_file("/proc/self/maps");
  return maps.find(fs::canonical(path).string()) != std::string::npos;
}

TEST(LoadImage, ErrorTexts) {
  TempDir dir;
  testing::write_file(dir / "empty.png", "");
  testing::write_file(dir / "short.jpg", "\xFF\xD8\xFF");
  testing::write_fits(dir / "b8.fits", {8, {4, 3}, std::vector<double>(12, 1.0), {}});
  fs::create_directory(dir / "folder");
  struct Case {
    fs::path path;
    std::string text;
  };
  const std::string empty = (dir / "empty.png").string(), b8 = (dir / "b8.fits").string();
  const std::string missing = (dir / "missing.fits").string();
  const Case cases[] = {
      {empty, empty + ": unknown file format (expected FITS, JPEG, TIFF or PNG)"},
      {b8, b8 + ": unsupported FITS: BITPIX = 8"},
      {missing, "opening " + missing + ": No such file or directory (os error 2)"},
      {dir / "short.jpg", (dir / "short.jpg").string() + ": corrupt or truncated JPEG: "},
      {dir / "folder", "(dir)"},
  };
  for (const auto& c : cases) {
    auto r = cli::load_image(c.path.string());
    ASSERT_FALSE(r.has_value()) << c.path;
    if (c.text == "(dir)") {
      EXPECT_TRUE(r.error().text().starts_with("opening " + c.path.string() + ": ") ||
                  r.error().text().starts_with("mapping " + c.path.string() + ": "))
          << r.error().text();
    } else {
      EXPECT_TRUE(r.error().text().starts_with(c.text)) << r.error().text();
    }
  }
  EXPECT_EQ(cli::load_image(b8).error().cause, std::nullopt);
}

TEST(LoadImage, LoadsEachFormatAndReleasesTheMapping) {
  TempDir dir;
  const Raster rgb = noise(41, 29, 3, 255), gray16 = noise(41, 29, 1, 65535);
  fs::path ppm = write_source(dir, rgb), pgm = write_source(dir, gray16);
  run_tool(expand("convert {src} -compress none {tmp}", ppm, dir / "tmp.tif", {}));
  run_tool(expand("tiffcp -p separate -c lzw:2 {tmp} {out}", {}, dir / "tmp.tif", dir / "p.tif"));
  run_tool(expand("convert {src} {out}", pgm, {}, dir / "g.png"));
  run_tool(expand("convert {src} -interlace Plane {out}", ppm, {}, dir / "r.jpg"));
  run_tool("exiftool -q -overwrite_original -Orientation#=6 " + quoted(dir / "r.jpg"));
  run_tool("djpeg -pnm -outfile " + quoted(dir / "r.pnm") + " " + quoted(dir / "r.jpg"));
  // Three planes of 16-bit data: (1, 2, 2) averages to 2.
  testing::write_fits(dir / "rgb.fits", {16, {2, 1, 3}, {1, 10, 2, 20, 2, 31}, {}});

  const Raster jpeg = read_pnm(dir / "r.pnm");
  const std::vector<uint16_t> jpeg_lum = jpeg.luminance();
  std::vector<uint16_t> jpeg_rotated;  // row y of the output is column y read upwards
  for (uint32_t y = 0; y < jpeg.width; ++y) {
    for (uint32_t x = 0; x < jpeg.height; ++x) {
      jpeg_rotated.push_back(jpeg_lum[(jpeg.height - 1 - x) * jpeg.width + y]);
    }
  }
  struct Case {
    fs::path path;
    uint32_t width, height;
    std::vector<uint16_t> plane;
  };
  const Case cases[] = {
      {dir / "p.tif", 41, 29, rgb.luminance()},
      {dir / "g.png", 41, 29, gray16.samples},
      {dir / "r.jpg", 29, 41, jpeg_rotated},
      {dir / "rgb.fits", 2, 1, {2, 20}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.filename());
    auto plane = cli::load_image(c.path.string());
    ASSERT_TRUE(plane.has_value()) << plane.error().text();
    EXPECT_EQ(plane->width, c.width);
    EXPECT_EQ(plane->height, c.height);
    EXPECT_EQ(plane->samples, c.plane);
    EXPECT_FALSE(is_mapped(c.path));
  }
  // A rejected file is unmapped as well.
  testing::write_fits(dir / "b8.fits", {8, {4, 3}, std::vector<double>(12, 1.0), {}});
  EXPECT_FALSE(cli::load_image((dir / "b8.fits").string()).has_value());
  EXPECT_FALSE(is_mapped(dir / "b8.fits"));
}

// The decoders read a large file strip by strip and the front end drops the
// pages behind them: loading raises the peak resident memory by the plane
// and a little, not by the file. The peak is reset first (clear_refs 5).
size_t peak_rss_kib() {
  std::istringstream status(testing::read_file("/proc/self/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stoul(line.substr(6));
  }
  return 0;
}

TEST(LoadImage, LeavesLittleOfTheFileResident) {
  TempDir dir;
  constexpr uint32_t w = 2000, h = 1000;
  const Raster rgb16 = noise(w, h, 3, 65535);
  fs::path ppm = write_source(dir, rgb16);
  run_tool(expand("convert {src} PNG48:{out}", ppm, {}, dir / "big.png"));
  run_tool(expand("convert {src} -compress none {out}", ppm, {}, dir / "big.tif"));
  {
    std::vector<double> raw(size_t{w} * h * 3);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = rgb16.samples[i] * 0.25;
    testing::write_fits(dir / "big.fits", {-32, {w, h, 3}, raw, {}});
  }
  for (const char* name : {"big.fits", "big.png", "big.tif"}) {
    SCOPED_TRACE(name);
    const auto file_kib = fs::file_size(dir / name) / 1024;
    ASSERT_GT(file_kib, 10'000u);
    {
      std::ofstream reset("/proc/self/clear_refs");
      reset << "5";
      reset.flush();
      if (!reset) GTEST_SKIP() << "the peak resident size cannot be reset here";
    }
    const size_t before = peak_rss_kib();
    auto plane = cli::load_image((dir / name).string());
    const size_t grown = peak_rss_kib() - before;
    ASSERT_TRUE(plane.has_value()) << plane.error().text();
    const size_t plane_kib = plane->samples.size() * 2 / 1024;
    // Holding the file would grow the peak by plane + file; half the file
    // leaves room for the sanitizer allocator's slack and libtiff's buffers.
    EXPECT_LT(grown, plane_kib + file_kib / 2)
        << "file " << file_kib << " KiB, plane " << plane_kib;
  }
}

// A PNG chunk: length, type, data, CRC over type and data.
void append_png_chunk(std::string& png, const char* type, const std::string& data) {
  const auto be32 = [&](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>(v >> shift);
  };
  be32(static_cast<uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  png += body;
  be32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                                   static_cast<uInt>(body.size()))));
}

// 200 MP of 16-bit RGBA in one row is within the pixel limit but its buffer
// is not: the refusal must come before libpng sizes its row buffers for it
// (1.6 GB each).
TEST(ImageInput, RefusesAnOversizedPngBufferBeforeLibpngAllocatesRows) {
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string ihdr;
  for (uint32_t v : {200'000'000u, 1u})
    for (int shift = 24; shift >= 0; shift -= 8) ihdr += static_cast<char>(v >> shift);
  ihdr += std::string{16, 6, 0, 0, 0};  // depth 16, RGBA, deflate, no filter, not interlaced
  append_png_chunk(png, "IHDR", ihdr);
  std::string zeros(64, '\0');
  std::string idat(compressBound(zeros.size()), '\0');
  uLongf idat_size = idat.size();
  ASSERT_EQ(compress(reinterpret_cast<Bytef*>(idat.data()), &idat_size,
                     reinterpret_cast<const Bytef*>(zeros.data()), zeros.size()),
            Z_OK);
  idat.resize(idat_size);
  append_png_chunk(png, "IDAT", idat);
  append_png_chunk(png, "IEND", "");

  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
    reset.flush();
    if (!reset) GTEST_SKIP() << "the peak resident size cannot be reset here";
  }
  const size_t before = peak_rss_kib();
  auto img = decode(std::as_bytes(std::span(png)));
  const size_t grown = peak_rss_kib() - before;
  ASSERT_FALSE(img.has_value());
  EXPECT_EQ(img.error().message(),
            "PNG image too large: 200000000 \u00d7 1 pixels (the limit is 200 MP)");
  EXPECT_LT(grown, 64u * 1024) << "KiB";
}

}  // namespace
}  // namespace kestrune::image_input
