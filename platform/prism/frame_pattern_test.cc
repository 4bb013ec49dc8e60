// Tests of the simulated sensor's picture: CSI-2 payload layouts, the moving
// bars, the Bayer mosaic and the sequence stamp.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/prism/prism_sim.h"

namespace {

uint64_t Payload(uint32_t width, uint32_t bits) { return (uint64_t{width} * bits + 7) / 8; }

// Unpacks component x of a row of payload.
uint32_t Component(const uint8_t* row, uint32_t x, uint32_t bits) {
  if (bits == 8) return row[x];
  if (bits == 16) return row[2 * x] | (row[2 * x + 1] << 8);
  // Whole groups only: 4 MSB bytes, then the LSB byte.
  const uint8_t* group = row + (x / 4) * 5;
  const uint32_t in_group = x % 4;
  return (group[in_group] << 2) | ((group[4] >> (2 * in_group)) & 3);
}

// Catches rows written past their payload (into the stride padding), a wrong
// RAW10 partial-group length and a sequence stamp that does not round-trip.
TEST(FramePattern, RoundTripAndStaysInsidePayload) {
  for (uint32_t bits : {8u, 10u, 16u}) {
    for (uint32_t width = 1; width <= 9; ++width) {
      const uint32_t height = 3;
      const uint64_t stride = Payload(width, bits) + 5;
      std::vector<uint8_t> data(stride * height + 16, 0xEE);
      const uint32_t sequence = 0x12345678u + width;
      PrismSimRenderFrame(data.data(), stride, width, height, bits, sequence);
      for (uint32_t y = 0; y < height; ++y) {
        for (uint64_t i = Payload(width, bits); i < stride; ++i) {
          ASSERT_EQ(data[y * stride + i], 0xEE) << "bits " << bits << " width " << width;
        }
      }
      for (size_t i = stride * height; i < data.size(); ++i) ASSERT_EQ(data[i], 0xEE);
      uint32_t decoded = 0;
      if (width < 4) {
        EXPECT_EQ(PrismSimDecodeFrameSequence(data.data(), stride, width, height, bits, &decoded),
                  -1);
      } else {
        ASSERT_EQ(PrismSimDecodeFrameSequence(data.data(), stride, width, height, bits, &decoded),
                  0);
        EXPECT_EQ(decoded, sequence) << "bits " << bits << " width " << width;
      }
    }
  }
}

// Catches a payload length other than ceil(width * 10 / 8) for a partial
// group: the byte after it must stay untouched, the one before is written.
TEST(FramePattern, Raw10PartialGroupLength) {
  for (uint32_t width = 5; width <= 7; ++width) {
    std::vector<uint8_t> data(32, 0xEE);
    PrismSimRenderFrame(data.data(), 32, width, 1, 10, 0);
    // One whole group, then the partial group's MSB bytes and its LSB byte.
    const size_t payload = 5 + (width - 4) + 1;
    EXPECT_NE(data[payload - 1], 0xEE) << "width " << width;
    EXPECT_EQ(data[payload], 0xEE) << "width " << width;
  }
}

// Catches a wrong mosaic, wrong full scale or wrong bar order: with width 16
// each bar is 2 pixels wide; at frame 4 (even, avoiding the stamp's row) row 1
// is G/B. Catches the pattern not moving with the sequence number.
TEST(FramePattern, BarsMosaicAndMotion) {
  const uint32_t width = 16;
  const uint32_t height = 2;
  // Expected R, G, B presence of the 8 bars.
  const int bars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                          {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  for (uint32_t bits : {8u, 10u, 16u}) {
    const uint32_t full = (1u << bits) - 1;
    const uint64_t stride = Payload(width, bits);
    for (uint32_t k : {0u, 3u}) {
      std::vector<uint8_t> data(stride * height);
      PrismSimRenderFrame(data.data(), stride, width, height, bits, k);
      for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = (y == 0 ? 4 : 0); x < width; ++x) {
          const int bar = static_cast<int>(((x + k) % width) * 8 / width);
          int channel = 1;
          if (y % 2 == 0 && x % 2 == 0) channel = 0;
          if (y % 2 == 1 && x % 2 == 1) channel = 2;
          const uint32_t expected = bars[bar][channel] ? full : 0;
          ASSERT_EQ(Component(data.data() + y * stride, x, bits), expected)
              << "bits " << bits << " k " << k << " x " << x << " y " << y;
        }
      }
    }
  }
}

// Catches the stamp's bytes landing outside the components' top 8 bits.
TEST(FramePattern, StampInTopBits) {
  std::vector<uint8_t> data(8);
  PrismSimRenderFrame(data.data(), 8, 4, 1, 16, 0x04030201u);
  EXPECT_EQ(data[1], 0x01);
  EXPECT_EQ(data[0], 0x00);
  EXPECT_EQ(data[7], 0x04);
  std::vector<uint8_t> raw10(5);
  PrismSimRenderFrame(raw10.data(), 5, 4, 1, 10, 0x04030201u);
  EXPECT_EQ(raw10, (std::vector<uint8_t>{1, 2, 3, 4, 0}));
}

// Catches bad arguments being written through or decoded.
TEST(FramePattern, RefusesBadArguments) {
  std::vector<uint8_t> data(64, 0xEE);
  PrismSimRenderFrame(data.data(), 64, 8, 1, 12, 1);  // unknown bits
  PrismSimRenderFrame(data.data(), 9, 8, 2, 16, 1);   // stride below payload
  for (uint8_t b : data) ASSERT_EQ(b, 0xEE);
  uint32_t s = 0;
  EXPECT_EQ(PrismSimDecodeFrameSequence(data.data(), 64, 8, 0, 8, &s), -1);
  EXPECT_EQ(PrismSimDecodeFrameSequence(data.data(), 64, 8, 1, 12, &s), -1);
  EXPECT_EQ(PrismSimDecodeFrameSequence(nullptr, 64, 8, 1, 8, &s), -1);
}

}  // namespace
