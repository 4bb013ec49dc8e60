#include "platform/prism/frame_pattern.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/prism/prism_sim.h"

namespace prism_sim {
namespace {

bool SupportedBits(uint32_t bits) { return bits == 8 || bits == 10 || bits == 16; }

// Channel presence (R, G, B) of the eight bars.
constexpr uint8_t kBars[8][3] = {
    {1, 1, 1},  // white
    {1, 1, 0},  // yellow
    {0, 1, 1},  // cyan
    {0, 1, 0},  // green
    {1, 0, 1},  // magenta
    {1, 0, 0},  // red
    {0, 0, 1},  // blue
    {0, 0, 0},  // black
};

// The component value of pixel (x, y) of frame `sequence`.
uint16_t PixelValue(uint32_t x, uint32_t y, uint32_t width, uint32_t bits, uint32_t sequence) {
  const uint16_t full = static_cast<uint16_t>((1u << bits) - 1);
  if (y == 0 && x < 4 && width >= 4) {
    const uint16_t byte = (sequence >> (8 * x)) & 0xFF;
    return static_cast<uint16_t>(byte << (bits - 8));
  }
  const uint64_t shifted = (uint64_t{x} + sequence) % width;
  const uint64_t bar = shifted * 8 / width;
  int channel = 1;                                // green
  if ((y & 1) == 0 && (x & 1) == 0) channel = 0;  // red
  if ((y & 1) == 1 && (x & 1) == 1) channel = 2;  // blue
  return kBars[bar][channel] ? full : 0;
}

void RenderRow(uint8_t* row, uint32_t y, uint32_t width, uint32_t bits, uint32_t sequence) {
  if (bits == 8) {
    for (uint32_t x = 0; x < width; ++x) {
      row[x] = static_cast<uint8_t>(PixelValue(x, y, width, bits, sequence));
    }
  } else if (bits == 16) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint16_t v = PixelValue(x, y, width, bits, sequence);
      row[2 * x] = static_cast<uint8_t>(v & 0xFF);
      row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
    }
  } else {
    // Packed RAW10: per group of up to 4 pixels, their 8 MSBs, then one byte
    // of their 2-bit LSBs (pixel 0 in bits 0-1).
    uint8_t* out = row;
    for (uint32_t x = 0; x < width; x += 4) {
      const uint32_t n = width - x < 4 ? width - x : 4;
      uint8_t lsbs = 0;
      for (uint32_t i = 0; i < n; ++i) {
        const uint16_t v = PixelValue(x + i, y, width, bits, sequence);
        *out++ = static_cast<uint8_t>(v >> 2);
        lsbs = static_cast<uint8_t>(lsbs | ((v & 3) << (2 * i)));
      }
      *out++ = lsbs;
    }
  }
}

// Copies a row the way the IPU's DMA writes one: past the CPU's caches, so
// that a client reading the frame on another core finds it in memory, not in
// the cache of the core that rendered it (which costs it a transfer per line,
// and the renderer another when it writes the buffer again).
void WriteLikeDma(uint8_t* out, const uint8_t* in, uint64_t n) {
#if defined(__x86_64__)
  const uint64_t head = std::min<uint64_t>(n, (16 - reinterpret_cast<uintptr_t>(out) % 16) % 16);
  std::memcpy(out, in, head);
  uint64_t i = head;
  for (; i + 16 <= n; i += 16) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
  }
  std::memcpy(out + i, in + i, n - i);
#else
  std::memcpy(out, in, n);
#endif
}

}  // namespace

uint64_t PayloadRowBytes(uint32_t width, uint32_t bits) {
  return (uint64_t{width} * bits + 7) / 8;
}

bool RenderFrame(uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                 uint32_t bits, uint32_t sequence) {
  if (!SupportedBits(bits) || stride < PayloadRowBytes(width, bits)) return false;
  if (width == 0 || height == 0) return true;
  // Below row 0 (which carries the sequence stamp) the rows of one parity are
  // alike: render rows 1 and 2 once and copy them, so that a large frame costs
  // little more than a copy.
  const uint64_t payload = PayloadRowBytes(width, bits);
  RenderRow(data, 0, width, bits, sequence);
  for (uint32_t y = 1; y < height; ++y) {
    uint8_t* row = data + y * stride;
    if (y <= 2) {
      RenderRow(row, y, width, bits, sequence);
    } else {
      WriteLikeDma(row, data + (y % 2 == 1 ? 1 : 2) * stride, payload);
    }
  }
#if defined(__x86_64__)
  _mm_sfence();  // the frame is in memory before its end is reported
#endif
  return true;
}

bool DecodeFrameSequence(const uint8_t* data, uint64_t /*stride*/, uint32_t width,
                         uint32_t height, uint32_t bits, uint32_t* sequence) {
  if (width < 4 || height < 1 || !SupportedBits(bits)) return false;
  uint32_t value = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    uint32_t byte = 0;
    if (bits == 8) byte = data[i];
    if (bits == 10) byte = data[i];  // the MSB bytes of the first group
    if (bits == 16) byte = data[2 * i + 1];
    value |= byte << (8 * i);
  }
  *sequence = value;
  return true;
}

}  // namespace prism_sim

extern "C" {

void PrismSimRenderFrame(void* data, uint64_t stride, uint32_t width, uint32_t height,
                         uint32_t bits, uint32_t sequence) {
  if (data == nullptr) return;
  prism_sim::RenderFrame(static_cast<uint8_t*>(data), stride, width, height, bits, sequence);
}

int PrismSimDecodeFrameSequence(const void* data, uint64_t stride, uint32_t width,
                                uint32_t height, uint32_t bits, uint32_t* sequence) {
  if (data == nullptr || sequence == nullptr) return -1;
  return prism_sim::DecodeFrameSequence(static_cast<const uint8_t*>(data), stride, width,
                                        height, bits, sequence)
             ? 0
             : -1;
}

}  // extern "C"
