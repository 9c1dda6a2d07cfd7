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

// A decoder's output: the luminance plane as the file stores it, before the
// orientation is applied.
struct Stored {
  std::vector<uint16_t> plane;  // width * height
  size_t channels = 1;          // samples per pixel as decoded
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bits = 8;
  uint8_t orientation = 1;
};

using Decoded = std::expected<Stored, ImageInputError>;

// Luminance of n pixels whose channel c of pixel i is src(c, i), stored at
// out[i * step]: the mean of R, G and B for colour, else channel 0; wide
// samples are 16-bit values, narrow ones 8-bit values scaled by 257.
template <bool Wide, bool Colour, typename Src>
void mix_pixels(Src src, size_t n, uint16_t* out, size_t step) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t v;
    if constexpr (Colour) {
      const uint32_t sum = src(0, i) + src(1, i) + src(2, i);
      v = Wide ? (sum + 1) / 3 : (sum * 257 + 1) / 3;
    } else {
      v = Wide ? src(0, i) : src(0, i) * 257;
    }
    out[i * step] = static_cast<uint16_t>(v);
  }
}

template <typename Src>
void mix_pixels(bool wide, bool colour, Src src, size_t n, uint16_t* out, size_t step = 1) {
  if (wide && colour) {
    mix_pixels<true, true>(src, n, out, step);
  } else if (wide) {
    mix_pixels<true, false>(src, n, out, step);
  } else if (colour) {
    mix_pixels<false, true>(src, n, out, step);
  } else {
    mix_pixels<false, false>(src, n, out, step);
  }
}

// Hands the input on to `done` in order, from the last report up to `end`.
struct Consumed {
  std::span<const std::byte> bytes;
  const ReleaseBytes& done;
  size_t reported = 0;

  void reach(size_t end) {
    end = std::min(end, bytes.size());
    if (!done || end <= reported) return;
    done(bytes.subspan(reported, end - reported));
    reported = end;
  }
};

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

void jpeg_row_luminance(const uint8_t* p, uint16_t* out, size_t width, J_COLOR_SPACE space,
                        bool adobe) {
  if (space == JCS_GRAYSCALE) {
    mix_pixels(false, false, [p](int, size_t i) -> uint32_t { return p[i]; }, width, out);
  } else if (space == JCS_RGB) {
    mix_pixels(false, true, [p](int c, size_t i) -> uint32_t { return p[3 * i + c]; }, width, out);
  } else {
    // CMYK: Adobe writes it inverted; either way R = (1-C)(1-K) in the unit range.
    auto ink = [p, adobe](size_t i, int k) -> uint32_t {
      return adobe ? p[4 * i + k] : 255u - p[4 * i + k];
    };
    mix_pixels(
        false, true, [&ink](int c, size_t i) { return (ink(i, c) * ink(i, 3) + 127) / 255; },
        width, out);
  }
}

