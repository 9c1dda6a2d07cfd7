#include "cli/image_access.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kestrune::cli {

std::string os_error_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) munmap(const_cast<std::byte*>(data_), size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) munmap(const_cast<std::byte*>(data_), size_);
}

std::expected<MappedFile, CliError> map_file(const std::string& path) {
  // Non-blocking, so that a FIFO without a writer cannot hold the run at open.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::unexpected(CliError{"opening " + path, os_error_text(errno)});
  MappedFile file;
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return std::unexpected(CliError{"mapping " + path, os_error_text(err)});
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::unexpected(CliError{"mapping " + path, os_error_text(EISDIR)});
  }
  if (st.st_size > 0) {
    void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      int err = errno;
      ::close(fd);
      return std::unexpected(CliError{"mapping " + path, os_error_text(err)});
    }
    file.data_ = static_cast<const std::byte*>(p);
    file.size_ = static_cast<size_t>(st.st_size);
  }
  ::close(fd);
  return file;
}

double StdClock::now_ms() {
  auto elapsed = std::chrono::steady_clock::now() - start_;
  if (elapsed.count() < 0) return 0.0;
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - secs);
  return (static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9) * 1000.0;
}

}  // namespace kestrune::cli
