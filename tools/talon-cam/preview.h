// The --png preview's file: 8-bit RGB (a frame developed by the software
// ISP, developer.h) written as a PNG with libpng, replacing its file
// atomically (support/atomic_file.h).
//
// A plain function without state; callers own the memory they pass.

#ifndef TOOLS_TALON_CAM_PREVIEW_H_
#define TOOLS_TALON_CAM_PREVIEW_H_

#include <cstdint>
#include <string>
#include <vector>

namespace talon_cam {

// Writes width × height RGB triplets as an 8-bit RGB PNG. False with a
// reason in `error` when the file cannot be written (the old one is then
// left as it was).
bool WritePng(const std::string& path, const std::vector<uint8_t>& rgb, uint32_t width,
              uint32_t height, std::string* error);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_PREVIEW_H_
