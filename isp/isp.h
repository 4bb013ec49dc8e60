// talon's software ISP: develops a raw Bayer frame (RAW8, packed CSI-2
// RAW10, RAW16 or 16-bit samples) into a picture people can look at, on the
// CPU, in one pass:
//
//   black level -> white balance (manual gains, or automatic from the
//   frame's own statistics, smoothed across the frames of a stream) ->
//   demosaic (gradient-corrected linear) or 2x2 binning (half size) ->
//   3x3 colour matrix (camera RGB to linear sRGB) -> sRGB transfer curve or
//   linear -> RGB, RGBx, BGRx, NV12, I420 or GRAY8
//
// and, from the same pass, the frame's statistics: per-channel means on a
// coarse grid, a luminance histogram and the clipped fraction.
//
// Usable on any raw buffer, not only on frames from the capture service:
//
//   talon_isp::Isp isp;
//   talon_isp::RawImage raw{data, stride, 4056, 3040, talon_isp::RawFormat::kRaw10};
//   talon_isp::Settings settings;           // RGGB, automatic white balance, sRGB
//   talon_isp::Image out{talon_isp::PixelFormat::kRgbx, 4056, 3040, {rgbx}, {4056 * 4}};
//   talon_isp::Error error;
//   if (!isp.Develop(raw, settings, out, nullptr, &error)) ... error.argument, error.reason
//
// The rows go through kernels for the CPU's vector instructions (SSE2, AVX2
// or AVX-512 on x86-64, chosen once at run time; NEON on 64-bit Arm), which the
// tests hold to the plain one-pixel-at-a-time reference; large frames are
// split in bands across the Isp's own threads.
//
// Threading: an Isp is used by one thread at a time (it keeps the smoothed
// white balance of one stream); any number of Isps may run at once. The
// free functions are callable from any thread.
// Ownership: callers own every buffer they pass; an Isp owns its band
// threads and joins them when destroyed. Nothing here throws.

#ifndef ISP_ISP_H_
#define ISP_ISP_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/export.h"

