#include "isp/isp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "isp/isp_kernels.h"

namespace talon_isp {
namespace {

// A raw frame in memory: samples packed as `format` lays them, rows
// `stride` bytes apart (padding filled with a marker).
struct RawFrame {
  std::vector<uint8_t> bytes;
  RawImage image;
};

uint64_t PayloadBytes(uint32_t width, RawFormat format) {
  switch (format) {
    case RawFormat::kRaw8:
      return width;
    case RawFormat::kRaw10:
      return (uint64_t{width} * 10 + 7) / 8;
    default:
      return uint64_t{width} * 2;
  }
}

RawFrame Pack(const std::vector<uint16_t>& samples, uint32_t width, uint32_t height,
              RawFormat format, uint64_t padding = 0) {
  RawFrame frame;
  const uint64_t stride = PayloadBytes(width, format) + padding;
  frame.bytes.assign(stride * height, 0xA5);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = &frame.bytes[y * stride];
    for (uint32_t x = 0; x < width; ++x) {
      const uint16_t s = samples[uint64_t{y} * width + x];
      switch (format) {
        case RawFormat::kRaw8:
          row[x] = static_cast<uint8_t>(s);
          break;
        case RawFormat::kRaw10: {
          uint8_t* group = row + x / 4 * 5;
          const uint32_t in_group = std::min<uint32_t>(4, width - x / 4 * 4);
          group[x % 4] = static_cast<uint8_t>(s >> 2);
          if (x % 4 == 0) group[in_group] = 0;
          group[in_group] = static_cast<uint8_t>(group[in_group] | (s & 3) << (2 * (x % 4)));
          break;
        }
        case RawFormat::kRaw16:
          row[2 * x] = static_cast<uint8_t>(s);
          row[2 * x + 1] = static_cast<uint8_t>(s >> 8);
          break;
        case RawFormat::kU16:
          std::memcpy(row + 2 * x, &s, 2);
          break;
      }
    }
  }
  frame.image = RawImage{frame.bytes.data(), stride, width, height, format};
  return frame;
}

// The mosaic of a uniform scene: `rgb` as sample values of each colour.
std::vector<uint16_t> Uniform(Cfa cfa, uint32_t width, uint32_t height,
                              const std::array<uint16_t, 3>& rgb) {
  std::vector<uint16_t> samples(uint64_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) samples[uint64_t{y} * width + x] = rgb[ColourAt(cfa, x, y)];
  }
  return samples;
}

// An output image with its own memory, rows padded by `padding` bytes.
struct OutFrame {
  std::array<std::vector<uint8_t>, 3> planes;
  Image image;
};

OutFrame MakeOut(PixelFormat format, uint32_t width, uint32_t height, uint64_t padding = 0) {
  OutFrame out;
  out.image.format = format;
  out.image.width = width;
  out.image.height = height;
  const std::array<uint64_t, 3> strides = PlaneStrides(format, width);
  for (int i = 0; i < 3; ++i) {
    if (strides[i] == 0) continue;
    out.image.strides[i] = strides[i] + padding;
    const uint64_t rows = i == 0 ? height : (height + 1) / 2;
    out.planes[i].assign(out.image.strides[i] * rows, 0x5A);
    out.image.planes[i] = out.planes[i].data();
  }
  return out;
}

// Catches a wrong black level, white level, gain or transfer curve: a grey
// card at half the range develops to sRGB's 188 (linear 128), with a cast
// taken out by manual gains.
TEST(Isp, DevelopsAGreyCard) {
  // RAW10, black 64: R at 0.25, G at 0.5, B at 0.125 of the range (959).
  const std::vector<uint16_t> samples =
      Uniform(Cfa::kGrbg, 6, 4, {64 + 240, 64 + 480, 64 + 120});
  RawFrame raw = Pack(samples, 6, 4, RawFormat::kRaw10);
  Settings settings;
  settings.cfa = Cfa::kGrbg;
  settings.black_level = 64;
  settings.auto_white_balance = false;
  settings.wb_gains = {2.0f, 1.0f, 4.0f};
  for (Transfer transfer : {Transfer::kSrgb, Transfer::kLinear}) {
    settings.transfer = transfer;
    OutFrame out = MakeOut(PixelFormat::kRgb, 6, 4);
    Isp isp;
    Stats stats;
    ASSERT_TRUE(isp.Develop(raw.image, settings, out.image, &stats, nullptr));
    const int want = transfer == Transfer::kSrgb ? 188 : 128;
    for (uint8_t value : out.planes[0]) EXPECT_NEAR(value, want, 1);
    EXPECT_NEAR(stats.grid[0], 0.25, 1e-3);
    EXPECT_NEAR(stats.grid[1], 0.5, 1e-3);
    EXPECT_NEAR(stats.grid[2], 0.125, 1e-3);
    EXPECT_EQ(stats.histogram[transfer == Transfer::kSrgb ? 188 : 128], 24u);
  }
}

