// Test helper: captures what is written to the system log while it lives.
//
//   vireo::testing::ScopedLogCapture log;
//   ... code under test ...
//   EXPECT_TRUE(log.Contains("IPU initialized"));
//
// Threading: entries may arrive from any thread; every accessor takes a
// snapshot under the capture's own lock. Captures nest: the newest one gets the
// entries and hands them on to the one it replaced.

#ifndef TESTING_LOG_CAPTURE_H_
#define TESTING_LOG_CAPTURE_H_

#include <mutex>
#include <string>
#include <vector>

#include "platform/syslog/system_log_sim.h"

namespace vireo {
namespace testing {

struct LogEntry {
  int priority;
  std::string tag;
  std::string text;  // as written, with its trailing newline
};

class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<LogEntry> Entries() const;
  // The texts with the "<file>:<line> " prefix and the newline removed.
  std::vector<std::string> Messages() const;
  // Messages at exactly `priority`.
  std::vector<std::string> Messages(int priority) const;
  // True when some message contains `needle`.
  bool Contains(const std::string& needle) const;
  // How many messages contain `needle`.
  int Count(const std::string& needle) const;
  void Clear();

 private:
  static void Sink(void* context, int priority, const char* tag, const char* text);

  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;  // guarded by mutex_
  SystemLogSink previous_ = nullptr;
  void* previous_context_ = nullptr;
};

// Strips "<file>:<line> " and the trailing newline from an entry's text.
std::string MessageOf(const std::string& text);

}  // namespace testing
}  // namespace vireo

#endif  // TESTING_LOG_CAPTURE_H_
