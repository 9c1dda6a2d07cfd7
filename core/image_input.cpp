#include "core/image_input.hpp"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
#include <jerror.h>
// clang-format on
#include <libexif/exif-data.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>

namespace kestrune::image_input {
namespace {

constexpr size_t kTiffMaxSingleAlloc = 256u << 20;  // libtiff's intermediate buffers

// The decoder's output before luminance: 8- or 16-bit samples, interleaved
// by pixel or (TIFF) one whole plane per channel.
struct Samples {
  std::vector<uint8_t> u8;
  std::vector<uint16_t> u16;
  bool wide = false;
  bool colour = false;  // R, G, B in channels 0..2; otherwise channel 0 is the gray
  bool planar = false;
  bool luminance = false;  // u16 already holds the luminance, one value per pixel
  size_t channels = 1;
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bits = 8;
  uint8_t orientation = 1;
};

using Decoded = std::expected<Samples, ImageInputError>;

ImageInputError unsupported(ImageFormat f, std::string text) {
  return {ImageInputError::Unsupported{f, std::move(text)}};
}
ImageInputError corrupt(ImageFormat f, std::string text) {
  return {ImageInputError::Corrupt{f, std::move(text)}};
}

bool contains_ci(std::string_view text, std::string_view word) {
  auto it = std::search(text.begin(), text.end(), word.begin(), word.end(),
                        [](char a, char b) { return std::tolower(a) == std::tolower(b); });
  return it != text.end();
}

// libpng and libtiff report through texts only; these words mark a missing
// feature or an exhausted allowance rather than bad data.
bool names_limit(std::string_view text) {
  return contains_ci(text, "memory") || contains_ci(text, "limit") ||
         contains_ci(text, "too large") || contains_ci(text, "exceeds");
}
bool names_unsupported(std::string_view text) {
  return contains_ci(text, "not supported") || contains_ci(text, "unsupported") ||
         contains_ci(text, "not implemented") || contains_ci(text, "not configured") ||
         contains_ci(text, "sorry");
}

ImageInputError img_err(ImageFormat f, std::string text, bool unsupported_or_limit) {
  return unsupported_or_limit ? unsupported(f, std::move(text)) : corrupt(f, std::move(text));
}

ImageInputError tiff_err(std::string text) {
  if (names_limit(text)) return unsupported(ImageFormat::Tiff, "image exceeds the decoding limits");
  if (names_unsupported(text)) return unsupported(ImageFormat::Tiff, std::move(text));
  return corrupt(ImageFormat::Tiff, std::move(text));
}

// Orientation from an EXIF block that starts with "Exif\0\0"; 1 when absent.
uint8_t exif_orientation(const unsigned char* data, size_t size) {
  if (size < 6 || size > 0xFFFFFFFFu) return 1;
  std::unique_ptr<ExifData, decltype(&exif_data_unref)> ed(exif_data_new(), exif_data_unref);
  if (!ed) return 1;
  // Read what is there; never add the defaults a writer would.
  exif_data_unset_option(ed.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(ed.get(), data, static_cast<unsigned>(size));
  ExifEntry* e = exif_data_get_entry(ed.get(), EXIF_TAG_ORIENTATION);
  if (e == nullptr || e->data == nullptr || e->format != EXIF_FORMAT_SHORT || e->components < 1 ||
      e->size < 2) {
    return 1;
  }
  unsigned v = exif_get_short(e->data, exif_data_get_byte_order(ed.get()));
  return v >= 1 && v <= 8 ? static_cast<uint8_t>(v) : 1;
}

// ---------------------------------------------------------------- JPEG

struct JpegErrorMgr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char text[JMSG_LENGTH_MAX];
  bool unsupported_or_limit;
};

bool jpeg_code_unsupported(int code) {
  switch (code) {
    case JERR_ARITH_NOTIMPL:
    case JERR_BAD_PRECISION:
    case JERR_CCIR601_NOTIMPL:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_FRACT_SAMPLE_NOTIMPL:
    case JERR_NOTIMPL:
    case JERR_NOT_COMPILED:
    case JERR_SOF_UNSUPPORTED:
    case JERR_OUT_OF_MEMORY:
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void jpeg_fail(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->text);
  err->unsupported_or_limit = jpeg_code_unsupported(cinfo->err->msg_code);
  std::longjmp(err->jump, 1);
}

// Warnings stay silent, except that data ending early is an error (the
// decoder would otherwise fill the rest of the image with gray), and so is a
// progressive scan that sends coefficient bits again: no encoder writes one,
// and each repeat costs a pass over every block of the image.
void jpeg_message(j_common_ptr cinfo, int level) {
  if (level == -1 && (cinfo->err->msg_code == JWRN_JPEG_EOF ||
                      cinfo->err->msg_code == JWRN_BOGUS_PROGRESSION))
    jpeg_fail(cinfo);
}

// Even a valid progression can be split into hundreds of scans, each a pass
// over the image; ordinary encoders write about ten.
constexpr int kMaxJpegScans = 100;

void jpeg_scan_limit(j_common_ptr cinfo) {
  const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number <= kMaxJpegScans) return;
  auto* err = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
  std::snprintf(err->text, sizeof err->text, "more than %d scans", kMaxJpegScans);
  err->unsupported_or_limit = true;
  std::longjmp(err->jump, 1);
}

void jpeg_silent(j_common_ptr) {}

uint8_t jpeg_orientation(const jpeg_decompress_struct& cinfo) {
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 &&
        std::memcmp(m->data, "Exif\0\0", 6) == 0) {
      return exif_orientation(m->data, m->data_length);
    }
  }
  return 1;
}

