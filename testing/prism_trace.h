// Test helpers for the simulated IPU runtime: a scoped trace recorder (the
// trace reader of every suite) and a scoped failpoint setting.
//
// Threading: trace lines may arrive from any thread; accessors take snapshots
// under the recorder's own lock. Create and destroy either object on the test
// thread; each replaces the runtime's setting for its lifetime (no nesting).

#ifndef TESTING_PRISM_TRACE_H_
#define TESTING_PRISM_TRACE_H_

#include <string>
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

}  // namespace talon_testing

#endif  // TESTING_PRISM_TRACE_H_
