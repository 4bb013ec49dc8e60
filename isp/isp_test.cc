#include "isp/isp.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "isp/isp_kernels.h"

namespace talon_isp {
namespace {

// A raw frame in memory: samples packed as `format` lays them, rows
// `stride` bytes apart (padding filled with a marker).
struct RawFrame {
  std::vector<uint8_t> bytes;
  RawImage image;
};

uint64_t PayloadBytes(uint32_t width, RawFormat format) {
  switch (format) {
    case RawFormat::kRaw8:
      return width;
    case RawFormat::kRaw10:
      return (uint64_t{width} * 10 + 7) / 8;
    default:
      return uint64_t{width} * 2;
  }
}

RawFrame Pack(const std::vector<uint16_t>& samples, uint32_t width, uint32_t height,
              RawFormat format, uint64_t padding = 0) {
  RawFrame frame;
  const uint64_t stride = PayloadBytes(width, format) + padding;
  frame.bytes.assign(stride * height, 0xA5);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = &frame.bytes[y * stride];
    for (uint32_t x = 0; x < width; ++x) {
      const uint16_t s = samples[uint64_t{y} * width + x];
      switch (format) {
        case RawFormat::kRaw8:
          row[x] = static_cast<uint8_t>(s);
          break;
        case RawFormat::kRaw10: {
          uint8_t* group = row + x / 4 * 5;
          const uint32_t in_group = std::min<uint32_t>(4, width - x / 4 * 4);
          group[x % 4] = static_cast<uint8_t>(s >> 2);
          if (x % 4 == 0) group[in_group] = 0;
          group[in_group] = static_cast<uint8_t>(group[in_group] | (s & 3) << (2 * (x % 4)));
          break;
        }
        case RawFormat::kRaw16:
          row[2 * x] = static_cast<uint8_t>(s);
          row[2 * x + 1] = static_cast<uint8_t>(s >> 8);
          break;
        case RawFormat::kU16:
          std::memcpy(row + 2 * x, &s, 2);
          break;
      }
    }
  }
  frame.image = RawImage{frame.bytes.data(), stride, width, height, format};
  return frame;
}

// The mosaic of a uniform scene: `rgb` as sample values of each colour.
std::vector<uint16_t> Uniform(Cfa cfa, uint32_t width, uint32_t height,
                              const std::array<uint16_t, 3>& rgb) {
  std::vector<uint16_t> samples(uint64_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x)
      samples[uint64_t{y} * width + x] = rgb[ColourAt(cfa, x, y)];
  }
  return samples;
}

// An output image with its own memory, rows padded by `padding` bytes.
struct OutFrame {
  std::array<std::vector<uint8_t>, 3> planes;
  Image image;
};

OutFrame MakeOut(PixelFormat format, uint32_t width, uint32_t height, uint64_t padding = 0) {
  OutFrame out;
  out.image.format = format;
  out.image.width = width;
  out.image.height = height;
  const std::array<uint64_t, 3> strides = PlaneStrides(format, width);
  for (int i = 0; i < 3; ++i) {
    if (strides[i] == 0) continue;
    out.image.strides[i] = strides[i] + padding;
    const uint64_t rows = i == 0 ? height : (height + 1) / 2;
    out.planes[i].assign(out.image.strides[i] * rows, 0x5A);
    out.image.planes[i] = out.planes[i].data();
  }
  return out;
}

// Catches a wrong black level, white level, gain or transfer curve: a grey
// card at half the range develops to sRGB's 188 (linear 128), with a cast
// taken out by manual gains.
TEST(Isp, DevelopsAGreyCard) {
  // RAW10, black 64: R at 0.25, G at 0.5, B at 0.125 of the range (959).
  const std::vector<uint16_t> samples = Uniform(Cfa::kGrbg, 6, 4, {64 + 240, 64 + 480, 64 + 120});
  RawFrame raw = Pack(samples, 6, 4, RawFormat::kRaw10);
  Settings settings;
  settings.cfa = Cfa::kGrbg;
  settings.black_level = 64;
  settings.auto_white_balance = false;
  settings.wb_gains = {2.0f, 1.0f, 4.0f};
  for (Transfer transfer : {Transfer::kSrgb, Transfer::kLinear}) {
    settings.transfer = transfer;
    OutFrame out = MakeOut(PixelFormat::kRgb, 6, 4);
    Isp isp;
    Stats stats;
    ASSERT_TRUE(isp.Develop(raw.image, settings, out.image, &stats, nullptr));
    const int want = transfer == Transfer::kSrgb ? 188 : 128;
    for (uint8_t value : out.planes[0]) EXPECT_NEAR(value, want, 1);
    EXPECT_NEAR(stats.grid[0], 0.25, 1e-3);
    EXPECT_NEAR(stats.grid[1], 0.5, 1e-3);
    EXPECT_NEAR(stats.grid[2], 0.125, 1e-3);
    EXPECT_EQ(stats.histogram[transfer == Transfer::kSrgb ? 188 : 128], 24u);
  }
}

