// The row pipeline (see isp_kernels.h): a band of output rows, each output
// row in chunks of kChunk pixels that stay in the L1 cache through every
// stage:
//
//   raw row --UnpackCsi2--> uint16 samples --normalise--> ring of 5 rows,
//   Q15 (0-32767), mirrored 2 samples past each end
//   --demosaic (or bin)--> planar R, G, B (Q15) --matrix--> 12-bit indices
//   --table--> RGBx or BGRx pixels straight, or R', G', B' bytes
//   --writer--> the other formats
//
// (AVX-512 takes the matrix and the transfer curve together, the curve
// computed rather than loaded, straight to RGBx, BGRx or RGB.)
//
// Each kernel has a plain C++ version (kPortable) that computes exactly what
// its vector versions compute; an instruction set's table starts from the
// plain one and replaces what it speeds up. Below AVX-512 the transfer
// curve stays a table lookup: AVX2's gathers, and the curve computed in
// AVX2 floats (a polynomial from the exponent), measured no faster than
// three scalar loads a pixel, which are about 40 % of a full-size RGBx
// frame's time there.
// Vector loops run over whole vectors into buffers with slack; only the
// writers, which touch the caller's memory, stop at the row's last pixel.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "isp/isp_kernels.h"
#include "support/csi2_unpack.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace talon_isp {
namespace {

constexpr int kOne = 32767;     // 1.0 in the rows' Q15
constexpr int kIndexBits = 12;  // the transfer table's index
constexpr int kIndexMax = (1 << kIndexBits) - 1;
constexpr uint32_t kChunk = 512;  // pixels per pass through the stages
constexpr uint32_t kPad = 16;     // samples before x = 0 in a ring row
constexpr uint32_t kSlack = 64;   // samples past a row's end for vector loops

// ---------------------------------------------------------------------------
// The kernels' parameters.

struct NormaliseParams {
  uint16_t white, black;
  float scale[2];  // per column parity: gain * kOne / (white - black)
};

// matrix: index = clamp((sum_j v_j * k[i][j] + bias) >> shift, 0, kIndexMax)
struct MatrixParams {
  int16_t k[3][3];
  int16_t bias;
  int shift;
};

// The transfer curve from a 12-bit index i to an 8-bit code, piecewise
// linear in 64ths of a code, so that vector kernels compute it with two
// 64-entry lookups (AVX-512's vpermi2w) instead of loading a table: below
// 256 in segments of 4 indices (s = i >> 2, the position t = (i & 3) << 4
// in 64ths of the segment), above in segments of 64 (s = i >> 6, from 4;
// t = i & 63):
//
//   code = (base[s] + (slope[s] * (t << 10) >> 16)) >> 6
//
// (t << 10 fits 16 bits; the product's upper half). Each segment's base
// and slope are the best over its indices: the codes lie within 0.2 of
// the exact curve before rounding (0.5), and the table's codes[i] are the
// same formula's, which the other kernels load. second and third hold the
// codes where the second and third bytes of a four-byte pixel go, the
// third with the fourth byte's 255, so that a pixel is three loads and two
// ors; codes has three bytes of slack for vector reads.
struct TransferTable {
  uint16_t fine_base[64], fine_slope[64];
  uint16_t coarse_base[64], coarse_slope[64];
  uint8_t codes[kIndexMax + 1 + 3];
  uint32_t second[kIndexMax + 1];
  uint32_t third[kIndexMax + 1];
};

constexpr uint32_t kFineEnd = 256;  // indices below take the fine segments

inline uint8_t CurveCode(const TransferTable& t, uint32_t i) {
  const bool fine = i < kFineEnd;
  const uint32_t s = fine ? i >> 2 : i >> 6;
  const uint32_t u = (fine ? i << 14 : i << 10) & 0xFFFF;
  const uint32_t base = fine ? t.fine_base[s] : t.coarse_base[s];
  const uint32_t slope = fine ? t.fine_slope[s] : t.coarse_slope[s];
  return static_cast<uint8_t>((base + (slope * u >> 16)) >> 6);
}

struct Kernels {
  void (*normalise)(const uint16_t* in, uint32_t n, const NormaliseParams& p, int16_t* out);
  // One output row: rows[0..4] are rows y-2..y+2 at x = 0 (mirrored past
  // each end); `odd_first`: the row's even columns hold G. Writes the
  // colours into x (the row's R or B), g and y (the other of R and B).
  void (*demosaic)(const int16_t* const rows[5], uint32_t x0, uint32_t n, bool odd_first,
                   int16_t* x, int16_t* g, int16_t* y);
  // Half size: output pixels [x0, x0 + n) from the 2x2 cells of two rows
  // (x = 0 at the first sample), the top row holding R, or G then R
  // (`swap_columns`); the caller swaps the rows when the bottom one holds R.
  void (*bin)(const int16_t* top, const int16_t* bottom, uint32_t x0, uint32_t n, bool swap_columns,
              int16_t* r, int16_t* g, int16_t* b);
  void (*matrix)(const int16_t* r, const int16_t* g, const int16_t* b, uint32_t n,
                 const MatrixParams& p, uint16_t* ir, uint16_t* ig, uint16_t* ib);
  void (*table)(const uint16_t* index, uint32_t n, const uint8_t* table, uint8_t* out);
  // Indices straight to four bytes a pixel through the table (the RGBx and
  // BGRx pictures without a histogram): the loads of the table are the
  // cost, and one 32-bit store a pixel is cheaper than three bytes and
  // then an interleave.
  void (*table_x)(const uint16_t* first, const uint16_t* second, const uint16_t* third, uint32_t n,
                  const TransferTable& table, uint8_t* out);
  // The matrix and table_x at once, R first or B first (`bgr`), when the
  // kernels have it (null otherwise): the indices stay in registers.
  void (*matrix_x)(const int16_t* r, const int16_t* g, const int16_t* b, uint32_t n,
                   const MatrixParams& p, const TransferTable& table, bool bgr, uint8_t* out);
  // The same for three bytes a pixel (RGB), when the kernels have it.
  void (*matrix_rgb)(const int16_t* r, const int16_t* g, const int16_t* b, uint32_t n,
                     const MatrixParams& p, const TransferTable& table, uint8_t* out);
  // R'G'B' to four bytes a pixel, R first or B first, the fourth 255.
  void (*rgbx)(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out);
  // Cb and Cr of `blocks` 2x2 blocks from two rows' R', G', B' (x = 0 at
  // the first block).
  void (*chroma)(const uint8_t* const top[3], const uint8_t* const bottom[3], uint32_t blocks,
                 uint8_t* cb, uint8_t* cr);
  // Full-range luma of four-byte pixels, R first (B first when `bgr`).
  void (*luma_x)(const uint8_t* pixels, uint32_t n, bool bgr, uint8_t* out);
  void (*luma)(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out);
  void (*luma601)(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out);
};

// ---------------------------------------------------------------------------
// Plain kernels: the definitions the vector kernels follow bit for bit.

inline int16_t Average(int a, int b) { return static_cast<int16_t>((a + b + 1) >> 1); }
inline int16_t Saturate(int v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }
inline int16_t Unit(int v) { return static_cast<int16_t>(std::clamp(v, 0, kOne)); }

inline int16_t NormaliseOne(uint16_t s, uint16_t white, uint16_t black, float scale) {
  const uint16_t clipped = std::min(s, white);
  const int above = clipped > black ? clipped - black : 0;
  const float v = std::min(static_cast<float>(above) * scale + 0.5f, 32767.0f);
  return static_cast<int16_t>(v);
}

void NormalisePortable(const uint16_t* in, uint32_t n, const NormaliseParams& p, int16_t* out) {
  for (uint32_t x = 0; x < n; ++x) out[x] = NormaliseOne(in[x], p.white, p.black, p.scale[x & 1]);
}

// The four interpolations at one sample from the five rows around it.
struct Interpolated {
  int16_t g_at_rb, same_row, same_column, diagonal;
};

inline Interpolated InterpolateOne(const int16_t* const rows[5], int64_t x) {
  const int c = rows[2][x];
  const int h1 = Average(rows[2][x - 1], rows[2][x + 1]);
  const int v1 = Average(rows[1][x], rows[3][x]);
  const int h2 = Average(rows[2][x - 2], rows[2][x + 2]);
  const int v2 = Average(rows[0][x], rows[4][x]);
  const int d1 =
      Average(Average(rows[1][x - 1], rows[1][x + 1]), Average(rows[3][x - 1], rows[3][x + 1]));
  const int m1 = Average(h1, v1), m2 = Average(h2, v2);
  const int from_d1 = (c - d1) >> 1;
  Interpolated out;
  out.g_at_rb = Unit(Saturate(m1 + ((c - m2) >> 1)));
  out.same_row = Unit(Saturate(h1 + (from_d1 + ((c - h2) >> 2) + ((v2 - c) >> 3))));
  out.same_column = Unit(Saturate(v1 + (from_d1 + ((c - v2) >> 2) + ((h2 - c) >> 3))));
  out.diagonal = Unit(Saturate(d1 + (((c - m2) >> 1) + ((c - m2) >> 2))));
  return out;
}

void DemosaicPortable(const int16_t* const rows[5], uint32_t x0, uint32_t n, bool odd_first,
                      int16_t* x_out, int16_t* g_out, int16_t* y_out) {
  for (uint32_t i = 0; i < n; ++i) {
    const int64_t x = int64_t{x0} + i;
    const Interpolated v = InterpolateOne(rows, x);
    const int16_t c = rows[2][x];
    // The samples of colour x (R or B) sit where (x odd) == odd_first.
    if (((x & 1) != 0) == odd_first) {
      x_out[i] = c, g_out[i] = v.g_at_rb, y_out[i] = v.diagonal;
    } else {
      x_out[i] = v.same_row, g_out[i] = c, y_out[i] = v.same_column;
    }
  }
}

void BinPortable(const int16_t* top, const int16_t* bottom, uint32_t x0, uint32_t n,
                 bool swap_columns, int16_t* r, int16_t* g, int16_t* b) {
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t x = 2 * (uint64_t{x0} + i);
    const int first = swap_columns ? 1 : 0;
    r[i] = top[x + first];
    g[i] = Average(top[x + 1 - first], bottom[x + first]);
    b[i] = bottom[x + 1 - first];
  }
}

void MatrixPortable(const int16_t* r, const int16_t* g, const int16_t* b, uint32_t n,
                    const MatrixParams& p, uint16_t* ir, uint16_t* ig, uint16_t* ib) {
  uint16_t* out[3] = {ir, ig, ib};
  for (uint32_t x = 0; x < n; ++x) {
    for (int i = 0; i < 3; ++i) {
      const int32_t sum = r[x] * p.k[i][0] + g[x] * p.k[i][1] + b[x] * p.k[i][2] + p.bias;
      out[i][x] = static_cast<uint16_t>(std::clamp(sum >> p.shift, 0, kIndexMax));
    }
  }
}

void TablePortable(const uint16_t* index, uint32_t n, const uint8_t* table, uint8_t* out) {
#pragma GCC unroll 4
  for (uint32_t x = 0; x < n; ++x) out[x] = table[index[x]];
}

void TableXPortable(const uint16_t* first, const uint16_t* second, const uint16_t* third,
                    uint32_t n, const TransferTable& table, uint8_t* out) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a pixel's first byte is its lowest");
