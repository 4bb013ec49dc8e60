#include "platform/prism/payload.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace prism_sim {

bool SupportedBits(uint32_t bits) { return bits == 8 || bits == 10 || bits == 16; }

uint64_t PayloadRowBytes(uint32_t width, uint32_t bits) { return (uint64_t{width} * bits + 7) / 8; }

void PackRow(const uint16_t* samples, uint32_t width, uint32_t bits, uint8_t* out) {
  if (bits == 8) {
    for (uint32_t x = 0; x < width; ++x) out[x] = static_cast<uint8_t>(samples[x]);
  } else if (bits == 16) {
    for (uint32_t x = 0; x < width; ++x) {
      out[2 * x] = static_cast<uint8_t>(samples[x] & 0xFF);
      out[2 * x + 1] = static_cast<uint8_t>(samples[x] >> 8);
    }
  } else {
    for (uint32_t x = 0; x < width; x += 4) {
      const uint32_t n = width - x < 4 ? width - x : 4;
      uint8_t lsbs = 0;
      for (uint32_t i = 0; i < n; ++i) {
        const uint16_t v = samples[x + i];
        *out++ = static_cast<uint8_t>(v >> 2);
        lsbs = static_cast<uint8_t>(lsbs | ((v & 3) << (2 * i)));
      }
      *out++ = lsbs;
    }
  }
}

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

void EndDmaWrites() {
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

}  // namespace prism_sim
