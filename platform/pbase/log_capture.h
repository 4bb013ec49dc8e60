// Host-only test helper: captures the platform log's lines while it lives.
//
//   pbase::ScopedLogCapture log;
//   ... code under test ...
//   EXPECT_TRUE(log.Contains(pbase::ERROR, "QMI client service object (NULL)"));
//
// Threading: lines may arrive from any thread; accessors take a snapshot under
// the capture's own lock. Captures nest: the newest one gets the lines and
// hands them on to the one it replaced.

#ifndef PLATFORM_PBASE_LOG_CAPTURE_H_
#define PLATFORM_PBASE_LOG_CAPTURE_H_

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "platform/pbase/logging_sim.h"

namespace pbase {

class ScopedLogCapture {
 public:
  ScopedLogCapture() { SetLogSink(&Sink, this, &previous_, &previous_context_); }
  ~ScopedLogCapture() { SetLogSink(previous_, previous_context_, nullptr, nullptr); }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  // The messages, in order, with their severities.
  std::vector<std::pair<LogSeverity, std::string>> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // The messages at `severity`, in order.
  std::vector<std::string> Messages(LogSeverity severity) const {
    std::vector<std::string> result;
    for (const auto& line : Lines()) {
      if (line.first == severity) result.push_back(line.second);
    }
    return result;
  }
  // How many messages at `severity` are exactly `message`.
  int Count(LogSeverity severity, const std::string& message) const {
    const std::vector<std::string> messages = Messages(severity);
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  static void Sink(void* context, LogSeverity severity, const char* tag,
                   const char* message) {
    auto* self = static_cast<ScopedLogCapture*>(context);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->lines_.emplace_back(severity, message);
    }
    if (self->previous_ != nullptr) {
      self->previous_(self->previous_context_, severity, tag, message);
    }
  }

  mutable std::mutex mutex_;
  std::vector<std::pair<LogSeverity, std::string>> lines_ ABSL_GUARDED_BY(mutex_);
  LogSink previous_ = nullptr;
  void* previous_context_ = nullptr;
};

}  // namespace pbase

#endif  // PLATFORM_PBASE_LOG_CAPTURE_H_
