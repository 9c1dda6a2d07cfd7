#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "cli/image_access.hpp"
#include "core/fits.hpp"
#include "core/image_input.hpp"

namespace kestrune::cli {
namespace {

// The image mapping is private and read-only, so dropping its pages loses
// nothing: a later read faults them in again from the file. Without this a
// decoder that streams through a large file would leave all of it resident
// next to the plane it is filling.
//
// Decoders report small pieces (a strip, a block of one plane); every
// madvise flushes the TLB, so adjacent pieces of up to a few interleaved
// streams (the planes of a FITS cube) are joined and dropped a megabyte at a
// time. What is still pending when decoding ends goes with the unmapping.
class PageDropper {
 public:
  void operator()(std::span<const std::byte> piece) {
    const auto* begin = piece.data();
    Range* slot = nullptr;
    for (auto& r : pending_) {
      if (r.end == begin && r.begin != nullptr) slot = &r;
    }
    if (slot == nullptr) {
      slot = &*std::min_element(
          pending_.begin(), pending_.end(),
          [](const Range& a, const Range& b) { return a.end - a.begin < b.end - b.begin; });
      drop(*slot);
      slot->begin = begin;
    }
    slot->end = begin + piece.size();
    if (static_cast<size_t>(slot->end - slot->begin) >= kBatchBytes) {
      drop(*slot);
      slot->begin = slot->end;
    }
  }

 private:
  struct Range {
    const std::byte* begin = nullptr;
    const std::byte* end = nullptr;
  };
  static constexpr size_t kBatchBytes = size_t{1} << 20;

  // Whole pages from the one holding the range's start; the page that holds
  // its end is kept, since the decoder is usually still reading it.
  static void drop(const Range& r) {
    static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(r.begin) / page * page;
    const uintptr_t end = reinterpret_cast<uintptr_t>(r.end) / page * page;
    if (r.begin != nullptr && end > begin) {
      madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
    }
  }

  std::array<Range, 4> pending_{};
};

}  // namespace

std::expected<SamplePlane, CliError> load_image(const std::string& path) {
  // The mapping lives only in this scope: it is gone before any return.
  auto file = map_file(path);
  if (!file) return std::unexpected(std::move(file.error()));
  auto rejected = [&](const std::string& text) {
    return std::unexpected(CliError{path + ": " + text, std::nullopt});
  };

  const auto bytes = file->bytes();
  PageDropper dropper;
  auto drop_pages = [&dropper](std::span<const std::byte> piece) { dropper(piece); };
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
