// CSI-2 payload rows of the simulated sensor: 16-bit samples packed as RAW8,
// packed RAW10 or RAW16 little-endian, and rows written into a frame the way
// the IPU's DMA writes them (past the CPU's caches). Shared by the pictures
// the simulator draws (the colour bars, the scene) and by tests that need a
// scene's payload.
//
// Threading: pure functions; callers own the memory they pass.

#ifndef PLATFORM_PRISM_PAYLOAD_H_
#define PLATFORM_PRISM_PAYLOAD_H_

#include <cstdint>

namespace prism_sim {

// 8, 10 or 16: the sample widths the payload comes in.
bool SupportedBits(uint32_t bits);

// Bytes of one row's payload: ceil(width * bits / 8).
uint64_t PayloadRowBytes(uint32_t width, uint32_t bits);

// Packs `width` samples (each below 2^bits; bits 8, 10 or 16) into the
// PayloadRowBytes(width, bits) bytes at `out`. Packed RAW10: per group of up
// to 4 samples their 8 MSBs, then one byte of their 2-bit LSBs (sample 0 in
// bits 0-1).
void PackRow(const uint16_t* samples, uint32_t width, uint32_t bits, uint8_t* out);

// Copies `n` bytes as the IPU's DMA writes a row: past the CPU's caches, so
// that a client reading the frame on another core finds it in memory, not in
// the cache of the core that rendered it (which costs it a transfer per line,
// and the renderer another when it writes the buffer again). Call
// EndDmaWrites once a frame's rows are written.
void WriteLikeDma(uint8_t* out, const uint8_t* in, uint64_t n);

// Orders the rows written like DMA before what follows (the frame's end
// being reported).
void EndDmaWrites();

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_PAYLOAD_H_