namespace talon_isp {

// The colour of the top-left 2x2 cell of the mosaic, row by row.
enum class Cfa { kRggb, kGrbg, kGbrg, kBggr };

// How the raw samples lie in memory.
enum class RawFormat {
  kRaw8,   // one byte per sample
  kRaw10,  // CSI-2 packed RAW10: per 4 samples their high bytes, then their 2-bit low parts
  kRaw16,  // CSI-2 RAW16: two bytes per sample, little-endian
  kU16,    // uint16_t per sample in the machine's byte order (a NumPy array, say)
};

// What Develop writes (see Image for the planes).
enum class PixelFormat { kRgb, kRgbx, kBgrx, kNv12, kI420, kGray8 };

// The curve from linear light to the output's codes.
enum class Transfer { kSrgb, kLinear };

// A raw frame. Rows lie `stride` bytes apart; bytes past a row's payload are
// not read.
struct RawImage {
  const void* data = nullptr;            // the first row
  uint64_t stride = 0;                   // bytes from a row to the next
  uint32_t width = 0;                    // samples per row, at least 2
  uint32_t height = 0;                   // rows, at least 2
  RawFormat format = RawFormat::kRaw10;  // how the samples lie
};

// The picture Develop writes: `width` x `height` as OutputSize gives them.
// Plane 0 is the packed RGB / RGBx / BGRx (x written as 255), the luma of
// NV12 and I420, or GRAY8; NV12 has its interleaved CbCr in plane 1, I420
// Cb in plane 1 and Cr in plane 2 (BT.601 limited range, as GStreamer's
// defaults for these formats). Strides are bytes; bytes between rows are
// left alone.
struct Image {
  PixelFormat format = PixelFormat::kRgb;  // what to write
  uint32_t width = 0;                      // pixels per row
  uint32_t height = 0;                     // rows
  std::array<uint8_t*, 3> planes{};        // each plane's first row
  std::array<uint64_t, 3> strides{};       // bytes from a plane's row to the next
};

// How to develop a frame.
struct Settings {
  Cfa cfa = Cfa::kRggb;  // the mosaic's order
  // Sample values, in the units of the raw format (0-1023 for RAW10).
  // white_level 0 means the format's full scale; black_level must be below
  // white_level.
  uint32_t black_level = 0;
  uint32_t white_level = 0;
  // Gains for R, G, B after the black level; used as given when
  // auto_white_balance is false. Positive and finite.
  bool auto_white_balance = true;
  std::array<float, 3> wb_gains{1.0f, 1.0f, 1.0f};
  // Camera RGB (white balanced) to linear sRGB, row major; every entry
  // finite. The identity by default.
  std::array<float, 9> ccm{1, 0, 0, 0, 1, 0, 0, 0, 1};
  Transfer transfer = Transfer::kSrgb;
  // 2x2-binned: one output pixel per 2x2 cell of the mosaic.
  bool half_size = false;
};

// What one Develop saw, from the same pass.
struct Stats {
  static constexpr int kGridColumns = 16;  // the grid's cells across
  static constexpr int kGridRows = 12;     // and down
  // Mean R, G, B per grid cell, after the black level and before white
  // balance, as fractions of the range (white - black); cell (row, column)
  // at index (row * kGridColumns + column) * 3. Like clipped_fraction, from
  // the rows of every fourth row of 2x2 cells (rows 0-1, 8-9, 16-17, ...).
  std::array<float, kGridRows * kGridColumns * 3> grid{};
  // Output luma (sRGB or linear, as Settings::transfer), 256 bins: every
  // output pixel's full-range luma (GRAY8's value), whatever the format.
  std::array<uint32_t, 256> histogram{};
  // Samples at or above the white level, over all samples counted.
  double clipped_fraction = 0.0;
  // The gains applied (the automatic ones where auto_white_balance).
  std::array<float, 3> wb_gains{};
};

// A problem with what the caller passed: the argument's name as the caller
// spelled it ("black_level", "wb_gains", "ccm", "out", "width", ...) and
// what is allowed ("must be below white_level (1023)"). Each surface words
// it in its own way.
struct Error {
  std::string argument;  // "black_level", "out", ...
  std::string reason;    // what is allowed
};

// The picture's size for a raw frame of `width` x `height`: the same at full
// size, width / 2 x height / 2 (rounded down) at half size.
TALON_EXPORT void OutputSize(uint32_t width, uint32_t height, bool half_size, uint32_t* out_width,
                             uint32_t* out_height);

// Bytes of each plane of `format` at `width` x `height` with rows back to
// back (0 for planes the format has not); what a caller allocates.
TALON_EXPORT std::array<uint64_t, 3> PlaneStrides(PixelFormat format, uint32_t width);
TALON_EXPORT std::array<uint64_t, 3> PlaneSizes(PixelFormat format, uint32_t width,
                                                uint32_t height);

// Checks `raw`, `settings` and `out` against each other as Develop does,
// touching no pixel: true, or false with the first problem in `error`.
TALON_EXPORT bool CheckDevelop(const RawImage& raw, const Settings& settings, const Image& out,
                               Error* error);

// Develops the frames of one stream (see the top of this file).
class TALON_EXPORT Isp {
 public:
  // `threads`: how many threads share a frame's bands (the caller's own
  // included); 0 lets the Isp choose from the frame's size and the CPUs.
  explicit Isp(int threads = 1);
  ~Isp();
  Isp(const Isp&) = delete;
  Isp& operator=(const Isp&) = delete;

  // Develops `raw` into `out` and, when `stats` is not null, fills it.
  // False, writing nothing, with the problem in `error` (which may be null)
  // when CheckDevelop fails.
  bool Develop(const RawImage& raw, const Settings& settings, const Image& out, Stats* stats,
               Error* error);

  // The automatic white balance starts again from the next frame alone (a
  // new scene, a new stream). Until then, each frame is balanced with the
  // gains smoothed over the frames before it, and moves them a fifth of the
  // way (in log) toward its own grey-world estimate; the first frame gets
  // its own estimate.
  void ResetWhiteBalance();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace talon_isp

#endif  // ISP_ISP_H_