#pragma GCC unroll 4
  for (uint32_t x = 0; x < n; ++x) {
    const uint32_t pixel = table.codes[first[x]] | table.second[second[x]] | table.third[third[x]];
    std::memcpy(out + 4 * uint64_t{x}, &pixel, 4);
  }
}

void RgbxPortable(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out) {
  for (uint32_t x = 0; x < n; ++x) {
    out[4 * x] = r[x], out[4 * x + 1] = g[x], out[4 * x + 2] = b[x], out[4 * x + 3] = 255;
  }
}

void ChromaPortable(const uint8_t* const top[3], const uint8_t* const bottom[3], uint32_t blocks,
                    uint8_t* cb, uint8_t* cr) {
  for (uint32_t i = 0; i < blocks; ++i) {
    int sums[3];
    for (int c = 0; c < 3; ++c) {
      sums[c] = top[c][2 * i] + top[c][2 * i + 1] + bottom[c][2 * i] + bottom[c][2 * i + 1];
    }
    cb[i] = ChromaCb(sums[0], sums[1], sums[2]);
    cr[i] = ChromaCr(sums[0], sums[1], sums[2]);
  }
}

void LumaXPortable(const uint8_t* pixels, uint32_t n, bool bgr, uint8_t* out) {
  const int first = bgr ? 2 : 0;
  for (uint32_t x = 0; x < n; ++x) {
    const uint8_t* p = pixels + 4 * uint64_t{x};
    out[x] = Luma(p[first], p[1], p[2 - first]);
  }
}

void LumaPortable(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out) {
  for (uint32_t x = 0; x < n; ++x) out[x] = Luma(r[x], g[x], b[x]);
}

void Luma601Portable(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n,
                     uint8_t* out) {
  for (uint32_t x = 0; x < n; ++x) out[x] = Luma601(r[x], g[x], b[x]);
}

constexpr Kernels kPortable = {NormalisePortable, DemosaicPortable, BinPortable,   MatrixPortable,
                               TablePortable,     TableXPortable,   nullptr,       nullptr,
                               RgbxPortable,      ChromaPortable,   LumaXPortable, LumaPortable,
                               Luma601Portable};

#if defined(__x86_64__)

// ---------------------------------------------------------------------------
// SSE2: eight samples a vector.

inline __m128i Load(const int16_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i Load(const uint16_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void Store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// Rounding-up mean of signed values 0-32767 (pavgw is unsigned; the inputs
// are never negative).
inline __m128i Avg(__m128i a, __m128i b) { return _mm_avg_epu16(a, b); }
inline __m128i Clamp01(__m128i v, __m128i one) {
  return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), one);
}

void NormaliseSse2(const uint16_t* in, uint32_t n, const NormaliseParams& p, int16_t* out) {
  const __m128i white = _mm_set1_epi16(static_cast<int16_t>(p.white));
  const __m128i black = _mm_set1_epi16(static_cast<int16_t>(p.black));
  const __m128 scale = _mm_setr_ps(p.scale[0], p.scale[1], p.scale[0], p.scale[1]);
  const __m128 half = _mm_set1_ps(0.5f), top = _mm_set1_ps(32767.0f);
  for (uint32_t x = 0; x < n; x += 8) {
    const __m128i s = Load(in + x);
    const __m128i clipped = _mm_sub_epi16(s, _mm_subs_epu16(s, white));  // min(s, white)
    const __m128i above = _mm_subs_epu16(clipped, black);
    const __m128i zero = _mm_setzero_si128();
    const __m128 lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(above, zero));
    const __m128 hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(above, zero));
    const __m128i vlo = _mm_cvttps_epi32(_mm_min_ps(_mm_add_ps(_mm_mul_ps(lo, scale), half), top));
    const __m128i vhi = _mm_cvttps_epi32(_mm_min_ps(_mm_add_ps(_mm_mul_ps(hi, scale), half), top));
    Store(out + x, _mm_packs_epi32(vlo, vhi));
  }
}

void DemosaicSse2(const int16_t* const rows[5], uint32_t x0, uint32_t n, bool odd_first,
                  int16_t* x_out, int16_t* g_out, int16_t* y_out) {
  const __m128i one = _mm_set1_epi16(kOne);
  // Lanes of colour x (x0 is even) take c, g_at_rb and diagonal.
  const __m128i odd = _mm_setr_epi16(0, -1, 0, -1, 0, -1, 0, -1);
  const __m128i x_lanes = odd_first ? odd : _mm_xor_si128(odd, _mm_set1_epi16(-1));
  for (uint32_t i = 0; i < n; i += 8) {
    const int64_t x = int64_t{x0} + i;
    const __m128i c = Load(rows[2] + x);
    const __m128i h1 = Avg(Load(rows[2] + x - 1), Load(rows[2] + x + 1));
    const __m128i v1 = Avg(Load(rows[1] + x), Load(rows[3] + x));
    const __m128i h2 = Avg(Load(rows[2] + x - 2), Load(rows[2] + x + 2));
    const __m128i v2 = Avg(Load(rows[0] + x), Load(rows[4] + x));
    const __m128i d1 = Avg(Avg(Load(rows[1] + x - 1), Load(rows[1] + x + 1)),
                           Avg(Load(rows[3] + x - 1), Load(rows[3] + x + 1)));
    const __m128i m1 = Avg(h1, v1), m2 = Avg(h2, v2);
    const __m128i c_m2 = _mm_sub_epi16(c, m2);
    const __m128i from_d1 = _mm_srai_epi16(_mm_sub_epi16(c, d1), 1);
    const __m128i g_at_rb = Clamp01(_mm_adds_epi16(m1, _mm_srai_epi16(c_m2, 1)), one);
    const __m128i same_row = Clamp01(
        _mm_adds_epi16(
            h1, _mm_add_epi16(_mm_add_epi16(from_d1, _mm_srai_epi16(_mm_sub_epi16(c, h2), 2)),
                              _mm_srai_epi16(_mm_sub_epi16(v2, c), 3))),
        one);
    const __m128i same_column = Clamp01(
        _mm_adds_epi16(
            v1, _mm_add_epi16(_mm_add_epi16(from_d1, _mm_srai_epi16(_mm_sub_epi16(c, v2), 2)),
                              _mm_srai_epi16(_mm_sub_epi16(h2, c), 3))),
        one);
    const __m128i diagonal = Clamp01(
        _mm_adds_epi16(d1, _mm_add_epi16(_mm_srai_epi16(c_m2, 1), _mm_srai_epi16(c_m2, 2))), one);
    auto select = [&](__m128i if_x, __m128i otherwise) {
      return _mm_or_si128(_mm_and_si128(x_lanes, if_x), _mm_andnot_si128(x_lanes, otherwise));
    };
    Store(x_out + i, select(c, same_row));
    Store(g_out + i, select(g_at_rb, c));
    Store(y_out + i, select(diagonal, same_column));
  }
}

// Even and odd lanes of 16 values (two vectors), each as 8 (values 0-32767).
inline void Deinterleave(__m128i a, __m128i b, __m128i* even, __m128i* odd) {
  *even = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                          _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
  *odd = _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16));
}

void BinSse2(const int16_t* top, const int16_t* bottom, uint32_t x0, uint32_t n, bool swap_columns,
             int16_t* r, int16_t* g, int16_t* b) {
  for (uint32_t i = 0; i < n; i += 8) {
    const uint64_t x = 2 * (uint64_t{x0} + i);
    __m128i top_even, top_odd, bottom_even, bottom_odd;
    Deinterleave(Load(top + x), Load(top + x + 8), &top_even, &top_odd);
    Deinterleave(Load(bottom + x), Load(bottom + x + 8), &bottom_even, &bottom_odd);
    if (swap_columns) {
      std::swap(top_even, top_odd);
      std::swap(bottom_even, bottom_odd);
    }
    Store(r + i, top_even);
    Store(g + i, Avg(top_odd, bottom_even));
    Store(b + i, bottom_odd);
  }
}

void MatrixSse2(const int16_t* r, const int16_t* g, const int16_t* b, uint32_t n,
                const MatrixParams& p, uint16_t* ir, uint16_t* ig, uint16_t* ib) {
  __m128i rg[3], b1[3];
  for (int i = 0; i < 3; ++i) {
    rg[i] = _mm_set1_epi32(
        static_cast<int32_t>(static_cast<uint16_t>(p.k[i][0]) |
                             static_cast<uint32_t>(static_cast<uint16_t>(p.k[i][1])) << 16));
    b1[i] = _mm_set1_epi32(
        static_cast<int32_t>(static_cast<uint16_t>(p.k[i][2]) |
                             static_cast<uint32_t>(static_cast<uint16_t>(p.bias)) << 16));
  }
  const __m128i ones = _mm_set1_epi16(1), top = _mm_set1_epi16(kIndexMax);
  const __m128i shift = _mm_cvtsi32_si128(p.shift);
  uint16_t* out[3] = {ir, ig, ib};
  for (uint32_t x = 0; x < n; x += 8) {
    const __m128i vr = Load(r + x), vg = Load(g + x), vb = Load(b + x);
    const __m128i rg_lo = _mm_unpacklo_epi16(vr, vg), rg_hi = _mm_unpackhi_epi16(vr, vg);
    const __m128i b1_lo = _mm_unpacklo_epi16(vb, ones), b1_hi = _mm_unpackhi_epi16(vb, ones);
    for (int i = 0; i < 3; ++i) {
      const __m128i lo = _mm_sra_epi32(
          _mm_add_epi32(_mm_madd_epi16(rg_lo, rg[i]), _mm_madd_epi16(b1_lo, b1[i])), shift);
      const __m128i hi = _mm_sra_epi32(
          _mm_add_epi32(_mm_madd_epi16(rg_hi, rg[i]), _mm_madd_epi16(b1_hi, b1[i])), shift);
      const __m128i v =
          _mm_min_epi16(_mm_max_epi16(_mm_packs_epi32(lo, hi), _mm_setzero_si128()), top);
      Store(out[i] + x, v);
    }
  }
}

// 16 pixels of R'G'B' to 64 bytes of RGBx.
void RgbxSse2(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out) {
  const __m128i x = _mm_set1_epi8(-1);
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i vr = Load(r + i), vg = Load(g + i), vb = Load(b + i);
    const __m128i rg_lo = _mm_unpacklo_epi8(vr, vg), rg_hi = _mm_unpackhi_epi8(vr, vg);
    const __m128i bx_lo = _mm_unpacklo_epi8(vb, x), bx_hi = _mm_unpackhi_epi8(vb, x);
    uint8_t* o = out + 4 * uint64_t{i};
    Store(o, _mm_unpacklo_epi16(rg_lo, bx_lo));
    Store(o + 16, _mm_unpackhi_epi16(rg_lo, bx_lo));
    Store(o + 32, _mm_unpacklo_epi16(rg_hi, bx_hi));
    Store(o + 48, _mm_unpackhi_epi16(rg_hi, bx_hi));
  }
  RgbxPortable(r + i, g + i, b + i, n - i, out + 4 * uint64_t{i});
}

// (wr r + wg g + wb b + 128) >> 8 of eight 16-bit values of each colour.
inline __m128i Weighted8(__m128i r, __m128i g, __m128i b, __m128i wr, __m128i wg, __m128i wb) {
  const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(r, wr), _mm_mullo_epi16(g, wg));
  return _mm_srli_epi16(
      _mm_add_epi16(_mm_add_epi16(sum, _mm_mullo_epi16(b, wb)), _mm_set1_epi16(128)), 8);
}