constexpr JDIMENSION kJpegStripRows = 16;

uint16_t mean_rgb8(unsigned r, unsigned g, unsigned b) {
  return static_cast<uint16_t>(((r + g + b) * 257 + 1) / 3);
}

void jpeg_row_luminance(const uint8_t* p, uint16_t* out, size_t width, J_COLOR_SPACE space,
                        bool adobe) {
  if (space == JCS_GRAYSCALE) {
    for (size_t x = 0; x < width; ++x) out[x] = static_cast<uint16_t>(p[x] * 257);
  } else if (space == JCS_RGB) {
    for (size_t x = 0; x < width; ++x) out[x] = mean_rgb8(p[3 * x], p[3 * x + 1], p[3 * x + 2]);
  } else {
    // CMYK: Adobe writes it inverted; either way R = (1-C)(1-K) in the unit range.
    for (size_t x = 0; x < width; ++x) {
      unsigned c[4];
      for (int k = 0; k < 4; ++k) c[k] = adobe ? p[4 * x + k] : 255u - p[4 * x + k];
      unsigned rgb[3];
      for (int k = 0; k < 3; ++k) rgb[k] = (c[k] * c[3] + 127) / 255;
      out[x] = mean_rgb8(rgb[0], rgb[1], rgb[2]);
    }
  }
}

// No C++ object may come to life between setjmp and a libjpeg call that can
// jump back: everything that outlives a jump is declared before setjmp.
Decoded decode_jpeg(std::span<const std::byte> bytes) {
  jpeg_decompress_struct cinfo;
  JpegErrorMgr err;
  Samples out;
  std::vector<uint8_t> strip;
  std::optional<ImageInputError> refused;
  jpeg_progress_mgr progress{};
  progress.progress_monitor = jpeg_scan_limit;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = jpeg_fail;
  err.pub.emit_message = jpeg_message;
  err.pub.output_message = jpeg_silent;
  err.unsupported_or_limit = false;
  err.text[0] = '\0';

  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return std::unexpected(img_err(ImageFormat::Jpeg, err.text, err.unsupported_or_limit));
  }
  jpeg_create_decompress(&cinfo);
  cinfo.progress = &progress;
  cinfo.mem->max_memory_to_use = static_cast<long>(kMaxBufferBytes);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);

  out.width = cinfo.image_width;
  out.height = cinfo.image_height;
  out.orientation = jpeg_orientation(cinfo);
  if (cinfo.jpeg_color_space == JCS_GRAYSCALE) {
    cinfo.out_color_space = JCS_GRAYSCALE;
    out.channels = 1;
  } else if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
    cinfo.out_color_space = JCS_CMYK;  // turned into RGB below
    out.channels = 3;
    out.colour = true;
  } else {
    cinfo.out_color_space = JCS_RGB;
    out.channels = 3;
    out.colour = true;
  }
  refused = check_limits(ImageFormat::Jpeg, out.width, out.height, 1, out.channels);
  if (refused) {
    jpeg_destroy_decompress(&cinfo);
    return std::unexpected(std::move(*refused));
  }

  jpeg_start_decompress(&cinfo);
  // Luminance is taken row by row as the decoder delivers it, so the full
  // 8-bit colour image never exists in memory.
  const size_t stride = size_t{cinfo.output_width} * cinfo.output_components;
  strip.resize(stride * kJpegStripRows);
  out.u16.resize(size_t{out.width} * out.height);
  out.luminance = true;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[kJpegStripRows];
    const JDIMENSION first = cinfo.output_scanline;
    const JDIMENSION n = std::min<JDIMENSION>(kJpegStripRows, cinfo.output_height - first);
    for (JDIMENSION k = 0; k < n; ++k) rows[k] = strip.data() + k * stride;
    JDIMENSION got = 0;
    while (got < n) got += jpeg_read_scanlines(&cinfo, rows + got, n - got);
    for (JDIMENSION k = 0; k < n; ++k) {
      jpeg_row_luminance(rows[k], out.u16.data() + size_t{first + k} * out.width, out.width,
                         cinfo.out_color_space, cinfo.saw_Adobe_marker);
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  out.bits = 8;
  return out;
}

