#include "support/csi2_unpack.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

// RAW16 rows are copied as they are into 16-bit values: both targets are
// little-endian, like the payload.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "RAW16 is copied as it lies");

namespace talon_support {
namespace {

// One row: `width` samples from `in` (the row's payload) to `out`. A row
// kernel reads nothing past the payload and writes only the row's samples;
// the vector loops stop where a full vector would no longer fit, and the
// portable code takes the rest (also RAW10's partial last group).
using Row16 = void (*)(const uint8_t* in, uint32_t width, uint16_t* out);
using Row8 = void (*)(const uint8_t* in, uint32_t width, uint8_t* out);

struct Kernels {
  Row16 raw8_to_16, raw10_to_16, raw16_to_16;
  Row8 raw8_to_8, raw10_to_8, raw16_to_8;
};

void Copy16(const uint8_t* in, uint32_t width, uint16_t* out) {
  std::memcpy(out, in, uint64_t{width} * 2);
}

void Copy8(const uint8_t* in, uint32_t width, uint8_t* out) { std::memcpy(out, in, width); }

void Raw8To16Portable(const uint8_t* in, uint32_t width, uint16_t* out) {
  for (uint32_t x = 0; x < width; ++x) out[x] = in[x];
}

void Raw16To8Portable(const uint8_t* in, uint32_t width, uint8_t* out) {
  for (uint32_t x = 0; x < width; ++x) out[x] = in[2 * uint64_t{x} + 1];
}

void Raw10To16Portable(const uint8_t* in, uint32_t width, uint16_t* out) {
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4, in += 5) {
    const uint32_t low = in[4];
    out[x] = static_cast<uint16_t>(in[0] << 2 | (low & 3));
    out[x + 1] = static_cast<uint16_t>(in[1] << 2 | (low >> 2 & 3));
    out[x + 2] = static_cast<uint16_t>(in[2] << 2 | (low >> 4 & 3));
    out[x + 3] = static_cast<uint16_t>(in[3] << 2 | low >> 6);
  }
  // A partial last group: its low-bits byte follows its high bytes.
  const uint32_t rest = width - x;
  for (uint32_t i = 0; i < rest; ++i) {
    out[x + i] = static_cast<uint16_t>(in[i] << 2 | (in[rest] >> (2 * i) & 3));
  }
}

void Raw10To8Portable(const uint8_t* in, uint32_t width, uint8_t* out) {
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4, in += 5) std::memcpy(out + x, in, 4);
  std::memcpy(out + x, in, width - x);
}

constexpr Kernels kPortable = {Raw8To16Portable, Raw10To16Portable, Copy16, Copy8,
                               Raw10To8Portable, Raw16To8Portable};

#if defined(__x86_64__)

// RAW10 to 16 bits, eight samples (two groups) per 128-bit vector: lane i
// holds the group's low-bits byte in its high byte; the result is lane i's
// two bits (sample i % 4 of the group), by a multiply-high that shifts each
// lane right by its own count.
inline __m128i LowBits(__m128i low_byte_high) {
  const __m128i shift = _mm_setr_epi16(256, 64, 16, 4, 256, 64, 16, 4);
  return _mm_and_si128(_mm_mulhi_epu16(low_byte_high, shift), _mm_set1_epi16(3));
}

inline __m128i Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(static_cast<int>(v));
}

void Raw8To16Sse2(const uint8_t* in, uint32_t width, uint16_t* out) {
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                     _mm_unpacklo_epi8(v, _mm_setzero_si128()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x + 8),
                     _mm_unpackhi_epi8(v, _mm_setzero_si128()));
  }
  Raw8To16Portable(in + x, width - x, out + x);
}

void Raw16To8Sse2(const uint8_t* in, uint32_t width, uint8_t* out) {
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * uint64_t{x}));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * uint64_t{x} + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                     _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
  }
  Raw16To8Portable(in + 2 * uint64_t{x}, width - x, out + x);
}

