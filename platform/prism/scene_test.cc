// Tests of the scene with known truth and its sensor model: the truth the
// tests of image quality rely on must be what the mosaic holds, in every
// CFA, and the simulator's scene frames must keep the sequence stamp.

#include "platform/prism/scene.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/prism/prism_sim.h"
#include "support/csi2_unpack.h"
#include "testing/colour_metrics.h"

namespace prism_sim {
namespace {

constexpr Cfa kCfas[] = {Cfa::kRggb, Cfa::kGrbg, Cfa::kGbrg, Cfa::kBggr};
constexpr const char* kCfaNames[] = {"RGGB", "GRBG", "GBRG", "BGGR"};

// The channel of site (x, y), read from the CFA's name rather than from the
// code under test.
int ChannelOf(Cfa cfa, uint32_t x, uint32_t y) {
  const char colour = kCfaNames[static_cast<int>(cfa)][(y & 1) * 2 + (x & 1)];
  return colour == 'R' ? 0 : colour == 'G' ? 1 : 2;
}

// Catches truth that the mosaic does not hold: a patch rectangle off by a
// pixel (the patch must be flat to its edges, the surround just outside
// it), a CFA laid out wrongly, gains or a matrix that are not the model's
// inverse, or patch colours other than the published values. With the true
// gains and matrix, a patch's noiseless raw values give back its colour
// within their rounding.
TEST(Scene, NoiselessPatchesGiveBackTheirColour) {
  const Scene scene(640, 480);
  for (uint32_t bits : {8u, 10u}) {
    for (Cfa cfa : kCfas) {
      SCOPED_TRACE(std::string(kCfaNames[static_cast<int>(cfa)]) + " bits " + std::to_string(bits));
      const SensorModel model = SensorModel::Default(bits, cfa);
      const std::vector<uint16_t> mosaic = RenderMosaic(scene, model, false, 0);
      auto at = [&](uint32_t x, uint32_t y) { return mosaic[y * scene.width() + x]; };
      const double range = model.white_level - model.black_level;
      const Rgb gains = model.WhiteBalanceGains();
      const Matrix3 ccm = model.CameraToSrgb();
      for (const Patch& patch : scene.patches()) {
        SCOPED_TRACE(patch.name);
        const Rect& r = patch.rect;
        ASSERT_GE(patch.inner.width, 8u);
        ASSERT_GE(patch.inner.height, 8u);
        int raw[3] = {-1, -1, -1};
        for (uint32_t y = r.y; y < r.y + r.height; ++y) {
          for (uint32_t x = r.x; x < r.x + r.width; ++x) {
            const int c = ChannelOf(cfa, x, y);
            if (raw[c] < 0) raw[c] = at(x, y);
            ASSERT_EQ(at(x, y), raw[c]) << "patch not flat at " << x << "," << y;
          }
        }
        // The surround around the rectangle, on each side.
        const uint32_t outside[4][2] = {
            {r.x - 1, r.y}, {r.x + r.width, r.y}, {r.x, r.y - 1}, {r.x, r.y + r.height}};
        for (const auto& xy : outside) {
          const Rgb grey{Scene::kSurround, Scene::kSurround, Scene::kSurround};
          const int c = ChannelOf(cfa, xy[0], xy[1]);
          EXPECT_EQ(at(xy[0], xy[1]), std::lround(model.RawMean(grey, c)))
              << "not the surround at " << xy[0] << "," << xy[1];
        }
        Rgb balanced;
        for (int c = 0; c < 3; ++c) balanced[c] = gains[c] * (raw[c] - model.black_level) / range;
        const Rgb developed = Multiply(ccm, balanced);
        for (int c = 0; c < 3; ++c) {
          // Half a DN of rounding in each channel, through the gains and the matrix.
          double tolerance = 0;
          for (int k = 0; k < 3; ++k) {
            tolerance += std::fabs(ccm[c * 3 + k]) * gains[k] * 0.5 / range;
          }
          const double published = talon_testing::SrgbDecode(patch.srgb8[c] / 255.0);
          EXPECT_NEAR(patch.linear[c], published, 1e-12);
          EXPECT_NEAR(developed[c], published, tolerance + 1e-9) << "channel " << c;
        }
      }
    }
  }
}

// Catches noise that is not the model's: biased, of the wrong size, not
// repeatable for a seed or the same for every seed.
TEST(Scene, NoiseIsTheModels) {
  const Scene scene(640, 480);
  const SensorModel model = SensorModel::Default(10);
  const std::vector<uint16_t> noisy = RenderMosaic(scene, model, true, 7);
  EXPECT_EQ(RenderMosaic(scene, model, true, 7), noisy);
  EXPECT_NE(RenderMosaic(scene, model, true, 8), noisy);
  for (int index : {18, 21, 23}) {  // white, neutral 5, black
    const Patch& patch = scene.patches()[index];
    SCOPED_TRACE(patch.name);
    const double mean = model.RawMean(patch.linear, 1);
    const double sigma = model.NoiseSigma(mean);
    double sum = 0;
    double squares = 0;
    int n = 0;
    const Rect& r = patch.inner;
    for (uint32_t y = r.y; y < r.y + r.height; ++y) {
      for (uint32_t x = r.x; x < r.x + r.width; ++x) {
        if (ChannelOf(model.cfa, x, y) != 1) continue;
        const double v = noisy[y * scene.width() + x];
        sum += v;
        squares += v * v;
        ++n;
      }
    }
    const double measured_mean = sum / n;
    const double measured_sigma = std::sqrt(squares / n - measured_mean * measured_mean);
    EXPECT_NEAR(measured_mean, mean, 4 * sigma / std::sqrt(n) + 0.1);
    EXPECT_NEAR(measured_sigma, sigma, 0.1 * sigma + 0.3);
  }
}

// Catches payload written outside its rows or packed other than the
// unpacker reads it, and bad arguments written through.
TEST(Scene, PayloadRoundTrip) {
  const Scene scene(70, 9);  // a partial RAW10 group at each row's end
  for (uint32_t bits : {8u, 10u, 16u}) {
    const std::vector<uint16_t> mosaic = RenderMosaic(scene, SensorModel::Default(bits), true, 1);
    const uint64_t stride = talon_support::PayloadRowBytes(scene.width(), bits) + 3;
    std::vector<uint8_t> payload(stride * scene.height(), 0xEE);
    ASSERT_TRUE(
        WritePayload(mosaic.data(), scene.width(), scene.height(), bits, payload.data(), stride));
    for (uint32_t y = 0; y < scene.height(); ++y) {
      for (uint64_t i = stride - 3; i < stride; ++i) ASSERT_EQ(payload[y * stride + i], 0xEE);
    }
    std::vector<uint16_t> unpacked(mosaic.size());
    ASSERT_TRUE(talon_support::UnpackCsi2(payload.data(), stride, scene.width(), scene.height(),
                                          bits, unpacked.data()));
    EXPECT_EQ(unpacked, mosaic) << "bits " << bits;
    EXPECT_FALSE(
        WritePayload(mosaic.data(), scene.width(), scene.height(), 12, payload.data(), stride));
    EXPECT_FALSE(WritePayload(mosaic.data(), scene.width(), scene.height(), bits, payload.data(),
                              stride - 4));
  }
}

// Catches the simulator's scene frames losing the sequence stamp, writing
// past a row's payload, not repeating for a sequence number, keeping one
// noise for every frame, or showing anything but the scene; and a bad
// pattern name taken.
TEST(Scene, SimulatorFrames) {
  EXPECT_EQ(PrismSimSetPattern("stripes"), -1);
  ASSERT_EQ(PrismSimSetPattern("scene"), 0);
  const Scene scene(320, 240);
  for (uint32_t bits : {8u, 10u, 16u}) {
    SCOPED_TRACE("bits " + std::to_string(bits));
    const uint64_t stride = talon_support::PayloadRowBytes(scene.width(), bits) + 5;
    auto render = [&](uint32_t sequence) {
      std::vector<uint8_t> frame(stride * scene.height(), 0xEE);
      PrismSimRenderFrame(frame.data(), stride, scene.width(), scene.height(), bits, sequence);
      return frame;
    };
    const std::vector<uint8_t> frame = render(0x01020304u);
    EXPECT_EQ(render(0x01020304u), frame);
    EXPECT_NE(render(0x01020305u), frame);
    uint32_t sequence = 0;
    ASSERT_EQ(PrismSimDecodeFrameSequence(frame.data(), stride, scene.width(), scene.height(), bits,
                                          &sequence),
              0);
    EXPECT_EQ(sequence, 0x01020304u);
    for (uint32_t y = 0; y < scene.height(); ++y) {
      for (uint64_t i = stride - 5; i < stride; ++i) ASSERT_EQ(frame[y * stride + i], 0xEE);
    }
    std::vector<uint16_t> samples(uint64_t{scene.width()} * scene.height());
    ASSERT_TRUE(talon_support::UnpackCsi2(frame.data(), stride, scene.width(), scene.height(), bits,
                                          samples.data()));
    const SensorModel model = SensorModel::Default(bits);
    for (const Patch& patch : scene.patches()) {
      double sum = 0;
      int n = 0;
      const Rect& r = patch.inner;
      for (uint32_t y = r.y; y < r.y + r.height; ++y) {
        for (uint32_t x = r.x; x < r.x + r.width; ++x) {
          if (ChannelOf(model.cfa, x, y) != 1) continue;
          sum += samples[y * scene.width() + x];
          ++n;
        }
      }
      const double mean = model.RawMean(patch.linear, 1);
      EXPECT_NEAR(sum / n, mean, 5 * model.NoiseSigma(mean) / std::sqrt(n) + 0.5) << patch.name;
    }
  }
  // A frame too small for the stamp or the chart is still written.
  std::vector<uint8_t> tiny(12, 0xEE);
  PrismSimRenderFrame(tiny.data(), 6, 3, 2, 10, 1);  // payload: 4 bytes a row
  EXPECT_EQ(tiny, (std::vector<uint8_t>{tiny[0], tiny[1], tiny[2], tiny[3], 0xEE, 0xEE, tiny[6],
                                        tiny[7], tiny[8], tiny[9], 0xEE, 0xEE}));
  EXPECT_NE(tiny[6], 0xEE);
  ASSERT_EQ(PrismSimSetPattern("bars"), 0);
}

}  // namespace
}  // namespace prism_sim
