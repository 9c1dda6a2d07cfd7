// Hostile inputs: truncated files, headers that declare huge images,
// decompression bombs, damaged TIFF directories, FITS headers without END and
// databases whose fields point anywhere. Each must end in a clear error or a
// normal result, never a crash, an out-of-bounds read (the sanitizers watch)
// or unbounded work. Files come from real writers and are then damaged.
#include <gtest/gtest.h>
#include <zlib.h>

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "cli/image_access.hpp"
#include "core/db.hpp"
#include "core/fits.hpp"
#include "core/image_input.hpp"
#include "core/pattern.hpp"
#include "core/solve.hpp"
#include "tests/support/image_fixtures.hpp"
#include "tests/support/process.hpp"
#include "tests/support/tiny_db.hpp"
#include "tools/db_writer.hpp"

namespace fs = std::filesystem;
using namespace kestrune;
using namespace kestrune::testing;
using image_input::ImageInputError;

namespace {

auto decode(const std::string& s) { return image_input::decode(bytes_of(s)); }

// A noisy gray source picture, so compressed data fills the file.
fs::path noisy_pgm(const TempDir& dir, uint32_t w, uint32_t h) {
  std::mt19937 rng(5);
  std::vector<uint16_t> px(size_t{w} * h);
  for (auto& v : px) v = static_cast<uint16_t>(rng() % 256);
  fs::path p = dir / "src.pgm";
  write_pnm(p, w, h, 1, px);
  return p;
}

uint32_t get32(const std::string& s, size_t at) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}
void put32(std::string& s, size_t at, uint32_t v) { std::memcpy(s.data() + at, &v, 4); }
uint16_t get16(const std::string& s, size_t at) {
  uint16_t v;
  std::memcpy(&v, s.data() + at, 2);
  return v;
}
void put16(std::string& s, size_t at, uint16_t v) { std::memcpy(s.data() + at, &v, 2); }

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// One PNG chunk: length, type, data and the CRC over type and data.
std::string png_chunk(const std::string& type, const std::string& data) {
  std::string body = type + data;
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
  return be32(static_cast<uint32_t>(data.size())) + body + be32(static_cast<uint32_t>(crc));
}

// `mib` MiB of zero bytes as one zlib stream, from one deflated MiB repeated:
// a full flush makes each MiB an independent block, and the check value at
// the end is recomputed for the whole.
std::string deflated_zeros(size_t mib) {
  const std::vector<Bytef> zeros(1 << 20, 0);
  z_stream z{};
  EXPECT_EQ(deflateInit(&z, 9), Z_OK);
  auto run = [&](int flush, size_t n) {
    std::string out;
    std::vector<Bytef> buf(1 << 16);
    z.next_in = const_cast<Bytef*>(zeros.data());
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = buf.data();
      z.avail_out = static_cast<uInt>(buf.size());
      deflate(&z, flush);
      out.append(reinterpret_cast<char*>(buf.data()), buf.size() - z.avail_out);
    } while (z.avail_out == 0);
    return out;
  };
  std::string out = run(Z_FULL_FLUSH, zeros.size());  // header and the first MiB
  const std::string block = run(Z_FULL_FLUSH, zeros.size());
  std::string end = run(Z_FINISH, 0);
  deflateEnd(&z);
  for (size_t i = 1; i < mib; ++i) out += block;
  uLong adler = adler32(0, nullptr, 0);
  for (size_t i = 0; i < mib; ++i)
    adler = adler32(adler, zeros.data(), static_cast<uInt>(zeros.size()));
  end.replace(end.size() - 4, 4, be32(static_cast<uint32_t>(adler)));
  return out + end;
}

// A gray JPEG written by libjpeg with the given scan script.
std::string progressive_jpeg(uint32_t w, uint32_t h, const std::vector<jpeg_scan_info>& script) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 1;
  c.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  c.scan_info = script.data();
  c.num_scans = static_cast<int>(script.size());
  jpeg_start_compress(&c, TRUE);
  std::vector<unsigned char> row(w);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) row[x] = static_cast<unsigned char>((x * 37 + y * 11) % 251);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string out(reinterpret_cast<char*>(buf), size);
  std::free(buf);
  return out;
}

