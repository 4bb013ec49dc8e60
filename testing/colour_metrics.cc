#include "testing/colour_metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace talon_testing {
namespace {

constexpr double kPi = 3.14159265358979323846;

double Radians(double degrees) { return degrees * kPi / 180; }

// The hue angle in degrees, 0 ... 360.
double Hue(double b, double a) {
  if (a == 0 && b == 0) return 0;
  const double h = std::atan2(b, a) * 180 / kPi;
  return h < 0 ? h + 360 : h;
}

// D65 white in XYZ, Y = 1.
constexpr double kWhite[3] = {0.95047, 1.0, 1.08883};

double LabF(double t) {
  constexpr double kDelta = 6.0 / 29;
  return t > kDelta * kDelta * kDelta ? std::cbrt(t) : t / (3 * kDelta * kDelta) + 4.0 / 29;
}

}  // namespace

double SrgbEncode(double linear) {
  const double v = std::clamp(linear, 0.0, 1.0);
  return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

double SrgbDecode(double encoded) {
  const double v = std::clamp(encoded, 0.0, 1.0);
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

Rgb LinearSrgbToXyz(const Rgb& rgb) {
  static constexpr prism_sim::Matrix3 kToXyz = {0.4124564, 0.3575761, 0.1804375,  //
                                                0.2126729, 0.7151522, 0.0721750,  //
                                                0.0193339, 0.1191920, 0.9503041};
  return prism_sim::Multiply(kToXyz, rgb);
}

Lab XyzToLab(const Rgb& xyz) {
  const double fx = LabF(xyz[0] / kWhite[0]);
  const double fy = LabF(xyz[1] / kWhite[1]);
  const double fz = LabF(xyz[2] / kWhite[2]);
  return Lab{116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz)};
}

Lab LinearSrgbToLab(const Rgb& rgb) { return XyzToLab(LinearSrgbToXyz(rgb)); }

double Ciede2000(const Lab& first, const Lab& second) {
  const double c1 = std::hypot(first.a, first.b);
  const double c2 = std::hypot(second.a, second.b);
  const double c_mean7 = std::pow((c1 + c2) / 2, 7);
  const double g = 0.5 * (1 - std::sqrt(c_mean7 / (c_mean7 + std::pow(25.0, 7))));
  const double a1 = (1 + g) * first.a;
  const double a2 = (1 + g) * second.a;
  const double cp1 = std::hypot(a1, first.b);
  const double cp2 = std::hypot(a2, second.b);
  const double h1 = Hue(first.b, a1);
  const double h2 = Hue(second.b, a2);

  const double dl = second.l - first.l;
  const double dc = cp2 - cp1;
  double dh = 0;
  if (cp1 * cp2 != 0) {
    dh = h2 - h1;
    if (dh > 180) dh -= 360;
    if (dh < -180) dh += 360;
  }
  const double dh_big = 2 * std::sqrt(cp1 * cp2) * std::sin(Radians(dh / 2));

  const double l_mean = (first.l + second.l) / 2;
  const double cp_mean = (cp1 + cp2) / 2;
  double h_mean = h1 + h2;
  if (cp1 * cp2 != 0) {
    if (std::fabs(h1 - h2) <= 180) {
      h_mean = (h1 + h2) / 2;
    } else {
      h_mean = h1 + h2 < 360 ? (h1 + h2 + 360) / 2 : (h1 + h2 - 360) / 2;
    }
  }
  const double t = 1 - 0.17 * std::cos(Radians(h_mean - 30)) +
                   0.24 * std::cos(Radians(2 * h_mean)) + 0.32 * std::cos(Radians(3 * h_mean + 6)) -
                   0.20 * std::cos(Radians(4 * h_mean - 63));
  const double d_theta = 30 * std::exp(-std::pow((h_mean - 275) / 25, 2));
  const double cp_mean7 = std::pow(cp_mean, 7);
  const double rc = 2 * std::sqrt(cp_mean7 / (cp_mean7 + std::pow(25.0, 7)));
  const double l50 = (l_mean - 50) * (l_mean - 50);
  const double sl = 1 + 0.015 * l50 / std::sqrt(20 + l50);
  const double sc = 1 + 0.045 * cp_mean;
  const double sh = 1 + 0.015 * cp_mean * t;
  const double rt = -std::sin(Radians(2 * d_theta)) * rc;
  const double l_term = dl / sl;
  const double c_term = dc / sc;
  const double h_term = dh_big / sh;
  return std::sqrt(l_term * l_term + c_term * c_term + h_term * h_term + rt * c_term * h_term);
}

double Chroma(const Lab& lab) { return std::hypot(lab.a, lab.b); }

double Cpsnr(const RgbView& reference, const RgbView& test) {
  return Cpsnr(reference, test, prism_sim::Rect{0, 0, reference.width, reference.height});
}

double Cpsnr(const RgbView& reference, const RgbView& test, const prism_sim::Rect& region) {
  const uint64_t right = uint64_t{region.x} + region.width;
  const uint64_t bottom = uint64_t{region.y} + region.height;
  if (reference.width != test.width || reference.height != test.height || region.width == 0 ||
      region.height == 0 || right > reference.width || bottom > reference.height) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  double sum = 0;
  for (uint64_t y = region.y; y < bottom; ++y) {
    const uint8_t* r = reference.data + y * reference.stride;
    const uint8_t* t = test.data + y * test.stride;
    for (uint64_t x = region.x; x < right; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int d = r[x * reference.pixel_bytes + c] - t[x * test.pixel_bytes + c];
        sum += d * d;
      }
    }
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  const double mse = sum / (3.0 * region.width * region.height);
  return 10 * std::log10(255.0 * 255.0 / mse);
}

std::vector<float> DemosaicBilinear(const uint16_t* mosaic, uint32_t width, uint32_t height,
                                    prism_sim::Cfa cfa) {
  std::vector<float> rgb(uint64_t{width} * height * 3);
  if (width < 2 || height < 2) return rgb;
  // A mirrored index keeps the site's colour: -1 reads 1, n reads n - 2.
  auto mirror = [](int64_t i, uint32_t n) {
    return static_cast<uint32_t>(i < 0 ? -i : i >= n ? 2 * (int64_t{n} - 1) - i : i);
  };
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      float* out = &rgb[(uint64_t{y} * width + x) * 3];
      const int own = prism_sim::CfaChannel(cfa, x, y);
      float sums[3] = {0, 0, 0};
      int counts[3] = {0, 0, 0};
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          if (dx == 0 && dy == 0) continue;
          const uint32_t sx = mirror(int64_t{x} + dx, width);
          const uint32_t sy = mirror(int64_t{y} + dy, height);
          const int c = prism_sim::CfaChannel(cfa, sx, sy);
          sums[c] += mosaic[uint64_t{sy} * width + sx];
          ++counts[c];
        }
      }
      for (int c = 0; c < 3; ++c) {
        out[c] = c == own ? mosaic[uint64_t{y} * width + x] : sums[c] / counts[c];
      }
    }
  }
  return rgb;
}

}  // namespace talon_testing
