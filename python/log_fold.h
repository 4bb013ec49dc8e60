// Folds runs of one repeated libtalon log entry before they reach Python's
// logging: the first entry of a run is said, its repeats are counted, and the
// count is said as one entry "<message> (repeated N times)" (the run's
// severity, file and line; a single repeat as the entry itself) when a
// different entry comes, when Flush is called (the capture stopped or
// closed), or kPeriod after the first repeat it counts, so that a run that
// goes on shows every kPeriod that it still does. A warning the library
// gives for every frame (a slow consumer's "Only one frame buffer in request
// queue") is said once, then counted, never once per frame. Entries are the
// same when severity, file, line and message are.
//
// Threading: one thread at a time (the module uses it with the GIL held).
// Holds plain values only.

#ifndef PYTHON_LOG_FOLD_H_
#define PYTHON_LOG_FOLD_H_

#include <chrono>
#include <cstdint>
#include <vector>

#include "python/log_queue.h"

namespace talon_python {

class LogFold {
 public:
  using Clock = std::chrono::steady_clock;
  using Entry = LogQueue::Entry;
  static constexpr Clock::duration kPeriod = std::chrono::seconds(5);

  // Appends to `out` what to say for `entry`, which came at `now`: the
  // summary of the run it ends, if repeats were counted, and the entry
  // itself; for a repeat, nothing, or the summary once kPeriod has passed
  // since the first repeat counted.
  void Add(Entry entry, Clock::time_point now, std::vector<Entry>* out);

  // Appends the summary of the repeats counted so far when kPeriod has
  // passed since the first of them.
  void Tick(Clock::time_point now, std::vector<Entry>* out);

  // Appends the summary of the repeats counted so far, at once. The run
  // stays: a repeat after it is counted anew.
  void Flush(std::vector<Entry>* out);

  // Whether repeats were counted that no summary has said yet.
  bool pending() const { return repeats_ != 0; }

 private:
  bool started_ = false;            // run_ holds an entry
  Entry run_;                       // the last entry said
  uint64_t repeats_ = 0;            // of run_, since it or its last summary was said
  Clock::time_point first_repeat_;  // of those counted in repeats_
};

}  // namespace talon_python

#endif  // PYTHON_LOG_FOLD_H_