// ---------------------------------------------------------------- PNG

// The PNG is read through libpng's progressive interface: once the last row
// is in, it stops inflating, whereas the sequential reader inflates whatever
// image data follows to its end (a megabyte of IDAT can hold a gigabyte of
// surplus zeros, seconds of work for nothing).
struct PngState {
  std::string text;
  Samples out;
  std::vector<png_bytep> rows;
  std::optional<ImageInputError> refused;
  int last_pass = 0;        // the last pass that carries pixels
  png_uint_32 last_row = 0; // its last row
  bool image_done = false;
  bool exif_seen = false;
  uint8_t exif_orientation = 1;
};

void png_fail(png_structp png, png_const_charp msg) {
  auto* st = static_cast<PngState*>(png_get_error_ptr(png));
  st->text = msg != nullptr ? msg : "error";
  png_longjmp(png, 1);
}

void png_warn(png_structp, png_const_charp) {}

struct PngRead {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngRead() { png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr); }
};

uint8_t png_exif_orientation(const unsigned char* exif, size_t size) {
  if (exif == nullptr || size == 0) return 1;
  // libexif wants the block as a JPEG carries it, after "Exif\0\0".
  std::vector<unsigned char> block(6 + size);
  std::memcpy(block.data(), "Exif\0\0", 6);
  std::memcpy(block.data() + 6, exif, size);
  return exif_orientation(block.data(), block.size());
}

uint8_t png_orientation(png_structp png, png_infop info) {
  png_uint_32 size = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &size, &exif) == 0) return 1;
  return png_exif_orientation(exif, size);
}

// The eXIf chunk may follow the image data, where the reader never gets to
// once the last row is in; so the chunk list is walked for it directly.
uint8_t png_trailing_exif_orientation(std::span<const std::byte> bytes) {
  auto be32 = [&](size_t at) {
    return (uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) |
           (uint32_t(bytes[at + 2]) << 8) | uint32_t(bytes[at + 3]);
  };
  size_t at = 8;  // after the signature
  while (at + 12 <= bytes.size()) {
    const uint64_t length = be32(at);
    const auto* type = reinterpret_cast<const char*>(bytes.data() + at + 4);
    if (length > bytes.size() - at - 12) return 1;
    if (std::memcmp(type, "eXIf", 4) == 0)
      return png_exif_orientation(reinterpret_cast<const unsigned char*>(bytes.data() + at + 8),
                                  static_cast<size_t>(length));
    if (std::memcmp(type, "IEND", 4) == 0) return 1;
    at += 12 + static_cast<size_t>(length);
  }
  return 1;
}

// libpng's progressive reader passes eXIf on as an unknown chunk.
int png_on_chunk(png_structp png, png_unknown_chunkp chunk) {
  auto* st = static_cast<PngState*>(png_get_user_chunk_ptr(png));
  if (std::memcmp(chunk->name, "eXIf", 4) == 0 && !st->exif_seen) {
    st->exif_seen = true;
    st->exif_orientation = png_exif_orientation(chunk->data, chunk->size);
  }
  return 1;
}

// Chunks whose content is never used; dropping them skips their inflation.
constexpr png_byte kPngIgnored[] = "iCCP\0iTXt\0tEXt\0zTXt\0sPLT\0";