void Raw10To16Sse2(const uint8_t* in, uint32_t width, uint16_t* out) {
  const uint8_t* const end = in + PayloadRowBytes(width, 10);
  uint32_t x = 0;
  for (; x + 8 <= width && end - in >= 13; x += 8, in += 10) {
    // Bytes 0-7: the two groups' high bytes; 8 and 12: their low-bits bytes.
    const __m128i v = _mm_unpacklo_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 5)));
    const __m128i high = _mm_slli_epi16(_mm_unpacklo_epi8(v, _mm_setzero_si128()), 2);
    __m128i low = _mm_slli_epi16(v, 8);  // lanes 4 and 6
    low = _mm_shufflehi_epi16(low, _MM_SHUFFLE(2, 2, 0, 0));
    low = _mm_shuffle_epi32(low, _MM_SHUFFLE(3, 3, 2, 2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(high, LowBits(low)));
  }
  Raw10To16Portable(in, width - x, out + x);
}

void Raw10To8Sse2(const uint8_t* in, uint32_t width, uint8_t* out) {
  const uint8_t* const end = in + PayloadRowBytes(width, 10);
  uint32_t x = 0;
  for (; x + 16 <= width && end - in >= 19; x += 16, in += 20) {
    const __m128i first = _mm_unpacklo_epi32(Load32(in), Load32(in + 5));
    const __m128i second = _mm_unpacklo_epi32(Load32(in + 10), Load32(in + 15));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_unpacklo_epi64(first, second));
  }
  Raw10To8Portable(in, width - x, out + x);
}

constexpr Kernels kSse2 = {Raw8To16Sse2, Raw10To16Sse2, Copy16, Copy8, Raw10To8Sse2, Raw16To8Sse2};

// Lane i of eight: the high byte of sample i of two groups, then its
// group's low-bits byte.
#define TALON_RAW10_SPREAD 0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9
// Sixteen high bytes of four groups: the first three from a vector at the
// first group, the fourth from one four bytes further.
#define TALON_RAW10_HIGH_FIRST 0, 1, 2, 3, 5, 6, 7, 8, 10, 11, 12, 13, -1, -1, -1, -1
#define TALON_RAW10_HIGH_LAST -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 11, 12, 13, 14

__attribute__((target("ssse3"))) void Raw10To16Ssse3(const uint8_t* in, uint32_t width,
                                                     uint16_t* out) {
  const __m128i spread = _mm_setr_epi8(TALON_RAW10_SPREAD);
  const uint8_t* const end = in + PayloadRowBytes(width, 10);
  uint32_t x = 0;
  for (; x + 8 <= width && end - in >= 16; x += 8, in += 10) {
    const __m128i v =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), spread);
    const __m128i high = _mm_srli_epi16(_mm_slli_epi16(v, 8), 6);
    const __m128i low = LowBits(_mm_and_si128(v, _mm_set1_epi16(-256)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(high, low));
  }
  Raw10To16Portable(in, width - x, out + x);
}

__attribute__((target("ssse3"))) void Raw10To8Ssse3(const uint8_t* in, uint32_t width,
                                                    uint8_t* out) {
  const __m128i first = _mm_setr_epi8(TALON_RAW10_HIGH_FIRST);
  const __m128i last = _mm_setr_epi8(TALON_RAW10_HIGH_LAST);
  const uint8_t* const end = in + PayloadRowBytes(width, 10);
  uint32_t x = 0;
  for (; x + 16 <= width && end - in >= 20; x += 16, in += 20) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                     _mm_or_si128(_mm_shuffle_epi8(a, first), _mm_shuffle_epi8(b, last)));
  }
  Raw10To8Portable(in, width - x, out + x);
}

constexpr Kernels kSsse3 = {Raw8To16Sse2, Raw10To16Ssse3, Copy16,
                            Copy8,        Raw10To8Ssse3,  Raw16To8Sse2};

// The AVX2 kernels clear the upper halves of the vector registers before
// their plain tail: the compiler leaves them in use before a tail call, and
// every SSE instruction after them, anywhere in the process, would wait on
// them.

// Two 128-bit halves from two addresses.
__attribute__((target("avx2"))) inline __m256i Load2x128(const uint8_t* low, const uint8_t* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

__attribute__((target("avx2"))) void Raw8To16Avx2(const uint8_t* in, uint32_t width,
                                                  uint16_t* out) {
  uint32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x + 16));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_cvtepu8_epi16(a));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x + 16), _mm256_cvtepu8_epi16(b));
  }
  _mm256_zeroupper();
  Raw8To16Portable(in + x, width - x, out + x);
}

