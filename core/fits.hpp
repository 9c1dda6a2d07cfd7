// fits.hpp — reading the primary header and image of a FITS file in place.
//
// A FITS file is a header of 80-byte cards followed by the data array at the
// next 2880-byte boundary. scan_header turns the cards into (keyword, value
// text) pairs; FitsImage::parse reads the image description from them, checks
// it and views the data without copying; to_samples turns the data into the
// 16-bit sample plane that extraction consumes. Only the primary header and
// its data are ever looked at. to_samples reads the data block by block and
// can tell its caller which blocks it has finished with, so that a caller
// holding the file in a mapping can drop those pages as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/plane.hpp"

namespace kestrune::fits {

enum class FitsErrorKind { NotFits, Unsupported, Truncated };

struct FitsError {
  FitsErrorKind kind;
  std::string detail;  // only for Unsupported: "missing NAXIS1", "BITPIX = 8", ...
  // "not a FITS file", "unsupported FITS: {detail}", "truncated FITS file"
  std::string message() const;
};

inline constexpr size_t kCardBytes = 80;
inline constexpr size_t kBlockBytes = 2880;

using Card = std::pair<std::string, std::string>;  // keyword, value text

struct FitsHeader {
  std::vector<Card> cards;  // card order; only cards with "= " after the keyword
  // Value text of the first card named `name`.
  std::optional<std::string_view> keyword(std::string_view name) const;
};

// One card as 80 ASCII characters: bytes above 0x7F read as '?'.
std::string card_str(std::span<const std::byte> card);

// Value text of a value field (card bytes 10..79): a quoted string without
// its quotes ('' undone, trailing blanks dropped), or the text before any
// "/" comment with surrounding blanks removed.
std::string parse_value(std::string_view text);

// Numeric value of the first card named `name` (D exponents accepted); none
// when absent or not a number.
std::optional<double> lookup_f64(std::span<const Card> cards, std::string_view name);

// An integral keyword: "missing {name}" when absent or not a number,
// "{name} = {value}" when not integral; saturates to the i64 range.
std::expected<int64_t, FitsError> int_keyword(std::span<const Card> cards, std::string_view name);

struct HeaderScan {
  FitsHeader header;
  size_t data_offset = 0;  // first byte of the data array
};

// The header stage of FitsImage::parse: NotFits or Truncated on failure.
std::expected<HeaderScan, FitsError> scan_header(std::span<const std::byte> file);

struct Sample {
  enum Kind : uint8_t { I16, I32, F32, F64 };  // BITPIX 16, 32, -32, -64; big-endian
  Kind kind = I16;

  static std::optional<Sample> from_bitpix(int64_t bitpix);
  size_t bytes() const;
  // The value of the sample at the start of `bytes`; integers exact, F32 widened.
  static double read(Kind kind, std::span<const std::byte> bytes);
};

// Called with a part of FitsImage::data that to_samples has finished with
// for now. It may read those bytes again (the conversion pass follows the
// range pass), so the caller may only drop them in a way that a later read
// undoes, as MADV_DONTNEED does for a read-only file mapping.
using ReleaseBytes = std::function<void(std::span<const std::byte>)>;

struct FitsImage {
  FitsHeader header;
  std::optional<std::string> bayer_pattern;  // BAYERPAT; mosaics are read as monochrome
  std::span<const std::byte> data;           // width * height * planes samples, in the file
  size_t planes = 1;                         // 1 or 3
  double bzero = 0.0;
  double bscale = 1.0;
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t bitpix = 0;
  Sample sample;

  // `file` is the whole file and must outlive the result.
  static std::expected<FitsImage, FitsError> parse(std::span<const std::byte> file);

  // Physical values (raw * bscale + bzero), planes averaged, shifted so that
  // nothing is negative and compressed when wider than 16 bits; unit-range
  // float data are stretched to the full 16 bits.
  SamplePlane to_samples(const ReleaseBytes& done = {}) const;
};

}  // namespace kestrune::fits