// The header is in: transformations, limits, buffers.
void png_on_info(png_structp png, png_infop info) {
  auto* st = static_cast<PngState*>(png_get_progressive_ptr(png));
  png_uint_32 w = 0, h = 0;
  int depth = 0, colour_type = 0, interlace = 0;
  png_get_IHDR(png, info, &w, &h, &depth, &colour_type, &interlace, nullptr, nullptr);
  st->refused = check_limits(ImageFormat::Png, w, h, 1, 1);
  if (st->refused) png_error(png, "refused");

  if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour_type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (depth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);

  Samples& out = st->out;
  out.width = w;
  out.height = h;
  out.channels = png_get_channels(png, info);
  out.bits = static_cast<uint8_t>(png_get_bit_depth(png, info));
  out.wide = out.bits == 16;
  out.colour = out.channels >= 3;
  out.orientation = png_orientation(png, info);
  st->refused = check_limits(ImageFormat::Png, w, h, out.wide ? 2 : 1, out.channels);
  if (st->refused) png_error(png, "refused");

  // Adam7: pass p starts at row kRow0[p], column kCol0[p]; the last pass
  // with pixels delivers the image's final row.
  if (interlace == PNG_INTERLACE_ADAM7) {
    constexpr png_uint_32 kRow0[] = {0, 0, 4, 0, 2, 0, 1}, kCol0[] = {0, 4, 0, 2, 0, 1, 0};
    constexpr png_uint_32 kRowStep[] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 6; p >= 0; --p) {
      if (w > kCol0[p] && h > kRow0[p]) {
        st->last_pass = p;
        st->last_row = kRow0[p] + (h - 1 - kRow0[p]) / kRowStep[p] * kRowStep[p];
        break;
      }
    }
  } else {
    st->last_row = h - 1;
  }

  const size_t row_samples = size_t{w} * out.channels;
  st->rows.resize(h);
  if (out.wide) {
    out.u16.resize(row_samples * h);
    for (size_t y = 0; y < h; ++y) {
      st->rows[y] = reinterpret_cast<png_bytep>(out.u16.data() + y * row_samples);
    }
  } else {
    out.u8.resize(row_samples * h);
    for (size_t y = 0; y < h; ++y) st->rows[y] = out.u8.data() + y * row_samples;
  }
}

void png_on_row(png_structp png, png_bytep row, png_uint_32 y, int pass) {
  auto* st = static_cast<PngState*>(png_get_progressive_ptr(png));
  if (row == nullptr || y >= st->rows.size()) return;
  png_progressive_combine_row(png, st->rows[y], row);
  if (pass == st->last_pass && y == st->last_row) st->image_done = true;
}

// As for JPEG: nothing with a destructor starts living after setjmp.
Decoded decode_png(std::span<const std::byte> bytes) {
  PngState st;
  PngRead rd;

  rd.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &st, png_fail, png_warn);
  if (rd.png == nullptr) return std::unexpected(unsupported(ImageFormat::Png, "out of memory"));
  rd.info = png_create_info_struct(rd.png);
  if (rd.info == nullptr) return std::unexpected(unsupported(ImageFormat::Png, "out of memory"));

  if (setjmp(png_jmpbuf(rd.png))) {
    if (st.refused) return std::unexpected(std::move(*st.refused));
    // Chunks after the image data only matter for the eXIf block.
    if (st.image_done) {
      if (st.out.orientation == 1) st.out.orientation = st.exif_orientation;
      if (st.out.orientation == 1) st.out.orientation = png_trailing_exif_orientation(bytes);
      return std::move(st.out);
    }
    return std::unexpected(img_err(ImageFormat::Png, st.text,
                                   names_limit(st.text) || names_unsupported(st.text)));
  }
  png_set_progressive_read_fn(rd.png, &st, png_on_info, png_on_row, nullptr);
  png_set_read_user_chunk_fn(rd.png, &st, png_on_chunk);
  png_set_user_limits(rd.png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_chunk_malloc_max(rd.png, kMaxBufferBytes);
  png_set_keep_unknown_chunks(rd.png, PNG_HANDLE_CHUNK_NEVER, kPngIgnored, 5);
  // libpng only reads from the buffer it is given.
  png_process_data(rd.png, rd.info,
                   reinterpret_cast<png_bytep>(const_cast<std::byte*>(bytes.data())), bytes.size());
  if (!st.image_done) {
    return std::unexpected(corrupt(ImageFormat::Png, "unexpected end of file"));
  }
  if (st.out.orientation == 1) st.out.orientation = png_orientation(rd.png, rd.info);
  if (st.out.orientation == 1) st.out.orientation = st.exif_orientation;
  if (st.out.orientation == 1) st.out.orientation = png_trailing_exif_orientation(bytes);
  return std::move(st.out);
}

// ---------------------------------------------------------------- TIFF

struct TiffSource {
  std::span<const std::byte> bytes;
  uint64_t pos = 0;
  std::string error;  // first error since the last clear
};

