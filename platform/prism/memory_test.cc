// Tests of the simulated device memory.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"

namespace {

class PrismMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OzyGetMemoryAllocator(3, &allocator_), OZY_SUCCESS); }
  void TearDown() override { EXPECT_EQ(OzyDeleteMemoryAllocator(allocator_), OZY_SUCCESS); }
  OzyMemoryAllocator* allocator_ = nullptr;
};

// Catches another allocator kind being accepted.
TEST(PrismMemory, OnlyTheIonAllocator) {
  OzyMemoryAllocator* a = nullptr;
  EXPECT_EQ(OzyGetMemoryAllocator(1, &a), OZY_ERROR_RESOURCE_NOT_FOUND);
  EXPECT_EQ(OzyGetMemoryAllocator(3, nullptr), OZY_ERROR_INVALID_REQUEST);
}

// Catches misaligned buffers or buffers not writable to their last byte.
TEST_F(PrismMemoryTest, AlignedAndExactlySized) {
  for (uint64_t size : {1u, 63u, 64u, 375u, 4096u}) {
    OzyDeviceBuffer* b = nullptr;
    ASSERT_EQ(OzyCreateDeviceBufferManaged(allocator_, size, 64, 0, 0, &b), OZY_SUCCESS);
    void* data = nullptr;
    ASSERT_EQ(OzyLockDeviceBuffer(b, &data), OZY_SUCCESS);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 64, 0u);
    std::memset(data, 0xAB, size);
    EXPECT_EQ(OzyUnlockDeviceBuffer(b), OZY_SUCCESS);
    EXPECT_EQ(OzyUnlockDeviceBuffer(b), OZY_SUCCESS);  // unlocked already: fine
    EXPECT_EQ(OzyDeleteDeviceBuffer(b), OZY_SUCCESS);
  }
}

// Catches bad arguments crashing the runtime instead of being refused.
TEST_F(PrismMemoryTest, BadArgumentsAreRefused) {
  OzyDeviceBuffer* b = nullptr;
  EXPECT_EQ(OzyCreateDeviceBufferManaged(nullptr, 64, 64, 0, 0, &b), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyCreateDeviceBufferManaged(allocator_, 64, 48, 0, 0, &b), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyCreateDeviceBufferManaged(allocator_, 64, 64, 1, 0, &b), OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyCreateDeviceBufferManaged(allocator_, 64, 64, 0, 0, nullptr),
            OZY_ERROR_INVALID_REQUEST);
  void* data = nullptr;
  int not_a_buffer = 0;
  EXPECT_EQ(OzyLockDeviceBuffer(reinterpret_cast<OzyDeviceBuffer*>(&not_a_buffer), &data),
            OZY_ERROR_INVALID_REQUEST);
  EXPECT_EQ(OzyDeleteDeviceBuffer(nullptr), OZY_ERROR_INVALID_REQUEST);
  // An allocator handle is not a buffer handle.
  EXPECT_EQ(OzyDeleteDeviceBuffer(reinterpret_cast<OzyDeviceBuffer*>(allocator_)),
            OZY_ERROR_INVALID_REQUEST);
}

TEST_F(PrismMemoryTest, ZeroSizedBufferIsUsable) {
  OzyDeviceBuffer* b = nullptr;
  ASSERT_EQ(OzyCreateDeviceBufferManaged(allocator_, 0, 64, 0, 0, &b), OZY_SUCCESS);
  void* data = nullptr;
  EXPECT_EQ(OzyLockDeviceBuffer(b, &data), OZY_SUCCESS);
  EXPECT_NE(data, nullptr);
  EXPECT_EQ(OzyDeleteDeviceBuffer(b), OZY_SUCCESS);
}

}  // namespace
