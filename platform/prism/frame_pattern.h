// The simulated sensor's picture: a moving test pattern written as CSI-2
// payload (RAW8, packed RAW10, RAW16 little-endian), and the reader of the
// sequence stamp it carries.
//
// The pattern is 8 vertical colour bars (white, yellow, cyan, green, magenta,
// red, blue, black) across the width, shifted left by one pixel per frame,
// as an RGGB Bayer mosaic with every channel either full scale or 0. Row 0,
// pixels 0..3 carry the bytes of the frame's sequence number, least
// significant first, each in the component's top 8 bits.
//
// Threading: pure functions; callers own the memory they pass.

#ifndef PLATFORM_PRISM_FRAME_PATTERN_H_
#define PLATFORM_PRISM_FRAME_PATTERN_H_

#include <cstdint>

#include "platform/prism/payload.h"

namespace prism_sim {

// Writes `height` rows of frame `sequence` at `stride` bytes apart into
// `data`. Returns false (and writes nothing) when bits is not 8, 10 or 16 or
// stride is below the row payload.
bool RenderFrame(uint8_t* data, uint64_t stride, uint32_t width, uint32_t height, uint32_t bits,
                 uint32_t sequence);

// Writes frame `sequence`'s stamp into samples 0..3 of row 0 (`width`
// samples of `bits`): its bytes, least significant first, each in the
// sample's top 8 bits. Nothing when width < 4.
void StampSequence(uint16_t* row0, uint32_t width, uint32_t bits, uint32_t sequence);

// Reads the sequence stamp; false when width < 4, height < 1 or bits is not
// 8, 10 or 16.
bool DecodeFrameSequence(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                         uint32_t bits, uint32_t* sequence);

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_FRAME_PATTERN_H_
