// The capture service that captures the configured MIPI CSI-2 streams into
// frame buffers in the IPU's DRAM. It builds, once, the device, one MIPI input
// and one DRAM transfer node per stream, the compiled transfer graph, the job
// and two transfer-event monitors (start of frame at the first MIPI node, end
// of frame at the first DRAM node), and hands them to a CaptureJobThread,
// which captures on a thread of its own.
//
// Threading: as CaptureService. Initialize, InitializeIpu and InitializeThread
// run on the creating thread before the worker starts; the worker only reads
// what they built. The service adds no lock of its own: the client calls go
// to the worker, whose destructor (after the stop that releases the clients
// blocked in DequeueCompletedRequest) waits until every client call under
// way has left it. The service's members are exactly those that clients
// built for the device compile against; whatever more a service must know
// lives in the worker.
// Ownership: owns every IPU handle and node and the CaptureJobThread, and
// deletes them when destroyed (worker stopped first, then the IPU objects,
// device first).

#ifndef SYSTEM_CAPTURE_DRAM_CAPTURE_SERVICE_H_
#define SYSTEM_CAPTURE_DRAM_CAPTURE_SERVICE_H_

#include <memory>

#include "base/export.h"
#include "system/capture/capture_job_thread.h"
#include "system/capture/capture_ozy_helper.h"
#include "system/capture/capture_service.h"
#include "system/ipu_runtime/prism.h"

namespace vireo {

// The CaptureService that CaptureService::CreateInstance returns, initialised
// and running. Made directly, it captures nothing until Initialize succeeds
// (EnqueueRequest answers INVALID_REQUEST, DequeueCompletedRequest null).
class TALON_EXPORT DramCaptureService : public CaptureService {
 public:
  // Copies `config`; builds and checks nothing.
  explicit DramCaptureService(const CaptureConfig& config);
  ~DramCaptureService() override;
  DramCaptureService(const DramCaptureService&) = delete;
  DramCaptureService& operator=(const DramCaptureService&) = delete;

  CaptureError EnqueueRequest(CaptureFrameBuffer* frame_buffer) override;
  CaptureFrameBuffer* DequeueCompletedRequest() override;
  // The free TryDequeueCompletedRequest (capture_service.h) for this service.
  CaptureFrameBuffer* TryDequeueCompletedRequest(uint32_t timeout_ms);
  void ClearPendingRequests() override;
  void Pause() override;
  void Resume() override;

  // Checks the configuration (INVALID_CONFIG), then InitializeIpu, then
  // InitializeThread; the first failure is the result. On failure the
  // objects built so far stay until the destructor frees them.
  CaptureError Initialize();
  // Builds the device, the transfer nodes, the compiled graph, the job and
  // its two event monitors. ALREADY_INITIALIZED when they exist,
  // INVALID_CONFIG for a component width other than 8, 10 or 16 bits or a
  // data type used twice, else the first failed step's error (logged).
  CaptureError InitializeIpu();
  // Creates the CaptureJobThread for the IPU objects and starts it;
  // ALREADY_INITIALIZED when it exists, INVALID_REQUEST (logged) before a
  // successful InitializeIpu or after ReleaseIpu, BACKGROUND_THREAD_ERROR
  // when the system refuses the thread.
  CaptureError InitializeThread();
  // Stops the worker (as Pause) and deletes every IPU object, forgetting
  // their handles. The destructor calls it; a call before that releases,
  // and a later call deletes nothing again. A service that had a worker
  // then captures nothing more: Resume is refused (logged), InitializeIpu
  // answers ALREADY_INITIALIZED and the destructor's call does nothing.
  // One that never had a worker is as constructed again.
  void ReleaseIpu();

  // Clients blocked in DequeueCompletedRequest right now; for tests, not
  // exported.
  __attribute__((visibility("hidden"))) int BlockedClientCount();

 private:
  // Constant after construction.
  CaptureConfig config_;

  // Built by Initialize on the creating thread before the worker starts,
  // freed by ReleaseIpu (owner thread); read-only in between.
  std::unique_ptr<CaptureJobThread> capture_job_thread_;
  OzyDevice* device_ = nullptr;
  OzyGraph* graph_ = nullptr;
  OzyCompiledGraph* compiled_graph_ = nullptr;
  OzyJob* job_ = nullptr;
  ozy::TransferNodes transfer_nodes_;
  OzyTransferEventStatus sof_status_{};
  OzyTransferEventStatus eof_status_{};
};

}  // namespace vireo

#endif  // SYSTEM_CAPTURE_DRAM_CAPTURE_SERVICE_H_