// The entries of the first directory of a little-endian classic TIFF.
struct IfdEntry {
  size_t at;  // byte offset of the 12-byte entry
  uint16_t tag;
};
std::vector<IfdEntry> first_ifd(const std::string& tiff) {
  const uint32_t ifd = get32(tiff, 4);
  std::vector<IfdEntry> out;
  for (uint16_t i = 0; i < get16(tiff, ifd); ++i) {
    size_t at = ifd + 2 + 12 * size_t{i};
    out.push_back({at, get16(tiff, at)});
  }
  return out;
}
size_t entry_of(const std::string& tiff, uint16_t tag) {
  for (const auto& e : first_ifd(tiff))
    if (e.tag == tag) return e.at;
  ADD_FAILURE() << "no tag " << tag;
  return 0;
}

}  // namespace

// Every format cut short anywhere in its structure or data: an error, and
// one that names the format.
TEST(HostileImages, TruncatedFilesOfEveryFormat) {
  TempDir dir;
  const fs::path src = noisy_pgm(dir, 96, 64);
  const struct {
    const char* name;
    const char* options;
  } rasters[] = {
      {"baseline.jpg", ""},
      {"progressive.jpg", "-interlace JPEG"},
      {"plain.png", ""},
      {"interlaced.png", "-interlace PNG"},
      {"strips.tif", "-compress LZW"},
      {"tiles.tif", "-define tiff:tile-geometry=32x32"},
  };
  for (const auto& r : rasters) {
    run_tool("convert " + quoted(src) + " " + r.options + " " + quoted(dir / r.name));
    const std::string whole = read_file(dir / r.name);
    ASSERT_TRUE(decode(whole).has_value()) << r.name;
    for (double keep : {0.02, 0.3, 0.6, 0.9}) {
      const auto cut = decode(whole.substr(0, static_cast<size_t>(whole.size() * keep)));
      ASSERT_FALSE(cut.has_value()) << r.name << " cut at " << keep;
      const std::string text = cut.error().message();
      EXPECT_TRUE(text.find("JPEG") != std::string::npos || text.find("PNG") != std::string::npos ||
                  text.find("TIFF") != std::string::npos)
          << r.name << ": " << text;
    }
  }

  FitsSpec desc{16, {40, 30}, std::vector<double>(1200, 7.0), {}};
  write_fits(dir / "a.fits", desc);
  const std::string fits = read_file(dir / "a.fits");
  const size_t data = fits_data_offset(dir / "a.fits");
  for (size_t keep : {size_t{100}, data - 80, data - 1, data + 1, data + 2399}) {
    auto r = fits::FitsImage::parse(bytes_of(fits.substr(0, keep)));
    ASSERT_FALSE(r.has_value()) << keep;
    EXPECT_EQ(r.error().kind, fits::FitsErrorKind::Truncated) << keep;
  }
}

