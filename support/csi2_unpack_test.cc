#include "support/csi2_unpack.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/prism/prism_sim.h"

namespace talon_support {
namespace {

struct Case {
  const char* name;
  uint32_t width, height, bits;
  uint64_t stride;
  std::vector<uint8_t> bytes;
  std::vector<uint16_t> samples;
};

// Catches low bits taken from the wrong pair or byte (also in a partial last
// group), RAW16 read big-endian, and row padding read as samples.
TEST(Csi2Unpack, UnpacksEachLayout) {
  const Case cases[] = {
      {"raw10", 5, 1, 10, 8,
       {0x01, 0x02, 0x03, 0x04, 0xE4, 0x05, 0x02, 0xEE},
       {0x004, 0x009, 0x00E, 0x013, 0x016}},
      {"raw10 two rows", 2, 2, 10, 3, {0xFF, 0x00, 0x0D, 0x80, 0x40, 0x0B},
       {0x3FD, 0x003, 0x203, 0x102}},
      {"raw16", 2, 1, 16, 6, {0x34, 0x12, 0x78, 0x56, 0xEE, 0xEE}, {0x1234, 0x5678}},
      {"raw8", 2, 2, 8, 3, {1, 2, 0xEE, 3, 4, 0xEE}, {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    std::vector<uint16_t> out(c.samples.size());
    ASSERT_TRUE(UnpackCsi2(c.bytes.data(), c.stride, c.width, c.height, c.bits, out.data()))
        << c.name;
    EXPECT_EQ(out, c.samples) << c.name;
  }
}

// Catches reads past a row when the stride is too small, and bit depths the
// layout does not cover.
TEST(Csi2Unpack, RefusesWhatItCannotRead) {
  const std::vector<uint8_t> bytes(16, 0);
  std::vector<uint16_t> out(8, 7);
  EXPECT_FALSE(UnpackCsi2(bytes.data(), 6, 5, 1, 10, out.data()));  // needs 7 bytes
  EXPECT_FALSE(UnpackCsi2(bytes.data(), 16, 4, 1, 12, out.data()));
  EXPECT_EQ(out, std::vector<uint16_t>(8, 7));
}

// Catches a layout that differs from what the simulated IPU writes: the
// sequence stamp in pixels 0-3 and every other sample 0 or full scale.
TEST(Csi2Unpack, ReadsTheSimulatorsFrames) {
  const uint32_t width = 7, height = 3, sequence = 0x0A0B0C0D;
  for (uint32_t bits : {8u, 10u, 16u}) {
    const uint64_t stride = PayloadRowBytes(width, bits) + 3;
    std::vector<uint8_t> frame(stride * height, 0xEE);
    PrismSimRenderFrame(frame.data(), stride, width, height, bits, sequence);
    std::vector<uint16_t> samples(width * height);
    ASSERT_TRUE(UnpackCsi2(frame.data(), stride, width, height, bits, samples.data()));
    const uint16_t full = static_cast<uint16_t>((1u << bits) - 1);
    for (uint32_t i = 0; i < width * height; ++i) {
      if (i < 4) {
        EXPECT_EQ(samples[i], ((sequence >> (8 * i)) & 0xFF) << (bits - 8)) << bits;
      } else {
        EXPECT_TRUE(samples[i] == 0 || samples[i] == full) << bits << " " << i;
      }
    }
  }
}

}  // namespace
}  // namespace talon_support
