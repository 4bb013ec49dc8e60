#include "system/capture/capture_frame_buffer_factory_impl.h"

#include "base/logging.h"
#include "system/capture/capture_frame_buffer_impl.h"
#include "system/capture/capture_stream_check.h"
#include "system/capture/capture_util.h"
#include "system/capture/held_buffers.h"

namespace vireo {

CaptureFrameBufferFactory::~CaptureFrameBufferFactory() {}

std::unique_ptr<CaptureFrameBufferFactory> CaptureFrameBufferFactory::CreateInstance(
    const CaptureConfig& config) {
  auto factory = std::make_unique<CaptureFrameBufferFactoryImpl>(config);
  if (factory->Initialize() != CaptureError::SUCCESS) return nullptr;
  return factory;
}

CaptureFrameBufferFactoryImpl::CaptureFrameBufferFactoryImpl(const CaptureConfig& config)
    : config_(config) {}

CaptureFrameBufferFactoryImpl::~CaptureFrameBufferFactoryImpl() {
  if (allocator_ != nullptr) OzyDeleteMemoryAllocator(allocator_);
}

CaptureError CaptureFrameBufferFactoryImpl::Initialize() {
  OzyError error = OzyGetMemoryAllocator(OZY_MEMORY_ALLOCATOR_ION, &allocator_);
  if (error != OZY_SUCCESS) {
    allocator_ = nullptr;
    LOG(ERROR) << "Could not get ion memory allocator";
  }
  return vireo_util::GetCaptureError(error);
}

std::unique_ptr<CaptureFrameBuffer> CaptureFrameBufferFactoryImpl::Create() {
  if (allocator_ == nullptr) {
    LOG(ERROR) << "Allocator not initialized";
    return nullptr;
  }
  if (vireo_util::CheckCaptureConfig(config_) != CaptureError::SUCCESS ||
      stream_check::HasRepeatedDataType(config_) || !stream_check::AllRowsFit(config_)) {
    LOG(ERROR) << "Invalid configuration";
    return nullptr;
  }
  CaptureFrameBufferImpl::EntryMap entries;
  for (const CaptureStreamConfig& stream : config_.stream_configs) {
    OzyDeviceBuffer* handle = nullptr;
    OzyError error = OzyCreateDeviceBufferManaged(allocator_, vireo_util::GetSizeBytes(stream), 64,
                                                  0, 0, &handle);
    if (error != OZY_SUCCESS) {
      LOG(ERROR) << "Could not create frame buffer, error code " << error;
      if (handle != nullptr) OzyDeleteDeviceBuffer(handle);
      for (auto& [data_type, entry] : entries) OzyDeleteDeviceBuffer(entry.second);
      return nullptr;
    }
    entries[stream.data_type] = {stream, handle};
  }
  auto frame_buffer = std::make_unique<CaptureFrameBufferImpl>(entries);
  held_buffers::AddFactoryBuffer(frame_buffer.get());
  return frame_buffer;
}

}  // namespace vireo