__attribute__((target("avx2"))) void Raw16To8Avx2(const uint8_t* in, uint32_t width, uint8_t* out) {
  uint32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const uint8_t* p = in + 2 * uint64_t{x};
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    // The pack interleaves the inputs' 64-bit quarters: a0 b0 a1 b1.
    const __m256i packed = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                        _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
  }
  _mm256_zeroupper();
  Raw16To8Portable(in + 2 * uint64_t{x}, width - x, out + x);
}

__attribute__((target("avx2"))) void Raw10To16Avx2(const uint8_t* in, uint32_t width,
                                                   uint16_t* out) {
  const __m256i spread = _mm256_setr_epi8(TALON_RAW10_SPREAD, TALON_RAW10_SPREAD);
  const __m256i shift =
      _mm256_setr_epi16(256, 64, 16, 4, 256, 64, 16, 4, 256, 64, 16, 4, 256, 64, 16, 4);
  const uint8_t* const end = in + PayloadRowBytes(width, 10);
  uint32_t x = 0;
  for (; x + 16 <= width && end - in >= 26; x += 16, in += 20) {
    const __m256i v = _mm256_shuffle_epi8(Load2x128(in, in + 10), spread);
    const __m256i high = _mm256_srli_epi16(_mm256_slli_epi16(v, 8), 6);
    const __m256i low =
        _mm256_and_si256(_mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi16(-256)), shift),
                         _mm256_set1_epi16(3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_or_si256(high, low));
  }
  _mm256_zeroupper();
  Raw10To16Portable(in, width - x, out + x);
}

__attribute__((target("avx2"))) void Raw10To8Avx2(const uint8_t* in, uint32_t width, uint8_t* out) {
  const __m256i first = _mm256_setr_epi8(TALON_RAW10_HIGH_FIRST, TALON_RAW10_HIGH_FIRST);
  const __m256i last = _mm256_setr_epi8(TALON_RAW10_HIGH_LAST, TALON_RAW10_HIGH_LAST);
  const uint8_t* const end = in + PayloadRowBytes(width, 10);
  uint32_t x = 0;
  for (; x + 32 <= width && end - in >= 40; x += 32, in += 40) {
    const __m256i a = Load2x128(in, in + 20);
    const __m256i b = Load2x128(in + 4, in + 24);
    _mm256_storeu_si256(
        reinterpret_cast<__m256i*>(out + x),
        _mm256_or_si256(_mm256_shuffle_epi8(a, first), _mm256_shuffle_epi8(b, last)));
  }
  _mm256_zeroupper();
  Raw10To8Portable(in, width - x, out + x);
}

constexpr Kernels kAvx2 = {Raw8To16Avx2, Raw10To16Avx2, Copy16, Copy8, Raw10To8Avx2, Raw16To8Avx2};

#undef TALON_RAW10_SPREAD
#undef TALON_RAW10_HIGH_FIRST
#undef TALON_RAW10_HIGH_LAST

#elif defined(__aarch64__)

void Raw8To16Neon(const uint8_t* in, uint32_t width, uint16_t* out) {
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const uint8x16_t v = vld1q_u8(in + x);
    vst1q_u16(out + x, vmovl_u8(vget_low_u8(v)));
    vst1q_u16(out + x + 8, vmovl_high_u8(v));
  }
  Raw8To16Portable(in + x, width - x, out + x);
}

void Raw16To8Neon(const uint8_t* in, uint32_t width, uint8_t* out) {
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) vst1q_u8(out + x, vld2q_u8(in + 2 * uint64_t{x}).val[1]);
  Raw16To8Portable(in + 2 * uint64_t{x}, width - x, out + x);
}