// Catches a clipped fraction over rows that were not counted: the top half
// of the frame clipped is half of it, whichever rows the statistics read.
TEST(Isp, CountsTheClippedFraction) {
  const uint32_t w = 16, h = 32;
  std::vector<uint16_t> samples(w * h, 500);
  std::fill(samples.begin(), samples.begin() + w * h / 2, 1023);
  RawFrame raw = Pack(samples, w, h, RawFormat::kRaw10);
  OutFrame out = MakeOut(PixelFormat::kRgbx, w, h);
  Isp isp;
  Stats stats;
  ASSERT_TRUE(isp.Develop(raw.image, Settings{}, out.image, &stats, nullptr));
  EXPECT_DOUBLE_EQ(stats.clipped_fraction, 0.5);
}

// Catches an argument Develop would misread or write past: each refusal
// names the argument, and nothing is written.
TEST(Isp, RefusesWhatItCannotDevelop) {
  const std::vector<uint16_t> samples(8 * 4, 100);
  struct Case {
    const char* argument;
    void (*change)(RawImage&, Settings&, Image&);
  };
  const Case cases[] = {
      {"cfa", [](RawImage&, Settings& s, Image&) { s.cfa = static_cast<Cfa>(4); }},
      {"raw", [](RawImage& r, Settings&, Image&) { r.data = nullptr; }},
      {"raw", [](RawImage& r, Settings&, Image&) { r.format = static_cast<RawFormat>(9); }},
      {"width", [](RawImage& r, Settings&, Image&) { r.width = 1; }},
      {"width", [](RawImage& r, Settings&, Image&) { r.width = 0; }},
      {"height", [](RawImage& r, Settings&, Image&) { r.height = 1; }},
      {"stride", [](RawImage& r, Settings&, Image&) { r.stride = 9; }},  // a row is 10 bytes
      {"stride", [](RawImage& r, Settings&, Image&) { r.stride = uint64_t{1} << 62; }},
      {"white_level", [](RawImage&, Settings& s, Image&) { s.white_level = 1024; }},
      {"black_level", [](RawImage&, Settings& s, Image&) { s.black_level = 1023; }},
      {"black_level",
       [](RawImage&, Settings& s, Image&) { s.black_level = 200, s.white_level = 200; }},
      {"wb_gains", [](RawImage&, Settings& s, Image&) { s.wb_gains[1] = 0; }},
      {"wb_gains", [](RawImage&, Settings& s, Image&) { s.wb_gains[2] = -1; }},
      {"wb_gains", [](RawImage&, Settings& s, Image&) { s.wb_gains[0] = INFINITY; }},
      {"wb_gains", [](RawImage&, Settings& s, Image&) { s.wb_gains[0] = NAN; }},
      {"ccm", [](RawImage&, Settings& s, Image&) { s.ccm[4] = NAN; }},
      {"ccm", [](RawImage&, Settings& s, Image&) { s.ccm[8] = -INFINITY; }},
      {"transfer", [](RawImage&, Settings& s, Image&) { s.transfer = static_cast<Transfer>(2); }},
      {"out", [](RawImage&, Settings& s, Image&) { s.half_size = true; }},
      {"out", [](RawImage&, Settings&, Image& o) { o.width = 7; }},
      {"out", [](RawImage&, Settings&, Image& o) { o.planes[0] = nullptr; }},
      {"out", [](RawImage&, Settings&, Image& o) { o.strides[0] = 8 * 4 - 1; }},
      {"out", [](RawImage&, Settings&, Image& o) { o.format = static_cast<PixelFormat>(6); }},
      {"out", [](RawImage&, Settings&, Image& o) { o.format = PixelFormat::kNv12; }},  // no plane 1
      {"out",
       [](RawImage& r, Settings&, Image& o) {  // odd NV12
         r.height = 3, o.height = 3, o.format = PixelFormat::kNv12, o.strides = {8, 8, 0};
         o.planes[1] = o.planes[0];
       }},
      {"out",
       [](RawImage&, Settings&, Image& o) {
         o.format = PixelFormat::kI420, o.strides = {8, 4, 3},
         o.planes = {o.planes[0], o.planes[0], o.planes[0]};
       }},
  };
  RawFrame base = Pack(samples, 8, 4, RawFormat::kRaw10);
  for (const Case& c : cases) {
    RawImage raw = base.image;
    Settings settings;
    OutFrame out = MakeOut(PixelFormat::kRgbx, 8, 4);
    Image image = out.image;
    c.change(raw, settings, image);
    Error error;
    EXPECT_FALSE(CheckDevelop(raw, settings, image, &error)) << c.argument;
    EXPECT_EQ(error.argument, c.argument) << error.reason;
    EXPECT_FALSE(error.reason.empty());
    Isp isp;
    EXPECT_FALSE(isp.Develop(raw, settings, image, nullptr, nullptr)) << c.argument;
    EXPECT_EQ(out.planes[0], std::vector<uint8_t>(out.planes[0].size(), 0x5A)) << c.argument;
  }
}