tmsize_t tiff_read(thandle_t h, void* dst, tmsize_t n) {
  auto* src = static_cast<TiffSource*>(h);
  if (n <= 0 || src->pos >= src->bytes.size()) return 0;
  size_t k = std::min<uint64_t>(static_cast<uint64_t>(n), src->bytes.size() - src->pos);
  std::memcpy(dst, src->bytes.data() + src->pos, k);
  src->pos += k;
  return static_cast<tmsize_t>(k);
}
tmsize_t tiff_write(thandle_t, void*, tmsize_t) { return 0; }
toff_t tiff_seek(thandle_t h, toff_t off, int whence) {
  auto* src = static_cast<TiffSource*>(h);
  uint64_t base = whence == SEEK_CUR ? src->pos : whence == SEEK_END ? src->bytes.size() : 0;
  src->pos = base + off;
  return src->pos;
}
int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t h) { return static_cast<TiffSource*>(h)->bytes.size(); }
int tiff_map(thandle_t h, void** base, toff_t* size) {
  auto* src = static_cast<TiffSource*>(h);
  // Opened read-only: libtiff never writes through the mapping.
  *base = const_cast<std::byte*>(src->bytes.data());
  *size = src->bytes.size();
  return 1;
}
void tiff_unmap(thandle_t, void*, toff_t) {}

