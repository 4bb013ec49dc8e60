#include "tools/talon-cam/preview.h"

#include <gtest/gtest.h>
#include <png.h>

#include <vector>

#include "testing/temp_dir.h"

namespace talon_cam {
namespace {

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
