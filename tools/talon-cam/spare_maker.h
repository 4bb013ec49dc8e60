// The spare frame buffers talon-cam gives the service in place of those its
// outputs keep while they write, made ahead of need on a thread of its own:
// making a 12 MP buffer costs tens of milliseconds (the memory is allocated
// and its pages touched), which on the capture thread would make the sensor
// drop frames. The maker makes nothing until the outputs fall behind (the
// capture used the spares made before it started); from then on it keeps a
// few buffers made and not yet taken, and as many more as were taken, up to
// its budget (the frames the write memory holds).
//
// Threads: the capture thread calls Start, Demand, Take, WaitTake, failed
// and Stop; the maker's thread calls the `make` given to Start (the capture
// session's MakeFrame), between Start and Stop only. The maker owns the
// buffers it made until they are taken; a taken one is the taker's.

#ifndef TOOLS_TALON_CAM_SPARE_MAKER_H_
#define TOOLS_TALON_CAM_SPARE_MAKER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "system/capture/capture_frame_buffer.h"

namespace talon_cam {

class SpareMaker {
 public:
  SpareMaker() = default;
  ~SpareMaker() { Stop(); }
  SpareMaker(const SpareMaker&) = delete;
  SpareMaker& operator=(const SpareMaker&) = delete;

  // Makes a frame buffer, or null when the library cannot (it logs why).
  using Make = std::function<std::unique_ptr<vireo::CaptureFrameBuffer>()>;

  // Starts the thread that will make up to `budget` buffers with `make`,
  // keeping `ahead` of them, and as many as were taken, made and not taken.
  // Nothing is started for a budget of 0.
  void Start(Make make, uint64_t budget, uint64_t ahead);
  // The outputs fall behind: buffers are made from now on.
  void Demand();
  // A buffer made and not yet taken; null when none is ready now.
  std::unique_ptr<vireo::CaptureFrameBuffer> Take();
  // As Take, but waits while one is being made; null when none will come
  // (the budget is spent, a buffer could not be made, or Stop was called).
  std::unique_ptr<vireo::CaptureFrameBuffer> WaitTake();
  // Whether a buffer could not be made (the maker then stopped).
  bool failed() const;
  // Stops making buffers and ends the thread; the ones made and not taken
  // go with the maker.
  void Stop();

 private:
  void Run(const Make& make);
  std::unique_ptr<vireo::CaptureFrameBuffer> TakeReady() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  std::thread thread_;
  mutable vireo::Mutex mutex_;
  vireo::CondVar changed_{&mutex_};
  uint64_t budget_ ABSL_GUARDED_BY(mutex_) = 0;  // buffers still to make
  uint64_t ahead_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t taken_ ABSL_GUARDED_BY(mutex_) = 0;
  bool demanded_ ABSL_GUARDED_BY(mutex_) = false;
  bool failed_ ABSL_GUARDED_BY(mutex_) = false;
  bool stopping_ ABSL_GUARDED_BY(mutex_) = false;
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> ready_ ABSL_GUARDED_BY(mutex_);
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_SPARE_MAKER_H_
