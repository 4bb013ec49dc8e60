// Test helpers for the simulated IPU runtime: a scoped trace recorder (the
// trace reader of every suite), a scoped failpoint setting, and the count of
// the capture worker's single-buffered cycles read from the trace (in
// process, or from a PRISM_SIM_TRACE file of a tool run as a child).
//
// Threading: trace lines may arrive from any thread; accessors take snapshots
// under the object's own lock. Create and destroy the scoped objects on the
// test thread; each replaces the runtime's setting for its lifetime (no
// nesting).

#ifndef TESTING_PRISM_TRACE_H_
#define TESTING_PRISM_TRACE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"

namespace talon_testing {

class ScopedPrismTrace {
 public:
  ScopedPrismTrace();
  ~ScopedPrismTrace();
  ScopedPrismTrace(const ScopedPrismTrace&) = delete;
  ScopedPrismTrace& operator=(const ScopedPrismTrace&) = delete;

  std::vector<std::string> Lines() const;
  // The lines that start with `function` + "(".
  std::vector<std::string> Calls(const std::string& function) const;
  // The function names of all lines, in order.
  std::vector<std::string> Functions() const;
  void Clear();

  // A handle as the trace prints it.
  static std::string Pointer(const void* pointer);

 private:
  static void Sink(void* context, const char* line);
  mutable vireo::Mutex mutex_;
  std::vector<std::string> lines_ ABSL_GUARDED_BY(mutex_);
};

// Sets failpoints for the scope and clears them afterwards.
class ScopedFailpoints {
 public:
  explicit ScopedFailpoints(const std::string& settings);
  ~ScopedFailpoints();
  ScopedFailpoints(const ScopedFailpoints&) = delete;
  ScopedFailpoints& operator=(const ScopedFailpoints&) = delete;
};

// Counts the capture worker's single-buffered cycles from trace lines fed in
// the runtime's order: the waits for a run (OzyWaitForCompletionWithTimeout)
// that found exactly one run queued (successful OzyEnqueueJob calls not yet
// waited for), so that no second run stood behind the one waited for. A
// reset (OzyResetDevice) cancels the queued runs: the waits with which a
// stopping service collects them do not count. One job at a time; one
// thread at a time.
class SingleBufferCycleCounter {
 public:
  void Add(std::string_view line);
  uint64_t cycles() const { return cycles_; }

 private:
  uint64_t queued_ = 0;
  uint64_t cycles_ = 0;
};

// The single-buffered cycles of this process while the object lives,
// counted as the trace lines arrive (nothing is stored).
class ScopedSingleBufferCycleCount {
 public:
  ScopedSingleBufferCycleCount();
  ~ScopedSingleBufferCycleCount();
  ScopedSingleBufferCycleCount(const ScopedSingleBufferCycleCount&) = delete;
  ScopedSingleBufferCycleCount& operator=(const ScopedSingleBufferCycleCount&) = delete;

  uint64_t cycles() const;

 private:
  static void Sink(void* context, const char* line);
  mutable vireo::Mutex mutex_;
  SingleBufferCycleCounter counter_ ABSL_GUARDED_BY(mutex_);
};

// The single-buffered cycles in a trace file (PRISM_SIM_TRACE=<path> of a
// child process); 0 for a file that cannot be read.
uint64_t CountSingleBufferCycles(const std::string& trace_path);

}  // namespace talon_testing

#endif  // TESTING_PRISM_TRACE_H_
