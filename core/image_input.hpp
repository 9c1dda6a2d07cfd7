// image_input.hpp — recognising an image file and decoding JPEG, PNG and TIFF.
//
// ImageFormat::detect looks at the first bytes only. decode turns a raster
// file into the same 16-bit luminance plane that the FITS reader produces:
// libjpeg-turbo, libpng and libtiff decode the bytes in place (never through
// a temporary file), colour becomes the mean of R, G and B, and the EXIF or
// TIFF orientation is applied. Sizes are checked from the header before any
// pixel is decoded; nothing is printed, the libraries' texts land in the error.
//
// Every decoder writes the luminance straight into the plane as it goes,
// strip by strip or row by row: the decoded samples of the whole image never
// exist at once. A decoder tells its caller which input bytes it has finished
// with, so that a caller holding the file in a mapping can drop those pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrune::image_input {

struct ImageFormat {
  enum Kind : uint8_t { Fits = 0, Jpeg = 1, Tiff = 2, Png = 3 };
  Kind kind = Fits;

  constexpr ImageFormat(Kind k = Fits) : kind(k) {}
  friend constexpr bool operator==(ImageFormat, ImageFormat) = default;

  // By signature, tested in the order FITS, JPEG, PNG, TIFF.
  static std::optional<ImageFormat> detect(std::span<const std::byte> bytes);
  // "FITS", "JPEG", "TIFF", "PNG"
  std::string_view name() const;
};

inline constexpr uint64_t kMaxPixels = 200'000'000;
inline constexpr uint64_t kMaxBufferBytes = 1'200'000'000;  // the decoded sample buffer
inline constexpr uint64_t kMaxPixelsMp = kMaxPixels / 1'000'000;

struct ImageInputError {
  struct UnknownFormat {};
  struct FitsInput {};
  struct Unsupported {
    ImageFormat format;
    std::string text;
  };
  struct Corrupt {
    ImageFormat format;
    std::string text;
  };
  struct TooLarge {
    ImageFormat format;
    uint32_t width = 0;
    uint32_t height = 0;
  };
  std::variant<UnknownFormat, FitsInput, Unsupported, Corrupt, TooLarge> value;

  std::string message() const;
};

struct DecodedImage {
  std::vector<uint16_t> plane;  // luminance, row-major, orientation applied
  uint32_t width = 0;           // of `plane`: swapped against the file for orientations 5 to 8
  uint32_t height = 0;
  ImageFormat format;
  uint8_t bits = 8;         // per sample as decoded: 8 (JPEG), 8/16 (PNG), 8/16/32 (TIFF)
  uint8_t orientation = 1;  // EXIF/TIFF code 1 to 8
  size_t channels = 1;      // samples per pixel of the decoded buffer
};

// Called with a part of the input that the decoder has finished with. It may
// still read those bytes again (the trailing chunks of a PNG, a TIFF strip
// shared by two planes), so the caller may only drop them in a way that a
// later read undoes, as MADV_DONTNEED does for a read-only file mapping.
using ReleaseBytes = std::function<void(std::span<const std::byte>)>;

// UnknownFormat, FitsInput (FITS goes to the FITS reader), or the decoded plane.
std::expected<DecodedImage, ImageInputError> decode(std::span<const std::byte> bytes,
                                                    const ReleaseBytes& done = {});

// The size rules every format shares: a zero side is Corrupt, more than
// kMaxPixels pixels or kMaxBufferBytes of decoded samples is TooLarge.
std::optional<ImageInputError> check_limits(ImageFormat format, uint64_t width, uint64_t height,
                                            uint64_t bytes_per_sample, uint64_t channels);

// Float sample to 16 bits: NaN -> 0, clamp to [0, 1], * 65535, half away from zero.
uint16_t f32_to_u16(float v);

}  // namespace kestrune::image_input
