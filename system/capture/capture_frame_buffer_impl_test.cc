#include "system/capture/capture_frame_buffer_impl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/prism/prism_sim.h"
#include "system/capture/capture_frame_buffer_factory_impl.h"
#include "system/capture/capture_util.h"
#include "testing/log_capture.h"
#include "testing/prism_trace.h"

namespace vireo {
namespace {

using talon_testing::ScopedFailpoints;
using talon_testing::ScopedLogCapture;
using talon_testing::ScopedPrismTrace;
using ::testing::ElementsAre;

class FrameBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OzyGetMemoryAllocator(OZY_MEMORY_ALLOCATOR_ION, &allocator_), OZY_SUCCESS);
  }
  void TearDown() override { OzyDeleteMemoryAllocator(allocator_); }

  OzyDeviceBuffer* NewBuffer(uint64_t size) {
    OzyDeviceBuffer* b = nullptr;
    EXPECT_EQ(OzyCreateDeviceBufferManaged(allocator_, size, 64, 0, 0, &b), OZY_SUCCESS);
    return b;
  }

  OzyMemoryAllocator* allocator_ = nullptr;
};

// Catches a full frame that does not fit at the row stride, or lock and
// unlock going to the wrong stream.
TEST_F(FrameBufferTest, WriteAndReadBackAFullFrameAtTheStride) {
  CaptureStreamConfig s{CSI2_RAW10, 100, 7, 10, true};
  CaptureFrameBufferImpl::EntryMap entries;
  entries[CSI2_RAW10] = {s, NewBuffer(vireo_util::GetSizeBytes(s))};
  CaptureFrameBufferImpl fb(entries);
  const uint64_t stride = fb.GetRowStrideBytes(CSI2_RAW10);
  ASSERT_EQ(stride, 128u);
  void* data = nullptr;
  ASSERT_EQ(fb.LockFrameData(CSI2_RAW10, &data), CaptureError::SUCCESS);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 64, 0u);
  auto* bytes = static_cast<uint8_t*>(data);
  for (uint64_t r = 0; r < s.height; ++r) {
    for (uint64_t c = 0; c < stride; ++c) bytes[r * stride + c] = static_cast<uint8_t>(r * 31 + c);
  }
  ASSERT_EQ(fb.UnlockFrameData(CSI2_RAW10), CaptureError::SUCCESS);
  ASSERT_EQ(fb.LockFrameData(CSI2_RAW10, &data), CaptureError::SUCCESS);
  bytes = static_cast<uint8_t*>(data);
  for (uint64_t r = 0; r < s.height; ++r) {
    for (uint64_t c = 0; c < stride; ++c) {
      ASSERT_EQ(bytes[r * stride + c], static_cast<uint8_t>(r * 31 + c));
    }
  }
  EXPECT_EQ(fb.UnlockFrameData(CSI2_RAW10), CaptureError::SUCCESS);
}

// Catches a missing data type reaching the runtime or touching `data`.
TEST_F(FrameBufferTest, MissingDataType) {
  CaptureStreamConfig s{CSI2_RAW8, 8, 8, 8, false};
  CaptureFrameBufferImpl::EntryMap entries;
  entries[CSI2_RAW8] = {s, NewBuffer(64)};
  CaptureFrameBufferImpl fb(entries);
  ScopedPrismTrace trace;
  void* data = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(fb.LockFrameData(CSI2_RAW16, &data), CaptureError::DATA_TYPE_NOT_FOUND);
  EXPECT_EQ(data, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(fb.UnlockFrameData(CSI2_RAW16), CaptureError::DATA_TYPE_NOT_FOUND);
  EXPECT_STREQ(GetCaptureErrorDesc(fb.UnlockFrameData(CSI2_RAW16)), "Data type nout found");
  EXPECT_EQ(fb.GetBufferHandle(CSI2_RAW16), nullptr);
  EXPECT_EQ(fb.GetRowStrideBytes(CSI2_RAW16), 0u);
  EXPECT_TRUE(trace.Lines().empty());
}

// Catches a runtime refusal reported as success.
TEST_F(FrameBufferTest, RuntimeRefusalIsTranslated) {
  CaptureStreamConfig s{CSI2_RAW8, 8, 8, 8, false};
  CaptureFrameBufferImpl::EntryMap entries;
  entries[CSI2_RAW8] = {s, NewBuffer(64)};
  CaptureFrameBufferImpl fb(entries);
  ScopedFailpoints fail("OzyLockDeviceBuffer:9,OzyUnlockDeviceBuffer:-3");
  void* data = nullptr;
  EXPECT_EQ(fb.LockFrameData(CSI2_RAW8, &data), CaptureError::CAPTURE_CANCELLED);
  EXPECT_EQ(fb.UnlockFrameData(CSI2_RAW8), CaptureError::UNKNOWN);
}

// Catches timestamps of a failed capture leaking to the client.
TEST_F(FrameBufferTest, FailedCaptureReportsZeroTimestamps) {
  CaptureFrameBufferImpl fb({});
  fb.SetTimestampStartNs(100);
  fb.SetTimestampEndNs(200);
  fb.SetStatus(CaptureStatus::COMPLETED);
  EXPECT_EQ(fb.GetTimestampStartNs(), 100);
  EXPECT_EQ(fb.GetTimestampEndNs(), 200);
  fb.SetError(CaptureError::TIMEOUT);
  EXPECT_EQ(fb.GetError(), CaptureError::TIMEOUT);
  EXPECT_EQ(fb.GetTimestampStartNs(), 0);
  EXPECT_EQ(fb.GetTimestampEndNs(), 0);
}

// Catches a timestamp read of a buffer under capture going unnoticed.
TEST_F(FrameBufferTest, TimestampWhileRunningIsFatal) {
  CaptureFrameBufferImpl fb({});
  fb.SetStatus(CaptureStatus::RUNNING);
  EXPECT_DEATH(fb.GetTimestampStartNs(),
               "Check failed: status_ != CaptureStatus::RUNNING \\(2 vs. 2\\)");
}

// Catches a destructor that stops at a failed deletion or deletes twice.
TEST_F(FrameBufferTest, DestructorDeletesEachBufferOnceEvenAfterAFailure) {
  CaptureFrameBufferImpl::EntryMap entries;
  entries[1] = {CaptureStreamConfig{}, NewBuffer(64)};
  entries[2] = {CaptureStreamConfig{}, NewBuffer(64)};
  entries[3] = {CaptureStreamConfig{}, NewBuffer(64)};
  size_t live = PrismSimLiveHandleCount();
  ScopedLogCapture log;
  ScopedPrismTrace trace;
  std::vector<OzyDeviceBuffer*> failed;
  {
    ScopedFailpoints fail("OzyDeleteDeviceBuffer:1:2");
    auto fb = std::make_unique<CaptureFrameBufferImpl>(entries);
    fb.reset();
  }
  EXPECT_EQ(trace.Calls("OzyDeleteDeviceBuffer").size(), 3u);
  EXPECT_THAT(log.Messages(), ElementsAre("Device buffer not deleted"));
  EXPECT_EQ(PrismSimLiveHandleCount(), live - 2);
  // The buffer whose deletion was refused is still live; release it here.
  for (auto& [dt, e] : entries) OzyDeleteDeviceBuffer(e.second);
  EXPECT_EQ(PrismSimLiveHandleCount(), live - 3);
}

}  // namespace
}  // namespace vireo
