#include "tests/support/image_fixtures.hpp"

#include <fitsio.h>
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace kestrune::testing {
namespace {

void check_fits(int status, const std::string& what) {
  if (status == 0) return;
  char text[FLEN_STATUS];
  fits_get_errstatus(status, text);
  ADD_FAILURE() << "cfitsio " << what << ": " << text;
}

template <typename T>
void write_values(fitsfile* f, int type, const std::vector<double>& raw, int* status) {
  std::vector<T> values(raw.begin(), raw.end());
  fits_write_img(f, type, 1, static_cast<LONGLONG>(values.size()), values.data(), status);
}

}  // namespace

void write_fits(const std::filesystem::path& path, const FitsSpec& desc) {
  fitsfile* f = nullptr;
  int status = 0;
  std::string name = "!";  // cfitsio's mark for overwriting
  name += path.string();
  fits_create_file(&f, name.c_str(), &status);
  std::vector<long> axes = desc.axes;
  fits_create_img(f, desc.bitpix, static_cast<int>(axes.size()), axes.data(), &status);
  for (const auto& key : desc.keys) {
    if (auto* i = std::get_if<long long>(&key.value)) {
      LONGLONG v = *i;
      fits_write_key(f, TLONGLONG, key.name.c_str(), &v, nullptr, &status);
    } else if (auto* d = std::get_if<double>(&key.value)) {
      double v = *d;
      fits_write_key(f, TDOUBLE, key.name.c_str(), &v, nullptr, &status);
    } else {
      fits_write_key_str(f, key.name.c_str(), std::get<std::string>(key.value).c_str(), nullptr,
                         &status);
    }
  }
  // The values given are the stored ones: no scaling on the way out.
  fits_set_bscale(f, 1.0, 0.0, &status);
  if (!desc.raw.empty()) {
    switch (desc.bitpix) {
      case BYTE_IMG:
        write_values<unsigned char>(f, TBYTE, desc.raw, &status);
        break;
      case SHORT_IMG:
        write_values<short>(f, TSHORT, desc.raw, &status);
        break;
      case LONG_IMG:
        write_values<int>(f, TINT, desc.raw, &status);
        break;
      case FLOAT_IMG:
        write_values<float>(f, TFLOAT, desc.raw, &status);
        break;
      case DOUBLE_IMG:
        write_values<double>(f, TDOUBLE, desc.raw, &status);
        break;
      default:
        ADD_FAILURE() << "no writer for BITPIX " << desc.bitpix;
    }
  }
  fits_close_file(f, &status);
  check_fits(status, "writing " + path.string());
}

size_t fits_data_offset(const std::filesystem::path& path) {
  fitsfile* f = nullptr;
  int status = 0;
  LONGLONG head = 0, data = 0, end = 0;
  fits_open_file(&f, path.c_str(), READONLY, &status);
  fits_get_hduaddrll(f, &head, &data, &end, &status);
  fits_close_file(f, &status);
  check_fits(status, "reading " + path.string());
  return static_cast<size_t>(data);
}

void write_pnm(const std::filesystem::path& path, uint32_t width, uint32_t height, int channels,
               const std::vector<uint16_t>& samples, unsigned maxval) {
  std::ofstream out(path, std::ios::binary);
  out << (channels == 1 ? "P5" : "P6") << "\n" << width << " " << height << "\n" << maxval << "\n";
  for (uint16_t v : samples) {
    if (maxval < 256) {
      out.put(static_cast<char>(v));
    } else {
      out.put(static_cast<char>(v >> 8));
      out.put(static_cast<char>(v & 0xFF));
    }
  }
}

std::string quoted(const std::filesystem::path& path) {
  std::string out = "'";
  out += path.string();
  out += '\'';
  return out;
}

void run_tool(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
  ASSERT_NE(pipe, nullptr) << command;
  std::string output;
  std::array<char, 4096> buf;
  while (size_t n = std::fread(buf.data(), 1, buf.size(), pipe.get())) output.append(buf.data(), n);
  int status = pclose(pipe.release());
  ASSERT_EQ(status, 0) << command << "\n" << output;
}

void write_tiff(const std::filesystem::path& path, const TiffSpec& desc) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr) << path;
  const uint32_t rps = desc.rows_per_strip == 0 ? desc.height : desc.rows_per_strip;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, desc.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, desc.height);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, desc.samples_per_pixel);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, desc.bits);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, desc.sample_format);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, desc.photometric);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, desc.planar);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rps);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  std::vector<uint16_t> map;
  if (desc.photometric == PHOTOMETRIC_PALETTE) {
    map.assign(size_t{1} << desc.bits, 0);
    TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
  }
  if (desc.samples_per_pixel == 2 || desc.samples_per_pixel == 4) {
    if (desc.photometric != PHOTOMETRIC_SEPARATED) {
      uint16_t extra = EXTRASAMPLE_UNASSALPHA;
      TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
  }
  const bool separate = desc.planar == PLANARCONFIG_SEPARATE;
  const size_t row_bytes =
      (size_t{desc.width} * (separate ? 1 : desc.samples_per_pixel) * desc.bits + 7) / 8;
  const uint32_t strips_per_plane = (desc.height + rps - 1) / rps;
  const uint32_t rows = std::min(desc.rows_written, desc.height);
  const size_t plane_bytes = row_bytes * desc.height;
  for (uint16_t p = 0; p < (separate ? desc.samples_per_pixel : 1); ++p) {
    for (uint32_t s = 0; s < strips_per_plane && s * rps < rows; ++s) {
      const uint32_t n = std::min(rps, desc.height - s * rps);
      const size_t from = p * plane_bytes + size_t{s} * rps * row_bytes;
      std::vector<std::byte> strip(n * row_bytes);
      if (from < desc.data.size()) {
        std::memcpy(strip.data(), desc.data.data() + from,
                    std::min(strip.size(), desc.data.size() - from));
      }
      ASSERT_GE(TIFFWriteEncodedStrip(t, p * strips_per_plane + s, strip.data(),
                                      static_cast<tmsize_t>(strip.size())),
                0);
    }
  }
  TIFFClose(t);
}

void write_png_header_only(const std::filesystem::path& path, uint32_t width, uint32_t height) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<png_byte> row(width, 0);
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, fp);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // Rows of noise fill the compressor's buffer, so IDAT chunks reach the file.
    uint32_t state = 1;
    for (int y = 0; y < 4; ++y) {
      for (auto& b : row) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<png_byte>(state >> 24);
      }
      png_write_row(png, row.data());
    }
  } else {
    ADD_FAILURE() << "libpng could not write " << path;
  }
  png_destroy_write_struct(&png, &info);
  std::fclose(fp);
}

void write_jpeg_claiming(const std::filesystem::path& path, uint32_t width, uint32_t height) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = 16;
  c.image_height = 16;
  c.input_components = 1;
  c.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  std::array<JSAMPLE, 16> row{};
  while (c.next_scanline < c.image_height) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<unsigned char> bytes(buf, buf + size);
  std::free(buf);
  // SOF0: FF C0, length (2), precision (1), height (2), width (2).
  bool patched = false;
  for (size_t i = 2; i + 9 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) {
      bytes[i + 5] = static_cast<unsigned char>(height >> 8);
      bytes[i + 6] = static_cast<unsigned char>(height);
      bytes[i + 7] = static_cast<unsigned char>(width >> 8);
      bytes[i + 8] = static_cast<unsigned char>(width);
      patched = true;
      break;
    }
  }
  ASSERT_TRUE(patched);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kestrune::testing