int tiff_on_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* src = static_cast<TiffSource*>(user);
  if (src->error.empty()) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    src->error = module != nullptr && *module != '\0' ? std::string(module) + ": " + buf : buf;
  }
  return 1;  // handled: the process-wide handler never prints it
}
int tiff_on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
struct TiffOptionsFree {
  void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

enum class TiffKind { U8, U16, U32, F32 };

// Converts `count` decoded samples into the 8- or 16-bit buffer.
void store_samples(TiffKind kind, bool invert, const void* src, size_t count, uint8_t* d8,
                   uint16_t* d16) {
  switch (kind) {
    case TiffKind::U8: {
      auto* s = static_cast<const uint8_t*>(src);
      for (size_t i = 0; i < count; ++i) d8[i] = invert ? 255 - s[i] : s[i];
      break;
    }
    case TiffKind::U16: {
      auto* s = static_cast<const uint16_t*>(src);
      for (size_t i = 0; i < count; ++i) d16[i] = invert ? 65535 - s[i] : s[i];
      break;
    }
    case TiffKind::U32: {
      auto* s = static_cast<const uint32_t*>(src);
      for (size_t i = 0; i < count; ++i) d16[i] = static_cast<uint16_t>((invert ? ~s[i] : s[i]) >> 16);
      break;
    }
    case TiffKind::F32: {
      auto* s = static_cast<const float*>(src);
      for (size_t i = 0; i < count; ++i) d16[i] = f32_to_u16(invert ? 1.0f - s[i] : s[i]);
      break;
    }
  }
}

std::string bits_text(const char* name, unsigned bits) {
  return "colour type " + std::string(name) + "(" + std::to_string(bits) + ")";
}

Decoded decode_tiff(std::span<const std::byte> bytes) {
  static std::once_flag quiet;
  // Paths of libtiff that still report through the process-wide handlers
  // must not print either.
  std::call_once(quiet, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
  const ImageFormat F = ImageFormat::Tiff;

  TiffSource src{bytes, 0, {}};
  std::unique_ptr<TIFFOpenOptions, TiffOptionsFree> opts(TIFFOpenOptionsAlloc());
  if (!opts) return std::unexpected(unsupported(F, "image exceeds the decoding limits"));
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), static_cast<tmsize_t>(kTiffMaxSingleAlloc));
  TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), tiff_on_error, &src);
  TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), tiff_on_warning, &src);
  std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpenExt("image", "r", &src, tiff_read,
                                                          tiff_write, tiff_seek, tiff_close,
                                                          tiff_size, tiff_map, tiff_unmap,
                                                          opts.get()));
  if (!tif) return std::unexpected(tiff_err(src.error.empty() ? "cannot open" : src.error));
  TIFF* t = tif.get();
  src.error.clear();

  uint32_t w = 0, h = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  if (auto refused = check_limits(F, w, h, 1, 1)) return std::unexpected(std::move(*refused));

  uint16_t spp = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar_config = PLANARCONFIG_CONTIG;
  uint16_t photometric = 0;
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar_config);
  if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric)) {
    photometric = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }

  Samples out;
  out.width = w;
  out.height = h;
  out.channels = spp;
  switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
      break;
    case PHOTOMETRIC_RGB:
      out.colour = spp == 3 || spp == 4;
      break;
    case PHOTOMETRIC_PALETTE:
      return std::unexpected(unsupported(F, bits_text("Palette", bits)));
    case PHOTOMETRIC_SEPARATED:
      return std::unexpected(unsupported(F, bits_text(spp > 4 ? "CMYKA" : "CMYK", bits)));
    case PHOTOMETRIC_YCBCR:
      return std::unexpected(unsupported(F, bits_text("YCbCr", bits)));
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB:
      return std::unexpected(unsupported(F, bits_text("Lab", bits)));
    default:
      break;  // any other layout is read as multiband gray: channel 0
  }
  if (spp == 0) {
    return std::unexpected(unsupported(
        F, "colour type Multiband { bit_depth: " + std::to_string(bits) + ", num_samples: 0 }"));
  }
  if (bits != 8 && bits != 16 && bits != 32) {
    return std::unexpected(unsupported(F, std::to_string(bits) + "-bit samples"));
  }
  TiffKind kind;
  if (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID) {
    kind = bits == 8 ? TiffKind::U8 : bits == 16 ? TiffKind::U16 : TiffKind::U32;
  } else if (format == SAMPLEFORMAT_IEEEFP && bits == 32) {
    kind = TiffKind::F32;
  } else {
    return std::unexpected(unsupported(F, "signed or 16-bit float samples"));
  }
  if (auto refused = check_limits(F, w, h, bits / 8, spp)) {
    return std::unexpected(std::move(*refused));
  }

  out.bits = static_cast<uint8_t>(bits);
  out.wide = bits > 8;
  out.planar = planar_config == PLANARCONFIG_SEPARATE && spp > 1;
  uint16_t orientation = 1;
  if (TIFFGetField(t, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8) {
    out.orientation = static_cast<uint8_t>(orientation);
  }
  const bool invert = photometric == PHOTOMETRIC_MINISWHITE;
  const size_t sample_bytes = bits / 8;
  const size_t plane_samples = size_t{w} * h;
  const size_t total = plane_samples * spp;
  const size_t chunk_planes = out.planar ? spp : 1;
  const size_t spp_chunk = out.planar ? 1 : spp;  // samples per pixel inside a strip or tile
  if (out.wide) {
    out.u16.resize(total);
  } else {
    out.u8.resize(total);
  }
  auto dst8 = [&](size_t at) { return out.u8.data() + at; };
  auto dst16 = [&](size_t at) { return out.u16.data() + at; };

  std::vector<std::byte> scratch;
  size_t decoded = 0;
  if (TIFFIsTiled(t)) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
    uint64_t tile_bytes = TIFFTileSize64(t);
    if (tw == 0 || th == 0 || tile_bytes == 0) return std::unexpected(tiff_err(src.error));
    if (tile_bytes > kTiffMaxSingleAlloc) {
      return std::unexpected(unsupported(F, "image exceeds the decoding limits"));
    }
    scratch.resize(tile_bytes);
    for (uint16_t p = 0; p < chunk_planes; ++p) {
      for (uint32_t ty = 0; ty < h; ty += th) {
        for (uint32_t tx = 0; tx < w; tx += tw) {
          src.error.clear();
          tmsize_t n = TIFFReadEncodedTile(t, TIFFComputeTile(t, tx, ty, 0, p), scratch.data(),
                                           static_cast<tmsize_t>(tile_bytes));
          if (n < 0) return std::unexpected(tiff_err(src.error));
          const uint32_t rows = std::min(th, h - ty), cols = std::min(tw, w - tx);
          const size_t row_samples = size_t{cols} * spp_chunk;
          for (uint32_t r = 0; r < rows; ++r) {
            const size_t from = size_t{r} * tw * spp_chunk;
            if ((from + row_samples) * sample_bytes > static_cast<size_t>(n)) break;
            const size_t at = p * plane_samples + ((size_t{ty} + r) * w + tx) * spp_chunk;
            store_samples(kind, invert, scratch.data() + from * sample_bytes, row_samples,
                          out.wide ? nullptr : dst8(at), out.wide ? dst16(at) : nullptr);
            decoded += row_samples;
          }
        }
      }
    }
  } else {
    uint32_t rps = h;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    rps = std::clamp<uint32_t>(rps, 1, h);
    const size_t row_samples = size_t{w} * spp_chunk;
    // 8- and 16-bit samples land in place; 32-bit ones pass through scratch.
    const bool direct = kind == TiffKind::U8 || kind == TiffKind::U16;
    if (!direct) {
      uint64_t strip_bytes = uint64_t{rps} * row_samples * sample_bytes;
      if (strip_bytes > kTiffMaxSingleAlloc) {
        return std::unexpected(unsupported(F, "image exceeds the decoding limits"));
      }
      scratch.resize(strip_bytes);
    }
    for (uint16_t p = 0; p < chunk_planes; ++p) {
      for (uint32_t row = 0; row < h; row += rps) {
        const uint32_t rows = std::min(rps, h - row);
        const size_t want = rows * row_samples;
        const size_t at = p * plane_samples + size_t{row} * row_samples;
        void* target = direct ? (out.wide ? static_cast<void*>(dst16(at)) : dst8(at))
                              : static_cast<void*>(scratch.data());
        src.error.clear();
        tmsize_t n = TIFFReadEncodedStrip(t, TIFFComputeStrip(t, row, p), target,
                                          static_cast<tmsize_t>(want * sample_bytes));
        if (n < 0) return std::unexpected(tiff_err(src.error));
        const size_t got = static_cast<size_t>(n) / sample_bytes;
        if (!direct || invert) {
          const void* from = direct ? target : scratch.data();
          store_samples(kind, invert, from, got, out.wide ? nullptr : dst8(at),
                        out.wide ? dst16(at) : nullptr);
        }
        decoded += got;
      }
    }
  }
  if (decoded < total) {
    return std::unexpected(corrupt(
        F, "decoded " + std::to_string(decoded) + " samples, expected " + std::to_string(total)));
  }
  return out;
}

