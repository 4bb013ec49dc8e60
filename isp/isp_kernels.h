// The inside of the software ISP (isp/isp.h), for isp.cc, the tests and the
// benchmark; not installed.
//
// A development runs in one of two ways that the tests hold to each other:
//
//  - the reference (isp_reference.cc): one pixel at a time in floating
//    point, straight from the definitions below, on the whole frame;
//  - the row pipeline (isp_pipeline.cc): bands of output rows, each from a
//    small ring of unpacked, black-level-and-white-balanced rows in 16-bit
//    fixed point (values 0-32767 for 0-1), through row kernels for the CPU's
//    vector instructions (SSE2, AVX2 or AVX-512 on x86-64, NEON on aarch64, chosen
//    once at run time) or their plain C++ twins (kPortable), which compute
//    bit for bit what the vector kernels compute.
//
// Definitions (both ways):
//  - a sample s becomes v = min((min(s, white) - black)+ / (white - black)
//    * gain[colour], 1): black level, clipping, white balance;
//  - full size: gradient-corrected linear interpolation (5x5 kernels) of the
//    missing two colours, rows and columns mirrored at the borders about the
//    edge sample (-1 -> 1, width -> width - 2), which keeps the mosaic's
//    colours; each result clamped to 0-1;
//    half size: per 2x2 cell R, the mean of the two G, B;
//  - rgb = ccm * rgb clamped to 0-1, then the sRGB curve or linear, to
//    8 bits rounded (R', G', B');
//  - from R'G'B' (integers, the same code both ways): GRAY8 and the
//    histogram's luma (77 R' + 150 G' + 29 B' + 128) >> 8; BT.601 limited
//    range Y ((66 R' + 129 G' + 25 B' + 128) >> 8) + 16, and Cb, Cr from the
//    sums of each 2x2 block's R'G'B' (ChromaCb, ChromaCr).
//
// Tolerance: the row pipeline's R'G'B' lie within 1 of the reference's
// (the fixed point's rounding and the 4096-entry piecewise-linear transfer
// table, within 0.56 of the exact curve, stay under one code value
// together); Y, Cb, Cr and GRAY8 therefore within 1 too.
//
// Pure functions; callers own every buffer. Callable from any thread.

#ifndef ISP_ISP_KERNELS_H_
#define ISP_ISP_KERNELS_H_

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "isp/isp.h"

