#include "tools/talon-cam/preview.h"

#include <png.h>

#include <string>

#include "support/atomic_file.h"

namespace talon_cam {

bool WritePng(const std::string& path, const std::vector<uint8_t>& rgb, uint32_t width,
              uint32_t height, std::string* error) {
  if (rgb.size() != uint64_t{width} * height * 3 || width == 0 || height == 0) {
    *error = "no image to write";
    return false;
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGB;
  // Encoded in memory (within libpng's bound for the image), then written
  // as a whole.
  png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
  std::string bytes(size, '\0');
  if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, rgb.data(), 0, nullptr)) {
    *error = image.message;
    png_image_free(&image);
    return false;
  }
  bytes.resize(size);
  talon_support::AtomicFile file;
  return file.Create(path, error) && file.Write(bytes, error) && file.Commit(error);
}

}  // namespace talon_cam
