#include "tools/talon-cam/dng_writer.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "testing/temp_dir.h"
#include "tools/talon-cam/sample_buffer.h"

namespace talon_cam {
namespace {

// Catches kept sample memory that is not made to fit a larger frame (an
// overrun, which the address sanitizer reports) and a file that holds
// samples other than its own frame's: frames small, large, small again
// through one SampleBuffer, each read back.
TEST(DngWriter, KeptSamplesFitEachFrame) {
  talon_testing::TempDir dir;
  SampleBuffer samples;
  const uint32_t sizes[][2] = {{8, 2}, {64, 32}, {6, 4}};
  for (const auto& [width, height] : sizes) {
    std::vector<uint16_t> payload(uint64_t{width} * height);  // RAW16, rows back to back
    std::iota(payload.begin(), payload.end(), uint16_t(width));
    DngImage image;
    image.data = reinterpret_cast<const uint8_t*>(payload.data());
    image.stride = width * 2;
    image.width = width;
    image.height = height;
    image.bits = 16;
    const std::string path = dir.path() + "/f-" + std::to_string(width) + ".dng";
    std::string error;
    ASSERT_TRUE(WriteDng(path, image, &error, &samples)) << error;

    TIFF* tif = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    std::vector<uint16_t> read(payload.size());
    const tmsize_t bytes = static_cast<tmsize_t>(read.size() * sizeof(uint16_t));
    EXPECT_EQ(TIFFReadRawStrip(tif, 0, read.data(), bytes), bytes);
    TIFFClose(tif);
    EXPECT_EQ(read, payload) << width << "x" << height;
  }
}

}  // namespace
}  // namespace talon_cam