// Sizes are refused from the header, before anything is allocated or inflated.
TEST(HostileImages, HugeDeclaredSizesStopAtTheHeader) {
  TempDir dir;
  const fs::path src = noisy_pgm(dir, 16, 16);

  // A PNG whose header claims 16000 x 12000 RGBA at 16 bits (1.5 GB of
  // samples, under the pixel limit) over a small IDAT that inflates to 64 MiB.
  run_tool("convert " + quoted(src) + " -alpha set -depth 16 PNG64:" + quoted(dir / "rgba.png"));
  std::string png = read_file(dir / "rgba.png");
  std::string ihdr = png.substr(16, 13);
  ihdr.replace(0, 8, be32(16000) + be32(12000));
  const std::string bomb = png.substr(0, 8) + png_chunk("IHDR", ihdr) +
                           png_chunk("IDAT", deflated_zeros(64)) + png_chunk("IEND", "");
  ASSERT_LT(bomb.size(), 200'000u);

  // A TIFF of 12000 x 12000 RGB with 32-bit samples: 1.7 GB, rows left out.
  write_tiff(dir / "wide.tif", {.width = 12000,
                                .height = 12000,
                                .samples_per_pixel = 3,
                                .bits = 32,
                                .photometric = 2,
                                .rows_per_strip = 1,
                                .rows_written = 1,
                                .data = {}});
  write_jpeg_claiming(dir / "tall.jpg", 65000, 65000);

  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"PNG", bomb},
      {"TIFF", read_file(dir / "wide.tif")},
      {"JPEG", read_file(dir / "tall.jpg")},
  };
  for (const auto& c : cases) {
    auto r = decode(c.bytes);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_TRUE(std::holds_alternative<ImageInputError::TooLarge>(r.error().value))
        << c.name << ": " << r.error().message();
  }

  // FITS axes whose data cannot be in the file: nothing is allocated.
  FitsSpec desc{-64, {4, 4}, std::vector<double>(16, 1.0), {}};
  write_fits(dir / "a.fits", desc);
  const std::string fits = read_file(dir / "a.fits");
  const struct {
    const char* axis;
    fits::FitsErrorKind kind;
  } axes[] = {{"100000", fits::FitsErrorKind::Truncated},
              {"4294967295", fits::FitsErrorKind::Unsupported}};  // the byte count overflows
  for (const auto& a : axes) {
    std::string huge = fits;
    for (const char* key : {"NAXIS1  =", "NAXIS2  ="}) {
      size_t at = huge.find(key);
      ASSERT_NE(at, std::string::npos);
      std::string value(20, ' ');
      value.replace(20 - std::strlen(a.axis), std::strlen(a.axis), a.axis);
      huge.replace(at + 10, 20, value);
    }
    auto r = fits::FitsImage::parse(bytes_of(huge));
    ASSERT_FALSE(r.has_value()) << a.axis;
    EXPECT_EQ(r.error().kind, a.kind) << a.axis << ": " << r.error().message();
  }
}

// Image data that inflates far past what the image needs is not inflated:
// the decoder stops after the last row, and the image is intact.
TEST(HostileImages, SurplusImageDataIsNotInflated) {
  TempDir dir;
  write_pnm(dir / "flat.pgm", 1000, 1000, 1, std::vector<uint16_t>(1000 * 1000, 0));
  run_tool("convert " + quoted(dir / "flat.pgm") + " " + quoted(dir / "flat.png"));
  const std::string png = read_file(dir / "flat.png");
  // Rows of a filter byte and 1000 zeros, then a GiB more zeros.
  const std::string bomb =
      png.substr(0, 33) + png_chunk("IDAT", deflated_zeros(1025)) + png_chunk("IEND", "");
  ASSERT_LT(bomb.size(), 1'200'000u);
  auto r = decode(bomb);
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(r->width, 1000u);
  EXPECT_TRUE(std::all_of(r->plane.begin(), r->plane.end(), [](uint16_t v) { return v == 0; }));
}

// Progressive JPEG scans repeated without end, or a valid progression split
// into more scans than any encoder writes: each would cost a pass over the image.
TEST(HostileImages, JpegScanFloods) {
  TempDir dir;
  const fs::path src = noisy_pgm(dir, 64, 64);
  run_tool("convert " + quoted(src) + " -interlace JPEG " + quoted(dir / "p.jpg"));
  const std::string jpg = read_file(dir / "p.jpg");
  const size_t last_sos = jpg.rfind("\xFF\xDA");
  ASSERT_NE(last_sos, std::string::npos);
  const std::string scan = jpg.substr(last_sos, jpg.size() - 2 - last_sos);
  std::string repeated = jpg.substr(0, jpg.size() - 2);
  for (int i = 0; i < 2000; ++i) repeated += scan;
  repeated += "\xFF\xD9";

  // 128 scans of a valid progression, written by libjpeg: the DC in two
  // steps, then every AC coefficient alone, in two steps each.
  std::vector<jpeg_scan_info> script = {{1, {0}, 0, 0, 0, 1}, {1, {0}, 0, 0, 1, 0}};
  for (int ah : {0, 1})
    for (int k = 1; k < 64; ++k) script.push_back({1, {0}, k, k, ah, 1 - ah});
  const std::string many = progressive_jpeg(64, 64, script);
  auto r = decode(repeated);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(std::holds_alternative<ImageInputError::Corrupt>(r.error().value))
      << r.error().message();
  r = decode(many);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "unsupported JPEG: more than 100 scans");
}

