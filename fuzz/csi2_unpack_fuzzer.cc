// Fuzzes the CSI-2 unpacker: every kernel the CPU runs, and the default, must
// agree with the one-sample-at-a-time reference, to 16 and to 8 bits, on
// whether the frame is accepted and on every output byte (also the gaps
// between output rows, which stay as they were).
//
// The first six bytes choose the frame; the rest, repeated as needed, is its
// data:
//   0-1  width, little-endian, modulo 4097
//   2    height modulo 9
//   3    bits: 8, 10 or 16 by the value modulo 4, the value itself when 3
//   4    stride: the row's payload plus the low 7 bits, or minus them when
//        the top bit is set
//   5    output padding in samples (low 7 bits); with the top bit set,
//        output rows too close, or 16-bit ones at odd offsets
// Input and outputs are exactly as large as the frame needs, so that a read
// or write beyond them is a sanitizer's finding.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "support/csi2_unpack.h"

namespace {

using talon_support::Csi2Kernel;

[[noreturn]] void Fail(const char* what) { fuzz::CheckFailed("csi2_unpack_fuzzer", what); }

constexpr size_t kHeader = 6;

struct Frame {
  uint32_t width, height, bits;
  uint64_t stride;
  uint64_t out_stride16, out_stride8;  // 0: dense
  uint64_t out_size16, out_size8;      // samples (the buffers' sizes)
};

Frame Decode(const uint8_t* header) {
  Frame f;
  f.width = (header[0] | header[1] << 8) % 4097;
  f.height = header[2] % 9;
  const uint32_t depths[] = {8, 10, 16};
  f.bits = header[3] % 4 == 3 ? header[3] : depths[header[3] % 4];
  const uint64_t payload = talon_support::PayloadRowBytes(f.width, f.bits);
  const uint64_t change = header[4] & 0x7F;
  f.stride = header[4] & 0x80 ? (payload > change ? payload - change : 0) : payload + change;
  const uint64_t pad = header[5] & 0x7F;
  if (header[5] & 0x80) {
    // Refused where the width allows: 16-bit rows at odd offsets or one
    // sample too close, 8-bit rows one byte too close.
    f.out_stride16 = pad % 2 == 1  ? uint64_t{f.width} * 2 + 1
                     : f.width > 1 ? uint64_t{f.width} * 2 - 2
                                   : 0;
    f.out_stride8 = f.width > 1 ? f.width - 1 : 0;
  } else {
    f.out_stride16 = pad == 0 ? 0 : (uint64_t{f.width} + pad) * 2;
    f.out_stride8 = pad == 0 ? 0 : uint64_t{f.width} + pad;
  }
  const uint64_t rows16 = f.out_stride16 == 0 ? f.width : f.out_stride16 / 2;
  const uint64_t rows8 = f.out_stride8 == 0 ? f.width : f.out_stride8;
  f.out_size16 = f.height == 0 ? 0 : rows16 * (f.height - 1) + f.width;
  f.out_size8 = f.height == 0 ? 0 : rows8 * (f.height - 1) + f.width;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < kHeader) return 0;
  const Frame f = Decode(input);
  const uint8_t* body = input + kHeader;
  const size_t body_size = size - kHeader;
  const uint64_t payload = talon_support::PayloadRowBytes(f.width, f.bits);
  // A frame that cannot be read gets one byte: nothing may read it.
  const bool readable = (f.bits == 8 || f.bits == 10 || f.bits == 16) && f.stride >= payload;
  std::vector<uint8_t> data(!readable       ? 1
                            : f.height == 0 ? payload
                                            : f.stride * (f.height - 1) + payload);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = body_size == 0 ? static_cast<uint8_t>(i) : body[i % body_size];
  }

  std::vector<uint16_t> expected16(f.out_size16, 0xA5A5);
  std::vector<uint8_t> expected8(f.out_size8, 0xA5);
  const bool accepted16 = talon_support::UnpackCsi2Reference(
      data.data(), f.stride, f.width, f.height, f.bits, expected16.data(), f.out_stride16);
  const bool accepted8 = talon_support::UnpackCsi2To8Reference(
      data.data(), f.stride, f.width, f.height, f.bits, expected8.data(), f.out_stride8);
  if ((!accepted16 && expected16 != std::vector<uint16_t>(f.out_size16, 0xA5A5)) ||
      (!accepted8 && expected8 != std::vector<uint8_t>(f.out_size8, 0xA5))) {
    Fail("the reference wrote a refused frame");
  }

  std::vector<Csi2Kernel> kernels = talon_support::Csi2Kernels();
  kernels.push_back(kernels.back());  // again, through the default entry points
  std::vector<uint16_t> out16;
  std::vector<uint8_t> out8;
  for (size_t k = 0; k < kernels.size(); ++k) {
    const bool by_default = k + 1 == kernels.size();
    out16.assign(f.out_size16, 0xA5A5);
    out8.assign(f.out_size8, 0xA5);
    const bool ok16 =
        by_default ? talon_support::UnpackCsi2(data.data(), f.stride, f.width, f.height, f.bits,
                                               out16.data(), f.out_stride16)
                   : talon_support::UnpackCsi2With(kernels[k], data.data(), f.stride, f.width,
                                                   f.height, f.bits, out16.data(), f.out_stride16);
    const bool ok8 =
        by_default ? talon_support::UnpackCsi2To8(data.data(), f.stride, f.width, f.height, f.bits,
                                                  out8.data(), f.out_stride8)
                   : talon_support::UnpackCsi2To8With(kernels[k], data.data(), f.stride, f.width,
                                                      f.height, f.bits, out8.data(), f.out_stride8);
    if (ok16 != accepted16) Fail("a kernel and the reference disagree on a 16-bit frame");
    if (ok8 != accepted8) Fail("a kernel and the reference disagree on an 8-bit frame");
    if (out16 != expected16) Fail("a kernel's 16-bit output differs from the reference");
    if (out8 != expected8) Fail("a kernel's 8-bit output differs from the reference");
  }
  return 0;
}
