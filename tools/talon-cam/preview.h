// A viewable preview of one captured stream: the CSI-2 payload (RAW8, packed
// RAW10 or RAW16 little-endian) unpacked to 8-bit samples, a simple demosaic
// of the RGGB Bayer mosaic (R at even row and even column, B at odd row and
// odd column, G elsewhere) into 8-bit RGB, and a PNG file written with
// libpng, replacing its file atomically (support/atomic_file.h).
//
// Plain functions without state; callers own the memory they pass.

#ifndef TOOLS_TALON_CAM_PREVIEW_H_
#define TOOLS_TALON_CAM_PREVIEW_H_

#include <cstdint>
#include <string>
#include <vector>

namespace talon_cam {

// Unpacks `height` rows of `width` samples, rows `stride` bytes apart, into
// width × height 8-bit samples (the top 8 bits of each). False when bits is
// not 8, 10 or 16 or a row's payload does not fit in `stride`.
bool UnpackTo8Bit(const uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                  uint32_t bits, std::vector<uint8_t>* samples);

// Demosaics width × height RGGB samples into width × height RGB triplets:
// each pixel takes R, the mean of the Gs, and B of its 2×2 cell (channels
// missing at an odd right or bottom edge read as 0).
std::vector<uint8_t> DemosaicRggb(const std::vector<uint8_t>& samples, uint32_t width,
                                  uint32_t height);

// Writes width × height RGB triplets as an 8-bit RGB PNG. False with a
// reason in `error` when the file cannot be written (the old one is then
// left as it was).
bool WritePng(const std::string& path, const std::vector<uint8_t>& rgb, uint32_t width,
              uint32_t height, std::string* error);

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_PREVIEW_H_
