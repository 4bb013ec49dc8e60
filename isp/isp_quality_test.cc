// The ISP's picture quality, measured on the simulator's scene with known
// truth (platform/prism/scene.h) seen through its sensor model with noise,
// RAW10: the colour chart's accuracy with the true gains and matrix
// (CIEDE2000), its neutrals with automatic white balance (chroma), and the
// demosaic against a plain bilinear one given the same colour path (CPSNR
// on the zone plate and the texture). Each test prints its figures.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "isp/isp.h"
#include "platform/prism/scene.h"
#include "testing/colour_metrics.h"

namespace talon_isp {
namespace {

using prism_sim::Rect;
using prism_sim::Rgb;
using talon_testing::RgbView;

constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 960;

// The scene's noisy RAW10 frame, the mosaic it was packed from, and the
// ISP's settings that the sensor model's truth gives.
struct Capture {
  prism_sim::Scene scene{kWidth, kHeight};
  prism_sim::SensorModel model = prism_sim::SensorModel::Default(10);
  std::vector<uint16_t> mosaic;
  std::vector<uint8_t> payload;
  uint64_t stride = 0;

  Capture() {
    mosaic = prism_sim::RenderMosaic(scene, model, /*noise=*/true, /*seed=*/3);
    stride = (uint64_t{kWidth} * 10 + 7) / 8;
    payload.resize(stride * kHeight);
    prism_sim::WritePayload(mosaic.data(), kWidth, kHeight, 10, payload.data(), stride);
  }

  RawImage raw() const {
    return RawImage{payload.data(), stride, kWidth, kHeight, RawFormat::kRaw10};
  }

  Settings TrueSettings() const {
    Settings settings;
    settings.cfa = Cfa::kRggb;
    settings.black_level = model.black_level;
    settings.white_level = model.white_level;
    settings.auto_white_balance = false;
    const Rgb gains = model.WhiteBalanceGains();
    for (int c = 0; c < 3; ++c) settings.wb_gains[c] = static_cast<float>(gains[c]);
    const prism_sim::Matrix3 ccm = model.CameraToSrgb();
    for (int i = 0; i < 9; ++i) settings.ccm[i] = static_cast<float>(ccm[i]);
    return settings;
  }
};

// An 8-bit sRGB picture, RGB.
struct Picture {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(uint64_t{kWidth} * kHeight * 3);
  RgbView view() const { return RgbView{rgb.data(), kWidth * 3, kWidth, kHeight, 3}; }
};

Picture Develop(const Capture& capture, const Settings& settings) {
  Picture picture;
  Isp isp;
  const Image out{PixelFormat::kRgb, kWidth, kHeight, {picture.rgb.data()}, {kWidth * 3}};
  Error error;
  EXPECT_TRUE(isp.Develop(capture.raw(), settings, out, nullptr, &error))
      << error.argument << ": " << error.reason;
  return picture;
}

uint8_t Encode8(double linear) {
  return static_cast<uint8_t>(std::lround(255 * talon_testing::SrgbEncode(linear)));
}

// The scene's truth as an 8-bit sRGB picture.
Picture Truth(const prism_sim::Scene& scene) {
  Picture picture;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const Rgb linear = scene.LinearAt(x, y);
      uint8_t* out = &picture.rgb[(uint64_t{y} * kWidth + x) * 3];
      for (int c = 0; c < 3; ++c) out[c] = Encode8(linear[c]);
    }
  }
  return picture;
}

// The bilinear demosaic, then the ISP's colour path with the same settings:
// black level, gains, matrix, clipped to [0, 1], sRGB, 8 bits.
Picture DevelopBilinear(const Capture& capture, const Settings& settings) {
  const std::vector<float> camera = talon_testing::DemosaicBilinear(capture.mosaic.data(), kWidth,
                                                                    kHeight, prism_sim::Cfa::kRggb);
  const double range = static_cast<double>(settings.white_level) - settings.black_level;
  prism_sim::Matrix3 ccm;
  for (int i = 0; i < 9; ++i) ccm[i] = settings.ccm[i];
  Picture picture;
  for (uint64_t i = 0; i < uint64_t{kWidth} * kHeight; ++i) {
    Rgb balanced;
    for (int c = 0; c < 3; ++c) {
      balanced[c] = settings.wb_gains[c] * (camera[i * 3 + c] - settings.black_level) / range;
    }
    const Rgb linear = prism_sim::Multiply(ccm, balanced);
    for (int c = 0; c < 3; ++c) picture.rgb[i * 3 + c] = Encode8(linear[c]);
  }
  return picture;
}