// The settings the comparisons develop with: a black level, gains, a
// matrix with negative entries, either curve.
Settings Developed(Cfa cfa, RawFormat format, Transfer transfer, bool half_size) {
  Settings settings;
  settings.cfa = cfa;
  settings.black_level = FullScale(format) / 16;
  settings.white_level = FullScale(format) - FullScale(format) / 64;
  settings.auto_white_balance = false;
  settings.wb_gains = {1.9f, 1.0f, 1.45f};
  settings.ccm = {1.62f, -0.45f, -0.17f, -0.28f, 1.51f, -0.23f, 0.02f, -0.58f, 1.56f};
  settings.transfer = transfer;
  settings.half_size = half_size;
  return settings;
}

// Noise over the whole range, some of it clipped: the demosaic's worst
// case for rounding.
std::vector<uint16_t> Noise(uint32_t width, uint32_t height, RawFormat format, uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<uint32_t> sample(0, FullScale(format));
  std::vector<uint16_t> samples(uint64_t{width} * height);
  for (uint16_t& s : samples) s = static_cast<uint16_t>(sample(random));
  return samples;
}

struct Shape {
  uint32_t width, height;
  RawFormat format;
  PixelFormat out;
  bool half_size;
  uint64_t padding;  // bytes past each raw and output row
};

std::string Describe(const Shape& s, Cfa cfa) {
  return std::to_string(s.width) + "x" + std::to_string(s.height) + " raw format " +
         std::to_string(static_cast<int>(s.format)) + " out format " +
         std::to_string(static_cast<int>(s.out)) + (s.half_size ? " half" : "") + " padding " +
         std::to_string(s.padding) + " cfa " + std::to_string(static_cast<int>(cfa));
}

// Every byte of `a` within 1 of `b`'s; the padding between rows untouched.
void ExpectClose(const OutFrame& a, const OutFrame& b, int tolerance, const std::string& what) {
  const std::array<uint64_t, 3> payload = PlaneStrides(a.image.format, a.image.width);
  for (int i = 0; i < 3; ++i) {
    const uint64_t stride = a.image.strides[i];
    int worst = 0;
    for (uint64_t at = 0; at < a.planes[i].size(); ++at) {
      if (at % stride >= payload[i]) {
        ASSERT_EQ(a.planes[i][at], 0x5A) << what << " plane " << i << " padding at " << at;
        continue;
      }
      worst = std::max(worst, std::abs(a.planes[i][at] - b.planes[i][at]));
    }
    EXPECT_LE(worst, tolerance) << what << " plane " << i;
  }
}

// The histograms of two developments whose lumas differ by at most 1: the
// same total, and each cumulative count between the other's neighbours.
void ExpectHistogramClose(const RawStats& a, const RawStats& b, const std::string& what) {
  uint64_t sum_a = 0, sum_b = 0, previous_b = 0;
  for (int i = 0; i < 256; ++i) {
    sum_a += a.histogram[i];
    const uint64_t next_b = sum_b + b.histogram[i] + (i < 255 ? b.histogram[i + 1] : 0);
    EXPECT_GE(sum_a, previous_b) << what << " bin " << i;
    EXPECT_LE(sum_a, next_b) << what << " bin " << i;
    previous_b = sum_b;
    sum_b += b.histogram[i];
  }
  EXPECT_EQ(sum_a, sum_b) << what;
}

