#include "python/log_fold.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace talon_python {
namespace {

using std::chrono::milliseconds;
using Entry = LogQueue::Entry;

std::vector<std::string> Messages(std::vector<Entry>* said) {
  std::vector<std::string> messages;
  for (const Entry& e : *said) messages.push_back(e.message);
  said->clear();
  return messages;
}

// Catches a repeated entry said once per occurrence (the library's warning
// for every frame behind a slow consumer), a count lost, said twice or said
// without its entry's place, and a long run that goes silent: the first
// entry is said, its repeats as one count when another entry comes, each
// period while the run lasts, and when flushed.
TEST(LogFold, SaysARunOnceThenItsCount) {
  const Entry warning{1, "capture_job_thread.cc", 261, "Only one frame buffer"};
  const LogFold::Clock::time_point start;
  LogFold fold;
  std::vector<Entry> said;
  for (int i = 0; i <= 30; ++i) fold.Add(warning, start + milliseconds(33 * i), &said);
  fold.Tick(start + milliseconds(1000), &said);
  EXPECT_TRUE(fold.pending());
  fold.Add({0, "dram_capture_service.cc", 166, "stopped"}, start + milliseconds(1100), &said);
  ASSERT_EQ(said.size(), 3u);
  EXPECT_EQ(said[1].severity, 1);
  EXPECT_EQ(said[1].file, "capture_job_thread.cc");
  EXPECT_EQ(said[1].line, 261);
  EXPECT_EQ(Messages(&said),
            (std::vector<std::string>{"Only one frame buffer",
                                      "Only one frame buffer (repeated 30 times)", "stopped"}));

  // 300 entries over 9.9 s: the count after 5 s, the rest when flushed.
  const LogFold::Clock::time_point later = start + milliseconds(2000);
  for (int i = 0; i < 300; ++i) fold.Add(warning, later + milliseconds(33 * i), &said);
  fold.Tick(later + milliseconds(33 * 299 + 100), &said);  // the count under way is 4.985 s old
  EXPECT_EQ(Messages(&said),
            (std::vector<std::string>{"Only one frame buffer",
                                      "Only one frame buffer (repeated 153 times)"}));
  fold.Flush(&said);
  fold.Flush(&said);
  EXPECT_EQ(Messages(&said),
            (std::vector<std::string>{"Only one frame buffer (repeated 146 times)"}));
  EXPECT_FALSE(fold.pending());

  // A repeat after the flush is counted, and said a period after it came: a
  // single one as it is.
  fold.Add(warning, later + milliseconds(20000), &said);
  fold.Tick(later + milliseconds(24999), &said);
  EXPECT_TRUE(said.empty());
  fold.Tick(later + milliseconds(25000), &said);
  EXPECT_EQ(Messages(&said), (std::vector<std::string>{"Only one frame buffer"}));
}

}  // namespace
}  // namespace talon_python