// The same for 16 bytes of each colour.
inline __m128i Weighted(__m128i r, __m128i g, __m128i b, __m128i wr, __m128i wg, __m128i wb) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = Weighted8(_mm_unpacklo_epi8(r, zero), _mm_unpacklo_epi8(g, zero),
                               _mm_unpacklo_epi8(b, zero), wr, wg, wb);
  const __m128i hi = Weighted8(_mm_unpackhi_epi8(r, zero), _mm_unpackhi_epi8(g, zero),
                               _mm_unpackhi_epi8(b, zero), wr, wg, wb);
  return _mm_packus_epi16(lo, hi);
}

// The eight 2x2 sums of 16 bytes of two rows, as 16-bit values.
inline __m128i BlockSums(const uint8_t* top, const uint8_t* bottom) {
  const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi16(1);
  const __m128i t = Load(top), d = Load(bottom);
  const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(t, zero), _mm_unpacklo_epi8(d, zero));
  const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(t, zero), _mm_unpackhi_epi8(d, zero));
  return _mm_packs_epi32(_mm_madd_epi16(lo, ones), _mm_madd_epi16(hi, ones));
}

// ((k0 r4 + k1 g4 + k2 b4 + 512) >> 10) + 128 for eight blocks, as bytes.
inline __m128i ChromaOf(__m128i r4, __m128i g4, __m128i b4, int16_t k0, int16_t k1, int16_t k2) {
  const __m128i rg_k = _mm_set1_epi32(
      static_cast<int32_t>(static_cast<uint16_t>(k0) | uint32_t{static_cast<uint16_t>(k1)} << 16));
  const __m128i b1_k =
      _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(k2) | uint32_t{512} << 16));
  const __m128i ones = _mm_set1_epi16(1), offset = _mm_set1_epi32(128);
  auto half = [&](__m128i rg, __m128i b1) {
    const __m128i sum = _mm_add_epi32(_mm_madd_epi16(rg, rg_k), _mm_madd_epi16(b1, b1_k));
    return _mm_add_epi32(_mm_srai_epi32(sum, 10), offset);
  };
  const __m128i lo = half(_mm_unpacklo_epi16(r4, g4), _mm_unpacklo_epi16(b4, ones));
  const __m128i hi = half(_mm_unpackhi_epi16(r4, g4), _mm_unpackhi_epi16(b4, ones));
  const __m128i words = _mm_packs_epi32(lo, hi);
  return _mm_packus_epi16(words, words);
}

void ChromaSse2(const uint8_t* const top[3], const uint8_t* const bottom[3], uint32_t blocks,
                uint8_t* cb, uint8_t* cr) {
  for (uint32_t i = 0; i < blocks; i += 8) {
    const uint64_t x = 2 * uint64_t{i};
    const __m128i r4 = BlockSums(top[0] + x, bottom[0] + x);
    const __m128i g4 = BlockSums(top[1] + x, bottom[1] + x);
    const __m128i b4 = BlockSums(top[2] + x, bottom[2] + x);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cb + i), ChromaOf(r4, g4, b4, -38, -74, 112));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cr + i), ChromaOf(r4, g4, b4, 112, -94, -18));
  }
}

void LumaXSse2(const uint8_t* pixels, uint32_t n, bool bgr, uint8_t* out) {
  // Per pixel, 16-bit lanes (first, third) and (second, fourth) byte,
  // each pair weighted and summed by a multiply-add.
  const __m128i bytes = _mm_set1_epi32(0x00FF00FF);
  const __m128i outer = bgr ? _mm_set1_epi32(29 | 77 << 16) : _mm_set1_epi32(77 | 29 << 16);
  const __m128i inner = _mm_set1_epi32(150), round = _mm_set1_epi32(128);
  auto four = [&](const uint8_t* p) {
    const __m128i v = Load(p);
    const __m128i sum =
        _mm_add_epi32(_mm_madd_epi16(_mm_and_si128(v, bytes), outer),
                      _mm_madd_epi16(_mm_and_si128(_mm_srli_epi32(v, 8), bytes), inner));
    return _mm_srli_epi32(_mm_add_epi32(sum, round), 8);
  };
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8_t* p = pixels + 4 * uint64_t{i};
    const __m128i lo = _mm_packs_epi32(four(p), four(p + 16));
    const __m128i hi = _mm_packs_epi32(four(p + 32), four(p + 48));
    Store(out + i, _mm_packus_epi16(lo, hi));
  }
  LumaXPortable(pixels + 4 * uint64_t{i}, n - i, bgr, out + i);
}

void LumaSse2(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out) {
  const __m128i wr = _mm_set1_epi16(77), wg = _mm_set1_epi16(150), wb = _mm_set1_epi16(29);
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16)
    Store(out + i, Weighted(Load(r + i), Load(g + i), Load(b + i), wr, wg, wb));
  LumaPortable(r + i, g + i, b + i, n - i, out + i);
}

void Luma601Sse2(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out) {
  const __m128i wr = _mm_set1_epi16(66), wg = _mm_set1_epi16(129), wb = _mm_set1_epi16(25);
  const __m128i sixteen = _mm_set1_epi8(16);
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    Store(out + i,
          _mm_add_epi8(Weighted(Load(r + i), Load(g + i), Load(b + i), wr, wg, wb), sixteen));
  }
  Luma601Portable(r + i, g + i, b + i, n - i, out + i);
}

constexpr Kernels kSse2 = {NormaliseSse2,  DemosaicSse2, BinSse2,    MatrixSse2, TablePortable,
                           TableXPortable, nullptr,      nullptr,    RgbxSse2,   ChromaSse2,
                           LumaXSse2,      LumaSse2,     Luma601Sse2};

// ---------------------------------------------------------------------------
// AVX2: sixteen samples a vector; the byte writers stay SSE2's.

#define TALON_AVX2 __attribute__((target("avx2")))

TALON_AVX2 inline __m256i Load256(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
TALON_AVX2 inline void Store256(void* p, __m256i v) {
  _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}

TALON_AVX2 inline __m256i Unit256(__m256i v, __m256i zero, __m256i one) {
  return _mm256_min_epi16(_mm256_max_epi16(v, zero), one);
}

TALON_AVX2 void NormaliseAvx2(const uint16_t* in, uint32_t n, const NormaliseParams& p,
                              int16_t* out) {
  const __m256i white = _mm256_set1_epi16(static_cast<int16_t>(p.white));
  const __m256i black = _mm256_set1_epi16(static_cast<int16_t>(p.black));
  const __m256 scale = _mm256_setr_ps(p.scale[0], p.scale[1], p.scale[0], p.scale[1], p.scale[0],
                                      p.scale[1], p.scale[0], p.scale[1]);
  const __m256 half = _mm256_set1_ps(0.5f), top = _mm256_set1_ps(32767.0f);
  for (uint32_t x = 0; x < n; x += 16) {
    const __m256i above = _mm256_subs_epu16(_mm256_min_epu16(Load256(in + x), white), black);
    const __m256 lo = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(above)));
    const __m256 hi = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(above, 1)));
    const __m256i vlo =
        _mm256_cvttps_epi32(_mm256_min_ps(_mm256_add_ps(_mm256_mul_ps(lo, scale), half), top));
    const __m256i vhi =
        _mm256_cvttps_epi32(_mm256_min_ps(_mm256_add_ps(_mm256_mul_ps(hi, scale), half), top));
    Store256(out + x,
             _mm256_permute4x64_epi64(_mm256_packs_epi32(vlo, vhi), _MM_SHUFFLE(3, 1, 2, 0)));
  }
}

TALON_AVX2 void DemosaicAvx2(const int16_t* const rows[5], uint32_t x0, uint32_t n, bool odd_first,
                             int16_t* x_out, int16_t* g_out, int16_t* y_out) {
  const __m256i one = _mm256_set1_epi16(kOne), zero = _mm256_setzero_si256();
  const __m256i odd = _mm256_set1_epi32(static_cast<int32_t>(0xFFFF0000u));
  const __m256i x_lanes = odd_first ? odd : _mm256_xor_si256(odd, _mm256_set1_epi16(-1));
  for (uint32_t i = 0; i < n; i += 16) {
    const int64_t x = int64_t{x0} + i;
    const __m256i c = Load256(rows[2] + x);
    const __m256i h1 = _mm256_avg_epu16(Load256(rows[2] + x - 1), Load256(rows[2] + x + 1));
    const __m256i v1 = _mm256_avg_epu16(Load256(rows[1] + x), Load256(rows[3] + x));
    const __m256i h2 = _mm256_avg_epu16(Load256(rows[2] + x - 2), Load256(rows[2] + x + 2));
    const __m256i v2 = _mm256_avg_epu16(Load256(rows[0] + x), Load256(rows[4] + x));
    const __m256i d1 =
        _mm256_avg_epu16(_mm256_avg_epu16(Load256(rows[1] + x - 1), Load256(rows[1] + x + 1)),
                         _mm256_avg_epu16(Load256(rows[3] + x - 1), Load256(rows[3] + x + 1)));
    const __m256i m1 = _mm256_avg_epu16(h1, v1), m2 = _mm256_avg_epu16(h2, v2);
    const __m256i c_m2 = _mm256_sub_epi16(c, m2);
    const __m256i from_d1 = _mm256_srai_epi16(_mm256_sub_epi16(c, d1), 1);
    const __m256i g_at_rb = _mm256_adds_epi16(m1, _mm256_srai_epi16(c_m2, 1));
    const __m256i same_row = _mm256_adds_epi16(
        h1,
        _mm256_add_epi16(_mm256_add_epi16(from_d1, _mm256_srai_epi16(_mm256_sub_epi16(c, h2), 2)),
                         _mm256_srai_epi16(_mm256_sub_epi16(v2, c), 3)));
    const __m256i same_column = _mm256_adds_epi16(
        v1,
        _mm256_add_epi16(_mm256_add_epi16(from_d1, _mm256_srai_epi16(_mm256_sub_epi16(c, v2), 2)),
                         _mm256_srai_epi16(_mm256_sub_epi16(h2, c), 3)));
    const __m256i diagonal = _mm256_adds_epi16(
        d1, _mm256_add_epi16(_mm256_srai_epi16(c_m2, 1), _mm256_srai_epi16(c_m2, 2)));
    // c is already 0-1; clamping after the blend clamps the rest.
    Store256(x_out + i, Unit256(_mm256_blendv_epi8(same_row, c, x_lanes), zero, one));
    Store256(g_out + i, Unit256(_mm256_blendv_epi8(c, g_at_rb, x_lanes), zero, one));
    Store256(y_out + i, Unit256(_mm256_blendv_epi8(same_column, diagonal, x_lanes), zero, one));
  }
}

