// image_access.hpp — the front end's file access: mapping, image loading, clock.
//
// map_file makes a whole file one read-only byte range (the star database
// stays mapped for the run; an image only while it is decoded). load_image
// picks the FITS reader or the raster decoders by the file's first bytes and
// returns the sample plane. Failures are a message with an optional cause,
// printed as "message: cause".
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "core/plane.hpp"
#include "core/records.hpp"

namespace kestrune::cli {

struct CliError {
  std::string message;
  std::optional<std::string> cause;
  std::string text() const { return cause ? message + ": " + *cause : message; }
};

// "{system text} (os error {code})"
std::string os_error_text(int code);

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const std::byte> bytes() const { return {data_, size_}; }

 private:
  friend std::expected<MappedFile, CliError> map_file(const std::string& path);
  const std::byte* data_ = nullptr;
  size_t size_ = 0;
};

// "opening {path}" or "mapping {path}", caused by the system error.
std::expected<MappedFile, CliError> map_file(const std::string& path);

// "{path}: {FitsError or ImageInputError text}" for a rejected file.
std::expected<SamplePlane, CliError> load_image(const std::string& path);

class StdClock final : public Clock {
 public:
  StdClock() : start_(std::chrono::steady_clock::now()) {}
  double now_ms() override;

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace kestrune::cli
