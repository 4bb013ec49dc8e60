// A small client of the installed libraries: a capture configuration, a frame
// buffer, a description text, a provisioning message, and a raw frame
// developed by the software ISP.

#include <cstdio>
#include <cstring>

#include "isp/isp.h"
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
  const uint8_t raw[2][2] = {{100, 200}, {200, 50}};
  uint8_t rgb[4 * 3];
  talon_isp::Isp isp;
  const talon_isp::Image out{talon_isp::PixelFormat::kRgb, 2, 2, {rgb}, {6}};
  if (!isp.Develop({raw, 2, 2, 2, talon_isp::RawFormat::kRaw8}, {}, out, nullptr, nullptr)) {
    return 5;
  }
  std::puts("consumer ok");
  return 0;
}