TALON_AVX2 void MatrixAvx2(const int16_t* r, const int16_t* g, const int16_t* b, uint32_t n,
                           const MatrixParams& p, uint16_t* ir, uint16_t* ig, uint16_t* ib) {
  __m256i rg[3], b1[3];
  for (int i = 0; i < 3; ++i) {
    rg[i] = _mm256_set1_epi32(static_cast<int32_t>(
        static_cast<uint16_t>(p.k[i][0]) | uint32_t{static_cast<uint16_t>(p.k[i][1])} << 16));
    b1[i] = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(p.k[i][2]) |
                                                   uint32_t{static_cast<uint16_t>(p.bias)} << 16));
  }
  const __m256i ones = _mm256_set1_epi16(1), top = _mm256_set1_epi16(kIndexMax);
  const __m128i shift = _mm_cvtsi32_si128(p.shift);
  uint16_t* out[3] = {ir, ig, ib};
  for (uint32_t x = 0; x < n; x += 16) {
    const __m256i vr = Load256(r + x), vg = Load256(g + x), vb = Load256(b + x);
    // In-lane unpacks, undone by the in-lane pack.
    const __m256i rg_lo = _mm256_unpacklo_epi16(vr, vg), rg_hi = _mm256_unpackhi_epi16(vr, vg);
    const __m256i b1_lo = _mm256_unpacklo_epi16(vb, ones);
    const __m256i b1_hi = _mm256_unpackhi_epi16(vb, ones);
#pragma GCC unroll 3
    for (int i = 0; i < 3; ++i) {
      const __m256i lo = _mm256_sra_epi32(
          _mm256_add_epi32(_mm256_madd_epi16(rg_lo, rg[i]), _mm256_madd_epi16(b1_lo, b1[i])),
          shift);
      const __m256i hi = _mm256_sra_epi32(
          _mm256_add_epi32(_mm256_madd_epi16(rg_hi, rg[i]), _mm256_madd_epi16(b1_hi, b1[i])),
          shift);
      const __m256i v = _mm256_min_epi16(
          _mm256_max_epi16(_mm256_packs_epi32(lo, hi), _mm256_setzero_si256()), top);
      Store256(out[i] + x, v);
    }
  }
}

#undef TALON_AVX2

constexpr Kernels kAvx2 = {NormaliseAvx2,  DemosaicAvx2, BinSse2,    MatrixAvx2, TablePortable,
                           TableXPortable, nullptr,      nullptr,    RgbxSse2,   ChromaSse2,
                           LumaXSse2,      LumaSse2,     Luma601Sse2};

// ---------------------------------------------------------------------------
// AVX-512 (F, BW, VBMI and VNNI): 32 samples a vector, for the black level and
// white balance, the demosaic, the matrix with the transfer curve straight
// to RGBx, BGRx or RGB pixels, and the grid's sums; the rest is AVX2's.

// GCC 12's AVX-512 intrinsics leave unused operands "undefined" by reading
// a variable initialised with itself, which -Wmaybe-uninitialized reports
// wherever they are inlined.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define TALON_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vnni")))
#define TALON_AVX512_VBMI __attribute__((target("avx2,avx512f,avx512bw,avx512vnni,avx512vbmi")))

TALON_AVX512 inline __m512i Load512(const void* p) { return _mm512_loadu_si512(p); }
TALON_AVX512 inline void Store512(void* p, __m512i v) { _mm512_storeu_si512(p, v); }

TALON_AVX512 void DemosaicAvx512(const int16_t* const rows[5], uint32_t x0, uint32_t n,
                                 bool odd_first, int16_t* x_out, int16_t* g_out, int16_t* y_out) {
  const __m512i one = _mm512_set1_epi16(kOne), zero = _mm512_setzero_si512();
  // Lanes of colour x (x0 is even) take c, g_at_rb and diagonal.
  const __mmask32 x_lanes = odd_first ? 0xAAAAAAAAu : 0x55555555u;
  auto unit = [&](__m512i v)
                  TALON_AVX512 { return _mm512_min_epi16(_mm512_max_epi16(v, zero), one); };
  for (uint32_t i = 0; i < n; i += 32) {
    const int64_t x = int64_t{x0} + i;
    const __m512i c = Load512(rows[2] + x);
    const __m512i h1 = _mm512_avg_epu16(Load512(rows[2] + x - 1), Load512(rows[2] + x + 1));
    const __m512i v1 = _mm512_avg_epu16(Load512(rows[1] + x), Load512(rows[3] + x));
    const __m512i h2 = _mm512_avg_epu16(Load512(rows[2] + x - 2), Load512(rows[2] + x + 2));
    const __m512i v2 = _mm512_avg_epu16(Load512(rows[0] + x), Load512(rows[4] + x));
    const __m512i d1 =
        _mm512_avg_epu16(_mm512_avg_epu16(Load512(rows[1] + x - 1), Load512(rows[1] + x + 1)),
                         _mm512_avg_epu16(Load512(rows[3] + x - 1), Load512(rows[3] + x + 1)));
    const __m512i m1 = _mm512_avg_epu16(h1, v1), m2 = _mm512_avg_epu16(h2, v2);
    const __m512i c_m2 = _mm512_sub_epi16(c, m2);
    const __m512i from_d1 = _mm512_srai_epi16(_mm512_sub_epi16(c, d1), 1);
    const __m512i g_at_rb = _mm512_adds_epi16(m1, _mm512_srai_epi16(c_m2, 1));
    const __m512i same_row = _mm512_adds_epi16(
        h1,
        _mm512_add_epi16(_mm512_add_epi16(from_d1, _mm512_srai_epi16(_mm512_sub_epi16(c, h2), 2)),
                         _mm512_srai_epi16(_mm512_sub_epi16(v2, c), 3)));
    const __m512i same_column = _mm512_adds_epi16(
        v1,
        _mm512_add_epi16(_mm512_add_epi16(from_d1, _mm512_srai_epi16(_mm512_sub_epi16(c, v2), 2)),
                         _mm512_srai_epi16(_mm512_sub_epi16(h2, c), 3)));
    const __m512i diagonal = _mm512_adds_epi16(
        d1, _mm512_add_epi16(_mm512_srai_epi16(c_m2, 1), _mm512_srai_epi16(c_m2, 2)));
    // c is already 0-1; clamping after the blend clamps the rest.
    Store512(x_out + i, unit(_mm512_mask_blend_epi16(x_lanes, same_row, c)));
    Store512(g_out + i, unit(_mm512_mask_blend_epi16(x_lanes, c, g_at_rb)));
    Store512(y_out + i, unit(_mm512_mask_blend_epi16(x_lanes, same_column, diagonal)));
  }
}

TALON_AVX512 void NormaliseAvx512(const uint16_t* in, uint32_t n, const NormaliseParams& p,
                                  int16_t* out) {
  const __m256i white = _mm256_set1_epi16(static_cast<int16_t>(p.white));
  const __m256i black = _mm256_set1_epi16(static_cast<int16_t>(p.black));
  const float a = p.scale[0], b = p.scale[1];
  const __m512 scale = _mm512_setr_ps(a, b, a, b, a, b, a, b, a, b, a, b, a, b, a, b);
  const __m512 half = _mm512_set1_ps(0.5f), top = _mm512_set1_ps(32767.0f);
  // The qwords of the in-lane pack of samples 0-15 and 16-31, in order.
  const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
  auto sixteen = [&](const uint16_t* at) TALON_AVX512 {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i above = _mm256_subs_epu16(_mm256_min_epu16(v, white), black);
    // Rounded multiply and add (not fused), as the plain kernel computes.
    const __m512 f = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(above));
    const __m512 scaled = _mm512_add_round_ps(
        _mm512_mul_round_ps(f, scale, _MM_FROUND_CUR_DIRECTION), half, _MM_FROUND_CUR_DIRECTION);
    return _mm512_cvttps_epi32(_mm512_min_ps(scaled, top));
  };
  for (uint32_t x = 0; x < n; x += 32) {
    const __m512i packed = _mm512_packs_epi32(sixteen(in + x), sixteen(in + x + 16));
    Store512(out + x, _mm512_permutexvar_epi64(order, packed));
  }
}

// The transfer table's segments in registers.
struct Curve512 {
  __m512i fine_base[2], fine_slope[2], coarse_base[2], coarse_slope[2];
};

TALON_AVX512 inline Curve512 LoadCurve512(const TransferTable& t) {
  Curve512 c;
  for (int h = 0; h < 2; ++h) {
    c.fine_base[h] = Load512(t.fine_base + 32 * h);
    c.fine_slope[h] = Load512(t.fine_slope + 32 * h);
    c.coarse_base[h] = Load512(t.coarse_base + 32 * h);
    c.coarse_slope[h] = Load512(t.coarse_slope + 32 * h);
  }
  return c;
}

// CurveCode of 32 indices (16-bit lanes).
TALON_AVX512 inline __m512i Codes512(__m512i i, const Curve512& c) {
  const __mmask32 fine = _mm512_cmplt_epu16_mask(i, _mm512_set1_epi16(kFineEnd));
  const __m512i s = _mm512_mask_srli_epi16(_mm512_srli_epi16(i, 6), fine, i, 2);
  const __m512i u = _mm512_mask_slli_epi16(_mm512_slli_epi16(i, 10), fine, i, 14);
  auto pick = [&](const __m512i* coarse, const __m512i* fine_table) TALON_AVX512 {
    return _mm512_mask_mov_epi16(_mm512_permutex2var_epi16(coarse[0], s, coarse[1]), fine,
                                 _mm512_permutex2var_epi16(fine_table[0], s, fine_table[1]));
  };
  const __m512i base = pick(c.coarse_base, c.fine_base);
  const __m512i slope = pick(c.coarse_slope, c.fine_slope);
  return _mm512_srli_epi16(_mm512_add_epi16(base, _mm512_mulhi_epu16(slope, u)), 6);
}

// 32 pixels from their first, second and third codes (16-bit lanes).
TALON_AVX512 inline void StorePixels512(__m512i first, __m512i second, __m512i third,
                                        uint8_t* out) {
  const __m512i ab = _mm512_or_si512(first, _mm512_slli_epi16(second, 8));
  const __m512i cx = _mm512_or_si512(third, _mm512_set1_epi16(static_cast<int16_t>(0xFF00)));
  // In-lane: lo holds pixels 0-3, 8-11, 16-19, 24-27; hi the other fours.
  const __m512i lo = _mm512_unpacklo_epi16(ab, cx), hi = _mm512_unpackhi_epi16(ab, cx);
  Store512(out, _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), hi));
  Store512(out + 64,
           _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15), hi));
}

TALON_AVX512 void TableXAvx512(const uint16_t* first, const uint16_t* second, const uint16_t* third,
                               uint32_t n, const TransferTable& table, uint8_t* out) {
  const Curve512 curve = LoadCurve512(table);
  uint32_t i = 0;
  for (; i + 32 <= n; i += 32) {
    StorePixels512(Codes512(Load512(first + i), curve), Codes512(Load512(second + i), curve),
                   Codes512(Load512(third + i), curve), out + 4 * uint64_t{i});
  }
  TableXPortable(first + i, second + i, third + i, n - i, table, out + 4 * uint64_t{i});
}

// 32 pixels of RGB (96 bytes) from their R, G, B codes (16-bit lanes).
TALON_AVX512_VBMI inline void StoreRgb512(__m512i r, __m512i g, __m512i b, uint8_t* out) {
  // Byte j of the picture: of pixel j / 3, from the (R, G) pairs or B's.
  struct Picks {
    uint8_t at[128];
    constexpr Picks() : at() {
      for (int j = 0; j < 96; ++j) {
        const int pixel = j / 3, colour = j % 3;
        at[j] = static_cast<uint8_t>(colour < 2 ? 2 * pixel + colour : 64 + 2 * pixel);
      }
    }
  };
  static constexpr Picks kPicks;
  const __m512i rg = _mm512_or_si512(r, _mm512_slli_epi16(g, 8));
  Store512(out, _mm512_permutex2var_epi8(rg, Load512(kPicks.at), b));
  _mm512_mask_storeu_epi8(out + 64, 0xFFFFFFFFu,
                          _mm512_permutex2var_epi8(rg, Load512(kPicks.at + 64), b));
}