void Raw10To16Neon(const uint8_t* in, uint32_t width, uint16_t* out) {
  // Lane i of eight: the high byte of sample i of two groups, then its
  // group's low-bits byte, of which lane i keeps sample i % 4's two bits.
  static const uint8_t kSpread[16] = {0, 4, 1, 4, 2, 4, 3, 4, 5, 9, 6, 9, 7, 9, 8, 9};
  static const int16_t kShift[8] = {0, -2, -4, -6, 0, -2, -4, -6};
  const uint8x16_t spread = vld1q_u8(kSpread);
  const int16x8_t shift = vld1q_s16(kShift);
  const uint8_t* const end = in + PayloadRowBytes(width, 10);
  uint32_t x = 0;
  for (; x + 8 <= width && end - in >= 16; x += 8, in += 10) {
    const uint16x8_t v = vreinterpretq_u16_u8(vqtbl1q_u8(vld1q_u8(in), spread));
    const uint16x8_t high = vshrq_n_u16(vshlq_n_u16(v, 8), 6);
    const uint16x8_t low = vandq_u16(vshlq_u16(vshrq_n_u16(v, 8), shift), vdupq_n_u16(3));
    vst1q_u16(out + x, vorrq_u16(high, low));
  }
  Raw10To16Portable(in, width - x, out + x);
}

void Raw10To8Neon(const uint8_t* in, uint32_t width, uint8_t* out) {
  // Sixteen high bytes of four groups, from the vectors at the first group
  // (bytes 0-15) and four bytes further (16-31).
  static const uint8_t kHigh[16] = {0, 1, 2, 3, 5, 6, 7, 8, 10, 11, 12, 13, 27, 28, 29, 30};
  const uint8x16_t high = vld1q_u8(kHigh);
  const uint8_t* const end = in + PayloadRowBytes(width, 10);
  uint32_t x = 0;
  for (; x + 16 <= width && end - in >= 20; x += 16, in += 20) {
    const uint8x16x2_t groups = {{vld1q_u8(in), vld1q_u8(in + 4)}};
    vst1q_u8(out + x, vqtbl2q_u8(groups, high));
  }
  Raw10To8Portable(in, width - x, out + x);
}

constexpr Kernels kNeon = {Raw8To16Neon, Raw10To16Neon, Copy16, Copy8, Raw10To8Neon, Raw16To8Neon};

#endif

// The kernels of `kernel`, or null when this CPU cannot run them.
const Kernels* KernelsOf(Csi2Kernel kernel) {
#if defined(__x86_64__)
  __builtin_cpu_init();
#endif
  switch (kernel) {
    case Csi2Kernel::kPortable:
      return &kPortable;
#if defined(__x86_64__)
    case Csi2Kernel::kSse2:
      return &kSse2;
    case Csi2Kernel::kSsse3:
      return __builtin_cpu_supports("ssse3") ? &kSsse3 : nullptr;
    case Csi2Kernel::kAvx2:
      return __builtin_cpu_supports("avx2") ? &kAvx2 : nullptr;
#elif defined(__aarch64__)
    case Csi2Kernel::kNeon:
      return &kNeon;
#endif
    default:
      return nullptr;
  }
}

const Kernels* Best() {
  static const Kernels* const best = KernelsOf(Csi2Kernels().back());
  return best;
}

// What both outputs refuse; `sample_bytes` is the size of an output sample.
bool Acceptable(uint64_t stride, uint32_t width, uint32_t bits, uint64_t out_stride,
                uint64_t sample_bytes) {
  if (bits != 8 && bits != 10 && bits != 16) return false;
  if (PayloadRowBytes(width, bits) > stride) return false;
  if (out_stride == 0) return true;
  return out_stride >= uint64_t{width} * sample_bytes && out_stride % sample_bytes == 0;
}

template <typename Sample>
bool Unpack(const Kernels* kernels, const uint8_t* data, uint64_t stride, uint32_t width,
            uint32_t height, uint32_t bits, Sample* out, uint64_t out_stride) {
  if (kernels == nullptr || !Acceptable(stride, width, bits, out_stride, sizeof(Sample))) {
    return false;
  }
  if (width == 0) return true;  // nothing to read, and the buffers may be null
  if (out_stride == 0) out_stride = uint64_t{width} * sizeof(Sample);
  void (*row)(const uint8_t*, uint32_t, Sample*);
  if constexpr (sizeof(Sample) == 2) {
    row = bits == 8    ? kernels->raw8_to_16
          : bits == 10 ? kernels->raw10_to_16
                       : kernels->raw16_to_16;
  } else {
    row = bits == 8 ? kernels->raw8_to_8 : bits == 10 ? kernels->raw10_to_8 : kernels->raw16_to_8;
  }
  uint8_t* const out_bytes = reinterpret_cast<uint8_t*>(out);
  for (uint32_t y = 0; y < height; ++y) {
    row(data + uint64_t{y} * stride, width,
        reinterpret_cast<Sample*>(out_bytes + uint64_t{y} * out_stride));
  }
  return true;
}

}  // namespace

