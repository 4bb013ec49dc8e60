// The frame-buffer factory of the capture service: allocates, per frame
// buffer, one device buffer per stream from the runtime's ION allocator.
//
// Threading: Create may be called from one thread at a time; frame buffers it
// made are independent of each other and of the factory.
// Ownership: owns its allocator (deleted by the destructor). Frame buffers may
// outlive the factory: each device buffer is an allocation of its own.

#ifndef SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_FACTORY_IMPL_H_
#define SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_FACTORY_IMPL_H_

#include <memory>

#include "base/export.h"
#include "system/capture/capture_frame_buffer.h"

namespace vireo {

// The CaptureFrameBufferFactory that CaptureFrameBufferFactory::CreateInstance
// returns, initialised.
class TALON_EXPORT CaptureFrameBufferFactoryImpl : public CaptureFrameBufferFactory {
 public:
  // Copies `config`; checks nothing.
  explicit CaptureFrameBufferFactoryImpl(const CaptureConfig& config);
  ~CaptureFrameBufferFactoryImpl() override;
  CaptureFrameBufferFactoryImpl(const CaptureFrameBufferFactoryImpl&) = delete;
  CaptureFrameBufferFactoryImpl& operator=(const CaptureFrameBufferFactoryImpl&) = delete;

  // Obtains the ION allocator; the translated runtime result.
  CaptureError Initialize();

  // A frame buffer with one device buffer per stream, or empty (logged) when
  // the factory has no allocator, the configuration fails its check, names a
  // data type twice or has a row that does not fit 32 bits, or a device
  // buffer cannot be made. Capture services accept only buffers made here.
  std::unique_ptr<CaptureFrameBuffer> Create() override;

 private:
  CaptureConfig config_;
  OzyMemoryAllocator* allocator_ = nullptr;
};

}  // namespace vireo

#endif  // SYSTEM_CAPTURE_CAPTURE_FRAME_BUFFER_FACTORY_IMPL_H_
