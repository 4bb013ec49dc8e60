// The fuzzers' own checks: a failed check ends the run as a crash whose report
// names the broken property.
//
// scripts/fuzz.sh runs the fuzzers with standard error closed (the libraries
// log every rejected input there), so the text goes through the sanitizer's
// report channel, which libFuzzer keeps open.

#ifndef FUZZ_FUZZ_CHECK_H_
#define FUZZ_FUZZ_CHECK_H_

#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void CheckFailed(const char* fuzzer, const char* what) {
  char line[512];
  std::snprintf(line, sizeof(line), "%s: check failed: %s", fuzzer, what);
  __sanitizer_report_error_summary(line);
  std::abort();
}

}  // namespace fuzz

#endif  // FUZZ_FUZZ_CHECK_H_
