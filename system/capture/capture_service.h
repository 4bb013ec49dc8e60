// The capture API: a client creates a service for one CaptureConfig, creates
// frame buffers for the same configuration with CaptureFrameBufferFactory,
// hands empty buffers to EnqueueRequest and takes them back filled, in the
// order in which they were handed in, from DequeueCompletedRequest.
//
//   auto service = vireo::CaptureService::CreateInstance(config);
//   auto factory = vireo::CaptureFrameBufferFactory::CreateInstance(config);
//   auto a = factory->Create(), b = factory->Create();
//   service->EnqueueRequest(a.get());
//   service->EnqueueRequest(b.get());
//   while (capturing) {
//     vireo::CaptureFrameBuffer* done = service->DequeueCompletedRequest();
//     ... read done->GetError(), timestamps, LockFrameData ...
//     service->EnqueueRequest(done);
//   }
//
// Once created, a service runs: the next buffer must arrive within the
// configuration's timeout_ms (keep at least one, for gap-free capture two,
// buffers enqueued). Pause stops the capture; Resume starts it again;
// ClearPendingRequests drops the waiting buffers of a paused service.
//
// A client that must not block without a limit (to notice a Ctrl-C, or to
// be woken alone) waits with the free function TryDequeueCompletedRequest
// below instead, which leaves the capture running.
//
// Threading: EnqueueRequest, DequeueCompletedRequest,
// TryDequeueCompletedRequest and ClearPendingRequests may be called from any
// thread, also concurrently. Pause, Resume and
// destruction are called by the service's owner, one at a time; Pause (and so
// destruction) releases every thread blocked in DequeueCompletedRequest.
// Ownership: the client owns its frame buffers throughout; the service only
// holds pointers to them while they are in its queues: from EnqueueRequest
// until a dequeue hands the buffer back, ClearPendingRequests drops it or
// the service is destroyed. Destroying a buffer the service holds is a
// fatal error; destroy the service first.

#ifndef SYSTEM_CAPTURE_CAPTURE_SERVICE_H_
#define SYSTEM_CAPTURE_CAPTURE_SERVICE_H_

#include <cstdint>
#include <memory>

#include "base/export.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_types.h"

namespace vireo {

// A running capture of one CaptureConfig into the client's frame buffers.
// Made by CreateInstance; destroying it stops the capture and releases the
// IPU. The cycle, threading and ownership: the top of capture_service.h.
class TALON_EXPORT CaptureService {
 public:
  // Out of line, so that the class's virtual table lives in libtalon.
  virtual ~CaptureService();

  // SUCCESS, or INVALID_BUFFER for a null buffer, a buffer not made by
  // CaptureFrameBufferFactory, or one that this or another service holds.
  // A factory's buffer made for other streams (data types, row strides,
  // heights) is accepted and comes back COMPLETED with INVALID_BUFFER (or
  // DATA_TYPE_NOT_FOUND), never captured into.
  virtual CaptureError EnqueueRequest(CaptureFrameBuffer* frame_buffer) = 0;
  // The oldest completed buffer. While capture runs it blocks until one
  // completes; while paused it returns the completed ones, then null.
  virtual CaptureFrameBuffer* DequeueCompletedRequest() = 0;
  // Drops the waiting buffers of a paused service unchanged.
  virtual void ClearPendingRequests() = 0;
  // Stops the capture: on return the submitted buffers are completed.
  virtual void Pause() = 0;
  // Starts a paused capture again with the buffers still pending.
  virtual void Resume() = 0;

  // An initialised, running service, or empty (the log says why).
  static std::unique_ptr<CaptureService> CreateInstance(const CaptureConfig& config);
};

// As service->DequeueCompletedRequest(), waiting at most `timeout_ms` (0: not
// at all): the oldest completed buffer, or null when none completed within
// that time or, while paused, when none is left. Never pauses, cancels or
// otherwise changes the capture. For the services that CreateInstance makes;
// for any other implementation of CaptureService it returns null at once.
// (A free function: the class's virtual table is fixed for clients built
// against it.)
TALON_EXPORT CaptureFrameBuffer* TryDequeueCompletedRequest(CaptureService* service,
                                                            uint32_t timeout_ms);

}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_SERVICE_H_
