// Writes the field of fuzz/field.hpp in every image format the run reads,
// as seeds of the whole-run target: make_run_seeds <directory>.
#include <cstdio>
#include <string>

#include "fuzz/field.hpp"

int main(int argc, char** argv) {
  using namespace kestrune::tools;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_run_seeds <directory>\n");
    return 2;
  }
  const auto& f = kestrune::fuzzing::field();
  auto image = render_field(f.spec, f.catalogue);
  if (!image) {
    std::fprintf(stderr, "%s\n", image.error().c_str());
    return 1;
  }
  const struct {
    const char* name;
    WriteOptions options;
  } seeds[] = {
      {"field.fits", {.format = OutputFormat::Fits16}},
      {"field_float.fits", {.format = OutputFormat::FitsFloat}},
      {"field.png", {.format = OutputFormat::Png8}},
      {"field16.png", {.format = OutputFormat::Png16}},
      {"field.jpg", {.format = OutputFormat::Jpeg, .jpeg_quality = 80}},
      {"field.tif", {.format = OutputFormat::Tiff16, .tiff_compression = TiffCompression::Lzw}},
  };
  for (const auto& s : seeds) {
    const std::string path = std::string(argv[1]) + "/" + s.name;
    if (auto written = write_image(path, *image, s.options); !written) {
      std::fprintf(stderr, "%s\n", written.error().c_str());
      return 1;
    }
  }
  return 0;
}
