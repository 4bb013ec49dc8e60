// libtalon's log entries on their way to Python's logging. The library's log
// hook pushes each entry from whichever thread logs it, possibly while the
// library holds its own locks, so pushing never touches Python and never
// waits for anything but this queue's own mutex; the module's forwarding
// thread, and its calls as they return, take the entries in order and emit
// them with the GIL held.
//
// A reader that cannot keep up (Python busy for long without releasing the
// GIL) does not make the queue grow without end: past kMaxEntries the
// newest entries are counted instead of kept, and Take reports the count.
//
// Threading: every method from any thread. Ownership: the module keeps one
// queue for the life of the process (the hook may be called until the
// library's threads end).

#ifndef PYTHON_LOG_QUEUE_H_
#define PYTHON_LOG_QUEUE_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"

namespace talon_python {

class LogQueue {
 public:
  static constexpr size_t kMaxEntries = 65536;

  struct Entry {
    int severity;  // 3 fatal, 2 error, 1 warning, 0 info, -n verbose
    std::string file;
    int line;
    std::string message;
  };

  void Push(int severity, const char* file, int line, const char* message);

  // Every entry queued so far, oldest first; `lost` gets the entries left
  // out since the last Take because the queue was full.
  std::vector<Entry> Take(uint64_t* lost);

  // Waits until an entry is pushed after the one counted in `*seen`
  // (start with 0), or Stop is called; counts the pushes into `*seen`.
  // False once stopped. A reader that found the entries taken by another
  // waits for new ones instead of spinning.
  bool WaitForEntries(uint64_t* seen);
  // As WaitForEntries, for `timeout` at most: true also when the time is up,
  // with `*seen` unchanged.
  bool WaitForEntries(uint64_t* seen, std::chrono::steady_clock::duration timeout);

  // Wakes WaitForEntries for good; entries still queue for Take.
  void Stop();

 private:
  vireo::Mutex mutex_;
  vireo::CondVar queued_{&mutex_};  // an entry came, or Stop was called
  std::vector<Entry> entries_ ABSL_GUARDED_BY(mutex_);
  uint64_t lost_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t pushed_ ABSL_GUARDED_BY(mutex_) = 0;  // entries pushed, kept or lost
  bool stopped_ ABSL_GUARDED_BY(mutex_) = false;
};

}  // namespace talon_python

#endif  // PYTHON_LOG_QUEUE_H_
