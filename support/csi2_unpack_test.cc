#include "support/csi2_unpack.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/prism/prism_sim.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace talon_support {
namespace {

struct Case {
  const char* name;
  uint32_t width, height, bits;
  uint64_t stride;
  std::vector<uint8_t> bytes;
  std::vector<uint16_t> samples;
};

// Catches low bits taken from the wrong pair or byte (also in a partial last
// group), RAW16 read big-endian, and row padding read as samples.
TEST(Csi2Unpack, UnpacksEachLayout) {
  const Case cases[] = {
      {"raw10",
       5,
       1,
       10,
       8,
       {0x01, 0x02, 0x03, 0x04, 0xE4, 0x05, 0x02, 0xEE},
       {0x004, 0x009, 0x00E, 0x013, 0x016}},
      {"raw10 two rows",
       2,
       2,
       10,
       3,
       {0xFF, 0x00, 0x0D, 0x80, 0x40, 0x0B},
       {0x3FD, 0x003, 0x203, 0x102}},
      {"raw16", 2, 1, 16, 6, {0x34, 0x12, 0x78, 0x56, 0xEE, 0xEE}, {0x1234, 0x5678}},
      {"raw8", 2, 2, 8, 3, {1, 2, 0xEE, 3, 4, 0xEE}, {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    std::vector<uint16_t> out(c.samples.size());
    ASSERT_TRUE(UnpackCsi2(c.bytes.data(), c.stride, c.width, c.height, c.bits, out.data()))
        << c.name;
    EXPECT_EQ(out, c.samples) << c.name;
  }
}

// Catches reads past a row when the stride is too small, and bit depths the
// layout does not cover.
TEST(Csi2Unpack, RefusesWhatItCannotRead) {
  const std::vector<uint8_t> bytes(16, 0);
  std::vector<uint16_t> out(8, 7);
  EXPECT_FALSE(UnpackCsi2(bytes.data(), 6, 5, 1, 10, out.data()));  // needs 7 bytes
  EXPECT_FALSE(UnpackCsi2(bytes.data(), 16, 4, 1, 12, out.data()));
  EXPECT_EQ(out, std::vector<uint16_t>(8, 7));

  // Output rows that overlap, or 16-bit rows at odd byte offsets.
  std::vector<uint8_t> out8(16, 7);
  EXPECT_FALSE(UnpackCsi2(bytes.data(), 8, 4, 2, 8, out.data(), 7));
  EXPECT_FALSE(UnpackCsi2(bytes.data(), 8, 4, 2, 8, out.data(), 9));
  EXPECT_FALSE(UnpackCsi2To8(bytes.data(), 8, 4, 2, 8, out8.data(), 3));
  EXPECT_FALSE(UnpackCsi2To8(bytes.data(), 6, 5, 1, 10, out8.data()));
  EXPECT_FALSE(UnpackCsi2To8(bytes.data(), 16, 4, 1, 12, out8.data()));
  EXPECT_EQ(out, std::vector<uint16_t>(8, 7));
  EXPECT_EQ(out8, std::vector<uint8_t>(16, 7));
}

struct Shape {
  uint32_t width;
  uint64_t stride;
  uint32_t height;
  uint32_t bits;
  uint64_t out_pad;  // samples between output rows; 0: out_stride 0
};

std::string Describe(const Shape& s, Csi2Kernel kernel) {
  return std::string(Csi2KernelName(kernel)) + " width " + std::to_string(s.width) + " stride " +
         std::to_string(s.stride) + " height " + std::to_string(s.height) + " bits " +
         std::to_string(s.bits) + " out_pad " + std::to_string(s.out_pad);
}

// `size` bytes that end where an inaccessible page begins, so that a read
// or a write past them faults in every build (ASan misses a vector load
// that reaches only partly past a buffer).
class GuardedBytes {
 public:
  explicit GuardedBytes(uint64_t size) : size_(size) {
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    mapped_ = (size + page - 1) / page * page + page;
    void* base = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) std::abort();
    base_ = static_cast<uint8_t*>(base);
    if (mprotect(base_ + mapped_ - page, page, PROT_NONE) != 0) std::abort();
    data_ = base_ + mapped_ - page - size;
  }
  ~GuardedBytes() { munmap(base_, mapped_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  uint8_t* data() { return data_; }
  template <typename T>
  T* as() {
    return reinterpret_cast<T*>(data_);
  }
  template <typename T>
  bool Equals(const std::vector<T>& expected) const {
    return expected.size() * sizeof(T) == size_ &&
           (size_ == 0 || std::memcmp(data_, expected.data(), size_) == 0);
  }

 private:
  uint64_t size_, mapped_;
  uint8_t* base_;
  uint8_t* data_;
};

// Every kernel this CPU runs, and the default, to 16 and to 8 bits, against
// the reference. Input and outputs end at a guard page; the outputs start
// filled, so that a write between output rows shows.
void ExpectKernelsMatchReference(const Shape& s, std::mt19937& random) {
  const uint64_t payload = PayloadRowBytes(s.width, s.bits);
  const uint64_t size = s.height == 0 ? 0 : s.stride * (s.height - 1) + payload;
  GuardedBytes data(size);
  for (uint64_t i = 0; i < size; ++i) data.data()[i] = static_cast<uint8_t>(random());
  const uint64_t out_samples = s.width + s.out_pad;
  const uint64_t out_size = s.height == 0 ? 0 : out_samples * (s.height - 1) + s.width;
  const uint64_t stride16 = s.out_pad == 0 ? 0 : out_samples * 2;
  const uint64_t stride8 = s.out_pad == 0 ? 0 : out_samples;

  std::vector<uint16_t> expected16(out_size, 0xA5A5);
  std::vector<uint8_t> expected8(out_size, 0xA5);
  ASSERT_TRUE(UnpackCsi2Reference(data.data(), s.stride, s.width, s.height, s.bits,
                                  expected16.data(), stride16));
  ASSERT_TRUE(UnpackCsi2To8Reference(data.data(), s.stride, s.width, s.height, s.bits,
                                     expected8.data(), stride8));
  // The 8-bit reference is the 16-bit one's high bits; the gaps between
  // output rows keep the fill in both.
  for (uint64_t i = 0; i < out_size; ++i) {
    if (expected8[i] != 0xA5 || expected16[i] != 0xA5A5) {
      ASSERT_EQ(expected8[i], expected16[i] >> (s.bits - 8)) << i;
    }
  }
  std::vector<Csi2Kernel> kernels = Csi2Kernels();
  kernels.push_back(kernels.back());  // again, through UnpackCsi2 and UnpackCsi2To8
  for (size_t k = 0; k < kernels.size(); ++k) {
    const bool by_default = k + 1 == kernels.size();
    GuardedBytes out16(out_size * 2), out8(out_size);
    std::fill_n(out16.as<uint16_t>(), out_size, 0xA5A5);
    std::fill_n(out8.data(), out_size, 0xA5);
    ASSERT_TRUE(by_default ? UnpackCsi2(data.data(), s.stride, s.width, s.height, s.bits,
                                        out16.as<uint16_t>(), stride16)
                           : UnpackCsi2With(kernels[k], data.data(), s.stride, s.width, s.height,
                                            s.bits, out16.as<uint16_t>(), stride16));
    ASSERT_TRUE(by_default ? UnpackCsi2To8(data.data(), s.stride, s.width, s.height, s.bits,
                                           out8.data(), stride8)
                           : UnpackCsi2To8With(kernels[k], data.data(), s.stride, s.width, s.height,
                                               s.bits, out8.data(), stride8));
    ASSERT_TRUE(out16.Equals(expected16)) << "to 16 bits: " << Describe(s, kernels[k]);
    ASSERT_TRUE(out8.Equals(expected8)) << "to 8 bits: " << Describe(s, kernels[k]);
  }
}

// Catches a kernel that differs from the one-sample-at-a-time reference:
// low bits from the wrong lane, a partial last group or a row's last
// vector taken wrong, reads past the last row's payload, writes between or
// past the output rows. The widths straddle every kernel's vector width
// (8 to 32 samples) and the reach of its loads.
TEST(Csi2Unpack, EveryKernelMatchesTheReference) {
  ASSERT_EQ(Csi2Kernels().front(), Csi2Kernel::kPortable);
  std::mt19937 random(23);
  const Shape table[] = {
      {1, 2, 1, 10, 0},        {3, 4, 2, 10, 1},    {5, 7, 3, 10, 0},     {8, 10, 2, 10, 3},
      {12, 15, 2, 10, 0},      {13, 17, 3, 10, 2},  {16, 20, 2, 10, 0},   {20, 25, 2, 10, 0},
      {31, 39, 2, 10, 1},      {32, 40, 3, 10, 0},  {33, 48, 3, 10, 0},   {47, 64, 2, 10, 5},
      {64, 80, 2, 10, 0},      {65, 100, 3, 10, 8}, {640, 800, 2, 10, 0}, {4056, 5070, 2, 10, 0},
      {4056, 5120, 2, 10, 40}, {1, 1, 1, 8, 0},     {15, 16, 2, 8, 1},    {33, 33, 3, 8, 0},
      {64, 64, 2, 8, 3},       {640, 640, 2, 8, 0}, {1, 2, 1, 16, 0},     {17, 34, 2, 16, 1},
      {31, 64, 3, 16, 0},      {33, 66, 2, 16, 0},  {65, 130, 2, 16, 7},  {0, 0, 3, 10, 0},
      {7, 9, 0, 10, 0},
  };
  for (const Shape& shape : table) {
    ExpectKernelsMatchReference(shape, random);
    if (HasFatalFailure()) return;
  }
  const uint32_t bits[] = {8, 10, 16};
  for (int i = 0; i < 300; ++i) {
    Shape shape;
    shape.width = random() % 300;
    shape.bits = bits[random() % 3];
    shape.stride = PayloadRowBytes(shape.width, shape.bits) + random() % 40;
    shape.height = 1 + random() % 4;
    shape.out_pad = random() % 3 == 0 ? random() % 9 : 0;
    ExpectKernelsMatchReference(shape, random);
    if (HasFatalFailure()) return;
  }
}

#if defined(__x86_64__)
// Whether the upper halves of the 256-bit registers hold data (XINUSE's
// bit 2); false in `known` where the CPU does not report it.
__attribute__((target("xsave"))) bool UpperHalvesInUse(bool* known) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  *known = __get_cpuid_count(0xD, 1, &a, &b, &c, &d) != 0 && (a & 4) != 0;
  return *known && (_xgetbv(1) & 4) != 0;
}
#endif

// Catches an AVX2 kernel that returns with the upper halves of the vector
// registers in use: every SSE instruction after it, in any code of the
// process, then waits on them (the software ISP's SSE2 kernels ran at half
// speed).
TEST(Csi2Unpack, Avx2KernelsLeaveTheUpperHalvesClear) {
#if defined(__x86_64__)
  const std::vector<Csi2Kernel> kernels = Csi2Kernels();
  if (std::find(kernels.begin(), kernels.end(), Csi2Kernel::kAvx2) == kernels.end()) {
    GTEST_SKIP() << "no AVX2";
  }
  const uint32_t width = 45;  // a partial last vector and group
  const std::vector<uint8_t> data(PayloadRowBytes(width, 16), 0x5A);
  std::vector<uint16_t> out16(width);
  std::vector<uint8_t> out8(width);
  for (uint32_t bits : {8u, 10u, 16u}) {
    bool known = false;
    ASSERT_TRUE(
        UnpackCsi2With(Csi2Kernel::kAvx2, data.data(), data.size(), width, 1, bits, out16.data()));
    EXPECT_FALSE(UpperHalvesInUse(&known)) << "to 16 bits, bits " << bits;
    ASSERT_TRUE(UnpackCsi2To8With(Csi2Kernel::kAvx2, data.data(), data.size(), width, 1, bits,
                                  out8.data()));
    EXPECT_FALSE(UpperHalvesInUse(&known)) << "to 8 bits, bits " << bits;
    if (!known) GTEST_SKIP() << "the CPU does not report XINUSE";
  }
#else
  GTEST_SKIP() << "x86-64 only";
#endif
}

// Catches a layout that differs from what the simulated IPU writes: the
// sequence stamp in pixels 0-3 and every other sample 0 or full scale.
TEST(Csi2Unpack, ReadsTheSimulatorsFrames) {
  const uint32_t width = 7, height = 3, sequence = 0x0A0B0C0D;
  for (uint32_t bits : {8u, 10u, 16u}) {
    const uint64_t stride = PayloadRowBytes(width, bits) + 3;
    std::vector<uint8_t> frame(stride * height, 0xEE);
    PrismSimRenderFrame(frame.data(), stride, width, height, bits, sequence);
    std::vector<uint16_t> samples(width * height);
    ASSERT_TRUE(UnpackCsi2(frame.data(), stride, width, height, bits, samples.data()));
    const uint16_t full = static_cast<uint16_t>((1u << bits) - 1);
    for (uint32_t i = 0; i < width * height; ++i) {
      if (i < 4) {
        EXPECT_EQ(samples[i], ((sequence >> (8 * i)) & 0xFF) << (bits - 8)) << bits;
      } else {
        EXPECT_TRUE(samples[i] == 0 || samples[i] == full) << bits << " " << i;
      }
    }
  }
}

}  // namespace
}  // namespace talon_support
