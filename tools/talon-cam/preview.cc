#include "tools/talon-cam/preview.h"

#include <png.h>

#include <string>

#include "support/atomic_file.h"
#include "support/csi2_unpack.h"

namespace talon_cam {

bool UnpackTo8Bit(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                  uint32_t bits, std::vector<uint8_t>* samples) {
  samples->resize(uint64_t{width} * height);
  return talon_support::UnpackCsi2To8(data, stride, width, height, bits, samples->data());
}

std::vector<uint8_t> DemosaicRggb(const std::vector<uint8_t>& samples, uint32_t width,
                                  uint32_t height) {
  std::vector<uint8_t> rgb(uint64_t{width} * height * 3, 0);
  auto at = [&](uint32_t x, uint32_t y) { return samples[uint64_t{y} * width + x]; };
  for (uint32_t y0 = 0; y0 < height; y0 += 2) {
    for (uint32_t x0 = 0; x0 < width; x0 += 2) {
      const bool right = x0 + 1 < width;
      const bool below = y0 + 1 < height;
      const uint8_t r = at(x0, y0);
      unsigned g_sum = 0, g_count = 0;
      if (right) g_sum += at(x0 + 1, y0), ++g_count;
      if (below) g_sum += at(x0, y0 + 1), ++g_count;
      const uint8_t g = g_count == 0 ? 0 : static_cast<uint8_t>((g_sum + g_count / 2) / g_count);
      const uint8_t b = right && below ? at(x0 + 1, y0 + 1) : 0;
      for (uint32_t y = y0; y < y0 + 2 && y < height; ++y) {
        for (uint32_t x = x0; x < x0 + 2 && x < width; ++x) {
          uint8_t* pixel = &rgb[(uint64_t{y} * width + x) * 3];
          pixel[0] = r;
          pixel[1] = g;
          pixel[2] = b;
        }
      }
    }
  }
  return rgb;
}

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
