// The reference development: one pixel at a time in double precision,
// straight from the definitions in isp_kernels.h, on the whole frame. Slow
// and plain on purpose; the row pipeline is held to it.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "isp/isp_kernels.h"
#include "support/csi2_unpack.h"

namespace talon_isp {
namespace {

// The frame's samples, row after row.
std::vector<uint16_t> Samples(const RawImage& raw) {
  std::vector<uint16_t> samples(uint64_t{raw.width} * raw.height);
  const auto* data = static_cast<const uint8_t*>(raw.data);
  if (raw.format == RawFormat::kU16) {
    for (uint32_t y = 0; y < raw.height; ++y) {
      std::memcpy(&samples[uint64_t{y} * raw.width], data + y * raw.stride,
                  uint64_t{raw.width} * 2);
    }
  } else {
    const uint32_t bits = raw.format == RawFormat::kRaw8    ? 8
                          : raw.format == RawFormat::kRaw10 ? 10
                                                            : 16;
    talon_support::UnpackCsi2Reference(data, raw.stride, raw.width, raw.height, bits,
                                       samples.data());
  }
  return samples;
}

// Reflects an index about the edge samples: -1 -> 1, n -> n - 2.
int64_t Mirror(int64_t i, int64_t n) {
  while (i < 0 || i >= n) i = i < 0 ? -i : 2 * (n - 1) - i;
  return i;
}

double Clamp01(double v) { return std::min(std::max(v, 0.0), 1.0); }

struct Rgb8 {
  int r, g, b;
};

void CountStats(const Frame& frame, const std::vector<uint16_t>& samples, RawStats* stats) {
  const uint32_t w = frame.raw.width, h = frame.raw.height;
  const uint32_t quads_x = w / 2, quads_y = h / 2;
  for (uint32_t y = 0; y < h; ++y) {
    if (!StatsRow(y)) continue;
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t s = samples[uint64_t{y} * w + x];
      const bool clipped = s >= frame.white;
      stats->clipped_total += clipped;
      if (x / 2 >= quads_x || y / 2 >= quads_y) continue;
      const uint64_t cell = uint64_t{y / 2} * Stats::kGridRows / quads_y * Stats::kGridColumns +
                            uint64_t{x / 2} * Stats::kGridColumns / quads_x;
      const uint32_t value = std::min(s, frame.white);
      stats->sums[cell * 3 + ColourAt(frame.cfa, x, y)] +=
          value > frame.black ? value - frame.black : 0;
      stats->clipped[cell] += clipped;
      if (x % 2 == 0 && y % 2 == 0) ++stats->quads[cell];
    }
  }
}

void WritePixels(const Frame& frame, const std::vector<Rgb8>& pixels, bool with_histogram,
                 RawStats* stats) {
  const Image& out = frame.out;
  const uint32_t w = out.width, h = out.height;
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* row = out.planes[0] + y * out.strides[0];
    for (uint32_t x = 0; x < w; ++x) {
      const Rgb8 p = pixels[uint64_t{y} * w + x];
      if (with_histogram) ++stats->histogram[Luma(p.r, p.g, p.b)];
      switch (out.format) {
        case PixelFormat::kRgb:
          row[3 * x] = static_cast<uint8_t>(p.r);
          row[3 * x + 1] = static_cast<uint8_t>(p.g);
          row[3 * x + 2] = static_cast<uint8_t>(p.b);
          break;
        case PixelFormat::kRgbx:
        case PixelFormat::kBgrx: {
          const bool rgb = out.format == PixelFormat::kRgbx;
          row[4 * x] = static_cast<uint8_t>(rgb ? p.r : p.b);
          row[4 * x + 1] = static_cast<uint8_t>(p.g);
          row[4 * x + 2] = static_cast<uint8_t>(rgb ? p.b : p.r);
          row[4 * x + 3] = 255;
          break;
        }
        case PixelFormat::kGray8:
          row[x] = Luma(p.r, p.g, p.b);
          break;
        case PixelFormat::kNv12:
        case PixelFormat::kI420:
          row[x] = Luma601(p.r, p.g, p.b);
          break;
      }
    }
  }
  if (out.format != PixelFormat::kNv12 && out.format != PixelFormat::kI420) return;
  for (uint32_t y = 0; y < h / 2; ++y) {
    for (uint32_t x = 0; x < w / 2; ++x) {
      int r4 = 0, g4 = 0, b4 = 0;
      for (uint32_t i = 0; i < 4; ++i) {
        const Rgb8 p = pixels[uint64_t{2 * y + i / 2} * w + 2 * x + i % 2];
        r4 += p.r;
        g4 += p.g;
        b4 += p.b;
      }
      const uint8_t cb = ChromaCb(r4, g4, b4), cr = ChromaCr(r4, g4, b4);
      if (out.format == PixelFormat::kNv12) {
        out.planes[1][y * out.strides[1] + 2 * x] = cb;
        out.planes[1][y * out.strides[1] + 2 * x + 1] = cr;
      } else {
        out.planes[1][y * out.strides[1] + x] = cb;
        out.planes[2][y * out.strides[2] + x] = cr;
      }
    }
  }
}

}  // namespace