// ---------------------------------------------------------------- luminance

// Source index of output pixel (x, y) is start(y) + x * step for every code.
struct Walk {
  int64_t start;
  int64_t step;
};

Walk walk_row(uint8_t code, int64_t W, int64_t H, int64_t y) {
  switch (code) {
    case 2:
      return {y * W + W - 1, -1};
    case 3:
      return {(H - 1 - y) * W + W - 1, -1};
    case 4:
      return {(H - 1 - y) * W, 1};
    case 5:
      return {y, W};
    case 6:
      return {(H - 1) * W + y, -W};
    case 7:
      return {(H - 1) * W + (W - 1 - y), -W};
    case 8:
      return {W - 1 - y, W};
    default:
      return {y * W, 1};
  }
}

template <typename Lum>
void orient(const Samples& s, uint16_t* out, Lum lum) {
  const int64_t W = s.width, H = s.height;
  const bool swap = s.orientation >= 5;
  const int64_t Wo = swap ? H : W, Ho = swap ? W : H;
  for (int64_t y = 0; y < Ho; ++y) {
    const Walk wk = walk_row(s.orientation, W, H, y);
    uint16_t* row = out + y * Wo;
    if (wk.step == 1) {
      for (int64_t x = 0; x < Wo; ++x) row[x] = lum(static_cast<size_t>(wk.start + x));
    } else {
      for (int64_t x = 0; x < Wo; ++x) row[x] = lum(static_cast<size_t>(wk.start + x * wk.step));
    }
  }
}

template <typename T>
void luminance(const Samples& s, const T* d, uint16_t* out) {
  const size_t c = s.channels, n = size_t{s.width} * s.height;
  constexpr bool wide = sizeof(T) == 2;
  auto mix = [](unsigned r, unsigned g, unsigned b) -> uint16_t {
    if constexpr (wide) {
      return static_cast<uint16_t>((r + g + b + 1) / 3);
    } else {
      return static_cast<uint16_t>(((r + g + b) * 257 + 1) / 3);
    }
  };
  auto gray = [](unsigned v) -> uint16_t { return wide ? v : v * 257; };
  if (s.colour && s.planar) {
    orient(s, out, [&](size_t i) { return mix(d[i], d[n + i], d[2 * n + i]); });
  } else if (s.colour && c == 3) {
    orient(s, out, [&](size_t i) { return mix(d[3 * i], d[3 * i + 1], d[3 * i + 2]); });
  } else if (s.colour) {
    orient(s, out, [&](size_t i) { return mix(d[c * i], d[c * i + 1], d[c * i + 2]); });
  } else if (s.planar || c == 1) {
    orient(s, out, [&](size_t i) { return gray(d[i]); });
  } else {
    orient(s, out, [&](size_t i) { return gray(d[c * i]); });
  }
}