// Directories that loop, claim more entries or values than the file holds,
// or point outside it.
TEST(HostileImages, DamagedTiffDirectories) {
  TempDir dir;
  std::vector<std::byte> data(64 * 48);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::byte>(i * 7);
  write_tiff(dir / "a.tif", {.width = 64, .height = 48, .rows_per_strip = 8, .data = data});
  const std::string tiff = read_file(dir / "a.tif");
  ASSERT_EQ(tiff.substr(0, 2), "II");
  const auto good = decode(tiff);
  ASSERT_TRUE(good.has_value()) << good.error().message();
  const uint32_t ifd = get32(tiff, 4);
  const size_t after_ifd = ifd + 2 + 12 * size_t{get16(tiff, ifd)};

  const struct {
    const char* name;
    std::function<void(std::string&)> damage;
    int decodes;  // 1: the first image intact, 0: an error, -1: either
  } cases[] = {
      {"next directory is itself", [&](std::string& t) { put32(t, after_ifd, ifd); }, 1},
      {"next directory is the header", [&](std::string& t) { put32(t, after_ifd, 0); }, 1},
      {"directory past the end", [&](std::string& t) { put32(t, 4, 0x7FFFFFF0); }, 0},
      {"65535 entries", [&](std::string& t) { put16(t, ifd, 0xFFFF); }, 0},
      {"strip offsets count 2^30",
       [&](std::string& t) { put32(t, entry_of(t, 273) + 4, 1u << 30); }, -1},
      {"strip byte counts count 2^30",
       [&](std::string& t) { put32(t, entry_of(t, 279) + 4, 1u << 30); }, -1},
      {"strip offsets past the end",
       [&](std::string& t) {
         const size_t e = entry_of(t, 273);
         put32(t, e + 4, 1);  // a single strip
         put32(t, e + 8, 0x7FFFFFF0);
       },
       0},
      {"rows per strip 0", [&](std::string& t) { put32(t, entry_of(t, 278) + 8, 0); }, -1},
  };
  for (const auto& c : cases) {
    std::string damaged = tiff;
    c.damage(damaged);
    auto r = decode(damaged);
    if (c.decodes == 1) {
      ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().message();
    }
    if (r) {
      EXPECT_NE(c.decodes, 0) << c.name;
      EXPECT_EQ(r->plane, good->plane) << c.name;
    } else {
      EXPECT_NE(c.decodes, 1) << c.name;
      EXPECT_NE(r.error().message().find("TIFF"), std::string::npos) << c.name;
    }
  }
}

// A header of blank or valued cards that never ends is Truncated, however long.
TEST(HostileFits, HeaderWithoutEnd) {
  std::string simple = "SIMPLE  =                    T";
  simple.resize(80, ' ');
  const struct {
    const char* name;
    std::string card;
  } cases[] = {
      {"blank cards", std::string(80, ' ')},
      {"valued cards", "HISTORY = 'x'" + std::string(67, ' ')},
      {"keywords that start with END", "ENDING  = 1" + std::string(69, ' ')},
  };
  for (const auto& c : cases) {
    std::string file = simple;
    while (file.size() < (4u << 20)) file += c.card;
    auto r = fits::FitsImage::parse(bytes_of(file));
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().kind, fits::FitsErrorKind::Truncated) << c.name;
  }
}

