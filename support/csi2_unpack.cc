#include "support/csi2_unpack.h"

namespace talon_support {

uint64_t PayloadRowBytes(uint32_t width, uint32_t bits) {
  return (uint64_t{width} * bits + 7) / 8;
}

bool UnpackCsi2(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                uint32_t bits, uint16_t* out) {
  if (bits != 8 && bits != 10 && bits != 16) return false;
  if (PayloadRowBytes(width, bits) > stride) return false;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = data + uint64_t{y} * stride;
    uint16_t* samples = out + uint64_t{y} * width;
    if (bits == 8) {
      for (uint32_t x = 0; x < width; ++x) samples[x] = row[x];
    } else if (bits == 16) {
      for (uint32_t x = 0; x < width; ++x) {
        samples[x] = static_cast<uint16_t>(row[2 * uint64_t{x}] | row[2 * uint64_t{x} + 1] << 8);
      }
    } else {
      for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* group = row + uint64_t{x} / 4 * 5;
        const uint32_t i = x % 4;
        // The low-bits byte follows the group's high bytes, also in a
        // partial last group.
        const uint32_t in_group = width - (x - i) < 4 ? width - (x - i) : 4;
        const uint32_t low = (group[in_group] >> (2 * i)) & 3;
        samples[x] = static_cast<uint16_t>(group[i] << 2 | low);
      }
    }
  }
  return true;
}

}  // namespace talon_support