// Develops `shape` of noise with every kernel, in one band with the
// histogram and in three without, against the reference; the vector
// kernels bit for bit as the plain one.
void CompareKernels(const Shape& shape, Cfa cfa, Transfer transfer, uint32_t seed) {
  const std::string what = Describe(shape, cfa);
  RawFrame raw = Pack(Noise(shape.width, shape.height, shape.format, seed), shape.width,
                      shape.height, shape.format, shape.padding);
  const Settings settings = Developed(cfa, shape.format, transfer, shape.half_size);
  uint32_t ow = 0, oh = 0;
  OutputSize(shape.width, shape.height, shape.half_size, &ow, &oh);
  OutFrame reference = MakeOut(shape.out, ow, oh, shape.padding);
  ASSERT_TRUE(CheckDevelop(raw.image, settings, reference.image, nullptr)) << what;
  RawStats reference_stats;
  DevelopReference(MakeFrame(raw.image, settings, reference.image, settings.wb_gains), true,
                   &reference_stats);

  OutFrame portable;
  std::array<uint32_t, 256> portable_histogram{};
  for (IspKernel kernel : IspKernels()) {
    for (int bands : {1, 3}) {
      const std::string run =
          what + " " + IspKernelName(kernel) + " bands " + std::to_string(bands);
      OutFrame out = MakeOut(shape.out, ow, oh, shape.padding);
      const Frame frame = MakeFrame(raw.image, settings, out.image, settings.wb_gains);
      const std::vector<uint32_t> starts = SplitBands(frame, bands);
      RawStats stats;
      for (size_t band = 0; band + 1 < starts.size(); ++band) {
        BandScratch scratch;
        RawStats band_stats;
        DevelopBand(kernel, frame, starts[band], starts[band + 1], bands == 1, &scratch,
                    &band_stats);
        stats.Add(band_stats);
      }
      ExpectClose(out, reference, 1, run);
      EXPECT_EQ(stats.sums, reference_stats.sums) << run;
      EXPECT_EQ(stats.quads, reference_stats.quads) << run;
      EXPECT_EQ(stats.clipped, reference_stats.clipped) << run;
      EXPECT_EQ(stats.clipped_total, reference_stats.clipped_total) << run;
      if (bands == 1) ExpectHistogramClose(stats, reference_stats, run);
      if (kernel == IspKernel::kPortable && bands == 1) {
        portable = out;
        portable_histogram = stats.histogram;
      } else {
        for (int i = 0; i < 3; ++i) EXPECT_EQ(out.planes[i], portable.planes[i]) << run;
        if (bands == 1) {
          EXPECT_EQ(stats.histogram, portable_histogram) << run;
        }
      }
    }
  }
}

// Catches rounding beyond one code value, a wrong colour at a row or
// column's parity, borders read past the frame or mirrored wrongly, a
// chunk or band seam, stride padding read or written, and statistics that
// count a sample twice or not at all: every CFA, tiny and odd sizes, each
// raw and output format, half size.
TEST(IspKernels, MatchTheReferenceOnShapes) {
  const Shape shapes[] = {
      {2, 2, RawFormat::kRaw10, PixelFormat::kRgb, false, 0},
      {2, 2, RawFormat::kRaw8, PixelFormat::kNv12, false, 3},
      {3, 5, RawFormat::kRaw10, PixelFormat::kRgbx, false, 1},
      {3, 5, RawFormat::kRaw16, PixelFormat::kBgrx, true, 0},
      {5, 3, RawFormat::kU16, PixelFormat::kGray8, false, 2},
      {4, 4, RawFormat::kRaw16, PixelFormat::kI420, true, 0},
      {8, 6, RawFormat::kRaw10, PixelFormat::kI420, false, 5},
      {33, 17, RawFormat::kRaw10, PixelFormat::kRgbx, false, 0},
      {34, 18, RawFormat::kU16, PixelFormat::kNv12, false, 7},
      {45, 23, RawFormat::kRaw8, PixelFormat::kRgb, true, 64},
      {530, 9, RawFormat::kRaw10, PixelFormat::kRgbx, false, 0},  // past one chunk
      {530, 5, RawFormat::kU16, PixelFormat::kRgb, false, 1},
      {1030, 6, RawFormat::kRaw10, PixelFormat::kNv12, false, 0},
      {1030, 7, RawFormat::kRaw16, PixelFormat::kBgrx, true, 0},
      {131, 140, RawFormat::kRaw10, PixelFormat::kGray8, false, 3},  // bands of many rows
  };
  uint32_t seed = 1;
  for (const Shape& shape : shapes) {
    for (Cfa cfa : {Cfa::kRggb, Cfa::kGrbg, Cfa::kGbrg, Cfa::kBggr}) {
      const Transfer transfer = seed % 2 ? Transfer::kSrgb : Transfer::kLinear;
      CompareKernels(shape, cfa, transfer, seed++);
    }
  }
}