void RawStatsReference(const Frame& frame, RawStats* stats) {
  CountStats(frame, Samples(frame.raw), stats);
}

void DevelopReference(const Frame& frame, bool with_histogram, RawStats* stats) {
  const std::vector<uint16_t> samples = Samples(frame.raw);
  CountStats(frame, samples, stats);
  const int64_t w = frame.raw.width, h = frame.raw.height;

  // Black level, clipping, white balance.
  std::vector<double> v(samples.size());
  const double range = frame.white - frame.black;
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const uint32_t s = std::min<uint32_t>(samples[y * w + x], frame.white);
      const double above = s > frame.black ? s - frame.black : 0;
      v[y * w + x] = std::min(above / range * frame.gains[ColourAt(frame.cfa, x, y)], 1.0);
    }
  }
  auto at = [&](int64_t x, int64_t y) { return v[Mirror(y, h) * w + Mirror(x, w)]; };

  const int64_t ow = frame.out.width, oh = frame.out.height;
  std::vector<Rgb8> pixels(ow * oh);
  for (int64_t y = 0; y < oh; ++y) {
    for (int64_t x = 0; x < ow; ++x) {
      double rgb[3] = {0, 0, 0};
      if (frame.half_size) {
        for (int i = 0; i < 4; ++i) {
          const int64_t sx = 2 * x + i % 2, sy = 2 * y + i / 2;
          const int colour = ColourAt(frame.cfa, sx, sy);
          rgb[colour] += colour == 1 ? at(sx, sy) / 2 : at(sx, sy);
        }
      } else {
        const double c = at(x, y);
        const double h1 = at(x - 1, y) + at(x + 1, y), v1 = at(x, y - 1) + at(x, y + 1);
        const double h2 = at(x - 2, y) + at(x + 2, y), v2 = at(x, y - 2) + at(x, y + 2);
        const double d1 = at(x - 1, y - 1) + at(x + 1, y - 1) + at(x - 1, y + 1) + at(x + 1, y + 1);
        const int colour = ColourAt(frame.cfa, x, y);
        rgb[colour] = c;
        if (colour != 1) {
          rgb[1] = (4 * c + 2 * (h1 + v1) - (h2 + v2)) / 8;
          rgb[2 - colour] = (6 * c + 2 * d1 - 1.5 * (h2 + v2)) / 8;
        } else {
          rgb[ColourAt(frame.cfa, x + 1, y)] = (5 * c + 4 * h1 - d1 - h2 + 0.5 * v2) / 8;
          rgb[ColourAt(frame.cfa, x, y + 1)] = (5 * c + 4 * v1 - d1 - v2 + 0.5 * h2) / 8;
        }
      }
      int code[3];
      for (int i = 0; i < 3; ++i) {
        double m = 0;
        for (int j = 0; j < 3; ++j) m += double{frame.ccm[3 * i + j]} * Clamp01(rgb[j]);
        code[i] = static_cast<int>(std::lround(255 * EncodeTransfer(Clamp01(m), frame.transfer)));
      }
      pixels[y * ow + x] = {code[0], code[1], code[2]};
    }
  }
  WritePixels(frame, pixels, with_histogram, stats);
}

}  // namespace talon_isp