// The matrix's and the curve's constants.
struct MatrixCurve512 {
  __m512i rg[3], b1[3];
  __m128i shift;
  Curve512 curve;
};

TALON_AVX512 inline MatrixCurve512 MakeMatrixCurve512(const MatrixParams& p,
                                                      const TransferTable& table) {
  MatrixCurve512 m;
  for (int i = 0; i < 3; ++i) {
    m.rg[i] = _mm512_set1_epi32(static_cast<int32_t>(
        static_cast<uint16_t>(p.k[i][0]) | uint32_t{static_cast<uint16_t>(p.k[i][1])} << 16));
    m.b1[i] = _mm512_set1_epi32(static_cast<int32_t>(
        static_cast<uint16_t>(p.k[i][2]) | uint32_t{static_cast<uint16_t>(p.bias)} << 16));
  }
  m.shift = _mm_cvtsi32_si128(p.shift);
  m.curve = LoadCurve512(table);
  return m;
}

// The R, G, B codes of the 32 pixels at r, g, b (16-bit lanes, in order).
struct Codes3 {
  __m512i c[3];
};

TALON_AVX512 inline Codes3 MatrixCodes512(const MatrixCurve512& m, const int16_t* r,
                                          const int16_t* g, const int16_t* b) {
  const __m512i ones = _mm512_set1_epi16(1);
  const __m512i top = _mm512_set1_epi16(kIndexMax);
  const __m512i vr = Load512(r), vg = Load512(g), vb = Load512(b);
  // In-lane unpacks, undone by the in-lane pack.
  const __m512i rg_lo = _mm512_unpacklo_epi16(vr, vg), rg_hi = _mm512_unpackhi_epi16(vr, vg);
  const __m512i b1_lo = _mm512_unpacklo_epi16(vb, ones);
  const __m512i b1_hi = _mm512_unpackhi_epi16(vb, ones);
  Codes3 codes;
#pragma GCC unroll 3
  for (int c = 0; c < 3; ++c) {
    // The sums with VNNI's multiply-add-accumulate.
    const __m512i lo = _mm512_sra_epi32(
        _mm512_dpwssd_epi32(_mm512_madd_epi16(rg_lo, m.rg[c]), b1_lo, m.b1[c]), m.shift);
    const __m512i hi = _mm512_sra_epi32(
        _mm512_dpwssd_epi32(_mm512_madd_epi16(rg_hi, m.rg[c]), b1_hi, m.b1[c]), m.shift);
    // The unsigned pack clamps below at 0.
    codes.c[c] = Codes512(_mm512_min_epu16(_mm512_packus_epi32(lo, hi), top), m.curve);
  }
  return codes;
}

TALON_AVX512 void MatrixXAvx512(const int16_t* r, const int16_t* g, const int16_t* b, uint32_t n,
                                const MatrixParams& p, const TransferTable& table, bool bgr,
                                uint8_t* out) {
  const MatrixCurve512 m = MakeMatrixCurve512(p, table);
  const int first = bgr ? 2 : 0;
  uint32_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const Codes3 codes = MatrixCodes512(m, r + i, g + i, b + i);
    StorePixels512(codes.c[first], codes.c[1], codes.c[2 - first], out + 4 * uint64_t{i});
  }
  // GCC leaves out the vzeroupper here, and the plain code after would
  // wait on the registers' upper halves.
  _mm256_zeroupper();
  uint16_t indices[3][32];
  MatrixPortable(r + i, g + i, b + i, n - i, p, indices[0], indices[1], indices[2]);
  TableXPortable(indices[first], indices[1], indices[2 - first], n - i, table,
                 out + 4 * uint64_t{i});
}

TALON_AVX512_VBMI void MatrixRgbAvx512(const int16_t* r, const int16_t* g, const int16_t* b,
                                       uint32_t n, const MatrixParams& p,
                                       const TransferTable& table, uint8_t* out) {
  const MatrixCurve512 m = MakeMatrixCurve512(p, table);
  uint32_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const Codes3 codes = MatrixCodes512(m, r + i, g + i, b + i);
    StoreRgb512(codes.c[0], codes.c[1], codes.c[2], out + 3 * uint64_t{i});
  }
  _mm256_zeroupper();  // as in MatrixXAvx512
  uint16_t indices[3][32];
  MatrixPortable(r + i, g + i, b + i, n - i, p, indices[0], indices[1], indices[2]);
  for (uint32_t j = 0; j < n - i; ++j) {
    for (int c = 0; c < 3; ++c) out[3 * (uint64_t{i} + j) + c] = table.codes[indices[c][j]];
  }
}

#undef TALON_AVX512
#undef TALON_AVX512_VBMI
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

constexpr Kernels kAvx512 = {NormaliseAvx512, DemosaicAvx512, BinSse2,       MatrixAvx2,
                             TablePortable,   TableXAvx512,   MatrixXAvx512, MatrixRgbAvx512,
                             RgbxSse2,        ChromaSse2,     LumaXSse2,     LumaSse2,
                             Luma601Sse2};

#elif defined(__aarch64__)

// ---------------------------------------------------------------------------
// NEON: eight samples a vector.

inline int16x8_t Avg(int16x8_t a, int16x8_t b) {
  return vreinterpretq_s16_u16(vrhaddq_u16(vreinterpretq_u16_s16(a), vreinterpretq_u16_s16(b)));
}

void NormaliseNeon(const uint16_t* in, uint32_t n, const NormaliseParams& p, int16_t* out) {
  const uint16x8_t white = vdupq_n_u16(p.white), black = vdupq_n_u16(p.black);
  const float scales[4] = {p.scale[0], p.scale[1], p.scale[0], p.scale[1]};
  const float32x4_t scale = vld1q_f32(scales);
  const float32x4_t half = vdupq_n_f32(0.5f), top = vdupq_n_f32(32767.0f);
  for (uint32_t x = 0; x < n; x += 8) {
    const uint16x8_t above = vqsubq_u16(vminq_u16(vld1q_u16(in + x), white), black);
    const float32x4_t lo = vcvtq_f32_u32(vmovl_u16(vget_low_u16(above)));
    const float32x4_t hi = vcvtq_f32_u32(vmovl_high_u16(above));
    const int32x4_t vlo = vcvtq_s32_f32(vminq_f32(vaddq_f32(vmulq_f32(lo, scale), half), top));
    const int32x4_t vhi = vcvtq_s32_f32(vminq_f32(vaddq_f32(vmulq_f32(hi, scale), half), top));
    vst1q_s16(out + x, vcombine_s16(vqmovn_s32(vlo), vqmovn_s32(vhi)));
  }
}

void DemosaicNeon(const int16_t* const rows[5], uint32_t x0, uint32_t n, bool odd_first,
                  int16_t* x_out, int16_t* g_out, int16_t* y_out) {
  const int16x8_t one = vdupq_n_s16(kOne), zero = vdupq_n_s16(0);
  static const uint16_t kOdd[8] = {0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF, 0, 0xFFFF};
  const uint16x8_t odd = vld1q_u16(kOdd);
  const uint16x8_t x_lanes = odd_first ? odd : vmvnq_u16(odd);
  for (uint32_t i = 0; i < n; i += 8) {
    const int64_t x = int64_t{x0} + i;
    const int16x8_t c = vld1q_s16(rows[2] + x);
    const int16x8_t h1 = Avg(vld1q_s16(rows[2] + x - 1), vld1q_s16(rows[2] + x + 1));
    const int16x8_t v1 = Avg(vld1q_s16(rows[1] + x), vld1q_s16(rows[3] + x));
    const int16x8_t h2 = Avg(vld1q_s16(rows[2] + x - 2), vld1q_s16(rows[2] + x + 2));
    const int16x8_t v2 = Avg(vld1q_s16(rows[0] + x), vld1q_s16(rows[4] + x));
    const int16x8_t d1 = Avg(Avg(vld1q_s16(rows[1] + x - 1), vld1q_s16(rows[1] + x + 1)),
                             Avg(vld1q_s16(rows[3] + x - 1), vld1q_s16(rows[3] + x + 1)));
    const int16x8_t m1 = Avg(h1, v1), m2 = Avg(h2, v2);
    const int16x8_t c_m2 = vsubq_s16(c, m2);
    const int16x8_t from_d1 = vshrq_n_s16(vsubq_s16(c, d1), 1);
    const int16x8_t g_at_rb = vqaddq_s16(m1, vshrq_n_s16(c_m2, 1));
    const int16x8_t same_row =
        vqaddq_s16(h1, vaddq_s16(vaddq_s16(from_d1, vshrq_n_s16(vsubq_s16(c, h2), 2)),
                                 vshrq_n_s16(vsubq_s16(v2, c), 3)));
    const int16x8_t same_column =
        vqaddq_s16(v1, vaddq_s16(vaddq_s16(from_d1, vshrq_n_s16(vsubq_s16(c, v2), 2)),
                                 vshrq_n_s16(vsubq_s16(h2, c), 3)));
    const int16x8_t diagonal =
        vqaddq_s16(d1, vaddq_s16(vshrq_n_s16(c_m2, 1), vshrq_n_s16(c_m2, 2)));
    auto unit = [&](int16x8_t v) { return vminq_s16(vmaxq_s16(v, zero), one); };
    vst1q_s16(x_out + i, unit(vbslq_s16(x_lanes, c, same_row)));
    vst1q_s16(g_out + i, unit(vbslq_s16(x_lanes, g_at_rb, c)));
    vst1q_s16(y_out + i, unit(vbslq_s16(x_lanes, diagonal, same_column)));
  }
}

void BinNeon(const int16_t* top, const int16_t* bottom, uint32_t x0, uint32_t n, bool swap_columns,
             int16_t* r, int16_t* g, int16_t* b) {
  const int first = swap_columns ? 1 : 0;
  for (uint32_t i = 0; i < n; i += 8) {
    const uint64_t x = 2 * (uint64_t{x0} + i);
    const int16x8x2_t t = vld2q_s16(top + x), d = vld2q_s16(bottom + x);  // even, odd
    vst1q_s16(r + i, t.val[first]);
    vst1q_s16(g + i, Avg(t.val[1 - first], d.val[first]));
    vst1q_s16(b + i, d.val[1 - first]);
  }
}

void MatrixNeon(const int16_t* r, const int16_t* g, const int16_t* b, uint32_t n,
                const MatrixParams& p, uint16_t* ir, uint16_t* ig, uint16_t* ib) {
  const int32x4_t bias = vdupq_n_s32(p.bias), shift = vdupq_n_s32(-p.shift);
  const int16x8_t top = vdupq_n_s16(kIndexMax), zero = vdupq_n_s16(0);
  uint16_t* out[3] = {ir, ig, ib};
  for (uint32_t x = 0; x < n; x += 8) {
    const int16x8_t vr = vld1q_s16(r + x), vg = vld1q_s16(g + x), vb = vld1q_s16(b + x);
    for (int i = 0; i < 3; ++i) {
      int32x4_t lo = vmlal_n_s16(bias, vget_low_s16(vr), p.k[i][0]);
      lo = vmlal_n_s16(lo, vget_low_s16(vg), p.k[i][1]);
      lo = vmlal_n_s16(lo, vget_low_s16(vb), p.k[i][2]);
      int32x4_t hi = vmlal_n_s16(bias, vget_high_s16(vr), p.k[i][0]);
      hi = vmlal_n_s16(hi, vget_high_s16(vg), p.k[i][1]);
      hi = vmlal_n_s16(hi, vget_high_s16(vb), p.k[i][2]);
      const int16x8_t v =
          vcombine_s16(vqmovn_s32(vshlq_s32(lo, shift)), vqmovn_s32(vshlq_s32(hi, shift)));
      vst1q_u16(out[i] + x, vreinterpretq_u16_s16(vminq_s16(vmaxq_s16(v, zero), top)));
    }
  }
}