// The same over random shapes and formats, for what the table misses.
TEST(IspKernels, MatchTheReferenceOnRandomShapes) {
  std::mt19937 random(20261210);
  auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random); };
  for (int i = 0; i < 40; ++i) {
    Shape shape;
    shape.width = 2 + pick(90);
    shape.height = 2 + pick(40);
    shape.format = static_cast<RawFormat>(pick(4));
    shape.out = static_cast<PixelFormat>(pick(6));
    shape.half_size = pick(3) == 0;
    shape.padding = pick(4) * 3;
    uint32_t ow = 0, oh = 0;
    OutputSize(shape.width, shape.height, shape.half_size, &ow, &oh);
    if ((shape.out == PixelFormat::kNv12 || shape.out == PixelFormat::kI420) &&
        (ow % 2 != 0 || oh % 2 != 0)) {
      shape.out = PixelFormat::kRgb;
    }
    CompareKernels(shape, static_cast<Cfa>(pick(4)), pick(2) ? Transfer::kSrgb : Transfer::kLinear,
                   pick(1000));
  }
}

// Memory whose end abuts a page that faults when touched.
class GuardedBytes {
 public:
  explicit GuardedBytes(size_t size) : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    length_ = (size + page_ - 1) / page_ * page_ + page_;
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + length_ - page_, page_, PROT_NONE);
    data_ = base_ + length_ - page_ - size;
  }
  ~GuardedBytes() { munmap(base_, length_); }
  uint8_t* data() { return data_; }

 private:
  size_t page_, length_;
  uint8_t* base_;
  uint8_t* data_;
};

// Catches a read past the raw frame's last payload byte or a write past
// the picture's last byte, with each kernel, with and without the histogram.
TEST(IspKernels, StayInsideTheBuffers) {
  for (PixelFormat format : {PixelFormat::kRgb, PixelFormat::kRgbx, PixelFormat::kGray8}) {
    const uint32_t w = 37, h = 5;
    RawFrame packed = Pack(Noise(w, h, RawFormat::kRaw10, 3), w, h, RawFormat::kRaw10);
    GuardedBytes raw(packed.bytes.size());
    std::memcpy(raw.data(), packed.bytes.data(), packed.bytes.size());
    const uint64_t out_bytes = PlaneSizes(format, w, h)[0];
    GuardedBytes picture(out_bytes);
    Image out{format, w, h, {picture.data()}, {PlaneStrides(format, w)[0]}};
    RawImage image = packed.image;
    image.data = raw.data();
    const Settings settings = Developed(Cfa::kBggr, RawFormat::kRaw10, Transfer::kSrgb, false);
    for (IspKernel kernel : IspKernels()) {
      for (bool histogram : {true, false}) {  // some pictures are written otherwise without
        BandScratch scratch;
        RawStats stats;
        DevelopBand(kernel, MakeFrame(image, settings, out, settings.wb_gains), 0, h, histogram,
                    &scratch, &stats);
      }
    }
  }
}

// Catches a transfer curve computed without the table (AVX-512's) that
// differs from the table at any of the 4096 indices, a table more than a
// code value from the exact curve, or a pixel's bytes out of place; either
// transfer.
TEST(IspKernels, TransferEveryIndexAsTheTable) {
  for (Transfer transfer : {Transfer::kSrgb, Transfer::kLinear}) {
    const std::vector<uint32_t> table = TransferPixels(IspKernel::kPortable, transfer);
    ASSERT_EQ(table.size(), 4096u);
    int worst = 0;
    for (uint32_t i = 0; i < 4096; ++i) {
      const int code = static_cast<int>(std::lround(255 * EncodeTransfer(i / 4095.0, transfer)));
      const uint32_t c = table[i] & 0xFF;
      worst = std::max(worst, std::abs(static_cast<int>(c) - code));
      ASSERT_EQ(table[i], c | c << 8 | c << 16 | 0xFF000000u) << i;
    }
    EXPECT_LE(worst, 1) << "transfer " << static_cast<int>(transfer);
    for (IspKernel kernel : IspKernels()) {
      EXPECT_EQ(TransferPixels(kernel, transfer), table)
          << IspKernelName(kernel) << " transfer " << static_cast<int>(transfer);
    }
  }
}

