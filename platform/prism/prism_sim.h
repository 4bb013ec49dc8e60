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
//   PRISM_SIM_SKIP   n:count; a planted gap: on every device, after the
//                    frame of its nth run the sensor's next `count` frames
//                    reach no run (as if every buffer had been busy).
//   PRISM_SIM_COMPILE_MS  time one graph compilation takes (default 20 ms).
//   PRISM_SIM_PATTERN  the sensor's picture: "bars" (default), moving colour
//                    bars, or "scene", a still scene with known truth (a
//                    colour chart, a zone plate and a texture seen through a
//                    sensor model with noise; platform/prism/scene.h).
// A malformed value is reported in one line on stderr and ignored.
// The functions below change the same settings in process.
//
// Threading: every function may be called from any thread.

#ifndef PLATFORM_PRISM_PRISM_SIM_H_
#define PLATFORM_PRISM_PRISM_SIM_H_

#include <stddef.h>
#include <stdint.h>

#include "system/ipu_runtime/prism.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PRISM_SIM_EXPORT __attribute__((visibility("default")))

// Replaces the failpoints with those of `settings` (PRISM_SIM_FAIL syntax; null or
// "" clears them) and restarts the per-function call counts. Returns 0, or -1
// when an entry is malformed (then nothing changes).
PRISM_SIM_EXPORT int PrismSimSetFailpoints(const char* settings);

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

// Sensor frame rate of devices created from now on; 0 means unthrottled
// (frames available at once). Negative or non-finite rates are ignored.
PRISM_SIM_EXPORT void PrismSimSetFrameRate(double fps);

// Devices created from now on skip `count` sensor frames after the frame of
// their `after`th run (PRISM_SIM_SKIP); count 0 skips none.
PRISM_SIM_EXPORT void PrismSimSetFrameSkip(uint32_t after, uint32_t count);

// Time one OzyCompileGraph call takes, in milliseconds.
PRISM_SIM_EXPORT void PrismSimSetCompileTimeMs(uint32_t milliseconds);
// Successful OzyCompileGraph / OzyLoadPrecompiledGraph calls so far.
PRISM_SIM_EXPORT uint64_t PrismSimCompileCount(void);
PRISM_SIM_EXPORT uint64_t PrismSimLoadCount(void);

// Copies the 176-byte record that `node` was created from into `out`.
// Returns 0, or -1 when `node` is not a live node handle or `out` is null.
PRISM_SIM_EXPORT int PrismSimGetNodeInfo(const OzyNode* node, OzyCreateTransferNodeInfo* out);

// Counters of the runs of all jobs since the process started.
typedef struct PrismSimRunStats {
  uint64_t enqueued;   // runs accepted by OzyEnqueueJob
  uint64_t completed;  // waits that returned OZY_SUCCESS
  uint64_t cancelled;  // runs ended by a reset, an unload or a job deletion
  uint64_t timed_out;  // waits that ran out of time
  uint64_t failed;     // waits that returned an injected failure
} PrismSimRunStats;
PRISM_SIM_EXPORT void PrismSimGetRunStats(PrismSimRunStats* stats);

// Waits for completion, of all jobs, that are blocked right now until their
// run's frame ends (or a reset, an unload, a deletion or the time-out wakes
// them); a test waits on it to know a wait is really under way.
PRISM_SIM_EXPORT size_t PrismSimBlockedWaitCount(void);

// The sensor's picture from now on: "bars" or "scene" (PRISM_SIM_PATTERN).
// Returns 0, or -1 for any other name (then nothing changes).
PRISM_SIM_EXPORT int PrismSimSetPattern(const char* name);

// Writes frame `sequence` of the current picture as CSI-2 payload (bits 8:
// RAW8, 10: packed RAW10, 16: RAW16 little-endian) into `data`: ceil(width *
// bits / 8) bytes per row at row r's offset r * stride, nothing else. This is
// what a run writes into a bound DRAM buffer. Does nothing when bits is not
// 8, 10 or 16 or stride is smaller than a row's payload. Row 0, pixels 0..3
// of either picture carry the frame's sequence stamp. The scene is rendered
// once per size (when a job's configuration is loaded, or else by its first
// frame), after which a frame costs about a copy, as the bars do.
PRISM_SIM_EXPORT void PrismSimRenderFrame(void* data, uint64_t stride, uint32_t width,
                                          uint32_t height, uint32_t bits, uint32_t sequence);
// Reads the sequence stamp of a frame written by PrismSimRenderFrame.
// Returns 0, or -1 when width < 4, height < 1 or bits is not 8, 10 or 16.
PRISM_SIM_EXPORT int PrismSimDecodeFrameSequence(const void* data, uint64_t stride, uint32_t width,
                                                 uint32_t height, uint32_t bits,
                                                 uint32_t* sequence);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // PLATFORM_PRISM_PRISM_SIM_H_