namespace {

// Two bands and patterns over a few hundred stars: every section has content to damage.
tools::EncodedDb sample_database() {
  tools::DbSpec desc;
  desc.stars = random_stars_in_cap(300, 1.0, 0.3, 0.1, 3);
  desc.bands.push_back({8.0, 0.25, 3, all_ids(300)});
  desc.bands.push_back({4.0, 0.05, 5, all_ids(150)});
  for (uint32_t i = 0; i + 3 < 40; ++i) desc.patterns.push_back({{i, i + 1, i + 2, i + 3}, 0});
  return must_make_db(desc).encoded;
}

template <class T>
T* record(std::vector<std::byte>& bytes, uint64_t offset, size_t index) {
  return reinterpret_cast<T*>(bytes.data() + offset) + index;
}

class StepClock final : public Clock {
 public:
  double now_ms() override { return static_cast<double>(reads_++) * 20.0; }

 private:
  uint64_t reads_ = 0;
};

// Every reader on a database that loaded without its checks.
void read_everything(const Database& db) {
  std::vector<uint32_t> out;
  const std::array<double, 3> centres[] = {
      {std::cos(0.3) * std::cos(1.0), std::cos(0.3) * std::sin(1.0), std::sin(0.3)},
      {0, 0, 1},
      {0, 0, 0}};
  for (size_t band = 0; band <= db.band_count(); ++band)
    for (const auto& c : centres)
      for (double r : {0.0, 0.01, 0.2, std::numbers::pi / 4, std::numbers::pi}) {
        out.clear();
        db.stars_in_cone(band, c, r, out);
        for (uint32_t id : out) (void)db.star_at(id);
      }
  std::vector<ImageStar> stars;
  std::mt19937 rng(9);
  for (int i = 0; i < 40; ++i)
    stars.push_back(
        {static_cast<double>(rng() % 600), static_cast<double>(rng() % 400), 1000.0 - i});
  StepClock clock;
  (void)solve_stars_frame(db, stars, 600, 400, SolveParams{}, clock);
}

}  // namespace

// Contents that only the verification flags check: refused with them, and
// without them loaded and read safely by every reader.
TEST(HostileDatabases, DamagedContentsAreGuardedByTheReaders) {
  const tools::EncodedDb good = sample_database();
  const auto* h = reinterpret_cast<const DbHeader*>(good.bytes.data());
  const DbHeader hdr = *h;

  const struct {
    const char* name;
    std::function<void(std::vector<std::byte>&)> damage;
    const char* verified;  // the section named with the flags
  } cases[] = {
      {"star id past the stars",
       [&](auto& b) { *record<uint32_t>(b, hdr.star_lists.offset, 5) = 0xFFFFFFFF; },
       "star id in star list"},
      {"cell offsets falling",
       [&](auto& b) {
         *record<uint32_t>(b, hdr.cell_offsets.offset, hdr.bands[0].cell_offsets_start + 100) =
             0xFFFFFFF0;
       },
       "cell offsets contents"},
      {"cell offsets past the run",
       [&](auto& b) {
         for (uint64_t c = 1; c <= 768; ++c)
           *record<uint32_t>(b, hdr.cell_offsets.offset, hdr.bands[0].cell_offsets_start + c) =
               1000;
       },
       "cell offsets contents"},
      {"pattern star id past the stars",
       [&](auto& b) { record<PatternRecord>(b, hdr.patterns.offset, 3)->star_ids[2] = 1u << 31; },
       "pattern record"},
      {"pattern band past the bands",
       [&](auto& b) {
         for (uint32_t i = 0; i < hdr.pattern_count; ++i)
           record<PatternRecord>(b, hdr.patterns.offset, i)->band = 7;
       },
       "pattern record"},
      {"slot index past the patterns",
       [&](auto& b) {
         for (uint32_t i = 0; i < hdr.slot_count; ++i)
           record<SlotRecord>(b, hdr.slots.offset, i)->pattern_index = hdr.pattern_count + i;
       },
       "slot pattern index"},
      {"no empty slot, every tag alike",
       [&](auto& b) {
         for (uint32_t i = 0; i < hdr.slot_count; ++i)
           *record<SlotRecord>(b, hdr.slots.offset, i) = {i % hdr.pattern_count, 0, 0};
       },
       nullptr},
      {"stars of NaN and zero vectors",
       [&](auto& b) {
         for (uint32_t i = 0; i < hdr.star_count; i += 2)
           *record<StarRecord>(b, hdr.stars.offset, i) =
               i % 4 ? StarRecord{} : StarRecord{NAN, NAN, INFINITY, 0, 0};
       },
       nullptr},
  };
  for (const auto& c : cases) {
    std::vector<std::byte> bytes = good.bytes;
    c.damage(bytes);
    auto verified = Database::load(bytes, false, true);
    if (c.verified) {
      ASSERT_FALSE(verified.has_value()) << c.name;
      EXPECT_EQ(verified.error().kind, LoadErrorKind::BadSection) << c.name;
      EXPECT_EQ(verified.error().section, c.verified) << c.name;
    }
    auto loaded = Database::load(bytes, false, false);
    ASSERT_TRUE(loaded.has_value()) << c.name << ": " << loaded.error().message();
    SCOPED_TRACE(c.name);
    read_everything(*loaded);
  }
}