DecodedImage finish(Samples&& s, ImageFormat format) {
  DecodedImage img;
  img.format = format;
  img.bits = s.bits;
  img.orientation = s.orientation;
  img.channels = s.channels;
  const bool swap = s.orientation >= 5;
  img.width = swap ? s.height : s.width;
  img.height = swap ? s.width : s.height;
  if (s.luminance) {
    if (s.orientation == 1) {
      img.plane = std::move(s.u16);
    } else {
      img.plane.resize(s.u16.size());
      orient(s, img.plane.data(), [d = s.u16.data()](size_t i) { return d[i]; });
    }
    return img;
  }
  if (s.wide && s.orientation == 1 && (s.channels == 1 || (s.planar && !s.colour))) {
    s.u16.resize(size_t{s.width} * s.height);  // planar: plane 0 is the gray
    img.plane = std::move(s.u16);
    return img;
  }
  img.plane.resize(size_t{s.width} * s.height);
  if (s.wide) {
    luminance(s, s.u16.data(), img.plane.data());
  } else {
    luminance(s, s.u8.data(), img.plane.data());
  }
  return img;
}

}  // namespace

std::optional<ImageFormat> ImageFormat::detect(std::span<const std::byte> bytes) {
  auto starts = [&](std::initializer_list<unsigned char> sig) {
    if (bytes.size() < sig.size()) return false;
    size_t i = 0;
    for (unsigned char b : sig) {
      if (static_cast<unsigned char>(bytes[i++]) != b) return false;
    }
    return true;
  };
  if (starts({'S', 'I', 'M', 'P', 'L', 'E', ' ', ' ', '='})) return Fits;
  if (starts({0xFF, 0xD8, 0xFF})) return Jpeg;
  if (starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) return Png;
  if (starts({'I', 'I', 0x2A, 0x00}) || starts({'M', 'M', 0x00, 0x2A}) ||
      starts({'I', 'I', 0x2B, 0x00}) || starts({'M', 'M', 0x00, 0x2B})) {
    return Tiff;
  }
  return std::nullopt;
}

std::string_view ImageFormat::name() const {
  switch (kind) {
    case Fits:
      return "FITS";
    case Jpeg:
      return "JPEG";
    case Tiff:
      return "TIFF";
    case Png:
      return "PNG";
  }
  return "?";
}

std::string ImageInputError::message() const {
  struct Visitor {
    std::string operator()(const UnknownFormat&) const {
      return "unknown file format (expected FITS, JPEG, TIFF or PNG)";
    }
    std::string operator()(const FitsInput&) const {
      return "FITS input must be read with the FITS reader";
    }
    std::string operator()(const Unsupported& e) const {
      return "unsupported " + std::string(e.format.name()) + ": " + e.text;
    }
    std::string operator()(const Corrupt& e) const {
      return "corrupt or truncated " + std::string(e.format.name()) + ": " + e.text;
    }
    std::string operator()(const TooLarge& e) const {
      return std::string(e.format.name()) + " image too large: " + std::to_string(e.width) +
             " \u00d7 " + std::to_string(e.height) + " pixels (the limit is " +
             std::to_string(kMaxPixelsMp) + " MP)";
    }
  };
  return std::visit(Visitor{}, value);
}

std::optional<ImageInputError> check_limits(ImageFormat format, uint64_t width, uint64_t height,
                                            uint64_t bytes_per_sample, uint64_t channels) {
  if (width == 0 || height == 0) {
    return corrupt(format,
                   "image size " + std::to_string(width) + " \u00d7 " + std::to_string(height));
  }
  auto too_large = ImageInputError{ImageInputError::TooLarge{
      format, static_cast<uint32_t>(width), static_cast<uint32_t>(height)}};
  unsigned __int128 pixels = static_cast<unsigned __int128>(width) * height;
  if (pixels > kMaxPixels) return too_large;
  if (pixels * bytes_per_sample * channels > kMaxBufferBytes) return too_large;
  return std::nullopt;
}

uint16_t f32_to_u16(float v) {
  if (std::isnan(v)) return 0;
  float scaled = std::clamp(v, 0.0f, 1.0f) * 65535.0f;
  return static_cast<uint16_t>(std::min(std::round(scaled), 65535.0f));
}

std::expected<DecodedImage, ImageInputError> decode(std::span<const std::byte> bytes) {
  auto format = ImageFormat::detect(bytes);
  if (!format) return std::unexpected(ImageInputError{ImageInputError::UnknownFormat{}});
  Decoded samples = std::unexpected(ImageInputError{ImageInputError::FitsInput{}});
  switch (format->kind) {
    case ImageFormat::Fits:
      break;
    case ImageFormat::Jpeg:
      samples = decode_jpeg(bytes);
      break;
    case ImageFormat::Png:
      samples = decode_png(bytes);
      break;
    case ImageFormat::Tiff:
      samples = decode_tiff(bytes);
      break;
  }
  if (!samples) return std::unexpected(std::move(samples.error()));
  return finish(std::move(*samples), *format);
}

}  // namespace kestrune::image_input
