// The frame buffer of the capture service: one device buffer per stream,
// keyed by the stream's data type, plus the status, error and timestamps of
// its last capture.
//
// A capture service binds only buffers that a CaptureFrameBufferFactory made
// (their entries tell the truth about their device buffers), and one
// service at a time holds a buffer, from its acceptance until it hands it
// back (DequeueCompletedRequest, ClearPendingRequests, or the service's
// end). Both facts are kept on the service's side (held_buffers.h), not in
// the buffer, whose members are exactly those that clients compile against.
// A buffer built with the public constructor, or an object of a subclass,
// is never made by a factory, so no service accepts it.
//
// Threading: no locks. The capture job thread writes status, error and
// timestamps through the setters while the service holds the buffer; the
// service's queue mutexes order those writes before the client's dequeue.
// Ownership: owns the device buffers in its entries and deletes each once.
// Destroying a buffer that a service holds is a fatal error naming it.

#ifndef SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_IMPL_H_
#define SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_IMPL_H_

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/export.h"
#include "system/capture/capture_frame_buffer.h"

namespace vireo {

// The CaptureFrameBuffer that CaptureFrameBufferFactory makes and the capture
// service accepts; clients see it only through the base class.
class TALON_EXPORT CaptureFrameBufferImpl : public CaptureFrameBuffer {
 public:
  // data type -> (the stream's configuration, its device buffer).
  using EntryMap = std::unordered_map<int, std::pair<CaptureStreamConfig, OzyDeviceBuffer*>>;

  // Copies the entries and takes over their device buffers. A buffer made
  // this way, outside a factory, is refused by every capture service.
  explicit CaptureFrameBufferImpl(const EntryMap& entries);
  // A fatal error while a capture service holds the buffer.
  ~CaptureFrameBufferImpl() override;
  CaptureFrameBufferImpl(const CaptureFrameBufferImpl&) = delete;
  CaptureFrameBufferImpl& operator=(const CaptureFrameBufferImpl&) = delete;

  OzyDeviceBuffer* GetBufferHandle(int data_type) const override;
  CaptureStatus GetStatus() const override;
  int64_t GetTimestampStartNs() const override;
  int64_t GetTimestampEndNs() const override;
  CaptureError GetError() const override;
  std::vector<int> GetDataTypeList() const override;
  CaptureError LockFrameData(int data_type, void** data) const override;
  CaptureError UnlockFrameData(int data_type) const override;
  uint64_t GetRowStrideBytes(int data_type) const override;

  // Bytes of the device buffer of `data_type` (row stride × height of the
  // stream it was made for); 0 when the buffer holds no such data type. Not
  // exported.
  __attribute__((visibility("hidden"))) uint64_t GetSizeBytes(int data_type) const;

  // Plain stores, unchecked, for the capture job thread while the service
  // holds the buffer; the getters above read what they stored.
  void SetStatus(CaptureStatus status) { status_ = status; }
  void SetError(CaptureError error) { error_ = error; }
  void SetTimestampStartNs(int64_t timestamp_ns) { timestamp_start_ns_ = timestamp_ns; }
  void SetTimestampEndNs(int64_t timestamp_ns) { timestamp_end_ns_ = timestamp_ns; }

 private:
  EntryMap entries_;
  CaptureStatus status_ = CaptureStatus::IDLE;
  int64_t timestamp_start_ns_ = 0;
  int64_t timestamp_end_ns_ = 0;
  CaptureError error_ = CaptureError::SUCCESS;
};

}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_IMPL_H_
