// The FITS reader on arbitrary bytes: parse, then the sample plane.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/fits.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kestrune::fits;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  auto image = FitsImage::parse(bytes);
  if (!image) {
    if (image.error().message().empty()) std::abort();
    return 0;
  }
  // The data view must lie inside the input, and the plane match the description.
  const auto* first = image->data.data();
  if (first < bytes.data() || first + image->data.size() > bytes.data() + bytes.size())
    std::abort();
  const kestrune::SamplePlane plane = image->to_samples();
  if (plane.samples.size() != size_t{plane.width} * plane.height) std::abort();
  return 0;
}
