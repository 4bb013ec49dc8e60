// The fuzzers' own checks: a failed check ends the run as a crash whose report
// names the broken property.
//
// scripts/fuzz.sh runs the fuzzers with standard error closed (the libraries
// log every rejected input there), so under a sanitizer the text also goes
// through the sanitizer's report channel, which libFuzzer keeps open. The
// corpus replays of the ordinary suites (replay_main.cc) may run without a
// sanitizer: the report function is then absent and standard error has it.

#ifndef FUZZ_FUZZ_CHECK_H_
#define FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

// From the sanitizers' runtime, when one is linked.
extern "C" void __sanitizer_report_error_summary(const char* error_summary) __attribute__((weak));

namespace fuzz {

[[noreturn]] inline void CheckFailed(const char* fuzzer, const char* what) {
  char line[512];
  std::snprintf(line, sizeof(line), "%s: check failed: %s", fuzzer, what);
  std::fprintf(stderr, "%s\n", line);
  if (__sanitizer_report_error_summary != nullptr) __sanitizer_report_error_summary(line);
  std::abort();
}

}  // namespace fuzz

#endif  // FUZZ_FUZZ_CHECK_H_