// A neutral scene of varying brightness seen through a colour cast
// (`cast`: each colour's response to white), RAW10 with black 64; with
// `distractions`, a quarter clipped and a quarter nearly black in colours
// of their own.
std::vector<uint16_t> CastScene(uint32_t width, uint32_t height, const std::array<double, 3>& cast,
                                bool distractions) {
  std::vector<uint16_t> samples(uint64_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const int colour = ColourAt(Cfa::kRggb, x, y);
      double value = cast[colour] * (0.15 + 0.5 * ((x / 8 + y / 6) % 5) / 4.0);
      if (distractions && x < width / 2 && y < height / 2) {
        value = colour == 2 ? 0.4 : 1.0;  // R and G clipped
      } else if (distractions && x >= width / 2 && y >= height / 2) {
        value = colour == 0 ? 0.012 : 0.002;  // a dark red
      }
      samples[uint64_t{y} * width + x] =
          static_cast<uint16_t>(std::lround(64 + std::min(value, 1.0) * (1023 - 64)));
    }
  }
  return samples;
}

Settings Automatic() {
  Settings settings;
  settings.black_level = 64;
  return settings;
}

// Catches grey-world gains taken from clipped or nearly black cells, or
// inverted: the first frame's gains undo the cast, and its grey comes out
// grey.
TEST(IspWhiteBalance, TakesOutACast) {
  const uint32_t w = 64, h = 48;
  const std::array<double, 3> cast = {0.5, 1.0, 0.7};
  RawFrame raw = Pack(CastScene(w, h, cast, true), w, h, RawFormat::kRaw10);
  OutFrame out = MakeOut(PixelFormat::kRgb, w, h);
  Isp isp;
  Stats stats;
  ASSERT_TRUE(isp.Develop(raw.image, Automatic(), out.image, &stats, nullptr));
  EXPECT_NEAR(stats.wb_gains[0], 1 / cast[0], 0.02);
  EXPECT_EQ(stats.wb_gains[1], 1.0f);
  EXPECT_NEAR(stats.wb_gains[2], 1 / cast[2], 0.02);
  // The flat patches of a neutral quarter (beyond the demosaic's reach of
  // an edge).
  for (uint32_t y = 2; y < h / 2 - 2; ++y) {
    for (uint32_t x = w / 2 + 2; x < w - 2; ++x) {
      if (x % 8 < 2 || x % 8 > 5 || y % 6 < 2 || y % 6 > 3) continue;
      const uint8_t* p = &out.planes[0][(uint64_t{y} * w + x) * 3];
      EXPECT_NEAR(p[0], p[1], 2) << x << "," << y;
      EXPECT_NEAR(p[2], p[1], 2) << x << "," << y;
    }
  }
}

// Catches gains that jump to each frame's own estimate, that never reach a
// new scene's, or that survive ResetWhiteBalance.
TEST(IspWhiteBalance, SmoothsAcrossFramesUntilReset) {
  const uint32_t w = 32, h = 24;
  RawFrame a = Pack(CastScene(w, h, {0.5, 1.0, 0.7}, false), w, h, RawFormat::kRaw10);
  RawFrame b = Pack(CastScene(w, h, {0.8, 1.0, 0.5}, false), w, h, RawFormat::kRaw10);
  OutFrame out = MakeOut(PixelFormat::kGray8, w, h);
  Isp isp;
  Stats first, stats;
  ASSERT_TRUE(isp.Develop(a.image, Automatic(), out.image, &first, nullptr));
  // Scene b's first frame is balanced with a's gains, and moves them a
  // fifth of the way (in log) toward b's.
  ASSERT_TRUE(isp.Develop(b.image, Automatic(), out.image, &stats, nullptr));
  EXPECT_EQ(stats.wb_gains, first.wb_gains);
  ASSERT_TRUE(isp.Develop(b.image, Automatic(), out.image, &stats, nullptr));
  for (int c : {0, 2}) {
    const double target = c == 0 ? 1 / 0.8 : 1 / 0.5;
    EXPECT_NEAR(std::log(stats.wb_gains[c]),
                0.8 * std::log(first.wb_gains[c]) + 0.2 * std::log(target), 0.01);
  }
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(isp.Develop(b.image, Automatic(), out.image, &stats, nullptr));
  }
  EXPECT_NEAR(stats.wb_gains[0], 1 / 0.8, 0.02);
  EXPECT_NEAR(stats.wb_gains[2], 1 / 0.5, 0.02);
  isp.ResetWhiteBalance();
  ASSERT_TRUE(isp.Develop(a.image, Automatic(), out.image, &stats, nullptr));
  EXPECT_EQ(stats.wb_gains, first.wb_gains);
}

