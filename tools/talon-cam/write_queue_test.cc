// WriteQueue's outputs, each write gated on a latch the test opens, so that
// what is queued, refused or failed is known without any timing.

#include "tools/talon-cam/write_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "testing/wait_until.h"

namespace talon_cam {
namespace {

// A job of `bytes` that waits for `gate`, then writes (`ok`) and counts its
// writes in `runs`; `hold` stands for the frame buffer it keeps.
WriteJob Job(uint64_t frame, uint64_t bytes, std::shared_ptr<Latch> gate, bool ok,
             std::atomic<int>* runs, std::shared_ptr<const void> hold = nullptr) {
  WriteJob job;
  job.frame = frame;
  job.bytes = bytes;
  job.after = std::move(gate);
  job.hold = std::move(hold);
  job.write = [ok, runs](std::string* error) {
    ++*runs;
    if (!ok) *error = "No space left on device";
    return ok;
  };
  return job;
}

// Catches a failed write that stops other outputs too, writes the failed
// output's later jobs, or keeps their frame buffers (the capture would run
// out of them): the failed output's queued jobs let go of what they hold
// and count as not written, and its share refuses nothing for being full.
TEST(WriteQueueTest, FailedWriteStopsOnlyItsOutputAndFreesItsShare) {
  WriteQueue queue;
  const int failing = queue.AddOutput("--dng", 2, WriteQueue::Unit::kBytes);
  const int healthy = queue.AddOutput("--output", 2, WriteQueue::Unit::kBytes);
  queue.Start();
  auto gate = std::make_shared<Latch>(1);
  std::atomic<int> failing_runs{0}, healthy_runs{0};
  auto buffer = std::make_shared<int>(0);
  ASSERT_TRUE(queue.Push(failing, Job(0, 1, gate, false, &failing_runs, buffer)));
  ASSERT_TRUE(queue.Push(failing, Job(1, 1, gate, true, &failing_runs, buffer)));
  ASSERT_TRUE(queue.Push(healthy, Job(0, 1, gate, true, &healthy_runs)));
  gate->CountDown();
  // Both jobs done: the buffer is the capture's alone again.
  ASSERT_TRUE(talon_testing::WaitUntil([&] { return buffer.use_count() == 1; }));
  EXPECT_FALSE(queue.Push(failing, Job(2, 1, nullptr, true, &failing_runs)));  // stopped
  ASSERT_TRUE(queue.Push(healthy, Job(1, 1, nullptr, true, &healthy_runs)));
  queue.Finish();
  EXPECT_EQ(failing_runs, 1);  // the jobs after the failure were not written
  EXPECT_EQ(queue.not_written(failing), 3u);
  EXPECT_TRUE(queue.failed(failing));
  EXPECT_EQ(healthy_runs, 2);
  EXPECT_EQ(queue.not_written(healthy), 0u);
  EXPECT_FALSE(queue.failed(healthy));
}

// Catches a data job refused for a full share that never opens its latch:
// the frame's metadata line waits for it on the metadata thread, which
// would then wait for good and stall every later record.
TEST(WriteQueueTest, RefusedJobNeverBlocksTheMetadataThread) {
  WriteQueue queue;
  const int data = queue.AddOutput("--output", 1, WriteQueue::Unit::kBytes);
  const int metadata = queue.AddOutput("--metadata", 4, WriteQueue::Unit::kRecords);
  queue.Start();
  auto gate = std::make_shared<Latch>(1);
  std::atomic<int> data_runs{0}, metadata_runs{0};
  ASSERT_TRUE(queue.Push(data, Job(0, 1, gate, true, &data_runs)));  // fills the share
  auto written = std::make_shared<Latch>(1);
  WriteJob refused = Job(1, 1, nullptr, true, &data_runs);
  refused.opens = written;
  EXPECT_FALSE(queue.Push(data, std::move(refused)));
  ASSERT_TRUE(queue.Push(metadata, Job(1, 1, written, true, &metadata_runs)));
  EXPECT_TRUE(talon_testing::WaitUntil([&] { return metadata_runs == 1; }));
  gate->CountDown();
  queue.Finish();
  EXPECT_EQ(data_runs, 1);
  EXPECT_EQ(queue.not_written(data), 1u);
  EXPECT_EQ(queue.not_written(metadata), 0u);
}

}  // namespace
}  // namespace talon_cam