// Catches an argument Develop would misread or write past: each refusal
// names the argument, and nothing is written.
TEST(Isp, RefusesWhatItCannotDevelop) {
  const std::vector<uint16_t> samples(8 * 4, 100);
  struct Case {
    const char* argument;
    void (*change)(RawImage&, Settings&, Image&);
  };
  const Case cases[] = {
      {"cfa", [](RawImage&, Settings& s, Image&) { s.cfa = static_cast<Cfa>(4); }},
      {"raw", [](RawImage& r, Settings&, Image&) { r.data = nullptr; }},
      {"raw", [](RawImage& r, Settings&, Image&) { r.format = static_cast<RawFormat>(9); }},
      {"width", [](RawImage& r, Settings&, Image&) { r.width = 1; }},
      {"width", [](RawImage& r, Settings&, Image&) { r.width = 0; }},
      {"height", [](RawImage& r, Settings&, Image&) { r.height = 1; }},
      {"stride", [](RawImage& r, Settings&, Image&) { r.stride = 9; }},  // a row is 10 bytes
      {"stride", [](RawImage& r, Settings&, Image&) { r.stride = uint64_t{1} << 62; }},
      {"white_level", [](RawImage&, Settings& s, Image&) { s.white_level = 1024; }},
      {"black_level", [](RawImage&, Settings& s, Image&) { s.black_level = 1023; }},
      {"black_level",
       [](RawImage&, Settings& s, Image&) { s.black_level = 200, s.white_level = 200; }},
      {"wb_gains", [](RawImage&, Settings& s, Image&) { s.wb_gains[1] = 0; }},
      {"wb_gains", [](RawImage&, Settings& s, Image&) { s.wb_gains[2] = -1; }},
      {"wb_gains", [](RawImage&, Settings& s, Image&) { s.wb_gains[0] = INFINITY; }},
      {"wb_gains", [](RawImage&, Settings& s, Image&) { s.wb_gains[0] = NAN; }},
      {"ccm", [](RawImage&, Settings& s, Image&) { s.ccm[4] = NAN; }},
      {"ccm", [](RawImage&, Settings& s, Image&) { s.ccm[8] = -INFINITY; }},
      {"transfer", [](RawImage&, Settings& s, Image&) { s.transfer = static_cast<Transfer>(2); }},
      {"out", [](RawImage&, Settings& s, Image&) { s.half_size = true; }},
      {"out", [](RawImage&, Settings&, Image& o) { o.width = 7; }},
      {"out", [](RawImage&, Settings&, Image& o) { o.planes[0] = nullptr; }},
      {"out", [](RawImage&, Settings&, Image& o) { o.strides[0] = 8 * 4 - 1; }},
      {"out", [](RawImage&, Settings&, Image& o) { o.format = static_cast<PixelFormat>(6); }},
      {"out", [](RawImage&, Settings&, Image& o) { o.format = PixelFormat::kNv12; }},  // no plane 1
      {"out", [](RawImage& r, Settings&, Image& o) {  // odd NV12
         r.height = 3, o.height = 3, o.format = PixelFormat::kNv12, o.strides = {8, 8, 0};
         o.planes[1] = o.planes[0];
       }},
      {"out", [](RawImage&, Settings&, Image& o) {
         o.format = PixelFormat::kI420, o.strides = {8, 4, 3}, o.planes = {o.planes[0], o.planes[0],
                                                                            o.planes[0]};
       }},
  };
  RawFrame base = Pack(samples, 8, 4, RawFormat::kRaw10);
  for (const Case& c : cases) {
    RawImage raw = base.image;
    Settings settings;
    OutFrame out = MakeOut(PixelFormat::kRgbx, 8, 4);
    Image image = out.image;
    c.change(raw, settings, image);
    Error error;
    EXPECT_FALSE(CheckDevelop(raw, settings, image, &error)) << c.argument;
    EXPECT_EQ(error.argument, c.argument) << error.reason;
    EXPECT_FALSE(error.reason.empty());
    Isp isp;
    EXPECT_FALSE(isp.Develop(raw, settings, image, nullptr, nullptr)) << c.argument;
    EXPECT_EQ(out.planes[0], std::vector<uint8_t>(out.planes[0].size(), 0x5A)) << c.argument;
  }
}

}  // namespace
}  // namespace talon_isp
