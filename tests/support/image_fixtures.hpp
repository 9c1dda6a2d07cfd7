// image_fixtures.hpp — image files made by independent writers, at test time.
//
// FITS files come from cfitsio, rasters from ImageMagick's convert, libtiff's
// tiffcp and exiftool, or from libtiff/libpng/libjpeg writers when a file must
// carry something the tools refuse to write (float NaN, signed samples, a
// header that claims more pixels than the file holds). Tests compare what our
// readers make of these files with values they know independently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

namespace kestrune::testing {

struct FitsKey {
  std::string name;
  std::variant<long long, double, std::string> value;
};

// A primary image written by cfitsio. `raw` are the stored values (cast to
// the BITPIX type, in FITS axis order); `keys` are written after the
// mandatory cards and never applied to the data (BZERO/BSCALE stay raw).
struct FitsSpec {
  int bitpix = 16;
  std::vector<long> axes;
  std::vector<double> raw;
  std::vector<FitsKey> keys;
};
void write_fits(const std::filesystem::path& path, const FitsSpec& desc);

// Byte offset of the data array of a file written by write_fits (after END).
size_t fits_data_offset(const std::filesystem::path& path);

// Binary PGM (one channel) or PPM (three), 8 bits when maxval < 256, else 16.
void write_pnm(const std::filesystem::path& path, uint32_t width, uint32_t height, int channels,
               const std::vector<uint16_t>& samples, unsigned maxval = 255);

// Runs a shell command; fails the current test with its output when it fails.
void run_tool(const std::string& command);

std::string quoted(const std::filesystem::path& path);

// A TIFF written sample by sample with libtiff: one directory, strips of
// `rows_per_strip` rows; `data` holds the raw bytes in the file's layout.
struct TiffSpec {
  uint32_t width = 1;
  uint32_t height = 1;
  uint16_t samples_per_pixel = 1;
  uint16_t bits = 8;
  uint16_t sample_format = 1;  // SAMPLEFORMAT_UINT
  uint16_t photometric = 1;    // PHOTOMETRIC_MINISBLACK
  uint16_t planar = 1;         // PLANARCONFIG_CONTIG
  uint32_t rows_per_strip = 0; // 0: all rows in one strip
  uint32_t rows_written = UINT32_MAX;  // fewer leaves the rest of the image out
  std::vector<std::byte> data;
};
void write_tiff(const std::filesystem::path& path, const TiffSpec& desc);

// A PNG whose header claims width x height (8-bit gray) but that holds only
// its first rows: enough for a reader to see the size and the image data.
void write_png_header_only(const std::filesystem::path& path, uint32_t width, uint32_t height);

// A small baseline JPEG whose frame header is then made to claim width x
// height: a reader sees the size first and the data run out later.
void write_jpeg_claiming(const std::filesystem::path& path, uint32_t width, uint32_t height);

template <typename T>
std::vector<std::byte> as_bytes(const std::vector<T>& values) {
  std::vector<std::byte> out(values.size() * sizeof(T));
  if (!out.empty()) __builtin_memcpy(out.data(), values.data(), out.size());
  return out;
}

}  // namespace kestrune::testing
