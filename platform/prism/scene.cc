#include "platform/prism/scene.h"

#include <algorithm>
#include <cmath>

#include "platform/prism/payload.h"

namespace prism_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct PatchColour {
  const char* name;
  std::array<uint8_t, 3> srgb8;
};

// The published sRGB values of the 24-patch chart, row by row.
constexpr PatchColour kChart[Scene::kPatches] = {
    {"dark skin", {115, 82, 68}},     {"light skin", {194, 150, 130}},
    {"blue sky", {98, 122, 157}},     {"foliage", {87, 108, 67}},
    {"blue flower", {133, 128, 177}}, {"bluish green", {103, 189, 170}},
    {"orange", {214, 126, 44}},       {"purplish blue", {80, 91, 166}},
    {"moderate red", {193, 90, 99}},  {"purple", {94, 60, 108}},
    {"yellow green", {157, 188, 64}}, {"orange yellow", {224, 163, 46}},
    {"blue", {56, 61, 150}},          {"green", {70, 148, 73}},
    {"red", {175, 54, 60}},           {"yellow", {231, 199, 31}},
    {"magenta", {187, 86, 149}},      {"cyan", {8, 133, 161}},
    {"white", {243, 243, 242}},       {"neutral 8", {200, 200, 200}},
    {"neutral 6.5", {160, 160, 160}}, {"neutral 5", {122, 122, 121}},
    {"neutral 3.5", {85, 85, 85}},    {"black", {52, 52, 52}},
};