void RgbxNeon(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out) {
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8x16x4_t v = {{vld1q_u8(r + i), vld1q_u8(g + i), vld1q_u8(b + i), vdupq_n_u8(255)}};
    vst4q_u8(out + 4 * uint64_t{i}, v);
  }
  RgbxPortable(r + i, g + i, b + i, n - i, out + 4 * uint64_t{i});
}

// (wr r + wg g + wb b + 128) >> 8 for 16 bytes of each colour.
inline uint8x16_t Weighted(uint8x16_t r, uint8x16_t g, uint8x16_t b, uint8_t wr, uint8_t wg,
                           uint8_t wb) {
  const uint8x8_t vr = vdup_n_u8(wr), vg = vdup_n_u8(wg), vb = vdup_n_u8(wb);
  uint16x8_t lo = vmlal_u8(vmull_u8(vget_low_u8(r), vr), vget_low_u8(g), vg);
  lo = vmlal_u8(lo, vget_low_u8(b), vb);
  uint16x8_t hi = vmlal_u8(vmull_u8(vget_high_u8(r), vr), vget_high_u8(g), vg);
  hi = vmlal_u8(hi, vget_high_u8(b), vb);
  const uint16x8_t round = vdupq_n_u16(128);
  return vcombine_u8(vshrn_n_u16(vaddq_u16(lo, round), 8), vshrn_n_u16(vaddq_u16(hi, round), 8));
}

// ((k0 r4 + k1 g4 + k2 b4 + 512) >> 10) + 128 for eight blocks, as bytes.
inline uint8x8_t ChromaOf(int16x8_t r4, int16x8_t g4, int16x8_t b4, int16_t k0, int16_t k1,
                          int16_t k2) {
  const int32x4_t round = vdupq_n_s32(512), offset = vdupq_n_s32(128);
  int32x4_t lo =
      vmlal_n_s16(vmlal_n_s16(vmlal_n_s16(round, vget_low_s16(r4), k0), vget_low_s16(g4), k1),
                  vget_low_s16(b4), k2);
  int32x4_t hi =
      vmlal_n_s16(vmlal_n_s16(vmlal_n_s16(round, vget_high_s16(r4), k0), vget_high_s16(g4), k1),
                  vget_high_s16(b4), k2);
  lo = vaddq_s32(vshrq_n_s32(lo, 10), offset);
  hi = vaddq_s32(vshrq_n_s32(hi, 10), offset);
  return vqmovun_s16(vcombine_s16(vqmovn_s32(lo), vqmovn_s32(hi)));
}

void ChromaNeon(const uint8_t* const top[3], const uint8_t* const bottom[3], uint32_t blocks,
                uint8_t* cb, uint8_t* cr) {
  for (uint32_t i = 0; i < blocks; i += 8) {
    const uint64_t x = 2 * uint64_t{i};
    int16x8_t sums[3];
    for (int c = 0; c < 3; ++c) {
      sums[c] = vreinterpretq_s16_u16(
          vaddq_u16(vpaddlq_u8(vld1q_u8(top[c] + x)), vpaddlq_u8(vld1q_u8(bottom[c] + x))));
    }
    vst1_u8(cb + i, ChromaOf(sums[0], sums[1], sums[2], -38, -74, 112));
    vst1_u8(cr + i, ChromaOf(sums[0], sums[1], sums[2], 112, -94, -18));
  }
}

void LumaXNeon(const uint8_t* pixels, uint32_t n, bool bgr, uint8_t* out) {
  uint32_t i = 0;
  const int first = bgr ? 2 : 0;
  for (; i + 16 <= n; i += 16) {
    const uint8x16x4_t v = vld4q_u8(pixels + 4 * uint64_t{i});
    vst1q_u8(out + i, Weighted(v.val[first], v.val[1], v.val[2 - first], 77, 150, 29));
  }
  LumaXPortable(pixels + 4 * uint64_t{i}, n - i, bgr, out + i);
}

void LumaNeon(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out) {
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    vst1q_u8(out + i, Weighted(vld1q_u8(r + i), vld1q_u8(g + i), vld1q_u8(b + i), 77, 150, 29));
  }
  LumaPortable(r + i, g + i, b + i, n - i, out + i);
}

void Luma601Neon(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint32_t n, uint8_t* out) {
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8x16_t y = Weighted(vld1q_u8(r + i), vld1q_u8(g + i), vld1q_u8(b + i), 66, 129, 25);
    vst1q_u8(out + i, vaddq_u8(y, vdupq_n_u8(16)));
  }
  Luma601Portable(r + i, g + i, b + i, n - i, out + i);
}

constexpr Kernels kNeon = {NormaliseNeon,  DemosaicNeon, BinNeon,    MatrixNeon, TablePortable,
                           TableXPortable, nullptr,      nullptr,    RgbxNeon,   ChromaNeon,
                           LumaXNeon,      LumaNeon,     Luma601Neon};

#endif

// ---------------------------------------------------------------------------
// The grid's sums of one raw row (Kernels::stats is per segment).

// Sums of min(s, white) - black (at least 0) over the even and the odd
// samples of `pairs` pairs, and the count of samples at or above white.
void StatsPortable(const uint16_t* s, uint32_t pairs, uint16_t white, uint16_t black,
                   uint64_t sums[2], uint64_t* clipped) {
  for (uint32_t i = 0; i < 2 * pairs; ++i) {
    const uint16_t v = std::min(s[i], white);
    sums[i & 1] += v > black ? v - black : 0;
    *clipped += s[i] >= white;
  }
}

#if defined(__x86_64__)
// The sum of eight 32-bit lanes, in 64 bits.
__attribute__((target("avx2"))) inline uint64_t Sum32Avx2(__m256i v) {
  const __m256i wide = _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(v)),
                                        _mm256_cvtepu32_epi64(_mm256_extracti128_si256(v, 1)));
  const __m128i half =
      _mm_add_epi64(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
}

__attribute__((target("avx2"))) void StatsAvx2(const uint16_t* s, uint32_t pairs, uint16_t white,
                                               uint16_t black, uint64_t sums[2],
                                               uint64_t* clipped) {
  const __m256i vwhite = _mm256_set1_epi16(static_cast<int16_t>(white));
  const __m256i vblack = _mm256_set1_epi16(static_cast<int16_t>(black));
  const __m256i low = _mm256_set1_epi32(0xFFFF);
  // 16 lanes on, then 16 off: the lanes of a last partial vector.
  static const int16_t kLanes[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                     -1, -1, -1, -1, -1, 0,  0,  0,  0,  0,  0};
  const uint32_t n = 2 * pairs;
  uint32_t x = 0;
  while (x < n) {
    // 32-bit lanes take at most 2^16 per step, 16-bit counts 1: flushed
    // well before either wraps.
    __m256i even = _mm256_setzero_si256(), odd = even, count = even;
    for (uint32_t steps = 0; steps < 16384 && x < n; ++steps, x += 16) {
      // The samples past the segment (its row has slack) are masked off.
      const __m256i lanes = _mm256_loadu_si256(
          reinterpret_cast<const __m256i*>(kLanes + 16 - std::min<uint32_t>(16, n - x)));
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + x));
      const __m256i above =
          _mm256_and_si256(_mm256_subs_epu16(_mm256_min_epu16(v, vwhite), vblack), lanes);
      even = _mm256_add_epi32(even, _mm256_and_si256(above, low));
      odd = _mm256_add_epi32(odd, _mm256_srli_epi32(above, 16));
      const __m256i at_white =
          _mm256_cmpeq_epi16(_mm256_subs_epu16(vwhite, v), _mm256_setzero_si256());
      count = _mm256_sub_epi16(count, _mm256_and_si256(at_white, lanes));
    }
    sums[0] += Sum32Avx2(even);
    sums[1] += Sum32Avx2(odd);
    *clipped += Sum32Avx2(_mm256_madd_epi16(count, _mm256_set1_epi16(1)));
  }
}
#if !defined(__clang__)  // GCC 12's AVX-512 headers, as above
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx2,avx512f,avx512bw,popcnt"))) void StatsAvx512(
    const uint16_t* s, uint32_t pairs, uint16_t white, uint16_t black, uint64_t sums[2],
    uint64_t* clipped) {
  const __m512i vwhite = _mm512_set1_epi16(static_cast<int16_t>(white));
  const __m512i vblack = _mm512_set1_epi16(static_cast<int16_t>(black));
  const __m512i low = _mm512_set1_epi32(0xFFFF);
  const uint32_t n = 2 * pairs;
  uint32_t x = 0;
  uint64_t count = 0;
  while (x < n) {
    // 32-bit lanes take at most 2^16 per step: their sum fits 32 bits.
    __m512i even = _mm512_setzero_si512(), odd = even;
    for (uint32_t steps = 0; steps < 2048 && x < n; ++steps, x += 32) {
      // The samples past the segment are not read.
      const __mmask32 lanes = n - x >= 32 ? 0xFFFFFFFFu : (1u << (n - x)) - 1;
      const __m512i v = _mm512_maskz_loadu_epi16(lanes, s + x);
      const __m512i above = _mm512_subs_epu16(_mm512_min_epu16(v, vwhite), vblack);
      even = _mm512_add_epi32(even, _mm512_and_si512(above, low));
      odd = _mm512_add_epi32(odd, _mm512_srli_epi32(above, 16));
      count +=
          static_cast<uint64_t>(__builtin_popcount(_mm512_mask_cmpge_epu16_mask(lanes, v, vwhite)));
    }
    sums[0] += static_cast<uint32_t>(_mm512_reduce_add_epi32(even));
    sums[1] += static_cast<uint32_t>(_mm512_reduce_add_epi32(odd));
  }
  *clipped += count;
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#elif defined(__aarch64__)
void StatsNeon(const uint16_t* s, uint32_t pairs, uint16_t white, uint16_t black, uint64_t sums[2],
               uint64_t* clipped) {
  const uint16x8_t vwhite = vdupq_n_u16(white), vblack = vdupq_n_u16(black);
  uint32_t i = 0;
  while (i + 8 <= pairs) {
    uint32x4_t even = vdupq_n_u32(0), odd = even;
    uint16x8_t count = vdupq_n_u16(0);
    for (uint32_t steps = 0; steps < 16384 && i + 8 <= pairs; ++steps, i += 8) {
      const uint16x8x2_t v = vld2q_u16(s + 2 * uint64_t{i});  // even, odd samples
      even = vpadalq_u16(even, vqsubq_u16(vminq_u16(v.val[0], vwhite), vblack));
      odd = vpadalq_u16(odd, vqsubq_u16(vminq_u16(v.val[1], vwhite), vblack));
      count = vsubq_u16(count, vcgeq_u16(v.val[0], vwhite));
      count = vsubq_u16(count, vcgeq_u16(v.val[1], vwhite));
    }
    sums[0] += vaddvq_u64(vpaddlq_u32(even));  // lanes up to 2^31: summed in 64 bits
    sums[1] += vaddvq_u64(vpaddlq_u32(odd));
    *clipped += vaddlvq_u16(count);
  }
  StatsPortable(s + 2 * uint64_t{i}, pairs - i, white, black, sums, clipped);
}
#endif

using StatsKernel = void (*)(const uint16_t*, uint32_t, uint16_t, uint16_t, uint64_t[2], uint64_t*);

// ---------------------------------------------------------------------------
// The band driver.

const Kernels* KernelsOf(IspKernel kernel, StatsKernel* stats) {
#if defined(__x86_64__)
  __builtin_cpu_init();
#endif
  *stats = StatsPortable;
  switch (kernel) {
    case IspKernel::kPortable:
      return &kPortable;
#if defined(__x86_64__)
    case IspKernel::kSse2:
      return &kSse2;
    case IspKernel::kAvx2:
      if (!__builtin_cpu_supports("avx2")) return nullptr;
      *stats = StatsAvx2;
      return &kAvx2;
    case IspKernel::kAvx512:
      if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("avx512f") ||
          !__builtin_cpu_supports("avx512bw") || !__builtin_cpu_supports("avx512vbmi") ||
          !__builtin_cpu_supports("avx512vnni")) {
        return nullptr;
      }
      *stats = StatsAvx512;
      return &kAvx512;
#elif defined(__aarch64__)
    case IspKernel::kNeon:
      *stats = StatsNeon;
      return &kNeon;
#endif
    default:
      return nullptr;
  }
}

