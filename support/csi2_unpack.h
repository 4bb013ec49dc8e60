// The sample layout of the CSI-2 payload that the IPU writes into a frame
// buffer, and its unpacking to one 16-bit value per sample: RAW8 (one byte
// per sample), packed RAW10 (per group of up to four samples their four high
// bytes, then one byte of their 2-bit low parts, sample 0 in bits 0-1) and
// RAW16 (little-endian). Rows lie `stride` bytes apart; bytes between a row's
// payload and the next row are padding.
//
// The one home of this layout for the tools and the Python module.
// Pure functions; callers own the memory they pass. Callable from any thread.

#ifndef SUPPORT_CSI2_UNPACK_H_
#define SUPPORT_CSI2_UNPACK_H_

#include <cstdint>

namespace talon_support {

// Bytes of one row's payload: ceil(width × bits / 8).
uint64_t PayloadRowBytes(uint32_t width, uint32_t bits);

// Unpacks `height` rows of `width` samples into `out` (width × height
// values, row after row, each value in its low `bits` bits). False, writing
// nothing, when bits is not 8, 10 or 16 or a row's payload exceeds `stride`.
bool UnpackCsi2(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                uint32_t bits, uint16_t* out);

}  // namespace talon_support

#endif  // SUPPORT_CSI2_UNPACK_H_
