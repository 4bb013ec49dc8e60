// Test-only LD_PRELOAD library: the IPU runtime with one property broken,
// chosen by TALON_BROKEN_RUNTIME, for the test that talon-prism-check notices.
//
//   out-of-order   a wait reports the frame of the run after its own, the
//                  next wait the frame it skipped (complete the runs of a
//                  pair in reverse order)
//   no-eof         the end-of-frame record is never written
//   first-binding  a job keeps the buffers of its first OzyFinalizeBuffers
//   ignore-reset   OzyResetDevice does nothing
//   slow-reset     OzyResetDevice takes 100 ms before it resets (not a
//                  fault: the frames that end meanwhile may end either way)
//
// Unset or anything else: the runtime unchanged. The functions carry the
// runtime's symbol version, LIBPRISM_1.0, so that they stand in for the
// versioned references of the tool and libtalon, and reach the runtime's
// own through dlvsym.
//
// Threading: the shim's state is guarded by one mutex, never held across a
// call into the runtime; waits and resets come from different threads.

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "system/ipu_runtime/prism.h"

namespace {

template <typename Function>
Function* Real(Function*, const char* name) {
  return reinterpret_cast<Function*>(dlvsym(RTLD_NEXT, name, "LIBPRISM_1.0"));
}
#define REAL(function) Real(&function, #function)

bool Mode(const char* mode) {
  const char* value = std::getenv("TALON_BROKEN_RUNTIME");
  return value != nullptr && std::strcmp(value, mode) == 0;
}

struct State {
  std::mutex mutex;
  std::vector<OzyTransferEventStatus*> monitored;  // in the order they were set
  OzyTransferEventStatus unseen{};                 // where no-eof sends the EOF times
  bool holding = false;                            // out-of-order: a wait to come
  std::vector<OzyTransferEventStatus> held;        // ... and its run's records
  std::set<OzyJob*> bound_jobs;                    // first-binding
};

State& state() {
  static State* const state = new State();
  return *state;
}

}  // namespace

extern "C" {

OzyError OzySetTransferEventMonitor(OzyJob* job, OzyNode* node, OzyTransferEventStatus* status) {
  static auto* const real = REAL(OzySetTransferEventMonitor);
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().monitored.push_back(status);
    // libtalon sets the start-of-frame monitor, then the end-of-frame one.
    if (Mode("no-eof") && state().monitored.size() % 2 == 0) status = &state().unseen;
  }
  return real(job, node, status);
}

OzyError OzyWaitForCompletionWithTimeout(OzyJob* job, uint64_t timeout_ns) {
  static auto* const real = REAL(OzyWaitForCompletionWithTimeout);
  if (!Mode("out-of-order")) return real(job, timeout_ns);
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.holding) {
      for (size_t i = 0; i < s.held.size(); ++i) *s.monitored[i] = s.held[i];
      s.holding = false;
      return OZY_SUCCESS;
    }
  }
  const OzyError error = real(job, timeout_ns);
  if (error != OZY_SUCCESS) return error;
  std::vector<OzyTransferEventStatus> own;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const OzyTransferEventStatus* status : s.monitored) own.push_back(*status);
  }
  if (real(job, timeout_ns) == OZY_SUCCESS) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.held = own;
    s.holding = true;
  }
  return error;
}

OzyError OzyFinalizeBuffers(OzyJob* job, const OzyFinalizeBufferInfo* infos, int32_t count) {
  static auto* const real = REAL(OzyFinalizeBuffers);
  if (Mode("first-binding")) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!state().bound_jobs.insert(job).second) return OZY_SUCCESS;
  }
  return real(job, infos, count);
}

OzyError OzyResetDevice(OzyDevice* device) {
  static auto* const real = REAL(OzyResetDevice);
  if (Mode("slow-reset")) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return Mode("ignore-reset") ? OZY_SUCCESS : real(device);
}

}  // extern "C"
