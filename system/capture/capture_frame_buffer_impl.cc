#include "system/capture/capture_frame_buffer_impl.h"

#include "base/logging.h"
#include "system/capture/capture_util.h"
#include "system/capture/held_buffers.h"

namespace vireo {
namespace {

using Entry = CaptureFrameBufferImpl::EntryMap::mapped_type;

// The entry of `data_type`, or an all-zero entry with a null buffer.
const Entry& GetMapValue(const CaptureFrameBufferImpl::EntryMap& entries, int data_type) {
  static const Entry kMissing{CaptureStreamConfig{static_cast<MipiDataTypeCsi2>(0), 0, 0, 0, false},
                              nullptr};
  auto it = entries.find(data_type);
  return it == entries.end() ? kMissing : it->second;
}

}  // namespace

CaptureFrameBuffer::~CaptureFrameBuffer() {}

CaptureFrameBufferImpl::CaptureFrameBufferImpl(const EntryMap& entries) : entries_(entries) {}

CaptureFrameBufferImpl::~CaptureFrameBufferImpl() {
  held_buffers::Forget(this);
  for (auto& [data_type, entry] : entries_) {
    if (OzyDeleteDeviceBuffer(entry.second) != OZY_SUCCESS) {
      LOG(ERROR) << "Device buffer not deleted";
    }
  }
}

OzyDeviceBuffer* CaptureFrameBufferImpl::GetBufferHandle(int data_type) const {
  return GetMapValue(entries_, data_type).second;
}

CaptureStatus CaptureFrameBufferImpl::GetStatus() const { return status_; }

int64_t CaptureFrameBufferImpl::GetTimestampStartNs() const {
  CHECK_NE(status_, CaptureStatus::RUNNING);
  return error_ == CaptureError::SUCCESS ? timestamp_start_ns_ : 0;
}

int64_t CaptureFrameBufferImpl::GetTimestampEndNs() const {
  CHECK_NE(status_, CaptureStatus::RUNNING);
  return error_ == CaptureError::SUCCESS ? timestamp_end_ns_ : 0;
}

CaptureError CaptureFrameBufferImpl::GetError() const { return error_; }

std::vector<int> CaptureFrameBufferImpl::GetDataTypeList() const {
  std::vector<int> data_types;
  data_types.reserve(entries_.size());
  for (const auto& [data_type, entry] : entries_) data_types.push_back(data_type);
  return data_types;
}

CaptureError CaptureFrameBufferImpl::LockFrameData(int data_type, void** data) const {
  OzyDeviceBuffer* buffer = GetMapValue(entries_, data_type).second;
  if (buffer == nullptr) return CaptureError::DATA_TYPE_NOT_FOUND;
  return vireo_util::GetCaptureError(OzyLockDeviceBuffer(buffer, data));
}

CaptureError CaptureFrameBufferImpl::UnlockFrameData(int data_type) const {
  OzyDeviceBuffer* buffer = GetMapValue(entries_, data_type).second;
  if (buffer == nullptr) return CaptureError::DATA_TYPE_NOT_FOUND;
  return vireo_util::GetCaptureError(OzyUnlockDeviceBuffer(buffer));
}

uint64_t CaptureFrameBufferImpl::GetRowStrideBytes(int data_type) const {
  return vireo_util::GetRowStrideBytes(GetMapValue(entries_, data_type).first);
}

uint64_t CaptureFrameBufferImpl::GetSizeBytes(int data_type) const {
  const Entry& entry = GetMapValue(entries_, data_type);
  return entry.second == nullptr ? 0 : vireo_util::GetSizeBytes(entry.first);
}

}  // namespace vireo