// Catches a band seam or lost statistics with the Isp's own threads: two
// and three threads develop what one does (bands of at least 64 rows).
TEST(IspThreads, DevelopAsOneThreadDoes) {
  const uint32_t w = 70, h = 300;
  RawFrame raw = Pack(Noise(w, h, RawFormat::kRaw10, 9), w, h, RawFormat::kRaw10);
  OutFrame one = MakeOut(PixelFormat::kNv12, w, h);
  Stats one_stats;
  Isp single(1);
  ASSERT_TRUE(single.Develop(raw.image, Automatic(), one.image, &one_stats, nullptr));
  for (int threads : {2, 3}) {
    OutFrame out = MakeOut(PixelFormat::kNv12, w, h);
    Stats stats;
    Isp isp(threads);
    for (int frame = 0; frame < 3; ++frame) {
      ASSERT_TRUE(isp.Develop(raw.image, Automatic(), out.image, &stats, nullptr));
    }
    EXPECT_EQ(out.planes, one.planes) << threads;
    EXPECT_EQ(stats.grid, one_stats.grid) << threads;
    EXPECT_EQ(stats.histogram, one_stats.histogram) << threads;
    EXPECT_EQ(stats.clipped_fraction, one_stats.clipped_fraction) << threads;
  }
}

// Catches interpolation weights, a colour taken at the wrong parity, or a
// border mirrored wrongly, which the kernel comparisons alone would share
// with the reference: a smooth scene of known colours (every CFA) comes
// back with a colour PSNR over 38 dB against the truth (40.6 dB measured).
TEST(IspQuality, DevelopsAKnownSceneFaithfully) {
  const uint32_t w = 96, h = 64;
  // Detail in the luminance, slowly changing tints: colours that move
  // together, as in what cameras see.
  auto truth = [](uint32_t x, uint32_t y, int colour) {
    const double luminance =
        0.5 + 0.4 * std::sin(0.35 * x + 0.2 * y) * std::cos(0.15 * x - 0.3 * y);
    const double tint[3] = {0.8 + 0.2 * std::sin(0.02 * x), 1.0, 0.7 + 0.25 * std::cos(0.03 * y)};
    return luminance * tint[colour];
  };
  for (Cfa cfa : {Cfa::kRggb, Cfa::kGrbg, Cfa::kGbrg, Cfa::kBggr}) {
    std::vector<uint16_t> samples(w * h);
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        samples[y * w + x] =
            static_cast<uint16_t>(std::lround(truth(x, y, ColourAt(cfa, x, y)) * 65535));
      }
    }
    RawFrame raw = Pack(samples, w, h, RawFormat::kRaw16);
    Settings settings;
    settings.cfa = cfa;
    settings.auto_white_balance = false;
    settings.transfer = Transfer::kLinear;
    OutFrame out = MakeOut(PixelFormat::kRgb, w, h);
    Isp isp;
    ASSERT_TRUE(isp.Develop(raw.image, settings, out.image, nullptr, nullptr));
    double squares = 0;
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        for (int c = 0; c < 3; ++c) {
          const double error = out.planes[0][(y * w + x) * 3 + c] - 255 * truth(x, y, c);
          squares += error * error;
        }
      }
    }
    const double cpsnr = 10 * std::log10(255.0 * 255.0 / (squares / (w * h * 3)));
    EXPECT_GT(cpsnr, 38.0) << "cfa " << static_cast<int>(cfa);
  }
}

}  // namespace
}  // namespace talon_isp