// No C++ object may come to life between setjmp and a libjpeg call that can
// jump back: everything that outlives a jump is declared before setjmp.
Decoded decode_jpeg(std::span<const std::byte> bytes, const ReleaseBytes& done) {
  jpeg_decompress_struct cinfo;
  JpegErrorMgr err;
  Stored out;
  Consumed consumed{bytes, done};
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
  } else {
    cinfo.out_color_space = JCS_RGB;
    out.channels = 3;
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
  out.plane.resize(size_t{out.width} * out.height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[kJpegStripRows];
    const JDIMENSION first = cinfo.output_scanline;
    const JDIMENSION n = std::min<JDIMENSION>(kJpegStripRows, cinfo.output_height - first);
    for (JDIMENSION k = 0; k < n; ++k) rows[k] = strip.data() + k * stride;
    JDIMENSION got = 0;
    while (got < n) got += jpeg_read_scanlines(&cinfo, rows + got, n - got);
    for (JDIMENSION k = 0; k < n; ++k) {
      jpeg_row_luminance(rows[k], out.plane.data() + size_t{first + k} * out.width, out.width,
                         cinfo.out_color_space, cinfo.saw_Adobe_marker);
    }
    consumed.reach(static_cast<size_t>(cinfo.src->next_input_byte -
                                       reinterpret_cast<const JOCTET*>(bytes.data())));
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
  Stored out;
  std::optional<ImageInputError> refused;
  bool wide = false;
  bool colour = false;
  bool interlaced = false;
  int last_pass = 0;         // the last pass that carries pixels
  png_uint_32 last_row = 0;  // its last row, counted within the pass
  bool image_done = false;
  bool exif_seen = false;
  uint8_t exif_orientation = 1;
  // Where the walk for a trailing eXIf chunk may start: every chunk before it
  // went through the reader. 0 when the chunks were not followed that far.
  size_t resume = 0;
};

// Adam7: pass p holds the pixels at rows kRow0[p] + k * kRowStep[p] and
// columns kCol0[p] + k * kColStep[p].
constexpr png_uint_32 kRow0[] = {0, 0, 4, 0, 2, 0, 1}, kCol0[] = {0, 4, 0, 2, 0, 1, 0};
constexpr png_uint_32 kRowStep[] = {8, 8, 8, 4, 4, 2, 2}, kColStep[] = {8, 8, 4, 4, 2, 2, 1};

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

uint32_t be32(std::span<const std::byte> bytes, size_t at) {
  return (uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) |
         (uint32_t(bytes[at + 2]) << 8) | uint32_t(bytes[at + 3]);
}

// The eXIf chunk may follow the image data, where the reader never gets to
// once the last row is in; so the chunk list is walked for it directly, from
// the chunk at `from` (0: from the first chunk) on.
uint8_t png_trailing_exif_orientation(std::span<const std::byte> bytes, size_t from) {
  size_t at = std::max<size_t>(from, 8);  // after the signature
  while (at + 12 <= bytes.size()) {
    const uint64_t length = be32(bytes, at);
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

// The header is in: transformations, limits, the plane.
void png_on_info(png_structp png, png_infop info) {
  auto* st = static_cast<PngState*>(png_get_progressive_ptr(png));
  png_uint_32 w = 0, h = 0;
  int depth = 0, colour_type = 0, interlace = 0;
  png_get_IHDR(png, info, &w, &h, &depth, &colour_type, &interlace, nullptr, nullptr);
  // The pixel the transformations below make: palette to RGB, tRNS to an
  // alpha channel, gray under 8 bits to 8. libpng allocates its row buffers
  // for that pixel in png_read_update_info, so the limits are checked first.
  const bool alpha = (colour_type & PNG_COLOR_MASK_ALPHA) != 0;
  const bool trns_alpha = !alpha && png_get_valid(png, info, PNG_INFO_tRNS);
  const unsigned channels = ((colour_type & PNG_COLOR_MASK_COLOR) ? 3 : 1) + alpha + trns_alpha;
  st->refused = check_limits(ImageFormat::Png, w, h, depth == 16 ? 2 : 1, channels);
  if (st->refused) png_error(png, "refused");

  // 16-bit samples stay big-endian: the luminance reads them as they are.
  // Interlaced rows arrive pass by pass, each pixel once, and go straight to
  // their place in the plane.
  if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour_type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  png_read_update_info(png, info);

  Stored& out = st->out;
  out.width = w;
  out.height = h;
  out.channels = png_get_channels(png, info);
  out.bits = static_cast<uint8_t>(png_get_bit_depth(png, info));
  st->wide = out.bits == 16;
  st->colour = out.channels >= 3;
  out.orientation = png_orientation(png, info);

  st->interlaced = interlace == PNG_INTERLACE_ADAM7;
  if (st->interlaced) {
    for (int p = 6; p >= 0; --p) {
      if (w > kCol0[p] && h > kRow0[p]) {
        st->last_pass = p;
        st->last_row = (h - 1 - kRow0[p]) / kRowStep[p];
        break;
      }
    }
  } else {
    st->last_row = h - 1;
  }
  out.plane.resize(size_t{w} * h);
}

void png_on_row(png_structp png, png_bytep row, png_uint_32 row_num, int pass) {
  auto* st = static_cast<PngState*>(png_get_progressive_ptr(png));
  if (row == nullptr) return;
  const size_t w = st->out.width, c = st->out.channels;
  size_t y = row_num, x0 = 0, step = 1;
  if (st->interlaced) {
    if (pass < 0 || pass > 6 || w <= kCol0[pass]) return;
    y = kRow0[pass] + size_t{row_num} * kRowStep[pass];
    x0 = kCol0[pass];
    step = kColStep[pass];
  }
  if (y >= st->out.height) return;
  const size_t n = (w - x0 + step - 1) / step;
  uint16_t* out = st->out.plane.data() + y * w + x0;
  if (st->wide) {
    auto src = [row, c](size_t ch, size_t i) -> uint32_t {
      const png_byte* p = row + 2 * (i * c + ch);
      return uint32_t{p[0]} << 8 | p[1];
    };
    mix_pixels(true, st->colour, src, n, out, step);
  } else {
    auto src = [row, c](size_t ch, size_t i) -> uint32_t { return row[i * c + ch]; };
    mix_pixels(false, st->colour, src, n, out, step);
  }
  if ((!st->interlaced || pass == st->last_pass) && row_num == st->last_row) {
    st->image_done = true;
  }
}

// Input goes to the reader a chunk at a time (long chunks in slices), so
// that the bytes behind it can be let go and the reading stops at the chunk
// in which the image ends.
constexpr size_t kPngSlice = 256 << 10;

// As for JPEG: nothing with a destructor starts living after setjmp.
Decoded decode_png(std::span<const std::byte> bytes, const ReleaseBytes& done) {
  PngState st;
  PngRead rd;
  Consumed consumed{bytes, done};

  rd.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &st, png_fail, png_warn);
  if (rd.png == nullptr) return std::unexpected(unsupported(ImageFormat::Png, "out of memory"));
  rd.info = png_create_info_struct(rd.png);
  if (rd.info == nullptr) return std::unexpected(unsupported(ImageFormat::Png, "out of memory"));

  // The orientation comes from the first eXIf block found: before the image
  // data (already in out), read by libpng later, seen by our chunk callback,
  // or found by walking the chunks after the image data.
  auto oriented = [&]() -> Decoded {
    if (st.out.orientation == 1) st.out.orientation = png_orientation(rd.png, rd.info);
    if (st.out.orientation == 1) st.out.orientation = st.exif_orientation;
    if (st.out.orientation == 1 && !st.exif_seen)
      st.out.orientation = png_trailing_exif_orientation(bytes, st.resume);
    return std::move(st.out);
  };
  if (setjmp(png_jmpbuf(rd.png))) {
    if (st.refused) return std::unexpected(std::move(*st.refused));
    // Chunks after the image data only matter for the eXIf block.
    if (st.image_done) return oriented();
    return std::unexpected(img_err(ImageFormat::Png, st.text,
                                   names_limit(st.text) || names_unsupported(st.text)));
  }
  png_set_progressive_read_fn(rd.png, &st, png_on_info, png_on_row, nullptr);
  png_set_read_user_chunk_fn(rd.png, &st, png_on_chunk);
  png_set_user_limits(rd.png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_chunk_malloc_max(rd.png, kMaxBufferBytes);
  png_set_keep_unknown_chunks(rd.png, PNG_HANDLE_CHUNK_NEVER, kPngIgnored, 5);

  // libpng only reads from the buffer it is given.
  auto* base = reinterpret_cast<png_bytep>(const_cast<std::byte*>(bytes.data()));
  auto feed = [&](size_t from, size_t to) {
    while (from < to && !st.image_done) {
      const size_t n = std::min(kPngSlice, to - from);
      png_process_data(rd.png, rd.info, base + from, n);
      from += n;
      consumed.reach(from);
    }
  };
  size_t at = std::min<size_t>(8, bytes.size());
  feed(0, at);
  bool following = true;  // `at` is the start of a chunk
  while (at < bytes.size() && !st.image_done) {
    size_t end = bytes.size();
    if (following && bytes.size() - at >= 12 && be32(bytes, at) <= bytes.size() - at - 12) {
      // A skipped eXIf chunk (bad CRC, say) is for the walk to find.
      if (std::memcmp(bytes.data() + at + 4, "eXIf", 4) == 0) following = false;
      end = at + 12 + be32(bytes, at);
    } else {
      following = false;
    }
    st.resume = following ? at : 0;
    feed(at, end);
    at = end;
  }
  st.resume = following ? at : 0;
  if (!st.image_done) {
    return std::unexpected(corrupt(ImageFormat::Png, "unexpected end of file"));
  }
  return oriented();
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

// Luminance of n pixels of one decoded strip, tile or row: `src` holds the
// chunk of each plane (one chunk with spp interleaved samples when chunky).
// Each sample is first brought to 8 or 16 bits as the decoder's kind asks,
// white-is-zero gray inverted.
template <typename T, typename Conv>
void tiff_mix(const std::byte* const* src, bool planar, size_t spp, bool wide, bool colour,
              Conv conv, size_t n, uint16_t* out) {
  if (planar) {
    const T* p[3] = {reinterpret_cast<const T*>(src[0]), nullptr, nullptr};
    if (colour) {
      p[1] = reinterpret_cast<const T*>(src[1]);
      p[2] = reinterpret_cast<const T*>(src[2]);
    }
    mix_pixels(
        wide, colour, [&](size_t c, size_t i) -> uint32_t { return conv(p[c][i]); }, n, out);
  } else {
    const T* p = reinterpret_cast<const T*>(src[0]);
    mix_pixels(
        wide, colour, [&](size_t c, size_t i) -> uint32_t { return conv(p[i * spp + c]); }, n, out);
  }
}

void tiff_luminance(TiffKind kind, bool invert, const std::byte* const* src, bool planar,
                    size_t spp, bool colour, size_t n, uint16_t* out) {
  switch (kind) {
    case TiffKind::U8:
      tiff_mix<uint8_t>(
          src, planar, spp, false, colour,
          [invert](uint8_t v) -> uint32_t { return invert ? 255u - v : v; }, n, out);
      break;
    case TiffKind::U16:
      tiff_mix<uint16_t>(
          src, planar, spp, true, colour,
          [invert](uint16_t v) -> uint32_t { return invert ? 65535u - v : v; }, n, out);
      break;
    case TiffKind::U32:
      tiff_mix<uint32_t>(
          src, planar, spp, true, colour,
          [invert](uint32_t v) -> uint32_t { return (invert ? ~v : v) >> 16; }, n, out);
      break;
    case TiffKind::F32:
      tiff_mix<float>(
          src, planar, spp, true, colour,
          [invert](float v) -> uint32_t { return f32_to_u16(invert ? 1.0f - v : v); }, n, out);
      break;
  }
}

std::string bits_text(const char* name, unsigned bits) {
  return "colour type " + std::string(name) + "(" + std::to_string(bits) + ")";
}

// A decoded strip larger than this is read row by row instead, so that one
// strip holding the whole image never needs a buffer of that size.
constexpr uint64_t kTiffStripScratch = 1u << 20;

Decoded decode_tiff(std::span<const std::byte> bytes, const ReleaseBytes& done) {
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
  uint16_t photometric = 0, compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar_config);
  TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric)) {
    photometric = spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  }

  Stored out;
  out.width = w;
  out.height = h;
  out.channels = spp;
  bool colour = false;  // R, G, B in channels 0..2; otherwise channel 0 is the gray
  switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
      break;
    case PHOTOMETRIC_RGB:
      colour = spp == 3 || spp == 4;
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
  const bool planar = planar_config == PLANARCONFIG_SEPARATE && spp > 1;
  uint16_t orientation = 1;
  if (TIFFGetField(t, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8) {
    out.orientation = static_cast<uint8_t>(orientation);
  }
  const bool invert = photometric == PHOTOMETRIC_MINISWHITE;
  const size_t sample_bytes = bits / 8;
  const size_t total = size_t{w} * h * spp;
  const size_t chunk_planes = planar ? spp : 1;
  const size_t spp_chunk = planar ? 1 : spp;  // samples per pixel inside a strip or tile
  out.plane.resize(size_t{w} * h);

  auto release = [&](uint32_t strile) {
    if (!done) return;
    const uint64_t at = TIFFGetStrileOffset(t, strile), n = TIFFGetStrileByteCount(t, strile);
    if (at < bytes.size() && n <= bytes.size() - at) done(bytes.subspan(at, n));
  };
  // Every plane of a planar file is decoded, the unused ones too, so that a
  // damaged one is still reported.
  std::vector<std::byte> scratch;
  std::vector<const std::byte*> chunks(chunk_planes);
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
    scratch.resize(tile_bytes * chunk_planes);
    const size_t tile_row_bytes = size_t{tw} * spp_chunk * sample_bytes;
    for (uint32_t ty = 0; ty < h; ty += th) {
      for (uint32_t tx = 0; tx < w; tx += tw) {
        const uint32_t rows = std::min(th, h - ty), cols = std::min(tw, w - tx);
        const size_t row_samples = size_t{cols} * spp_chunk;
        uint32_t complete = rows;  // rows present in every plane's tile
        for (size_t p = 0; p < chunk_planes; ++p) {
          std::byte* buf = scratch.data() + p * tile_bytes;
          const uint32_t tile = TIFFComputeTile(t, tx, ty, 0, static_cast<uint16_t>(p));
          src.error.clear();
          tmsize_t n = TIFFReadEncodedTile(t, tile, buf, static_cast<tmsize_t>(tile_bytes));
          if (n < 0) return std::unexpected(tiff_err(src.error));
          release(tile);
          chunks[p] = buf;
          uint32_t present = 0;
          while (present < rows &&
                 present * tile_row_bytes + row_samples * sample_bytes <= static_cast<size_t>(n)) {
            ++present;
          }
          decoded += present * row_samples;
          complete = std::min(complete, present);
        }
        for (uint32_t r = 0; r < complete; ++r) {
          const std::byte* at[4];
          for (size_t p = 0; p < std::min<size_t>(chunk_planes, 4); ++p) {
            at[p] = chunks[p] + r * tile_row_bytes;
          }
          tiff_luminance(kind, invert, at, planar, spp_chunk, colour, cols,
                         out.plane.data() + (size_t{ty} + r) * w + tx);
        }
      }
    }
  } else {
    uint32_t rps = h;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    rps = std::clamp<uint32_t>(rps, 1, h);
    const size_t row_samples = size_t{w} * spp_chunk;
    const size_t row_bytes = row_samples * sample_bytes;
    const uint64_t strip_bytes = uint64_t{rps} * row_bytes;
    if ((kind == TiffKind::U32 || kind == TiffKind::F32) && strip_bytes > kTiffMaxSingleAlloc) {
      return std::unexpected(unsupported(F, "image exceeds the decoding limits"));
    }
    if (!planar && strip_bytes > kTiffStripScratch) {
      // Row by row: libtiff decodes each strip in sequence.
      scratch.resize(row_bytes);
      const std::byte* at[1] = {scratch.data()};
      for (uint32_t row = 0; row < h; ++row) {
        src.error.clear();
        if (TIFFReadScanline(t, scratch.data(), row, 0) < 0) {
          return std::unexpected(tiff_err(src.error));
        }
        decoded += row_samples;
        tiff_luminance(kind, invert, at, false, spp, colour, w, out.plane.data() + size_t{row} * w);
        const uint32_t strip = row / rps;
        if (compression == COMPRESSION_NONE && done) {
          // Stored rows: what lies before the next one is finished with.
          const uint64_t first = TIFFGetStrileOffset(t, strip) + uint64_t{row % rps} * row_bytes;
          if (first < bytes.size()) {
            done(bytes.subspan(first, std::min<uint64_t>(row_bytes, bytes.size() - first)));
          }
        } else if (row + 1 == h || (row + 1) % rps == 0) {
          release(strip);
        }
      }
    } else {
      scratch.resize(strip_bytes * chunk_planes);
      for (uint32_t row = 0; row < h; row += rps) {
        const uint32_t rows = std::min(rps, h - row);
        const size_t want = rows * row_samples;
        size_t complete = rows;  // rows present in every plane's strip
        for (size_t p = 0; p < chunk_planes; ++p) {
          std::byte* buf = scratch.data() + p * strip_bytes;
          const uint32_t strip = TIFFComputeStrip(t, row, static_cast<uint16_t>(p));
          src.error.clear();
          tmsize_t n =
              TIFFReadEncodedStrip(t, strip, buf, static_cast<tmsize_t>(want * sample_bytes));
          if (n < 0) return std::unexpected(tiff_err(src.error));
          release(strip);
          chunks[p] = buf;
          const size_t got = static_cast<size_t>(n) / sample_bytes;
          decoded += got;
          complete = std::min(complete, got / row_samples);
        }
        for (size_t r = 0; r < complete; ++r) {
          const std::byte* at[4];
          for (size_t p = 0; p < std::min<size_t>(chunk_planes, 4); ++p) {
            at[p] = chunks[p] + r * row_bytes;
          }
          tiff_luminance(kind, invert, at, planar, spp_chunk, colour, w,
                         out.plane.data() + (size_t{row} + r) * w);
        }
      }
    }
  }
  if (decoded < total) {
    return std::unexpected(corrupt(
        F, "decoded " + std::to_string(decoded) + " samples, expected " + std::to_string(total)));
  }
  return out;
}

// ---------------------------------------------------------------- orientation

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

DecodedImage finish(Stored&& s, ImageFormat format) {
  DecodedImage img;
  img.format = format;
  img.bits = s.bits;
  img.orientation = s.orientation;
  img.channels = s.channels;
  const bool swap = s.orientation >= 5;
  img.width = swap ? s.height : s.width;
  img.height = swap ? s.width : s.height;
  if (s.orientation == 1) {
    img.plane = std::move(s.plane);
    return img;
  }
  img.plane.resize(s.plane.size());
  const int64_t W = s.width, H = s.height, Wo = img.width, Ho = img.height;
  const uint16_t* d = s.plane.data();
  for (int64_t y = 0; y < Ho; ++y) {
    const Walk wk = walk_row(s.orientation, W, H, y);
    uint16_t* row = img.plane.data() + y * Wo;
    for (int64_t x = 0; x < Wo; ++x) row[x] = d[wk.start + x * wk.step];
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

std::expected<DecodedImage, ImageInputError> decode(std::span<const std::byte> bytes,
                                                    const ReleaseBytes& done) {
  auto format = ImageFormat::detect(bytes);
  if (!format) return std::unexpected(ImageInputError{ImageInputError::UnknownFormat{}});
  Decoded samples = std::unexpected(ImageInputError{ImageInputError::FitsInput{}});
  switch (format->kind) {
    case ImageFormat::Fits:
      break;
    case ImageFormat::Jpeg:
      samples = decode_jpeg(bytes, done);
      break;
    case ImageFormat::Png:
      samples = decode_png(bytes, done);
      break;
    case ImageFormat::Tiff:
      samples = decode_tiff(bytes, done);
      break;
  }
  if (!samples) return std::unexpected(std::move(samples.error()));
  return finish(std::move(*samples), *format);
}

}  // namespace kestrune::image_input
