// Control interface of the simulated IPU runtime, for tests and tools on the
// host. The device's runtime has none of this; clients never include it.
//
// The simulator reads its environment at first use:
//   PRISM_SIM_FAIL   comma-separated Function:error[:nth]; the named runtime
//                    function returns `error` on every call, or only on its
//                    nth call (counting from 1).
//   PRISM_SIM_TRACE  a file path, or "stderr": one line per runtime call,
//                    "Name(arguments) = result".
//   PRISM_SIM_FPS    sensor frame rate (default 30); 0 means unthrottled.
// The functions below change the same settings in process.
//
// Threading: every function may be called from any thread.

#ifndef PLATFORM_PRISM_PRISM_SIM_H_
#define PLATFORM_PRISM_PRISM_SIM_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PRISM_SIM_EXPORT __attribute__((visibility("default")))

// Replaces the failpoints with those of `spec` (PRISM_SIM_FAIL syntax; null or
// "" clears them) and restarts the per-function call counts. Returns 0, or -1
// when an entry is malformed (then nothing changes).
PRISM_SIM_EXPORT int PrismSimSetFailpoints(const char* spec);

// Sends the trace to `target`: a file path (appended to), "stderr", or null /
// "" to stop tracing. Returns 0, or -1 when the file cannot be opened.
PRISM_SIM_EXPORT int PrismSimSetTrace(const char* target);

// Receives every trace line (without newline) in addition to the trace
// target; null removes it.
typedef void (*PrismSimTraceSink)(void* context, const char* line);
PRISM_SIM_EXPORT void PrismSimSetTraceSink(PrismSimTraceSink sink, void* context);

// Handles that the runtime handed out and that were not deleted yet.
PRISM_SIM_EXPORT size_t PrismSimLiveHandleCount(void);
// Writes one line per live handle ("kind 0x..."), NUL-terminated, into `out`
// (at most `size` bytes); returns the length the full report needs.
PRISM_SIM_EXPORT size_t PrismSimLiveHandleReport(char* out, size_t size);

// Times a run wrote nothing into a buffer because the CPU held it locked.
PRISM_SIM_EXPORT uint64_t PrismSimLockedBufferWrites(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // PLATFORM_PRISM_PRISM_SIM_H_