// Offsets and lengths anywhere: refused whatever the flags, never followed.
TEST(HostileDatabases, SectionsPointingAnywhereAreRefused) {
  const tools::EncodedDb good = sample_database();
  const uint64_t len = good.bytes.size();
  const struct {
    const char* name;
    size_t field;  // byte offset of a u64 in the header
    uint64_t value;
    const char* section;
  } cases[] = {
      {"stars past the end", 368, len, "stars"},
      {"star lists wrap around", 392, ~uint64_t{0} - 100, "star_lists"},
      {"cell offsets into the header", 400, 8, "cell_offsets"},
      {"patterns misaligned", 416, 450, "patterns"},
      {"slots longer than the file", 440, len * 8, "slots"},
      {"band star list start far away", 48 + 24, uint64_t{1} << 62, "star list range"},
      {"band cell table start far away", 48 + 32, ~uint64_t{0}, "cell offsets range"},
  };
  for (const auto& c : cases) {
    std::vector<std::byte> bytes = good.bytes;
    std::memcpy(bytes.data() + c.field, &c.value, 8);
    for (bool verify : {false, true}) {
      auto r = Database::load(bytes, verify, verify);
      ASSERT_FALSE(r.has_value()) << c.name;
      EXPECT_EQ(r.error().section, c.section) << c.name;
    }
  }
}

// The seeds of the fuzz targets, and any input kept from a finding, stay
// answered: each file through the reader of its target.
TEST(FuzzCorpus, EveryInputIsAnswered) {
  const fs::path corpus = fs::path(KESTRUNE_SOURCE_DIR) / "fuzz" / "corpus";
  size_t files = 0;
  for (const char* target : {"fits", "image", "db", "run"}) {
    if (!fs::exists(corpus / target)) continue;
    for (const auto& entry : fs::directory_iterator(corpus / target)) {
      SCOPED_TRACE(entry.path().string());
      const std::string bytes = read_file(entry.path());
      ++files;
      if (std::string_view(target) == "fits") {
        if (auto img = fits::FitsImage::parse(bytes_of(bytes))) {
          EXPECT_EQ(img->to_samples().samples.size(), size_t{img->width} * img->height);
        }
      } else if (std::string_view(target) == "image") {
        (void)decode(bytes);
      } else if (std::string_view(target) == "db") {
        std::vector<uint64_t> aligned(bytes.size() / 8 + 1);
        std::memcpy(aligned.data(), bytes.data(), bytes.size());
        auto db =
            Database::load(std::as_bytes(std::span(aligned)).first(bytes.size()), false, false);
        if (db) read_everything(*db);
      } else {
        auto plane = cli::load_image(entry.path().string());
        if (plane) {
          EXPECT_EQ(plane->samples.size(), size_t{plane->width} * plane->height);
        }
      }
    }
  }
  EXPECT_GT(files, 0u);
}
