// Stops talon-cam's capture on SIGINT or SIGTERM at once, also when the
// capture thread is blocked in a dequeue that the next frame or a timeout
// would end only much later. A signal handler can do nothing of that
// itself, so the handler only writes the signal's number into a pipe
// (async-signal-safe); a watcher thread reads it, marks the stop and wakes
// the watched capture session, whose waits end within a slice
// (support/capture_session.h: kWaitSliceMs); the capture thread then drains
// it. Each handler resets itself: a second signal of the same kind ends the
// process as if no handler were installed.
//
// Threads: Start, Watch, Unwatch and Stop are called from the capture
// thread; stop_signal() from any thread. The watcher thread runs from Start
// until Stop (or destruction). The watched session is woken under the
// watcher's mutex, from the watcher thread or Watch. The session belongs to
// the caller, which calls Unwatch before letting go of it. One StopWatcher
// per process: the pipe is the handlers' and stays open until the process
// exits, so that a late signal never writes into a reused descriptor.

#ifndef TOOLS_TALON_CAM_STOP_WATCHER_H_
#define TOOLS_TALON_CAM_STOP_WATCHER_H_

#include <atomic>
#include <thread>

#include "base/mutex.h"
#include "support/capture_session.h"

namespace talon_cam {

class StopWatcher {
 public:
  StopWatcher() = default;
  StopWatcher(const StopWatcher&) = delete;
  StopWatcher& operator=(const StopWatcher&) = delete;
  ~StopWatcher() { Stop(); }

  // Installs the handlers of SIGINT and SIGTERM and starts the watcher
  // thread; false, said on stderr, when it cannot.
  bool Start();
  // The session to wake on a signal; woken at once if one came already.
  void Watch(talon_support::CaptureSession* session);
  // Forgets the watched session.
  void Unwatch() { Watch(nullptr); }
  // Ends the watcher thread; a later signal changes nothing (a second of
  // the same kind ends the process).
  void Stop();

  // The signal that asked for the stop; 0 while none came.
  int stop_signal() const { return signal_.load(); }

 private:
  void Run();

  vireo::Mutex mutex_;
  talon_support::CaptureSession* session_ ABSL_GUARDED_BY(mutex_) = nullptr;
  std::atomic<int> signal_{0};
  std::thread thread_;
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_STOP_WATCHER_H_
