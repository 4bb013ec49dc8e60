// Tests of the colour and picture-quality measures: the figures every test
// of image quality rests on.

#include "testing/colour_metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace talon_testing {
namespace {

// Catches a CIEDE2000 wrong in any of its parts (the hue's wrap at 180
// degrees, the mean hue, the rotation term, the weights), held to the test
// pairs published with the formula's implementation notes (Color Research
// and Application 30(1), 2005), to their 4 decimals.
TEST(ColourMetrics, Ciede2000PublishedPairs) {
  struct Pair {
    Lab first, second;
    double expected;
  };
  const Pair kPairs[] = {
      {{50, 2.6772, -79.7751}, {50, 0, -82.7485}, 2.0425},
      {{50, 3.1571, -77.2803}, {50, 0, -82.7485}, 2.8615},
      {{50, -1.3802, -84.2814}, {50, 0, -82.7485}, 1.0000},
      {{50, 0, 0}, {50, -1, 2}, 2.3669},
      {{50, 2.49, -0.001}, {50, -2.49, 0.0009}, 7.1792},
      {{50, 2.49, -0.001}, {50, -2.49, 0.0011}, 7.2195},
      {{50, -0.001, 2.49}, {50, 0.0009, -2.49}, 4.8045},
      {{50, -0.001, 2.49}, {50, 0.0011, -2.49}, 4.7461},
      {{50, 2.5, 0}, {73, 25, -18}, 27.1492},
      {{50, 2.5, 0}, {56, -27, -3}, 31.9030},
      {{60.2574, -34.0099, 36.2677}, {60.4626, -34.1751, 39.4387}, 1.2644},
      {{22.7233, 20.0904, -46.6940}, {23.0331, 14.9730, -42.5619}, 2.0373},
      {{90.9257, -0.5406, -0.9208}, {88.6381, -0.8985, -0.7239}, 1.5381},
      {{2.0776, 0.0795, -1.1350}, {0.9033, -0.0636, -0.5514}, 0.9082},
  };
  for (const Pair& p : kPairs) {
    EXPECT_NEAR(Ciede2000(p.first, p.second), p.expected, 5e-5)
        << p.first.l << " " << p.first.a << " " << p.first.b;
    EXPECT_NEAR(Ciede2000(p.second, p.first), p.expected, 5e-5) << "not symmetric";
  }
}

// Catches a wrong transfer curve, XYZ matrix or white point: known points of
// the curve and the Lab values of sRGB white, red and mid grey.
TEST(ColourMetrics, SrgbAndLab) {
  EXPECT_NEAR(SrgbEncode(0.5), 0.7353569, 1e-6);
  EXPECT_NEAR(SrgbDecode(0.5), 0.2140411, 1e-6);
  EXPECT_NEAR(SrgbDecode(SrgbEncode(0.002)), 0.002, 1e-12);
  struct Case {
    Rgb linear;
    Lab expected;
  };
  const Case kCases[] = {
      {{1, 1, 1}, {100, 0, 0}},
      {{1, 0, 0}, {53.2408, 80.0925, 67.2032}},
      {{0.2140411, 0.2140411, 0.2140411}, {53.3890, 0, 0}},
  };
  for (const Case& c : kCases) {
    const Lab lab = LinearSrgbToLab(c.linear);
    EXPECT_NEAR(lab.l, c.expected.l, 2e-3);
    EXPECT_NEAR(lab.a, c.expected.a, 2e-3);
    EXPECT_NEAR(lab.b, c.expected.b, 2e-3);
  }
  EXPECT_NEAR(Chroma(Lab{50, 3, -4}), 5, 1e-12);
}

// Catches a CPSNR that counts the wrong pixels or channels, ignores the
// region or the pixel size, or is finite for equal pictures.
TEST(ColourMetrics, Cpsnr) {
  const uint32_t width = 8;
  const uint32_t height = 4;
  std::vector<uint8_t> rgbx(width * height * 4, 100);
  std::vector<uint8_t> rgb(width * height * 3, 100);
  const RgbView a{rgbx.data(), width * 4, width, height, 4};
  const RgbView b{rgb.data(), width * 3, width, height, 3};
  EXPECT_TRUE(std::isinf(Cpsnr(a, b)));
  // Every channel of every pixel off by 2: MSE 4.
  for (uint8_t& v : rgb) v = 102;
  EXPECT_NEAR(Cpsnr(a, b), 10 * std::log10(255.0 * 255.0 / 4), 1e-9);
  // Only the left half off, by 2 in green alone: MSE 4 / 3 there, 0 outside.
  for (uint8_t& v : rgb) v = 100;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width / 2; ++x) rgb[(y * width + x) * 3 + 1] = 102;
  }
  EXPECT_NEAR(Cpsnr(a, b, prism_sim::Rect{0, 0, 4, 4}), 10 * std::log10(255.0 * 255.0 * 3 / 4),
              1e-9);
  EXPECT_TRUE(std::isinf(Cpsnr(a, b, prism_sim::Rect{4, 0, 4, 4})));
  EXPECT_TRUE(std::isnan(Cpsnr(a, b, prism_sim::Rect{5, 0, 4, 4})));
}

// Catches a demosaic that takes the wrong neighbours or mirrors the border
// onto the wrong colour: bilinear interpolation gives back a plane exactly
// inside the picture and a flat colour everywhere, in every CFA.
TEST(ColourMetrics, DemosaicBilinearPlanesAndFlat) {
  const uint32_t width = 10;
  const uint32_t height = 8;
  auto plane = [](int c, uint32_t x, uint32_t y) { return 100.0f * (c + 1) + 3.0f * x + 5.0f * y; };
  for (prism_sim::Cfa cfa : {prism_sim::Cfa::kRggb, prism_sim::Cfa::kGrbg, prism_sim::Cfa::kGbrg,
                             prism_sim::Cfa::kBggr}) {
    std::vector<uint16_t> ramp(width * height);
    std::vector<uint16_t> flat(width * height);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        const int c = prism_sim::CfaChannel(cfa, x, y);
        ramp[y * width + x] = static_cast<uint16_t>(plane(c, x, y));
        flat[y * width + x] = static_cast<uint16_t>(10 * (c + 1));
      }
    }
    const std::vector<float> from_ramp = DemosaicBilinear(ramp.data(), width, height, cfa);
    const std::vector<float> from_flat = DemosaicBilinear(flat.data(), width, height, cfa);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        for (int c = 0; c < 3; ++c) {
          const size_t i = (y * width + x) * 3 + c;
          ASSERT_EQ(from_flat[i], 10.0f * (c + 1)) << x << "," << y << " channel " << c;
          if (x == 0 || y == 0 || x == width - 1 || y == height - 1) continue;
          ASSERT_FLOAT_EQ(from_ramp[i], plane(c, x, y)) << x << "," << y << " channel " << c;
        }
      }
    }
  }
}

}  // namespace
}  // namespace talon_testing