// Each segment's slope (near the chord's) and base with the least
// largest error over its indices, against 64 times the exact code plus a
// half (the rounding).
void FitSegment(Transfer transfer, uint32_t first, uint32_t count, int shift, uint16_t* base,
                uint16_t* slope) {
  auto target = [&](uint32_t i) {
    return 64 * 255 * EncodeTransfer(static_cast<double>(i) / kIndexMax, transfer) + 32;
  };
  const double chord = target(first + count) - target(first);
  double best = 1e9;
  for (int k = static_cast<int>(chord) - 4; k <= static_cast<int>(chord) + 4; ++k) {
    if (k < 0) continue;
    double low = 1e9, high = -1e9;
    for (uint32_t i = first; i < first + count; ++i) {
      const uint32_t u = (i << shift) & 0xFFFF;
      const double r = target(i) - static_cast<double>(uint32_t(k) * u >> 16);
      low = std::min(low, r), high = std::max(high, r);
    }
    if (high - low < best) {
      best = high - low;
      *slope = static_cast<uint16_t>(k);
      *base = static_cast<uint16_t>(std::max(0.0, std::floor((low + high) / 2 + 0.5)));
    }
  }
}

TransferTable MakeTable(Transfer transfer) {
  TransferTable table{};
  for (uint32_t s = 0; s < 64; ++s) {
    FitSegment(transfer, 4 * s, 4, 14, &table.fine_base[s], &table.fine_slope[s]);
    if (s >= kFineEnd / 64) {
      FitSegment(transfer, 64 * s, 64, 10, &table.coarse_base[s], &table.coarse_slope[s]);
    }
  }
  for (uint32_t i = 0; i <= kIndexMax; ++i) {
    const uint32_t code = CurveCode(table, i);
    table.codes[i] = static_cast<uint8_t>(code);
    table.second[i] = code << 8;
    table.third[i] = code << 16 | 0xFF000000u;
  }
  return table;
}

const TransferTable& TableOf(Transfer transfer) {
  static const TransferTable srgb = MakeTable(Transfer::kSrgb);
  static const TransferTable linear = MakeTable(Transfer::kLinear);
  return transfer == Transfer::kSrgb ? srgb : linear;
}

// k = ccm * kIndexMax * 2^shift / kOne with the largest shift (at most 15,
// so that the rounding bias fits 16 bits) at which every k fits 16 bits
// and no row's sum can leave 32 bits. Matrices beyond that (entries over
// 2^17) are clamped.
MatrixParams MakeMatrix(const std::array<float, 9>& ccm) {
  MatrixParams p{};
  for (int shift = 15; shift >= 0; --shift) {
    const double scale = double{kIndexMax} * (1 << shift) / kOne;
    const int64_t bias = shift > 0 ? int64_t{1} << (shift - 1) : 0;
    bool fits = true;
    for (int i = 0; i < 3 && fits; ++i) {
      int64_t sum = 0;
      for (int j = 0; j < 3; ++j) {
        const double k = std::nearbyint(double{ccm[3 * i + j]} * scale);
        if (std::fabs(k) > 32767) fits = false;
        sum += fits ? std::llabs(static_cast<int64_t>(k)) : 0;
      }
      if (sum * kOne + bias > INT32_MAX) fits = false;
    }
    if (!fits && shift > 0) continue;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        p.k[i][j] = static_cast<int16_t>(
            std::clamp(std::nearbyint(double{ccm[3 * i + j]} * scale), -21844.0, 21844.0));
      }
    }
    p.bias = static_cast<int16_t>(bias);
    p.shift = shift;
    break;
  }
  return p;
}

int64_t Mirror(int64_t i, int64_t n) {
  while (i < 0 || i >= n) i = i < 0 ? -i : 2 * (n - 1) - i;
  return i;
}

// What every row of a frame shares.
struct Plan {
  const Kernels* k = nullptr;
  StatsKernel stats = nullptr;
  uint32_t bits = 0;
  NormaliseParams normalise[2]{};  // per row parity
  MatrixParams matrix{};
  const TransferTable* table = nullptr;
  std::array<uint32_t, Stats::kGridColumns + 1> columns{};  // the grid's, in 2x2 cells
  uint32_t ring_row = 0;                                    // samples of a ring row
  uint32_t byte_row = 0;                                    // bytes of an R', G' or B' row
};

Plan MakePlan(IspKernel kernel, const Frame& frame) {
  Plan plan;
  plan.k = KernelsOf(kernel, &plan.stats);
  plan.bits = frame.raw.format == RawFormat::kRaw8    ? 8
              : frame.raw.format == RawFormat::kRaw10 ? 10
                                                      : 16;
  const double range = static_cast<double>(frame.white) - frame.black;
  for (int py = 0; py < 2; ++py) {
    NormaliseParams& n = plan.normalise[py];
    n.white = static_cast<uint16_t>(frame.white);
    n.black = static_cast<uint16_t>(frame.black);
    for (int px = 0; px < 2; ++px) {
      const double scale = frame.gains[ColourAt(frame.cfa, px, py)] * kOne / range;
      n.scale[px] = static_cast<float>(std::min(scale, 1e30));
    }
  }
  plan.matrix = MakeMatrix(frame.ccm);
  plan.table = &TableOf(frame.transfer);
  // Cell x falls in column x * kGridColumns / cells: column c starts at
  // ceil(c * cells / kGridColumns).
  const uint64_t cells = frame.raw.width / 2;
  for (int c = 0; c <= Stats::kGridColumns; ++c) {
    plan.columns[c] =
        static_cast<uint32_t>((cells * c + Stats::kGridColumns - 1) / Stats::kGridColumns);
  }
  plan.ring_row = kPad + frame.raw.width + kSlack;
  plan.byte_row = frame.raw.width + kSlack;
  return plan;
}

}  // namespace

void PrepareBandScratch(const Frame& frame, BandScratch* s) {
  const uint64_t ring_row = kPad + uint64_t{frame.raw.width} + kSlack;
  s->ring.resize(5 * ring_row);
  s->samples.resize(ring_row);
  s->planes.resize(3 * uint64_t{kChunk + kSlack});
  s->indices.resize(3 * uint64_t{kChunk + kSlack});
  s->rgb8.resize(6 * (uint64_t{frame.raw.width} + kSlack));
  s->luma.resize(kChunk + kSlack);
  s->histograms.resize(4 * 256);
  s->chroma.resize(kChunk + kSlack);
}

namespace {

// The grid's sums of raw row y (its samples in `s`).
void CountRow(const Plan& plan, const Frame& frame, const uint16_t* s, uint32_t y,
              RawStats* stats) {
  const uint32_t w = frame.raw.width, quads_y = frame.raw.height / 2;
  const uint16_t white = static_cast<uint16_t>(frame.white);
  const uint16_t black = static_cast<uint16_t>(frame.black);
  uint64_t row_clipped = 0;
  if (w % 2 != 0) row_clipped += s[w - 1] >= white;
  if (y / 2 >= quads_y) {
    uint64_t sums[2] = {0, 0};
    plan.stats(s, w / 2, white, black, sums, &row_clipped);
    stats->clipped_total += row_clipped;
    return;
  }
  const uint64_t grid_row = uint64_t{y / 2} * Stats::kGridRows / quads_y;
  const int even = ColourAt(frame.cfa, 0, y), odd = ColourAt(frame.cfa, 1, y);
  for (int c = 0; c < Stats::kGridColumns; ++c) {
    const uint32_t start = plan.columns[c], end = plan.columns[c + 1];
    if (start == end) continue;
    const uint64_t cell = grid_row * Stats::kGridColumns + c;
    uint64_t sums[2] = {0, 0}, clipped = 0;
    plan.stats(s + 2 * uint64_t{start}, end - start, white, black, sums, &clipped);
    stats->sums[cell * 3 + even] += sums[0];
    stats->sums[cell * 3 + odd] += sums[1];
    stats->clipped[cell] += clipped;
    row_clipped += clipped;
    if (y % 2 == 0) stats->quads[cell] += end - start;
  }
  stats->clipped_total += row_clipped;
}

// Raw row y unpacked (into scratch->samples), counted when `count` (and the
// frame's statistics want the row), and
// normalised into `dest` (x = 0), mirrored two samples past each end.
void LoadRow(const Plan& plan, const Frame& frame, uint32_t y, bool count, BandScratch* scratch,
             int16_t* dest, RawStats* stats) {
  const auto* data = static_cast<const uint8_t*>(frame.raw.data) + y * frame.raw.stride;
  const int64_t w = frame.raw.width;
  talon_support::UnpackCsi2(data, frame.raw.stride, frame.raw.width, 1, plan.bits,
                            scratch->samples.data());
  if (count && frame.raw_stats && StatsRow(y))
    CountRow(plan, frame, scratch->samples.data(), y, stats);
  plan.k->normalise(scratch->samples.data(), frame.raw.width, plan.normalise[y & 1], dest);
  for (int64_t x : {int64_t{-2}, int64_t{-1}, w, w + 1}) dest[x] = dest[Mirror(x, w)];
}

// Adds `n` lumas to four histograms in turn: neighbours of the same luma
// would otherwise wait for each other's increment.
void CountLuma(const uint8_t* luma, uint32_t n, uint32_t* histograms) {
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++histograms[luma[i]];
    ++histograms[256 + luma[i + 1]];
    ++histograms[512 + luma[i + 2]];
    ++histograms[768 + luma[i + 3]];
  }
  for (; i < n; ++i) ++histograms[luma[i]];
}

