// The raster decoders (JPEG, PNG, TIFF; FITS is only recognised) on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/image_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kestrune::image_input;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  auto decoded = decode(bytes);
  if (!decoded) {
    if (decoded.error().message().empty()) std::abort();
    return 0;
  }
  const DecodedImage& img = *decoded;
  if (img.width == 0 || img.height == 0 || uint64_t{img.width} * img.height > kMaxPixels ||
      img.plane.size() != size_t{img.width} * img.height || img.orientation < 1 ||
      img.orientation > 8 || !(img.format == ImageFormat::detect(bytes)))
    std::abort();
  return 0;
}
