#include "tools/talon-cam/preview.h"

#include <png.h>

#include <gtest/gtest.h>

#include <vector>

#include "testing/temp_dir.h"

namespace talon_cam {
namespace {

// Catches a wrong RAW10 group layout (the low-bits byte taken as a sample),
// RAW16 read big-endian, and row padding read as samples.
TEST(Preview, UnpacksEachPacking) {
  // Two rows of 5 samples, stride 8: group of four high bytes + low bits,
  // then a partial group of one sample + its low bits.
  const std::vector<uint8_t> raw10 = {10, 20, 30, 40, 0xFF, 50, 0x3, 0xEE,
                                      60, 70, 80, 90, 0x00, 99, 0x0, 0xEE};
  std::vector<uint8_t> samples;
  ASSERT_TRUE(UnpackTo8Bit(raw10.data(), 8, 5, 2, 10, &samples));
  EXPECT_EQ(samples, (std::vector<uint8_t>{10, 20, 30, 40, 50, 60, 70, 80, 90, 99}));

  const std::vector<uint8_t> raw16 = {0x34, 0x12, 0x78, 0x56, 0xEE, 0xEE};
  ASSERT_TRUE(UnpackTo8Bit(raw16.data(), 6, 2, 1, 16, &samples));
  EXPECT_EQ(samples, (std::vector<uint8_t>{0x12, 0x56}));

  const std::vector<uint8_t> raw8 = {1, 2, 0xEE, 3, 4, 0xEE};
  ASSERT_TRUE(UnpackTo8Bit(raw8.data(), 3, 2, 2, 8, &samples));
  EXPECT_EQ(samples, (std::vector<uint8_t>{1, 2, 3, 4}));

  EXPECT_FALSE(UnpackTo8Bit(raw8.data(), 3, 2, 2, 12, &samples));
  EXPECT_FALSE(UnpackTo8Bit(raw16.data(), 3, 2, 1, 16, &samples));  // stride too small
}

// Catches swapped R and B, and reads past the edge of odd-sized images.
TEST(Preview, DemosaicRggb) {
  // R=200 at (0,0), G=100 and 50 at (1,0) and (0,1), B=10 at (1,1); a third
  // column and row hold a lone R cell.
  const std::vector<uint8_t> samples = {200, 100, 7, 50, 10, 8, 9, 9, 9};
  const std::vector<uint8_t> rgb = DemosaicRggb(samples, 3, 3);
  ASSERT_EQ(rgb.size(), 27u);
  EXPECT_EQ(rgb[0], 200);
  EXPECT_EQ(rgb[1], 75);
  EXPECT_EQ(rgb[2], 10);
  EXPECT_EQ(rgb[(1 * 3 + 1) * 3 + 2], 10);  // (1,1) shares its cell's B
  EXPECT_EQ(rgb[2 * 3 + 0], 7);               // (2,0): R of the edge cell
  EXPECT_EQ(rgb[2 * 3 + 1], 8);               // its only G, below
  EXPECT_EQ(rgb[2 * 3 + 2], 0);               // no B at the edge
}

// Catches a PNG that libpng cannot read back, or with the wrong size.
TEST(Preview, WritesReadablePng) {
  talon_testing::TempDir dir;
  const std::string path = dir.path() + "/p.png";
  std::vector<uint8_t> rgb(4 * 2 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 10);
  std::string error;
  ASSERT_TRUE(WritePng(path, rgb, 4, 2, &error)) << error;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> back(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr));
  EXPECT_EQ(image.width, 4u);
  EXPECT_EQ(image.height, 2u);
  EXPECT_EQ(back, rgb);
  EXPECT_FALSE(WritePng(dir.path() + "/missing/p.png", rgb, 4, 2, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace talon_cam
