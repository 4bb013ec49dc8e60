// The sample layout of the CSI-2 payload that the IPU writes into a frame
// buffer, and its unpacking: RAW8 (one byte per sample), packed RAW10 (per
// group of up to four samples their four high bytes, then one byte of their
// 2-bit low parts, sample 0 in bits 0-1) and RAW16 (little-endian). Rows lie
// `stride` bytes apart; bytes between a row's payload and the next row are
// padding.
//
// Unpacking runs at memory speed: the rows go through kernels for the
// CPU's vector instructions (SSE2, SSSE3 or AVX2 on x86-64, chosen once at
// run time; NEON on 64-bit Arm), each row's last samples through plain code.
// Nothing is read past the last row's payload, nothing written outside the
// output rows' samples.
//
// The one home of this layout for the tools, the Python module and the
// GStreamer plugin. Pure functions; callers own the memory they pass.
// Callable from any thread.

#ifndef SUPPORT_CSI2_UNPACK_H_
#define SUPPORT_CSI2_UNPACK_H_

#include <cstdint>
#include <vector>

namespace talon_support {

// Bytes of one row's payload: ceil(width × bits / 8).
uint64_t PayloadRowBytes(uint32_t width, uint32_t bits);

// Unpacks `height` rows of `width` samples into `out`, one value per sample
// in its low `bits` bits; output rows lie `out_stride` bytes apart (0: width
// × 2, rows back to back), and bytes between them are left alone. False,
// writing nothing, when bits is not 8, 10 or 16, a row's payload exceeds
// `stride`, or a non-zero out_stride is odd or smaller than width × 2.
bool UnpackCsi2(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                uint32_t bits, uint16_t* out, uint64_t out_stride = 0);

// The high 8 bits of every sample, straight from the payload: RAW8 as is,
// RAW10 each group's four high bytes, RAW16 each sample's second byte.
// Output rows lie `out_stride` bytes apart (0: width). False, writing
// nothing, as UnpackCsi2 (out_stride smaller than width).
bool UnpackCsi2To8(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                   uint32_t bits, uint8_t* out, uint64_t out_stride = 0);

// For the tests, the fuzzer and the benchmark: the kernels one by one, and
// the one-sample-at-a-time code the kernels are compared against.

// The kernels; kPortable is plain C++ and runs everywhere.
enum class Csi2Kernel { kPortable, kSse2, kSsse3, kAvx2, kNeon };

// The kernels this CPU runs, kPortable first; the last one is what
// UnpackCsi2 and UnpackCsi2To8 use.
std::vector<Csi2Kernel> Csi2Kernels();
const char* Csi2KernelName(Csi2Kernel kernel);

// As UnpackCsi2 and UnpackCsi2To8 with the given kernel; false, writing
// nothing, also when this CPU cannot run it.
bool UnpackCsi2With(Csi2Kernel kernel, const uint8_t* data, uint64_t stride, uint32_t width,
                    uint32_t height, uint32_t bits, uint16_t* out, uint64_t out_stride = 0);
bool UnpackCsi2To8With(Csi2Kernel kernel, const uint8_t* data, uint64_t stride, uint32_t width,
                       uint32_t height, uint32_t bits, uint8_t* out, uint64_t out_stride = 0);

// The reference: each sample on its own, straight from the layout above.
bool UnpackCsi2Reference(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                         uint32_t bits, uint16_t* out, uint64_t out_stride = 0);
bool UnpackCsi2To8Reference(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                            uint32_t bits, uint8_t* out, uint64_t out_stride = 0);

}  // namespace talon_support

#endif  // SUPPORT_CSI2_UNPACK_H_
