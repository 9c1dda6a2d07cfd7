#include "cli/image_access.hpp"
#include "core/fits.hpp"
#include "core/image_input.hpp"

namespace kestrune::cli {

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
    return image->to_samples();
  }
  auto decoded = image_input::decode(bytes);
  if (!decoded) return rejected(decoded.error().message());
  return SamplePlane{std::move(decoded->plane), decoded->width, decoded->height};
}

}  // namespace kestrune::cli
