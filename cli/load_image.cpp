#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "cli/image_access.hpp"
#include "core/fits.hpp"
#include "core/image_input.hpp"

namespace kestrune::cli {
namespace {

// The image mapping is private and read-only, so dropping its pages loses
// nothing: a later read faults them in again from the file. Without this a
// decoder that streams through a large file would leave all of it resident
// next to the plane it is filling. The page that holds the range's end is
// kept, since the decoder is usually still reading it.
void drop_pages(std::span<const std::byte> range) {
  static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<uintptr_t>(range.data());
  const uintptr_t begin = first / page * page, end = (first + range.size()) / page * page;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

}  // namespace

std::expected<SamplePlane, CliError> load_image(const std::string& path) {
  // The mapping lives only in this scope: it is gone before any return.
  auto file = map_file(path);
  if (!file) return std::unexpected(std::move(file.error()));
  auto rejected = [&](const std::string& text) {
    return std::unexpected(CliError{path + ": " + text, std::nullopt});
  };

  const auto bytes = file->bytes();
  auto format = image_input::ImageFormat::detect(bytes);
  if (format == image_input::ImageFormat::Fits) {
    auto image = fits::FitsImage::parse(bytes);
    if (!image) return rejected(image.error().message());
    return image->to_samples(drop_pages);
  }
  auto decoded = image_input::decode(bytes, drop_pages);
  if (!decoded) return rejected(decoded.error().message());
  return SamplePlane{std::move(decoded->plane), decoded->width, decoded->height};
}

}  // namespace kestrune::cli
