#include "core/fits.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/numfmt.hpp"

namespace kestrune::fits {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim_end(std::string_view s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  return trim_end(s);
}

bool equals_ci(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

// Decimal number grammar: sign, digits with an optional point (at least one
// digit), optional exponent; or inf, infinity, nan in any case.
std::optional<double> parse_number(std::string_view s) {
  std::string_view body = s;
  bool negative = false;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (equals_ci(body, "inf") || equals_ci(body, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  }
  if (equals_ci(body, "nan")) return std::numeric_limits<double>::quiet_NaN();

  size_t i = 0, digits = 0;
  auto is_digit = [&](size_t k) { return k < body.size() && body[k] >= '0' && body[k] <= '9'; };
  while (is_digit(i)) ++i, ++digits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (is_digit(i)) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    if (!is_digit(i)) return std::nullopt;
    while (is_digit(i)) ++i;
  }
  if (i != body.size()) return std::nullopt;

  double v = 0.0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves v alone on overflow and underflow; strtod rounds both.
    std::string copy(body);
    v = std::strtod(copy.c_str(), nullptr);
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -v : v;
}

FitsError unsupported(std::string detail) {
  return FitsError{FitsErrorKind::Unsupported, std::move(detail)};
}

// The unsigned integer as wide as a sample of type T.
template <typename T>
using BitsOf = std::conditional_t<sizeof(T) == 2, uint16_t,
                                  std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;

// The stored (big-endian) bits of one sample of type T.
template <typename T>
BitsOf<T> load_be_bits(const std::byte* p) {
  BitsOf<T> u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (std::endian::native == std::endian::little) u = std::byteswap(u);
  return u;
}

template <typename T>
T load_be(const std::byte* p) {
  return std::bit_cast<T>(load_be_bits<T>(p));
}

// Round half away from zero and clamp to 0..65535; NaN gives 0. Adding the
// largest double below one half and truncating rounds exactly as
// "fraction >= 0.5 rounds up" does on this range, and it leaves no branch,
// so the conversion loops vectorise.
inline uint16_t to_u16(double w) {
  double c = w + 0.49999999999999994;
  c = c > 0.0 ? c : 0.0;
  c = c < 65535.0 ? c : 65535.0;
  return static_cast<uint16_t>(static_cast<int32_t>(c));
}

// Samples handled between two reports to the caller's release hook; each
// block is first brought into native byte order, in a scratch list made
// once per call.
constexpr size_t kBlock = size_t{1} << 14;

// The stored bits of a sample kind, and an integer with the order of its
// finite values: integers are their own key; IEEE values turn from sign and
// magnitude into two's complement, so that one integer comparison orders
// them and the exponent bits alone tell infinities and NaN apart.
template <typename T>
struct Order {
  using Bits = BitsOf<T>;
  using Key = std::make_signed_t<Bits>;
  static constexpr bool kFloat = std::is_floating_point_v<T>;
  static constexpr int kTop = 8 * sizeof(Bits) - 1;
  static constexpr Bits kExponent = sizeof(T) == 4 ? Bits(0x7F800000u) : Bits(0x7FF0000000000000u);
  static constexpr Key kMagnitude = std::numeric_limits<Key>::max();

  static Bits bits(const std::byte* p) { return load_be_bits<T>(p); }
  // All ones for a finite value, else zero: the magnitude below the
  // exponent of infinity leaves the top bit set after the subtraction.
  static Key finite_mask(Bits u) {
    return static_cast<Key>((u & static_cast<Bits>(kMagnitude)) - kExponent) >> kTop;
  }
  static Key key(Bits u) {
    const auto s = static_cast<Key>(u);
    if constexpr (kFloat) return s ^ ((s >> kTop) & kMagnitude);
    return s;
  }
  static T value(Key k) {
    if constexpr (kFloat)
      return std::bit_cast<T>(static_cast<Bits>(k ^ ((k >> kTop) & kMagnitude)));
    return static_cast<T>(k);
  }
};

template <typename T>
void to_native(const std::byte* p, size_t n, typename Order<T>::Bits* out) {
  for (size_t i = 0; i < n; ++i) out[i] = Order<T>::bits(p + i * sizeof(T));
}

// Smallest and largest finite physical value, the slow way: each sample
// scaled, then tested. Needed only when scaling overflows at the extremes.
template <typename T>
bool physical_range(const FitsImage& img, double& lo, double& hi) {
  const size_t total = size_t{img.width} * img.height * img.planes;
  lo = std::numeric_limits<double>::infinity();
  hi = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < total; ++i) {
    double v =
        static_cast<double>(load_be<T>(img.data.data() + i * sizeof(T))) * img.bscale + img.bzero;
    if (std::isfinite(v)) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  return lo <= hi;
}

// Scaling is monotonic (each rounding step is), so the extremes of the
// physical values are the scaled extremes of the stored ones, provided those
// stay finite. The stored extremes come from integer keys.
template <typename T>
bool value_range(const FitsImage& img, const ReleaseBytes& done,
                 std::vector<typename Order<T>::Bits>& scratch, double& lo, double& hi) {
  using O = Order<T>;
  using Key = typename O::Key;
  constexpr Key kMax = std::numeric_limits<Key>::max(), kMin = std::numeric_limits<Key>::min();
  const size_t total = size_t{img.width} * img.height * img.planes;
  Key kmin = kMax, kmax = kMin;
  for (size_t from = 0; from < total; from += kBlock) {
    const size_t n = std::min(kBlock, total - from);
    to_native<T>(img.data.data() + from * sizeof(T), n, scratch.data());
    const auto* u = scratch.data();
    Key bmin = kMax, bmax = kMin;
    for (size_t i = 0; i < n; ++i) {
      const Key k = O::key(u[i]);
      if constexpr (O::kFloat) {
        const Key f = O::finite_mask(u[i]);
        bmin = std::min(bmin, static_cast<Key>((k & f) | (kMax & ~f)));
        bmax = std::max(bmax, static_cast<Key>((k & f) | (kMin & ~f)));
      } else {
        bmin = std::min(bmin, k);
        bmax = std::max(bmax, k);
      }
    }
    kmin = std::min(kmin, bmin);
    kmax = std::max(kmax, bmax);
    if (done) done(img.data.subspan(from * sizeof(T), n * sizeof(T)));
  }
  // The extreme keys of IEEE values are NaN patterns, so for them an empty
  // range stays empty; integer samples are all finite.
  if (O::kFloat && kmin > kmax) return false;
  double a = static_cast<double>(O::value(kmin)) * img.bscale + img.bzero;
  double b = static_cast<double>(O::value(kmax)) * img.bscale + img.bzero;
  if (img.bscale < 0) std::swap(a, b);
  if (std::isfinite(a) && std::isfinite(b)) {
    lo = a;
    hi = b;
    return true;
  }
  return physical_range<T>(img, lo, hi);
}

template <typename T>
void convert_general(const FitsImage& img, uint16_t* out, const ReleaseBytes& done) {
  using Bits = typename Order<T>::Bits;
  const size_t n = size_t{img.width} * img.height;
  const double bscale = img.bscale, bzero = img.bzero;
  std::vector<Bits> scratch(kBlock * img.planes);

  double lo = 0.0, hi = 0.0;
  double scale = 1.0;
  if (value_range<T>(img, done, scratch, lo, hi)) {
    lo = std::min(lo, 0.0);
    double range = hi - lo;
    if (range == 0.0) {
      scale = 1.0;
    } else if (std::is_floating_point_v<T> && range <= 1.000001) {
      scale = 65535.0;  // unit-range data fill the 16 bits
    } else if (range > 65535.0) {
      scale = 65535.0 / range;
    }
  } else {
    lo = 0.0;  // no finite value at all
  }

  const double planes = static_cast<double>(img.planes);
  for (size_t from = 0; from < n; from += kBlock) {
    const size_t count = std::min(kBlock, n - from);
    for (size_t k = 0; k < img.planes; ++k) {
      to_native<T>(img.data.data() + (k * n + from) * sizeof(T), count,
                   scratch.data() + k * kBlock);
    }
    auto physical = [&](size_t k, size_t i) {
      return static_cast<double>(std::bit_cast<T>(scratch[k * kBlock + i])) * bscale + bzero;
    };
    uint16_t* o = out + from;
    if (img.planes == 1) {
      for (size_t i = 0; i < count; ++i) o[i] = to_u16((physical(0, i) - lo) * scale);
    } else if (img.planes == 3) {
      for (size_t i = 0; i < count; ++i) {
        const double sum = 0.0 + physical(0, i) + physical(1, i) + physical(2, i);
        o[i] = to_u16((sum / planes - lo) * scale);
      }
    } else {
      for (size_t i = 0; i < count; ++i) {
        double sum = 0.0;
        for (size_t k = 0; k < img.planes; ++k) sum += physical(k, i);
        o[i] = to_u16((sum / planes - lo) * scale);
      }
    }
    if (done) {
      for (size_t k = 0; k < img.planes; ++k) {
        done(img.data.subspan((k * n + from) * sizeof(T), count * sizeof(T)));
      }
    }
  }
}

}  // namespace

std::string FitsError::message() const {
  switch (kind) {
    case FitsErrorKind::NotFits:
      return "not a FITS file";
    case FitsErrorKind::Unsupported:
      return "unsupported FITS: " + detail;
    case FitsErrorKind::Truncated:
      return "truncated FITS file";
  }
  return {};
}

std::optional<std::string_view> FitsHeader::keyword(std::string_view name) const {
  for (const auto& [key, value] : cards) {
    if (key == name) return std::string_view(value);
  }
  return std::nullopt;
}

std::string card_str(std::span<const std::byte> card) {
  std::string text(card.size(), ' ');
  for (size_t i = 0; i < card.size(); ++i) {
    auto b = static_cast<unsigned char>(card[i]);
    text[i] = b > 0x7F ? '?' : static_cast<char>(b);
  }
  return text;
}

std::string parse_value(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  if (i < text.size() && text[i] == '\'') {
    std::string out;
    for (++i; i < text.size(); ++i) {
      if (text[i] == '\'') {
        if (i + 1 < text.size() && text[i + 1] == '\'') {
          out.push_back('\'');
          ++i;
          continue;
        }
        break;
      }
      out.push_back(text[i]);
    }
    out.resize(trim_end(out).size());
    return out;
  }
  std::string_view rest = text.substr(i);
  rest = rest.substr(0, rest.find('/'));
  return std::string(trim(rest));
}

std::optional<double> lookup_f64(std::span<const Card> cards, std::string_view name) {
  for (const auto& [key, value] : cards) {
    if (key != name) continue;
    std::string text = value;
    std::replace_if(text.begin(), text.end(), [](char c) { return c == 'D' || c == 'd'; }, 'E');
    return parse_number(text);
  }
  return std::nullopt;
}

std::expected<int64_t, FitsError> int_keyword(std::span<const Card> cards, std::string_view name) {
  auto v = lookup_f64(cards, name);
  if (!v) return std::unexpected(unsupported("missing " + std::string(name)));
  if (!std::isfinite(*v) || std::trunc(*v) != *v) {
    return std::unexpected(unsupported(std::string(name) + " = " + fmt_shortest(*v)));
  }
  // 2^63 is exactly representable; everything from there up saturates.
  if (*v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (*v < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(*v);
}

std::expected<HeaderScan, FitsError> scan_header(std::span<const std::byte> file) {
  static constexpr std::string_view kSimple = "SIMPLE  =";
  if (file.size() < kCardBytes) return std::unexpected(FitsError{FitsErrorKind::NotFits, {}});
  std::string first = card_str(file.first(kCardBytes));
  if (!first.starts_with(kSimple) || parse_value(std::string_view(first).substr(10)) != "T") {
    return std::unexpected(FitsError{FitsErrorKind::NotFits, {}});
  }

  HeaderScan scan;
  for (size_t p = 0;; p += kCardBytes) {
    std::string card = card_str(file.subspan(p, kCardBytes));
    std::string_view keyword = trim_end(std::string_view(card).substr(0, 8));
    if (keyword == "END") {
      scan.data_offset = (p + kCardBytes + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
      return scan;
    }
    if (!keyword.empty() && card[8] == '=' && card[9] == ' ') {
      scan.header.cards.emplace_back(std::string(keyword),
                                     parse_value(std::string_view(card).substr(10)));
    }
    if (p + 2 * kCardBytes > file.size()) {
      return std::unexpected(FitsError{FitsErrorKind::Truncated, {}});
    }
  }
}

std::optional<Sample> Sample::from_bitpix(int64_t bitpix) {
  switch (bitpix) {
    case 16:
      return Sample{I16};
    case 32:
      return Sample{I32};
    case -32:
      return Sample{F32};
    case -64:
      return Sample{F64};
    default:
      return std::nullopt;
  }
}

size_t Sample::bytes() const {
  switch (kind) {
    case I16:
      return 2;
    case I32:
    case F32:
      return 4;
    case F64:
      return 8;
  }
  return 0;
}

double Sample::read(Kind kind, std::span<const std::byte> bytes) {
  switch (kind) {
    case I16:
      return load_be<int16_t>(bytes.data());
    case I32:
      return load_be<int32_t>(bytes.data());
    case F32:
      return load_be<float>(bytes.data());
    case F64:
      return load_be<double>(bytes.data());
  }
  return 0.0;
}

std::expected<FitsImage, FitsError> FitsImage::parse(std::span<const std::byte> file) {
  auto scan = scan_header(file);
  if (!scan) return std::unexpected(scan.error());
  FitsImage img;
  img.header = std::move(scan->header);
  const auto& cards = img.header.cards;

  auto bitpix = int_keyword(cards, "BITPIX");
  if (!bitpix) return std::unexpected(bitpix.error());
  auto sample = Sample::from_bitpix(*bitpix);
  if (!sample) return std::unexpected(unsupported("BITPIX = " + std::to_string(*bitpix)));

  auto naxis = int_keyword(cards, "NAXIS");
  if (!naxis) return std::unexpected(naxis.error());
  if (*naxis != 2 && *naxis != 3) {
    return std::unexpected(unsupported("NAXIS = " + std::to_string(*naxis)));
  }
  if (*naxis == 3) {
    auto naxis3 = int_keyword(cards, "NAXIS3");
    if (!naxis3) return std::unexpected(naxis3.error());
    if (*naxis3 != 1 && *naxis3 != 3) {
      return std::unexpected(unsupported("NAXIS3 = " + std::to_string(*naxis3)));
    }
    img.planes = static_cast<size_t>(*naxis3);
  }

  auto naxis1 = int_keyword(cards, "NAXIS1");
  if (!naxis1) return std::unexpected(naxis1.error());
  auto naxis2 = int_keyword(cards, "NAXIS2");
  if (!naxis2) return std::unexpected(naxis2.error());
  constexpr int64_t kMaxAxis = std::numeric_limits<uint32_t>::max();
  if (*naxis1 < 1 || *naxis1 > kMaxAxis || *naxis2 < 1 || *naxis2 > kMaxAxis) {
    return std::unexpected(unsupported("NAXIS1\u00d7NAXIS2 = " + std::to_string(*naxis1) +
                                       "\u00d7" + std::to_string(*naxis2)));
  }

  img.bzero = lookup_f64(cards, "BZERO").value_or(0.0);
  img.bscale = lookup_f64(cards, "BSCALE").value_or(1.0);
  if (sample->kind == Sample::I16) {
    if (img.bzero != 0.0 && img.bzero != 32768.0) {
      return std::unexpected(unsupported("BZERO = " + fmt_shortest(img.bzero)));
    }
    if (img.bscale != 1.0) {
      return std::unexpected(unsupported("BSCALE = " + fmt_shortest(img.bscale)));
    }
  } else if (!std::isfinite(img.bzero) || !std::isfinite(img.bscale) || img.bscale == 0.0) {
    return std::unexpected(unsupported("BSCALE = " + fmt_shortest(img.bscale) +
                                       ", BZERO = " + fmt_shortest(img.bzero)));
  }

  uint64_t size = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(*naxis1), static_cast<uint64_t>(*naxis2),
                             &size) ||
      __builtin_mul_overflow(size, img.planes, &size) ||
      __builtin_mul_overflow(size, sample->bytes(), &size)) {
    return std::unexpected(unsupported("image too large"));
  }
  uint64_t end = 0;
  if (__builtin_add_overflow(uint64_t{scan->data_offset}, size, &end) || end > file.size()) {
    return std::unexpected(FitsError{FitsErrorKind::Truncated, {}});
  }

  if (auto bayer = img.header.keyword("BAYERPAT")) img.bayer_pattern = std::string(*bayer);
  img.data = file.subspan(scan->data_offset, static_cast<size_t>(size));
  img.width = static_cast<uint32_t>(*naxis1);
  img.height = static_cast<uint32_t>(*naxis2);
  img.bitpix = static_cast<int32_t>(*bitpix);
  img.sample = *sample;
  return img;
}

SamplePlane FitsImage::to_samples(const ReleaseBytes& done) const {
  SamplePlane plane;
  plane.width = width;
  plane.height = height;
  const size_t n = size_t{width} * height;
  plane.samples.resize(n);
  uint16_t* out = plane.samples.data();
  const std::byte* d = data.data();

  if (sample.kind == Sample::I16 && planes == 1) {
    const bool offset = bzero == 32768.0;
    for (size_t from = 0; from < n; from += kBlock) {
      const size_t count = std::min(kBlock, n - from);
      if (offset) {
        // raw + 32768 is the raw pattern with its sign bit flipped.
        for (size_t i = from; i < from + count; ++i) {
          out[i] = static_cast<uint16_t>(Order<int16_t>::bits(d + 2 * i) ^ 0x8000u);
        }
      } else {
        for (size_t i = from; i < from + count; ++i) {
          auto v = static_cast<int16_t>(Order<int16_t>::bits(d + 2 * i));
          out[i] = static_cast<uint16_t>(v > 0 ? v : 0);
        }
      }
      if (done) done(data.subspan(2 * from, 2 * count));
    }
    return plane;
  }

  switch (sample.kind) {
    case Sample::I16:
      convert_general<int16_t>(*this, out, done);
      break;
    case Sample::I32:
      convert_general<int32_t>(*this, out, done);
      break;
    case Sample::F32:
      convert_general<float>(*this, out, done);
      break;
    case Sample::F64:
      convert_general<double>(*this, out, done);
      break;
  }
  return plane;
}

}  // namespace kestrune::fits