// Output row y, pixels [x0, x0 + n), from its planar R, G, B.
void EmitChunk(const Plan& plan, const Frame& frame, uint32_t y, uint32_t x0, uint32_t n,
               const int16_t* r, const int16_t* g, const int16_t* b, bool with_histogram,
               BandScratch* scratch) {
  const Kernels& k = *plan.k;
  const uint64_t chunk = kChunk + kSlack;
  uint16_t* index = scratch->indices.data();
  const Image& out = frame.out;
  uint8_t* row = out.planes[0] + y * out.strides[0];
  const bool x_last = out.format == PixelFormat::kRgbx || out.format == PixelFormat::kBgrx;
  if (x_last) {
    const bool rgb = out.format == PixelFormat::kRgbx;
    uint8_t* pixels = row + 4 * uint64_t{x0};
    if (k.matrix_x != nullptr) {
      k.matrix_x(r, g, b, n, plan.matrix, *plan.table, !rgb, pixels);
    } else {
      k.matrix(r, g, b, n, plan.matrix, index, index + chunk, index + 2 * chunk);
      k.table_x(rgb ? index : index + 2 * chunk, index + chunk, rgb ? index + 2 * chunk : index, n,
                *plan.table, pixels);
    }
    if (with_histogram) {
      k.luma_x(pixels, n, !rgb, scratch->luma.data());
      CountLuma(scratch->luma.data(), n, scratch->histograms.data());
    }
    return;
  }
  if (out.format == PixelFormat::kRgb && k.matrix_rgb != nullptr && !with_histogram) {
    k.matrix_rgb(r, g, b, n, plan.matrix, *plan.table, row + 3 * uint64_t{x0});
    return;
  }
  uint8_t* rgb = scratch->rgb8.data() + (y & 1) * 3 * uint64_t{plan.byte_row} + x0;
  k.matrix(r, g, b, n, plan.matrix, index, index + chunk, index + 2 * chunk);
  uint8_t* r8 = rgb;
  uint8_t* g8 = rgb + plan.byte_row;
  uint8_t* b8 = rgb + 2 * uint64_t{plan.byte_row};
  k.table(index, n, plan.table->codes, r8);
  k.table(index + chunk, n, plan.table->codes, g8);
  k.table(index + 2 * chunk, n, plan.table->codes, b8);

  const uint8_t* luma = nullptr;
  switch (out.format) {
    case PixelFormat::kRgb: {
      uint8_t* o = row + 3 * uint64_t{x0};
      for (uint32_t i = 0; i < n; ++i) o[3 * i] = r8[i], o[3 * i + 1] = g8[i], o[3 * i + 2] = b8[i];
      break;
    }
    case PixelFormat::kRgbx:
      k.rgbx(r8, g8, b8, n, row + 4 * uint64_t{x0});
      break;
    case PixelFormat::kBgrx:
      k.rgbx(b8, g8, r8, n, row + 4 * uint64_t{x0});
      break;
    case PixelFormat::kGray8:
      k.luma(r8, g8, b8, n, row + x0);
      luma = row + x0;
      break;
    case PixelFormat::kNv12:
    case PixelFormat::kI420: {
      k.luma601(r8, g8, b8, n, row + x0);
      if (y % 2 == 0) break;
      // The block's upper row is the previous one's R'G'B'.
      const uint64_t up = 3 * uint64_t{plan.byte_row};
      const uint8_t* const top[3] = {r8 - up, g8 - up, b8 - up};
      const uint8_t* const bottom[3] = {r8, g8, b8};
      uint8_t* cb = scratch->chroma.data();
      uint8_t* cr = cb + (kChunk + kSlack) / 2;
      const uint32_t blocks = n / 2;
      k.chroma(top, bottom, blocks, cb, cr);
      uint8_t* c1 = out.planes[1] + (y / 2) * out.strides[1] +
                    (out.format == PixelFormat::kNv12 ? x0 : x0 / 2);
      if (out.format == PixelFormat::kI420) {
        std::memcpy(c1, cb, blocks);
        std::memcpy(out.planes[2] + (y / 2) * out.strides[2] + x0 / 2, cr, blocks);
      } else {
        for (uint32_t i = 0; i < blocks; ++i) c1[2 * i] = cb[i], c1[2 * i + 1] = cr[i];
      }
      break;
    }
  }
  if (!with_histogram) return;
  if (luma == nullptr) {
    k.luma(r8, g8, b8, n, scratch->luma.data());
    luma = scratch->luma.data();
  }
  CountLuma(luma, n, scratch->histograms.data());
}

void FullSizeBand(const Plan& plan, const Frame& frame, uint32_t first, uint32_t end,
                  bool with_histogram, BandScratch* scratch, RawStats* stats) {
  const int64_t w = frame.raw.width, h = frame.raw.height;
  // Ring slot of logical row r (first - 2 <= r < end + 2), at x = 0.
  auto slot = [&](int64_t r) {
    return scratch->ring.data() + ((r - first + 2) % 5) * plan.ring_row + kPad;
  };
  auto load = [&](int64_t r) {
    const int64_t y = Mirror(r, h);
    LoadRow(plan, frame, static_cast<uint32_t>(y), r == y && r >= first && r < end, scratch,
            slot(r), stats);
  };
  for (int64_t r = int64_t{first} - 2; r < int64_t{first} + 2; ++r) load(r);
  const uint64_t chunk = kChunk + kSlack;
  int16_t* planes = scratch->planes.data();
  for (uint32_t y = first; y < end; ++y) {
    load(int64_t{y} + 2);
    const int16_t* rows[5];
    for (int i = 0; i < 5; ++i) rows[i] = slot(int64_t{y} - 2 + i);
    const bool odd_first = ColourAt(frame.cfa, 0, y) == 1;
    const bool x_is_red = ColourAt(frame.cfa, odd_first ? 1 : 0, y) == 0;
    int16_t* x_plane = planes;
    int16_t* g_plane = planes + chunk;
    int16_t* y_plane = planes + 2 * chunk;
    for (uint32_t x0 = 0; x0 < w; x0 += kChunk) {
      const uint32_t n = std::min<uint32_t>(kChunk, static_cast<uint32_t>(w - x0));
      plan.k->demosaic(rows, x0, n, odd_first, x_plane, g_plane, y_plane);
      EmitChunk(plan, frame, y, x0, n, x_is_red ? x_plane : y_plane, g_plane,
                x_is_red ? y_plane : x_plane, with_histogram, scratch);
    }
  }
}

void HalfSizeBand(const Plan& plan, const Frame& frame, uint32_t first, uint32_t end,
                  bool with_histogram, BandScratch* scratch, RawStats* stats) {
  int16_t* top = scratch->ring.data() + kPad;
  int16_t* bottom = top + plan.ring_row;
  // Where R lies in the cells: its row first, as bin wants it.
  const bool swap_columns = ColourAt(frame.cfa, 1, 0) == 0 || ColourAt(frame.cfa, 1, 1) == 0;
  const bool swap_rows = ColourAt(frame.cfa, 0, 1) == 0 || ColourAt(frame.cfa, 1, 1) == 0;
  const int16_t* r_row = swap_rows ? bottom : top;
  const int16_t* b_row = swap_rows ? top : bottom;
  const uint64_t chunk = kChunk + kSlack;
  int16_t* r = scratch->planes.data();
  int16_t* g = r + chunk;
  int16_t* b = r + 2 * chunk;
  const uint32_t ow = frame.out.width;
  for (uint32_t y = first; y < end; ++y) {
    LoadRow(plan, frame, 2 * y, true, scratch, top, stats);
    LoadRow(plan, frame, 2 * y + 1, true, scratch, bottom, stats);
    for (uint32_t x0 = 0; x0 < ow; x0 += kChunk) {
      const uint32_t n = std::min(kChunk, ow - x0);
      plan.k->bin(r_row, b_row, x0, n, swap_columns, r, g, b);
      EmitChunk(plan, frame, y, x0, n, r, g, b, with_histogram, scratch);
    }
  }
  // A last odd row belongs to no cell, but its clipped samples count.
  const uint32_t h = frame.raw.height;
  if (end == frame.out.height && h % 2 != 0 && frame.raw_stats && StatsRow(h - 1)) {
    const auto* data = static_cast<const uint8_t*>(frame.raw.data) + (h - 1) * frame.raw.stride;
    talon_support::UnpackCsi2(data, frame.raw.stride, frame.raw.width, 1, plan.bits,
                              scratch->samples.data());
    CountRow(plan, frame, scratch->samples.data(), h - 1, stats);
  }
}

}  // namespace

std::vector<IspKernel> IspKernels() {
  std::vector<IspKernel> kernels;
  StatsKernel stats;
  for (IspKernel kernel : {IspKernel::kPortable, IspKernel::kSse2, IspKernel::kAvx2,
                           IspKernel::kAvx512, IspKernel::kNeon}) {
    if (KernelsOf(kernel, &stats) != nullptr) kernels.push_back(kernel);
  }
  return kernels;
}

IspKernel BestKernel() {
  static const IspKernel best = IspKernels().back();
  return best;
}

const char* IspKernelName(IspKernel kernel) {
  switch (kernel) {
    case IspKernel::kPortable:
      return "portable";
    case IspKernel::kSse2:
      return "sse2";
    case IspKernel::kAvx2:
      return "avx2";
    case IspKernel::kAvx512:
      return "avx512";
    case IspKernel::kNeon:
      return "neon";
  }
  return "unknown";
}

std::vector<uint32_t> SplitBands(const Frame& frame, int bands) {
  const uint32_t rows = frame.out.height;
  std::vector<uint32_t> starts = {0};
  for (int i = 1; i < bands; ++i) {
    const uint32_t start = static_cast<uint32_t>(uint64_t{rows} * i / bands) / 2 * 2;
    if (start > starts.back() && start < rows) starts.push_back(start);
  }
  starts.push_back(rows);
  return starts;
}

void DevelopBand(IspKernel kernel, const Frame& frame, uint32_t first, uint32_t end,
                 bool with_histogram, BandScratch* scratch, RawStats* stats) {
  const Plan plan = MakePlan(kernel, frame);
  if (plan.k == nullptr || first >= end) return;
  PrepareBandScratch(frame, scratch);
  std::fill(scratch->histograms.begin(), scratch->histograms.end(), 0);
  if (frame.half_size) {
    HalfSizeBand(plan, frame, first, end, with_histogram, scratch, stats);
  } else {
    FullSizeBand(plan, frame, first, end, with_histogram, scratch, stats);
  }
  for (int i = 0; i < 4 * 256; ++i) stats->histogram[i % 256] += scratch->histograms[i];
}

std::vector<uint32_t> TransferPixels(IspKernel kernel, Transfer transfer) {
  StatsKernel stats;
  const Kernels* k = KernelsOf(kernel, &stats);
  if (k == nullptr) return {};
  std::vector<uint16_t> indices(kIndexMax + 1);
  for (int i = 0; i <= kIndexMax; ++i) indices[i] = static_cast<uint16_t>(i);
  std::vector<uint32_t> pixels(indices.size());
  k->table_x(indices.data(), indices.data(), indices.data(), kIndexMax + 1, TableOf(transfer),
             reinterpret_cast<uint8_t*>(pixels.data()));
  return pixels;
}

void RawStatsBand(IspKernel kernel, const Frame& frame, uint32_t first, uint32_t end,
                  BandScratch* scratch, RawStats* stats) {
  const Plan plan = MakePlan(kernel, frame);
  if (plan.k == nullptr) return;
  PrepareBandScratch(frame, scratch);
  for (uint32_t y = first; y < end; ++y) {
    if (!StatsRow(y)) continue;
    const auto* data = static_cast<const uint8_t*>(frame.raw.data) + y * frame.raw.stride;
    talon_support::UnpackCsi2(data, frame.raw.stride, frame.raw.width, 1, plan.bits,
                              scratch->samples.data());
    CountRow(plan, frame, scratch->samples.data(), y, stats);
  }
}

}  // namespace talon_isp
