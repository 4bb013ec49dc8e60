// A frame buffer: one frame of every stream of a CaptureConfig, each stream in
// a device buffer of its own that the IPU writes and the CPU reaches by
// locking it. Clients make frame buffers with a CaptureFrameBufferFactory for
// the same configuration as their capture service.
//
// Threading: a frame buffer is used by one thread at a time: by the client
// while the client holds it, by the capture service from EnqueueRequest until
// DequeueCompletedRequest hands it back. Clients read nothing of a buffer that
// the service holds.
// Ownership: the client owns its frame buffers; a frame buffer owns its device
// buffers. The factory owns its memory allocator.

#ifndef SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_H_
#define SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "base/export.h"
#include "system/capture/capture_types.h"
#include "system/ipu_runtime/prism.h"

namespace vireo {

// One frame of every configured stream and the outcome of its last capture.
// The client reads it between DequeueCompletedRequest and the next
// EnqueueRequest (threading and ownership: the top of capture_frame_buffer.h).
class TALON_EXPORT CaptureFrameBuffer {
 public:
  // Out of line, so that the class's virtual table lives in libtalon.
  virtual ~CaptureFrameBuffer();

  // The stream's device buffer, or null when the buffer holds no such stream.
  virtual OzyDeviceBuffer* GetBufferHandle(int data_type) const = 0;
  // Where the buffer is in its capture cycle: COMPLETED once it came back
  // from DequeueCompletedRequest, IDLE before it was ever enqueued.
  virtual CaptureStatus GetStatus() const = 0;
  // Start and end of frame of the last capture, CLOCK_BOOTTIME nanoseconds;
  // 0 when the last capture failed. Not while the service holds the buffer.
  virtual int64_t GetTimestampStartNs() const = 0;
  virtual int64_t GetTimestampEndNs() const = 0;
  // The outcome of the last capture: SUCCESS when the frame data and the
  // timestamps are valid, else why not: CAPTURE_CANCELLED for a buffer
  // handed back by Pause, TIMEOUT when the frame did not arrive in time, ...
  virtual CaptureError GetError() const = 0;
  // The data types the buffer holds, in no particular order.
  virtual std::vector<int> GetDataTypeList() const = 0;
  // Locks the stream's data for the CPU; row r starts
  // GetRowStrideBytes(data_type) × r bytes after *data.
  // DATA_TYPE_NOT_FOUND when the buffer holds no such stream; else the
  // runtime's result. *data is valid until the buffer is enqueued again (the
  // service unlocks the data before the next capture).
  virtual CaptureError LockFrameData(int data_type, void** data) const = 0;
  // Ends the CPU's access that LockFrameData began; the address it gave is
  // no longer valid. DATA_TYPE_NOT_FOUND when the buffer holds no such stream.
  virtual CaptureError UnlockFrameData(int data_type) const = 0;
  // Bytes from one row of the stream to the next (vireo_util::GetRowStrideBytes
  // of its configuration); 0 when the buffer holds no such stream.
  virtual uint64_t GetRowStrideBytes(int data_type) const = 0;
};

// Makes frame buffers for one CaptureConfig, the same the client gives its
// CaptureService. Create is called by one thread at a time.
class TALON_EXPORT CaptureFrameBufferFactory {
 public:
  // Out of line, so that the class's virtual table lives in libtalon. Frame
  // buffers made by the factory remain usable after it is gone.
  virtual ~CaptureFrameBufferFactory();

  // A new frame buffer for the factory's configuration, or empty.
  virtual std::unique_ptr<CaptureFrameBuffer> Create() = 0;

  // A ready factory for `config`, or empty when the runtime's memory
  // allocator cannot be had.
  static std::unique_ptr<CaptureFrameBufferFactory> CreateInstance(const CaptureConfig& config);
};

}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_H_
