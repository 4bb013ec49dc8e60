// A scene with known truth and the sensor that sees it, for the simulator's
// second picture (PRISM_SIM_PATTERN=scene) and for tests of image quality.
//
// The sensor model: a Bayer sensor of `bits` with a black level, under a
// warm illuminant (raw green strongest: a neutral needs gains of about R 1.9,
// G 1, B 1.6), whose colour filters see linear sRGB through a matrix with
// cross-talk, with signal-dependent shot noise (Gaussian of the Poisson
// variance) and Gaussian read noise, both seeded. It states its truth as
// an ISP takes it: the white-balance gains and the camera-RGB (white
// balanced) to linear-sRGB matrix; with both, a noiseless raw value gives
// back the scene's linear sRGB colour.
//
// The scene: a 24-patch colour chart (the published sRGB values of the
// 24-patch chart), 6 x 4 patches on a neutral grey surround in the upper
// part; below it a neutral zone plate (fine detail in every direction, from
// 0 at its centre up to 0.3 cycles per pixel in its corners) and a coloured natural-like texture
// (fractal value noise, detail down to 3 pixels). The regions are fractions of the frame, so any
// size has all of them (from 320 x 240 up every patch has an inner area of some size). The truth:
// each patch's rectangle, the inner rectangle safe from a demosaic's reach across its edges, and
// its colour; the linear sRGB colour at any pixel.
//
// Threading: a Scene and a SensorModel are immutable once made; every
// function may be called from any thread. Callers own the memory they pass.

#ifndef PLATFORM_PRISM_SCENE_H_
#define PLATFORM_PRISM_SCENE_H_

#include <array>
#include <cstdint>
#include <vector>

namespace prism_sim {

// A well-mixed 64-bit hash of `z`: the seeded noise's source.
uint64_t Mix(uint64_t z);

// The colour of the top-left 2x2 cell of the mosaic, row by row.
enum class Cfa { kRggb, kGrbg, kGbrg, kBggr };

// The channel (0 R, 1 G, 2 B) of the mosaic's site (x, y).
int CfaChannel(Cfa cfa, uint32_t x, uint32_t y);

using Rgb = std::array<double, 3>;
using Matrix3 = std::array<double, 9>;  // row major

Rgb Multiply(const Matrix3& m, const Rgb& v);
// The inverse of an invertible matrix.
Matrix3 Invert(const Matrix3& m);

struct SensorModel {
  uint32_t bits = 10;
  uint32_t black_level = 64;
  uint32_t white_level = 1023;
  Cfa cfa = Cfa::kRggb;
  // Raw signal of R, G and B, as a fraction of (white - black), for a camera
  // RGB of (1, 1, 1): the illuminant's and the filters' response.
  Rgb response{1 / 1.9, 1.0, 1 / 1.6};
  // Linear sRGB to camera RGB. Every row sums to 1 (a neutral stays
  // neutral in camera RGB) and every entry is positive, so an sRGB colour
  // in gamut gives camera RGB in [0, 1].
  Matrix3 srgb_to_camera{0.72, 0.22, 0.06,  //
                         0.10, 0.78, 0.12,  //
                         0.03, 0.25, 0.72};
  // Electrons at the white level (shot noise) and the read noise in DN.
  double full_well = 6000.0;
  double read_noise = 1.5;

  // The model at `bits` (8 to 16): black level 64 and read noise 1.5 DN at
  // 10 bits, scaled with the bits; white level 2^bits - 1.
  static SensorModel Default(uint32_t bits = 10, Cfa cfa = Cfa::kRggb);

  // The noiseless raw value (DN, before rounding) of `channel` for a scene
  // colour in linear sRGB.
  double RawMean(const Rgb& linear_srgb, int channel) const;
  // The noise's standard deviation (DN) at noiseless raw value `mean`.
  double NoiseSigma(double mean) const;

  // The truth, as an ISP's settings take it: gains for R, G, B (G = 1) that
  // make a neutral's raw channels equal, and camera RGB (white balanced, as
  // fractions of white - black) to linear sRGB: the inverse of
  // srgb_to_camera.
  Rgb WhiteBalanceGains() const;
  Matrix3 CameraToSrgb() const;
};

// A rectangle of pixels.
struct Rect {
  uint32_t x = 0;
  uint32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool Contains(uint32_t px, uint32_t py) const {
    return px >= x && px - x < width && py >= y && py - y < height;
  }
};

struct Patch {
  const char* name;
  std::array<uint8_t, 3> srgb8;  // the published 8-bit sRGB value
  Rgb linear;                    // the same, decoded to linear sRGB
  Rect rect;                     // the whole patch
  Rect inner;                    // `rect` less a margin of a tenth of it, at least 4 pixels
};

class Scene {
 public:
  static constexpr int kPatches = 24;
  static constexpr int kColumns = 6;
  // The surround's linear sRGB grey.
  static constexpr double kSurround = 0.18;

  Scene(uint32_t width, uint32_t height);

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  // Row by row from the top left: 1 dark skin ... 19 white ... 24 black.
  const std::array<Patch, kPatches>& patches() const { return patches_; }
  // Fine detail: the neutral zone plate and the coloured texture.
  const Rect& zone_plate() const { return zone_plate_; }
  const Rect& texture() const { return texture_; }

  // The scene's linear sRGB colour at pixel (x, y) (its centre).
  Rgb LinearAt(uint32_t x, uint32_t y) const;

 private:
  Rgb ZonePlateAt(uint32_t x, uint32_t y) const;
  Rgb TextureAt(uint32_t x, uint32_t y) const;

  uint32_t width_;
  uint32_t height_;
  std::array<Patch, kPatches> patches_;
  Rect chart_;
  Rect zone_plate_;
  Rect texture_;
  // The chart's column of pixel column x and row of pixel row y, -1 in the
  // surround and in the gaps between patches.
  std::vector<int8_t> column_of_x_;
  std::vector<int8_t> row_of_y_;
};

// Row y of `scene` as `model` sees it: the noiseless raw value of each of
// the row's `width` sites (DN, before rounding).
void RenderMeanRow(const Scene& scene, const SensorModel& model, uint32_t y, float* means);

// Quantises a row of noiseless values into samples: rounded, with the
// model's noise when `noise` (the same for the same seed, row and site),
// clipped to 0 ... white level.
void QuantiseRow(const SensorModel& model, const float* means, uint32_t width, uint32_t y,
                 bool noise, uint64_t seed, uint16_t* samples);

// The mosaic of `scene` as `model` sees it: width x height samples, row by
// row, in the model's CFA and bits.
std::vector<uint16_t> RenderMosaic(const Scene& scene, const SensorModel& model, bool noise,
                                   uint64_t seed);

// Writes a mosaic of width x height samples of `bits` (8: RAW8, 10: packed
// RAW10, 16: RAW16) as payload rows `stride` bytes apart. False, writing
// nothing, when bits is not 8, 10 or 16 or stride is below a row's payload.
bool WritePayload(const uint16_t* mosaic, uint32_t width, uint32_t height, uint32_t bits,
                  uint8_t* data, uint64_t stride);

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_SCENE_H_
