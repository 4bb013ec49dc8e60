// Test helpers: capture what a library logs while they live.
//
//   talon_testing::ScopedLogCapture log;            // the system log (libtalon)
//   ... code under test ...
//   EXPECT_TRUE(log.Contains("IPU initialized"));
//
//   talon_testing::ScopedPlatformLogCapture log;    // the platform log (libwarden)
//   EXPECT_EQ(log.Messages(pbase::ERROR), ...);
//
// Both hook the sink of the stand-in they capture; captures of one log nest:
// the newest one gets the entries and hands them on to the one it replaced,
// and the one it replaced is restored when it goes. Create and destroy a
// capture on one thread, while nothing else installs that log's sink.
//
// Threading: entries may arrive from any thread; every accessor takes a
// snapshot under the capture's own lock.

#ifndef TESTING_LOG_CAPTURE_H_
#define TESTING_LOG_CAPTURE_H_

#include <memory>
#include <string>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "platform/syslog/system_log_sim.h"

namespace talon_testing {

struct LogEntry {
  int priority;  // the system log's priority, or pbase::LogSeverity
  std::string tag;
  std::string text;     // as the sink got it (system log: "<file>:<line> <message>\n")
  std::string message;  // the message alone: no "<file>:<line> ", no newline
};

// What both captures keep and how they are queried.
class LogCapture {
 public:
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogEntry> Entries() const;
  // The messages, in order.
  std::vector<std::string> Messages() const;
  // The messages at exactly `priority`.
  std::vector<std::string> Messages(int priority) const;
  // True when some message contains `needle`.
  bool Contains(const std::string& needle) const;
  // How many messages contain `needle`.
  int Count(const std::string& needle) const;
  void Clear();

 protected:
  LogCapture() = default;
  ~LogCapture() = default;

  void Add(LogEntry entry);

 private:
  mutable vireo::Mutex mutex_;
  std::vector<LogEntry> entries_ ABSL_GUARDED_BY(mutex_);
};

// The system log, where libtalon logs.
class ScopedLogCapture : public LogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();

 private:
  static void Sink(void* context, int priority, const char* tag, const char* text);

  // Written when the capture is installed, before any entry reaches it.
  SystemLogSink previous_ = nullptr;
  void* previous_context_ = nullptr;
};

// The platform logging (pbase), where libwarden logs. Entries' priorities
// are pbase::LogSeverity values. Declared without the platform logging's
// header, whose LOG macro clashes with libtalon's.
class ScopedPlatformLogCapture : public LogCapture {
 public:
  ScopedPlatformLogCapture();
  ~ScopedPlatformLogCapture();

 private:
  // The installed sink and the one it replaced, in the platform logging's
  // own types.
  struct Hook;
  const std::unique_ptr<Hook> hook_;
};

}  // namespace talon_testing

#endif  // TESTING_LOG_CAPTURE_H_
