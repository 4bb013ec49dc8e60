// A small client of the installed libraries: a capture configuration, a frame
// buffer, a description text, and a provisioning message.

#include <cstdio>
#include <cstring>

#include "oemlock/OemLockProvision.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_service.h"
#include "system/capture/capture_util.h"

int main() {
  vireo::CaptureConfig config;
  config.stream_configs = {{vireo::CSI2_RAW10, 64, 4, 10, true}};
  auto factory = vireo::CaptureFrameBufferFactory::CreateInstance(config);
  if (factory == nullptr || factory->Create() == nullptr) return 1;
  if (vireo::vireo_util::GetRowStrideBytes(config.stream_configs[0]) != 128) return 2;
  if (std::strcmp(vireo::GetCaptureErrorDesc(vireo::CaptureError::TIMEOUT), "timeout") != 0) {
    return 3;
  }
  orchard::hardware::oemlock::OemLockProvision provision;
  if (!provision.Generate()) return 4;
  std::puts("consumer ok");
  return 0;
}
