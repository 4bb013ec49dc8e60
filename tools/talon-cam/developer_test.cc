#include "tools/talon-cam/developer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace talon_cam {
namespace {

// CSI-2 payload of `samples` (width x height) at `bits`, each row padded to
// `stride` with 0xEE.
std::vector<uint8_t> Pack(const std::vector<uint16_t>& samples, uint32_t width, uint32_t height,
                          uint32_t bits, uint64_t stride) {
  std::vector<uint8_t> out(stride * height, 0xEE);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = &out[y * stride];
    for (uint32_t x = 0; x < width; ++x) {
      const uint16_t s = samples[y * width + x];
      if (bits == 8) {
        row[x] = static_cast<uint8_t>(s);
      } else if (bits == 16) {
        row[2 * x] = static_cast<uint8_t>(s & 0xFF);
        row[2 * x + 1] = static_cast<uint8_t>(s >> 8);
      } else {  // per 4 samples their high bytes, then their 2-bit low parts
        uint8_t* group = row + x / 4 * 5;
        if (x % 4 == 0) group[4] = 0;
        group[x % 4] = static_cast<uint8_t>(s >> 2);
        group[4] = static_cast<uint8_t>(group[4] | (s & 3) << (2 * (x % 4)));
      }
    }
  }
  return out;
}

// Catches swapped R and B, a --cfa order not followed, RAW10's low-bits byte
// taken as a sample, RAW16 read big-endian, and row padding read as
// samples: a mosaic whose red sites (wherever the CFA puts them) hold half
// scale, everything else 0, develops red at half scale (linear), in every
// packing.
TEST(StreamDeveloper, RedSitesDevelopRedInEveryPackingAndLayout) {
  constexpr uint32_t kSize = 8;
  for (uint32_t bits : {8u, 10u, 16u}) {
    for (talon_isp::Cfa cfa : {talon_isp::Cfa::kRggb, talon_isp::Cfa::kGrbg, talon_isp::Cfa::kGbrg,
                               talon_isp::Cfa::kBggr}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, CFA " + std::to_string(static_cast<int>(cfa)));
      // The red site's place in the 2x2 cell.
      const uint32_t red_x = cfa == talon_isp::Cfa::kGrbg || cfa == talon_isp::Cfa::kBggr;
      const uint32_t red_y = cfa == talon_isp::Cfa::kGbrg || cfa == talon_isp::Cfa::kBggr;
      std::vector<uint16_t> samples(kSize * kSize, 0);
      for (uint32_t y = red_y; y < kSize; y += 2) {
        for (uint32_t x = red_x; x < kSize; x += 2) samples[y * kSize + x] = 1u << (bits - 1);
      }
      const uint64_t stride = kSize * bits / 8 + 3;
      const std::vector<uint8_t> payload = Pack(samples, kSize, kSize, bits, stride);
      const vireo::CaptureStreamConfig stream{vireo::CSI2_RAW10, kSize, kSize, bits, false};
      talon_isp::Settings settings;
      settings.cfa = cfa;
      settings.auto_white_balance = false;
      settings.transfer = talon_isp::Transfer::kLinear;
      ASSERT_EQ(DevelopProblem(stream, settings, "--png"), "");
      StreamDeveloper developer(stream, settings, 1);
      std::string error;
      std::vector<uint8_t> rgb;
      ASSERT_TRUE(developer.Develop(payload.data(), stride, &rgb, &error)) << error;
      ASSERT_EQ(developer.width(), kSize);
      ASSERT_EQ(rgb.size(), kSize * kSize * 3);
      const uint8_t* pixel = &rgb[(4 * kSize + 4) * 3];
      EXPECT_LE(std::abs(pixel[0] - 128), 1) << int{pixel[0]};
      EXPECT_EQ(pixel[1], 0);
      EXPECT_EQ(pixel[2], 0);
    }
  }
}

}  // namespace
}  // namespace talon_cam