uint64_t PayloadRowBytes(uint32_t width, uint32_t bits) { return (uint64_t{width} * bits + 7) / 8; }

bool UnpackCsi2(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                uint32_t bits, uint16_t* out, uint64_t out_stride) {
  return Unpack(Best(), data, stride, width, height, bits, out, out_stride);
}

bool UnpackCsi2To8(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                   uint32_t bits, uint8_t* out, uint64_t out_stride) {
  return Unpack(Best(), data, stride, width, height, bits, out, out_stride);
}

std::vector<Csi2Kernel> Csi2Kernels() {
  std::vector<Csi2Kernel> kernels;
  for (Csi2Kernel kernel : {Csi2Kernel::kPortable, Csi2Kernel::kSse2, Csi2Kernel::kSsse3,
                            Csi2Kernel::kAvx2, Csi2Kernel::kNeon}) {
    if (KernelsOf(kernel) != nullptr) kernels.push_back(kernel);
  }
  return kernels;
}

const char* Csi2KernelName(Csi2Kernel kernel) {
  switch (kernel) {
    case Csi2Kernel::kPortable:
      return "portable";
    case Csi2Kernel::kSse2:
      return "sse2";
    case Csi2Kernel::kSsse3:
      return "ssse3";
    case Csi2Kernel::kAvx2:
      return "avx2";
    case Csi2Kernel::kNeon:
      return "neon";
  }
  return "unknown";
}

bool UnpackCsi2With(Csi2Kernel kernel, const uint8_t* data, uint64_t stride, uint32_t width,
                    uint32_t height, uint32_t bits, uint16_t* out, uint64_t out_stride) {
  return Unpack(KernelsOf(kernel), data, stride, width, height, bits, out, out_stride);
}

bool UnpackCsi2To8With(Csi2Kernel kernel, const uint8_t* data, uint64_t stride, uint32_t width,
                       uint32_t height, uint32_t bits, uint8_t* out, uint64_t out_stride) {
  return Unpack(KernelsOf(kernel), data, stride, width, height, bits, out, out_stride);
}

bool UnpackCsi2Reference(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                         uint32_t bits, uint16_t* out, uint64_t out_stride) {
  if (!Acceptable(stride, width, bits, out_stride, 2)) return false;
  if (out_stride == 0) out_stride = uint64_t{width} * 2;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = data + uint64_t{y} * stride;
    uint16_t* samples =
        reinterpret_cast<uint16_t*>(reinterpret_cast<uint8_t*>(out) + uint64_t{y} * out_stride);
    if (bits == 8) {
      for (uint32_t x = 0; x < width; ++x) samples[x] = row[x];
    } else if (bits == 16) {
      for (uint32_t x = 0; x < width; ++x) {
        samples[x] = static_cast<uint16_t>(row[2 * uint64_t{x}] | row[2 * uint64_t{x} + 1] << 8);
      }
    } else {
      for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* group = row + uint64_t{x} / 4 * 5;
        const uint32_t i = x % 4;
        // The low-bits byte follows the group's high bytes, also in a
        // partial last group.
        const uint32_t in_group = width - (x - i) < 4 ? width - (x - i) : 4;
        const uint32_t low = (group[in_group] >> (2 * i)) & 3;
        samples[x] = static_cast<uint16_t>(group[i] << 2 | low);
      }
    }
  }
  return true;
}

bool UnpackCsi2To8Reference(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                            uint32_t bits, uint8_t* out, uint64_t out_stride) {
  if (!Acceptable(stride, width, bits, out_stride, 1)) return false;
  if (out_stride == 0) out_stride = width;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = data + uint64_t{y} * stride;
    uint8_t* samples = out + uint64_t{y} * out_stride;
    for (uint32_t x = 0; x < width; ++x) {
      samples[x] = bits == 8    ? row[x]
                   : bits == 16 ? row[2 * uint64_t{x} + 1]
                                : row[uint64_t{x} / 4 * 5 + x % 4];
    }
  }
  return true;
}

}  // namespace talon_support
