// Writes the seeds that come from the project's own writers:
//   run/  the field of tests/support/solvable_field.hpp in every image format the run reads
//   db/   the field's database and a tiny two-band one
// make_seeds <corpus root>. fuzz/make_seeds.sh adds the FITS and raster
// seeds that independent tools write.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/solvable_field.hpp"
#include "tools/db_writer.hpp"

using namespace kestrune;
using namespace kestrune::tools;

namespace {

bool write_bytes(const std::string& path, const std::vector<std::byte>& bytes) {
  if (auto written = write_file_atomic(path, bytes); !written) {
    std::fprintf(stderr, "%s\n", written.error().text.c_str());
    return false;
  }
  return true;
}

// Ten stars near the equator in two bands (depths 0 and 1) and a few patterns.
std::vector<std::byte> tiny_database() {
  DbSpec desc;
  for (int i = 0; i < 10; ++i)
    desc.stars.push_back(star_record(0.02 * i, 0.015 * (i % 4), static_cast<int16_t>(i)));
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < 10; ++i) ids.push_back(i);
  desc.bands.push_back({10.0, 0.3, 0, ids});
  desc.bands.push_back({5.0, 0.15, 1, {0, 2, 4, 6, 8}});
  desc.patterns = {{{0, 1, 2, 3}, 0}, {{2, 4, 6, 8}, 1}, {{1, 3, 5, 7}, 0}};
  auto encoded = encode_database(desc);
  if (!encoded) {
    std::fprintf(stderr, "%s\n", encoded.error().text.c_str());
    return {};
  }
  return encoded->bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <corpus root>\n");
    return 2;
  }
  const std::string root = argv[1];
  const auto& f = testing::solvable_field();
  auto image = render_field(f.desc, f.catalogue);
  if (!image) {
    std::fprintf(stderr, "%s\n", image.error().c_str());
    return 1;
  }
  const struct {
    const char* name;
    WriteOptions options;
  } seeds[] = {
      {"field.fits", {.format = OutputFormat::Fits16}},
      {"field.png", {.format = OutputFormat::Png8}},
      {"field16.png", {.format = OutputFormat::Png16}},
      {"field.jpg", {.format = OutputFormat::Jpeg, .jpeg_quality = 80}},
      {"field.tif", {.format = OutputFormat::Tiff16, .tiff_compression = TiffCompression::Lzw}},
  };
  for (const auto& s : seeds) {
    if (auto written = write_image(root + "/run/" + s.name, *image, s.options); !written) {
      std::fprintf(stderr, "%s\n", written.error().c_str());
      return 1;
    }
  }
  const auto tiny = tiny_database();
  if (tiny.empty() || !write_bytes(root + "/db/field.krdb", f.database) ||
      !write_bytes(root + "/db/tiny.krdb", tiny))
    return 1;
  return 0;
}
