#include "platform/prism/frame_pattern.h"

#include <vector>

#include "platform/prism/prism_sim.h"

namespace prism_sim {
namespace {

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
  const uint64_t shifted = (uint64_t{x} + sequence) % width;
  const uint64_t bar = shifted * 8 / width;
  int channel = 1;                                // green
  if ((y & 1) == 0 && (x & 1) == 0) channel = 0;  // red
  if ((y & 1) == 1 && (x & 1) == 1) channel = 2;  // blue
  return kBars[bar][channel] ? full : 0;
}

void RenderRow(uint8_t* row, uint16_t* samples, uint32_t y, uint32_t width, uint32_t bits,
               uint32_t sequence) {
  for (uint32_t x = 0; x < width; ++x) samples[x] = PixelValue(x, y, width, bits, sequence);
  if (y == 0) StampSequence(samples, width, bits, sequence);
  PackRow(samples, width, bits, row);
}

}  // namespace

bool RenderFrame(uint8_t* data, uint64_t stride, uint32_t width, uint32_t height, uint32_t bits,
                 uint32_t sequence) {
  if (!SupportedBits(bits) || stride < PayloadRowBytes(width, bits)) return false;
  if (width == 0 || height == 0) return true;
  // Below row 0 (which carries the sequence stamp) the rows of one parity are
  // alike: render rows 1 and 2 once and copy them, so that a large frame costs
  // little more than a copy.
  const uint64_t payload = PayloadRowBytes(width, bits);
  std::vector<uint16_t> samples(width);
  RenderRow(data, samples.data(), 0, width, bits, sequence);
  for (uint32_t y = 1; y < height; ++y) {
    uint8_t* row = data + y * stride;
    if (y <= 2) {
      RenderRow(row, samples.data(), y, width, bits, sequence);
    } else {
      WriteLikeDma(row, data + (y % 2 == 1 ? 1 : 2) * stride, payload);
    }
  }
  EndDmaWrites();  // the frame is in memory before its end is reported
  return true;
}

void StampSequence(uint16_t* row0, uint32_t width, uint32_t bits, uint32_t sequence) {
  if (width < 4) return;
  for (uint32_t i = 0; i < 4; ++i) {
    row0[i] = static_cast<uint16_t>(((sequence >> (8 * i)) & 0xFF) << (bits - 8));
  }
}

bool DecodeFrameSequence(const uint8_t* data, uint64_t /*stride*/, uint32_t width, uint32_t height,
                         uint32_t bits, uint32_t* sequence) {
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

int PrismSimDecodeFrameSequence(const void* data, uint64_t stride, uint32_t width, uint32_t height,
                                uint32_t bits, uint32_t* sequence) {
  if (data == nullptr || sequence == nullptr) return -1;
  return prism_sim::DecodeFrameSequence(static_cast<const uint8_t*>(data), stride, width, height,
                                        bits, sequence)
             ? 0
             : -1;
}

}  // extern "C"