// The mean colour of a picture over a rectangle, averaged in linear light.
talon_testing::Lab MeanLab(const Picture& picture, const Rect& r) {
  Rgb sum{0, 0, 0};
  for (uint32_t y = r.y; y < r.y + r.height; ++y) {
    for (uint32_t x = r.x; x < r.x + r.width; ++x) {
      const uint8_t* pixel = &picture.rgb[(uint64_t{y} * kWidth + x) * 3];
      for (int c = 0; c < 3; ++c) sum[c] += talon_testing::SrgbDecode(pixel[c] / 255.0);
    }
  }
  const double n = static_cast<double>(r.width) * r.height;
  return talon_testing::LinearSrgbToLab(Rgb{sum[0] / n, sum[1] / n, sum[2] / n});
}

// Catches colour that the ISP gets wrong given the true settings: a gain or
// matrix applied in the wrong order or to the wrong channel, a black level
// not taken off, a wrong transfer curve, a demosaic that shifts colour.
TEST(IspQuality, ChartWithTrueSettings) {
  const Capture capture;
  const Picture picture = Develop(capture, capture.TrueSettings());
  double sum = 0;
  double worst = 0;
  const char* worst_name = "";
  for (const prism_sim::Patch& patch : capture.scene.patches()) {
    const double de = talon_testing::Ciede2000(talon_testing::LinearSrgbToLab(patch.linear),
                                               MeanLab(picture, patch.inner));
    EXPECT_LE(de, 3.0) << patch.name;
    sum += de;
    if (de > worst) {
      worst = de;
      worst_name = patch.name;
    }
  }
  const double mean = sum / prism_sim::Scene::kPatches;
  std::printf("isp_quality: chart, true gains and matrix: CIEDE2000 mean %.2f, max %.2f (%s)\n",
              mean, worst, worst_name);
  EXPECT_LE(mean, 1.5);
}

// Catches an automatic white balance that leaves a cast: the chart's
// neutral patches (white to black) must come out neutral.
TEST(IspQuality, NeutralsWithAutomaticWhiteBalance) {
  const Capture capture;
  Settings settings = capture.TrueSettings();
  settings.auto_white_balance = true;
  const Picture picture = Develop(capture, settings);
  double worst = 0;
  for (int i = 18; i < prism_sim::Scene::kPatches; ++i) {
    const prism_sim::Patch& patch = capture.scene.patches()[i];
    const double chroma = talon_testing::Chroma(MeanLab(picture, patch.inner));
    EXPECT_LE(chroma, 4.0) << patch.name;
    worst = std::max(worst, chroma);
  }
  std::printf("isp_quality: neutrals, automatic white balance: Lab chroma at most %.2f\n", worst);
}

// Catches a demosaic no better than bilinear on fine detail: with the same
// settings and colour path, the ISP's picture must be at least 0.8 dB closer
// to the truth on the zone plate and on the texture.
TEST(IspQuality, DemosaicBeatsBilinear) {
  const Capture capture;
  const Settings settings = capture.TrueSettings();
  const Picture truth = Truth(capture.scene);
  const Picture isp = Develop(capture, settings);
  const Picture bilinear = DevelopBilinear(capture, settings);
  const struct {
    const char* name;
    Rect region;
  } kRegions[] = {{"zone plate", capture.scene.zone_plate()}, {"texture", capture.scene.texture()}};
  for (const auto& r : kRegions) {
    const double ours = talon_testing::Cpsnr(truth.view(), isp.view(), r.region);
    const double plain = talon_testing::Cpsnr(truth.view(), bilinear.view(), r.region);
    std::printf("isp_quality: %s CPSNR: ISP %.2f dB, bilinear %.2f dB (%+.2f dB)\n", r.name, ours,
                plain, ours - plain);
    EXPECT_GE(ours - plain, 0.8) << r.name;
  }
}

}  // namespace
}  // namespace talon_isp
