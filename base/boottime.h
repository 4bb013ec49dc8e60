// CLOCK_BOOTTIME in nanoseconds: the clock of the IPU runtime's frame
// timestamps, which keeps counting while the system is suspended.
//
// Header-only and free of libtalon's symbols, so that the host stand-ins, the
// tools and the tests read the clock the same way. Callable from any thread.

#ifndef BASE_BOOTTIME_H_
#define BASE_BOOTTIME_H_

#include <time.h>

#include <cstdint>

namespace vireo {

inline int64_t BoottimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

}  // namespace vireo

#endif  // BASE_BOOTTIME_H_