double SrgbToLinear(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

// Uniform in [0, 1) from a hash.
double Unit(uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

// Standard normal values, from a fixed seed: the noise of a site is the
// entry its hash picks, which costs a table look-up rather than a logarithm.
constexpr uint32_t kNormalBits = 16;
const std::vector<float>& NormalTable() {
  static const std::vector<float>* table = [] {
    auto* values = new std::vector<float>(1u << kNormalBits);
    for (uint32_t i = 0; i < values->size(); i += 2) {
      const double u1 = 1.0 - Unit(Mix(2 * i));  // (0, 1]
      const double u2 = Unit(Mix(2 * i + 1));
      const double radius = std::sqrt(-2.0 * std::log(u1));
      (*values)[i] = static_cast<float>(radius * std::cos(2 * kPi * u2));
      (*values)[i + 1] = static_cast<float>(radius * std::sin(2 * kPi * u2));
    }
    return values;
  }();
  return *table;
}

// Value noise in [0, 1]: hashed values at the integer lattice, blended
// smoothly between them.
double ValueNoise(double u, double v, uint64_t seed) {
  const double fi = std::floor(u);
  const double fj = std::floor(v);
  const auto i = static_cast<int64_t>(fi);
  const auto j = static_cast<int64_t>(fj);
  auto at = [seed](int64_t a, int64_t b) {
    return Unit(Mix(seed * 0xD1B54A32D192ED03ull ^ (static_cast<uint64_t>(a) << 32) ^
                    static_cast<uint32_t>(b)));
  };
  auto smooth = [](double t) { return t * t * (3 - 2 * t); };
  const double su = smooth(u - fi);
  const double sv = smooth(v - fj);
  const double top = at(i, j) + (at(i + 1, j) - at(i, j)) * su;
  const double bottom = at(i, j + 1) + (at(i + 1, j + 1) - at(i, j + 1)) * su;
  return top + (bottom - top) * sv;
}

// A fraction of a length, rounded.
uint32_t Part(uint32_t length, uint32_t percent) {
  return static_cast<uint32_t>((uint64_t{length} * percent + 50) / 100);
}

Rect Span(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
  return Rect{x0, y0, x1 > x0 ? x1 - x0 : 0, y1 > y0 ? y1 - y0 : 0};
}

Rect Shrink(const Rect& r, uint32_t margin) {
  const uint32_t mx = std::min(margin, r.width / 2);
  const uint32_t my = std::min(margin, r.height / 2);
  return Rect{r.x + mx, r.y + my, r.width - 2 * mx, r.height - 2 * my};
}

}  // namespace

uint64_t Mix(uint64_t z) {
  // SplitMix64's finaliser.
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int CfaChannel(Cfa cfa, uint32_t x, uint32_t y) {
  // Channels of the 2x2 cell: top left, top right, bottom left, bottom right.
  static constexpr int kCells[4][4] = {
      {0, 1, 1, 2},  // RGGB
      {1, 0, 2, 1},  // GRBG
      {1, 2, 0, 1},  // GBRG
      {2, 1, 1, 0},  // BGGR
  };
  return kCells[static_cast<int>(cfa)][(y & 1) * 2 + (x & 1)];
}

Rgb Multiply(const Matrix3& m, const Rgb& v) {
  return Rgb{m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
             m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

Matrix3 Invert(const Matrix3& m) {
  const double c00 = m[4] * m[8] - m[5] * m[7];
  const double c01 = m[5] * m[6] - m[3] * m[8];
  const double c02 = m[3] * m[7] - m[4] * m[6];
  const double det = m[0] * c00 + m[1] * c01 + m[2] * c02;
  return Matrix3{c00 / det, (m[2] * m[7] - m[1] * m[8]) / det, (m[1] * m[5] - m[2] * m[4]) / det,
                 c01 / det, (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
                 c02 / det, (m[1] * m[6] - m[0] * m[7]) / det, (m[0] * m[4] - m[1] * m[3]) / det};
}

SensorModel SensorModel::Default(uint32_t bits, Cfa cfa) {
  SensorModel model;
  model.bits = bits;
  model.cfa = cfa;
  const double scale = std::ldexp(1.0, static_cast<int>(bits) - 10);
  model.black_level = static_cast<uint32_t>(64 * scale);
  model.white_level = (1u << bits) - 1;
  model.read_noise = 1.5 * scale;
  return model;
}

double SensorModel::RawMean(const Rgb& linear_srgb, int channel) const {
  const Rgb camera = Multiply(srgb_to_camera, linear_srgb);
  const double range = static_cast<double>(white_level) - black_level;
  return black_level + range * response[channel] * camera[channel];
}

double SensorModel::NoiseSigma(double mean) const {
  const double range = static_cast<double>(white_level) - black_level;
  const double signal = std::max(mean - black_level, 0.0);
  return std::sqrt(signal * range / full_well + read_noise * read_noise);
}

Rgb SensorModel::WhiteBalanceGains() const {
  return Rgb{response[1] / response[0], 1.0, response[1] / response[2]};
}

Matrix3 SensorModel::CameraToSrgb() const {
  // The gains leave green's response: undo it too, so that the matrix maps
  // white-balanced camera RGB straight to the scene's linear sRGB.
  Matrix3 m = Invert(srgb_to_camera);
  for (double& v : m) v /= response[1];
  return m;
}

Scene::Scene(uint32_t width, uint32_t height)
    : width_(width), height_(height), column_of_x_(width, -1), row_of_y_(height, -1) {
  chart_ = Span(Part(width, 3), Part(height, 4), Part(width, 97), Part(height, 56));
  zone_plate_ = Span(Part(width, 3), Part(height, 62), Part(width, 48), Part(height, 96));
  texture_ = Span(Part(width, 52), Part(height, 62), Part(width, 97), Part(height, 96));
  constexpr int kRows = kPatches / kColumns;
  // A patch is its cell of the chart less a tenth on every side.
  auto cell_edge = [](uint32_t start, uint32_t length, int i, int n) {
    return start + static_cast<uint32_t>(uint64_t{length} * i / n);
  };
  std::array<Rect, kPatches> rects;
  for (int row = 0; row < kRows; ++row) {
    const uint32_t y0 = cell_edge(chart_.y, chart_.height, row, kRows);
    const uint32_t y1 = cell_edge(chart_.y, chart_.height, row + 1, kRows);
    const uint32_t gap_y = (y1 - y0) / 10;
    for (int column = 0; column < kColumns; ++column) {
      const uint32_t x0 = cell_edge(chart_.x, chart_.width, column, kColumns);
      const uint32_t x1 = cell_edge(chart_.x, chart_.width, column + 1, kColumns);
      const uint32_t gap_x = (x1 - x0) / 10;
      const Rect rect = Span(x0 + gap_x, y0 + gap_y, x1 - gap_x, y1 - gap_y);
      rects[row * kColumns + column] = rect;
      for (uint32_t x = rect.x; x < rect.x + rect.width; ++x) {
        column_of_x_[x] = static_cast<int8_t>(column);
      }
      for (uint32_t y = rect.y; y < rect.y + rect.height; ++y) {
        row_of_y_[y] = static_cast<int8_t>(row);
      }
    }
  }
  for (int i = 0; i < kPatches; ++i) {
    Patch& patch = patches_[i];
    patch.name = kChart[i].name;
    patch.srgb8 = kChart[i].srgb8;
    for (int c = 0; c < 3; ++c) patch.linear[c] = SrgbToLinear(patch.srgb8[c] / 255.0);
    patch.rect = rects[i];
    const uint32_t shorter = std::min(patch.rect.width, patch.rect.height);
    patch.inner = Shrink(patch.rect, std::max<uint32_t>(4, shorter / 10));
  }
}

Rgb Scene::LinearAt(uint32_t x, uint32_t y) const {
  if (x < width_ && y < height_) {
    const int column = column_of_x_[x];
    const int row = row_of_y_[y];
    if (column >= 0 && row >= 0) return patches_[row * kColumns + column].linear;
  }
  if (zone_plate_.Contains(x, y)) return ZonePlateAt(x, y);
  if (texture_.Contains(x, y)) return TextureAt(x, y);
  return Rgb{kSurround, kSurround, kSurround};
}

Rgb Scene::ZonePlateAt(uint32_t x, uint32_t y) const {
  // Rings whose frequency grows with the radius, up to kTop cycles per
  // pixel in the corners.
  constexpr double kTop = 0.3;
  const double dx = x + 0.5 - (zone_plate_.x + zone_plate_.width / 2.0);
  const double dy = y + 0.5 - (zone_plate_.y + zone_plate_.height / 2.0);
  const double r = std::sqrt(dx * dx + dy * dy);
  const double r_top = std::max(std::hypot(zone_plate_.width / 2.0, zone_plate_.height / 2.0), 1.0);
  const double phase = kPi * kTop * r * r / r_top;
  const double v = 0.05 + 0.4 * (0.5 + 0.5 * std::cos(phase));
  return Rgb{v, v, v};
}

Rgb Scene::TextureAt(uint32_t x, uint32_t y) const {
  // Luminance: octaves from 96 down to 3 pixels, the coarse ones stronger,
  // as in natural pictures; colour: slow variations of each channel.
  // Weights in proportion to the wavelength to the power 0.3, summing to 1.
  static constexpr double kWavelengths[] = {96, 48, 24, 12, 6, 3};
  static constexpr double kWeights[] = {0.2634, 0.2139, 0.1738, 0.1411, 0.1146, 0.0932};
  const double u = x - texture_.x + 0.5;
  const double v = y - texture_.y + 0.5;
  double sum = 0;
  for (size_t i = 0; i < std::size(kWavelengths); ++i) {
    sum += kWeights[i] * ValueNoise(u / kWavelengths[i], v / kWavelengths[i], 17 + i);
  }
  const double luminance = 0.03 + 0.6 * sum;
  Rgb rgb;
  for (int c = 0; c < 3; ++c) {
    const double tint =
        0.6 * ValueNoise(u / 160, v / 160, 101 + c) + 0.4 * ValueNoise(u / 40, v / 40, 201 + c);
    rgb[c] = std::min(luminance * (0.4 + 1.2 * tint), 0.95);
  }
  return rgb;
}

void RenderMeanRow(const Scene& scene, const SensorModel& model, uint32_t y, float* means) {
  for (uint32_t x = 0; x < scene.width(); ++x) {
    means[x] = static_cast<float>(model.RawMean(scene.LinearAt(x, y), CfaChannel(model.cfa, x, y)));
  }
}

void QuantiseRow(const SensorModel& model, const float* means, uint32_t width, uint32_t y,
                 bool noise, uint64_t seed, uint16_t* samples) {
  const std::vector<float>& normal = NormalTable();
  const uint64_t row_key = Mix(seed) ^ (uint64_t{y} << 32);
  const double top = model.white_level;
  for (uint32_t x = 0; x < width; ++x) {
    double v = means[x];
    if (noise) {
      const float z = normal[Mix(row_key + x) >> (64 - kNormalBits)];
      v += model.NoiseSigma(v) * z;
    }
    samples[x] = static_cast<uint16_t>(std::clamp(std::floor(v + 0.5), 0.0, top));
  }
}

std::vector<uint16_t> RenderMosaic(const Scene& scene, const SensorModel& model, bool noise,
                                   uint64_t seed) {
  const uint32_t width = scene.width();
  std::vector<uint16_t> mosaic(uint64_t{width} * scene.height());
  std::vector<float> means(width);
  for (uint32_t y = 0; y < scene.height(); ++y) {
    RenderMeanRow(scene, model, y, means.data());
    QuantiseRow(model, means.data(), width, y, noise, seed, &mosaic[uint64_t{y} * width]);
  }
  return mosaic;
}

bool WritePayload(const uint16_t* mosaic, uint32_t width, uint32_t height, uint32_t bits,
                  uint8_t* data, uint64_t stride) {
  if (!SupportedBits(bits) || stride < PayloadRowBytes(width, bits)) return false;
  for (uint32_t y = 0; y < height; ++y) {
    PackRow(mosaic + uint64_t{y} * width, width, bits, data + y * stride);
  }
  return true;
}

}  // namespace prism_sim
