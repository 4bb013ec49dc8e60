// Measures of colour and picture quality for tests of image quality: sRGB's
// transfer curve, linear sRGB to CIE XYZ (D65) and CIE L*a*b*, the CIEDE2000
// colour difference, chroma, CPSNR between two RGB pictures, and a plain
// bilinear demosaic to hold an ISP's demosaic against.
//
// Threading: pure functions. Ownership: callers own the pictures they pass.

#ifndef TESTING_COLOUR_METRICS_H_
#define TESTING_COLOUR_METRICS_H_

#include <cstdint>
#include <vector>

#include "platform/prism/scene.h"

namespace talon_testing {

using prism_sim::Rgb;

// sRGB's transfer curve, on [0, 1] (values outside are clamped).
double SrgbEncode(double linear);
double SrgbDecode(double encoded);

struct Lab {
  double l = 0;
  double a = 0;
  double b = 0;
};

// Linear sRGB to CIE XYZ with D65 white (Y of white 1), and to L*a*b*
// relative to D65.
Rgb LinearSrgbToXyz(const Rgb& rgb);
Lab XyzToLab(const Rgb& xyz);
Lab LinearSrgbToLab(const Rgb& rgb);

// CIEDE2000 (kL = kC = kH = 1).
double Ciede2000(const Lab& first, const Lab& second);

// C*ab: how far from neutral.
double Chroma(const Lab& lab);

// An 8-bit RGB picture: `pixel_bytes` per pixel (3 for RGB, 4 for RGBx),
// R, G, B first; rows `stride` bytes apart.
struct RgbView {
  const uint8_t* data = nullptr;
  uint64_t stride = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pixel_bytes = 3;
};

// CPSNR in dB (peak 255, the mean squared error over all three channels)
// of `test` against `reference`, over the whole pictures or over `region`:
// +infinity when they are equal, NaN when the sizes differ or the region
// is empty or does not lie inside both.
double Cpsnr(const RgbView& reference, const RgbView& test);
double Cpsnr(const RgbView& reference, const RgbView& test, const prism_sim::Rect& region);

// Bilinear demosaic of a width x height mosaic (at least 2 x 2) of `cfa`:
// each missing channel is the mean of the sites of that colour among the 8
// neighbours, the borders mirrored. R, G, B per pixel, in the mosaic's
// units, row by row.
std::vector<float> DemosaicBilinear(const uint16_t* mosaic, uint32_t width, uint32_t height,
                                    prism_sim::Cfa cfa);

}  // namespace talon_testing

#endif  // TESTING_COLOUR_METRICS_H_
