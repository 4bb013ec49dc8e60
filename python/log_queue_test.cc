#include "python/log_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace talon_python {
namespace {

// Catches entries reordered, or lost without a count when Python takes none
// for long (the queue must stop growing and say how many it left out), and a
// forwarding thread that a new entry or Stop does not wake.
TEST(LogQueue, KeepsOrderCountsWhatItLeavesOutAndWakesItsReader) {
  LogQueue queue;
  for (size_t i = 0; i < LogQueue::kMaxEntries + 3; ++i) {
    queue.Push(1, "a.cc", static_cast<int>(i), std::to_string(i).c_str());
  }
  uint64_t seen = 0;
  ASSERT_TRUE(queue.WaitForEntries(&seen));
  uint64_t lost = 0;
  std::vector<LogQueue::Entry> entries = queue.Take(&lost);
  ASSERT_EQ(entries.size(), LogQueue::kMaxEntries);
  EXPECT_EQ(lost, 3u);
  EXPECT_EQ(entries.front().message, "0");
  EXPECT_EQ(entries.back().line, static_cast<int>(LogQueue::kMaxEntries - 1));

  // Everything seen was taken: a timed wait ends with nothing new; the
  // reader wakes for a new entry, then Stop.
  const uint64_t before = seen;
  ASSERT_TRUE(queue.WaitForEntries(&seen, std::chrono::milliseconds(1)));
  EXPECT_EQ(seen, before);
  std::thread pusher([&] { queue.Push(0, "b.cc", 7, "next"); });
  ASSERT_TRUE(queue.WaitForEntries(&seen));
  pusher.join();
  entries = queue.Take(&lost);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.front().message, "next");
  EXPECT_EQ(lost, 0u);
  std::thread stopper([&] { queue.Stop(); });
  EXPECT_FALSE(queue.WaitForEntries(&seen));
  stopper.join();
}

}  // namespace
}  // namespace talon_python