namespace talon_isp {

// The largest sample value of `format`.
uint32_t FullScale(RawFormat format);

// A development's arguments once CheckDevelop accepted them: the white level
// and the white balance gains resolved.
struct Frame {
  RawImage raw;
  Image out;
  Cfa cfa = Cfa::kRggb;
  uint32_t black = 0;
  uint32_t white = 0;
  std::array<float, 3> gains{};
  std::array<float, 9> ccm{};
  Transfer transfer = Transfer::kSrgb;
  bool half_size = false;
  // Whether the bands count the raw statistics (not when nothing reads
  // them: fixed gains and no Stats asked for).
  bool raw_stats = true;
};

// `gains`: what white balance applies (Settings::wb_gains unless automatic).
Frame MakeFrame(const RawImage& raw, const Settings& settings, const Image& out,
                const std::array<float, 3>& gains);

// 0 (R), 1 (G) or 2 (B): the colour of sample (x, y).
inline int ColourAt(Cfa cfa, uint64_t x, uint64_t y) {
  static constexpr int kColours[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
  return kColours[static_cast<int>(cfa)][(y & 1) * 2 + (x & 1)];
}

// The statistics of the raw samples, as sums that bands add up, over the
// rows of every fourth row of 2x2 cells (StatsRow): a quarter of the cost
// of every row, and still some ten cell rows per grid row at 1920x1080, so
// the grid's means and the clipped fraction stay representative of the
// frame. The grid lies over the mosaic's whole 2x2 cells (a last odd row or
// column is left out): cell x of width / 2 falls in column
// x * kGridColumns / (width / 2), rows alike.
constexpr uint32_t kStatsCellRowStep = 4;

// Whether raw row y is counted: rows 0-1, 8-9, 16-17, ...
inline bool StatsRow(uint64_t y) { return (y / 2) % kStatsCellRowStep == 0; }

// How many of `height` rows are counted.
inline uint64_t StatsRows(uint64_t height) {
  const uint64_t period = 2 * kStatsCellRowStep;
  return height / period * 2 + std::min<uint64_t>(height % period, 2);
}

struct RawStats {
  static constexpr int kCells = Stats::kGridRows * Stats::kGridColumns;
  // Per cell and colour: the sum of min(s, white) - black, at least 0.
  std::array<uint64_t, kCells * 3> sums{};
  // Per cell: its 2x2 cells, and its samples at or above white.
  std::array<uint64_t, kCells> quads{};
  std::array<uint64_t, kCells> clipped{};
  // Samples at or above white in the whole frame.
  uint64_t clipped_total = 0;
  // The output's luma, when asked for.
  std::array<uint32_t, 256> histogram{};

  void Add(const RawStats& other);
};

// Stats from the sums (grid as fractions of white - black).
void FinishStats(const Frame& frame, const RawStats& raw_stats, Stats* stats);

// Grey-world gains (G = 1) from the grid, leaving out cells with clipped
// samples and very dark cells; {1, 1, 1} when no cell is usable.
std::array<float, 3> GreyWorldGains(const Frame& frame, const RawStats& raw_stats);

// The transfer curve of a linear value 0-1.
inline double EncodeTransfer(double v, Transfer transfer) {
  if (transfer == Transfer::kLinear) return v;
  return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

// Output formulas on R'G'B', shared by both ways.
inline uint8_t Luma(int r, int g, int b) {
  return static_cast<uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8);
}
inline uint8_t Luma601(int r, int g, int b) {
  return static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}
// From the sums of a 2x2 block's four R', G', B'.
inline uint8_t ChromaCb(int r4, int g4, int b4) {
  return static_cast<uint8_t>(((-38 * r4 - 74 * g4 + 112 * b4 + 512) >> 10) + 128);
}
inline uint8_t ChromaCr(int r4, int g4, int b4) {
  return static_cast<uint8_t>(((112 * r4 - 94 * g4 - 18 * b4 + 512) >> 10) + 128);
}

// The reference: the statistics of the raw samples (no histogram), and a
// whole development (histogram included when `with_histogram`).
void RawStatsReference(const Frame& frame, RawStats* stats);
void DevelopReference(const Frame& frame, bool with_histogram, RawStats* stats);

// The row pipeline's kernels; kPortable is plain C++ and runs everywhere.
enum class IspKernel { kPortable, kSse2, kAvx2, kAvx512, kNeon };

// The kernels this CPU runs, kPortable first; the last is BestKernel().
std::vector<IspKernel> IspKernels();
IspKernel BestKernel();
const char* IspKernelName(IspKernel kernel);

// A band's working rows, kept from frame to frame (a few rows of the frame's
// width); one per thread.
struct BandScratch {
  std::vector<int16_t> ring, planes;
  std::vector<uint16_t> samples, indices;
  std::vector<uint8_t> rgb8, luma, chroma;
  std::vector<uint32_t> histograms;
};

// Sizes `scratch` for `frame` (DevelopBand and RawStatsBand do it too; an
// Isp does it first on its own thread, where running out of memory is
// reported rather than ending the process).
void PrepareBandScratch(const Frame& frame, BandScratch* scratch);

// The first output row of each band when `frame` is split into at most
// `bands` (boundaries even, for NV12 and I420's chroma), then the height.
std::vector<uint32_t> SplitBands(const Frame& frame, int bands);

// Output rows [first, end) of `frame` through the row pipeline with
// `kernel` (one this CPU runs), adding the statistics of the raw rows the
// band covers (full size: [first, end); half size: [2 first, 2 end), and a
// last odd row with the last band; those StatsRow counts, when
// frame.raw_stats) to `stats`. Bands of one frame may run
// at once, each with its own scratch and stats; each reads the two raw rows
// past its ends that the demosaic needs.
void DevelopBand(IspKernel kernel, const Frame& frame, uint32_t first, uint32_t end,
                 bool with_histogram, BandScratch* scratch, RawStats* stats);

// The four-byte pixel (R first) that `kernel` writes for R, G and B all of
// transfer index i (0-4095, 12 bits of linear light), for every i.
std::vector<uint32_t> TransferPixels(IspKernel kernel, Transfer transfer);

// The statistics alone of raw rows [first, end) (those StatsRow counts; no
// histogram).
void RawStatsBand(IspKernel kernel, const Frame& frame, uint32_t first, uint32_t end,
                  BandScratch* scratch, RawStats* stats);

}  // namespace talon_isp

#endif  // ISP_ISP_KERNELS_H_
