#include "tools/talon-cam/frame_files.h"

#include <cstdio>

#include "system/capture/capture_types.h"
#include "tools/talon-cam/dng_writer.h"
#include "tools/talon-cam/frame_metadata.h"

namespace talon_cam {

bool FrameFiles::Begin() {
  if (options_.metadata_path.empty()) return true;
  std::string error;
  if (!metadata_.Create(options_.metadata_path, &error)) {
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    return false;
  }
  return true;
}

bool FrameFiles::WriteDng(const vireo::CaptureFrameBuffer& buffer,
                          const vireo::CaptureStreamConfig& stream, const std::string& path,
                          const std::string& description) {
  void* data = nullptr;
  if (buffer.LockFrameData(stream.data_type, &data) != vireo::CaptureError::SUCCESS ||
      data == nullptr) {
    std::fprintf(stderr, "talon-cam: cannot lock the data of stream %d for %s\n",
                 stream.data_type, path.c_str());
    return false;
  }
  DngImage image;
  image.data = static_cast<const uint8_t*>(data);
  image.stride = buffer.GetRowStrideBytes(stream.data_type);
  image.width = stream.width;
  image.height = stream.height;
  image.bits = stream.bits_per_component;
  image.cfa = options_.cfa;
  image.description = description;
  std::string error;
  const bool ok = talon_cam::WriteDng(path, image, &error);
  buffer.UnlockFrameData(stream.data_type);
  if (!ok) std::fprintf(stderr, "talon-cam: cannot write %s: %s\n", path.c_str(), error.c_str());
  return ok;
}

bool FrameFiles::Add(const vireo::CaptureFrameBuffer& buffer, uint64_t index,
                     const capture_stats::FrameRecord& record) {
  if (options_.dng_pattern.empty() && options_.metadata_path.empty()) return true;
  const bool success = record.error == vireo::CaptureError::SUCCESS;
  FrameMetadata frame;
  frame.frame = index;
  frame.sequence = record.sensor_sequence;
  frame.sof_ns = record.sof_ns;
  frame.eof_ns = record.eof_ns;
  frame.error = record.error;
  bool ok = true;
  for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
    StreamMetadata s;
    s.data_type = stream.data_type;
    s.row_stride = buffer.GetRowStrideBytes(stream.data_type);
    s.size_bytes = s.row_stride * stream.height;
    if (success && !options_.output_pattern.empty()) {
      s.file = ExpandOutputPattern(options_.output_pattern, stream.data_type, index);
    }
    if (success && !options_.dng_pattern.empty()) {
      // Each DNG describes its own stream's frame and the whole configuration.
      FrameMetadata own = frame;
      own.streams = {s};
      own.streams[0].dng = ExpandOutputPattern(options_.dng_pattern, stream.data_type, index);
      if (WriteDng(buffer, stream, own.streams[0].dng, FrameJson(own, &options_.config))) {
        s.dng = own.streams[0].dng;
      } else {
        ok = false;
      }
    }
    frame.streams.push_back(s);
  }
  if (metadata_.fd() >= 0 && !metadata_failed_) {
    std::string error;
    if (!metadata_.Write(FrameJson(frame, nullptr) + "\n", &error)) {
      std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
      metadata_failed_ = true;
      ok = false;
    }
  }
  return ok;
}

bool FrameFiles::Finish() {
  if (options_.metadata_path.empty()) return true;
  // A file that lost lines does not replace the old one.
  std::string error = "lines were lost; " + options_.metadata_path + " not written";
  if (metadata_failed_ || !metadata_.Commit(&error)) {
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    return false;
  }
  return true;
}

}  // namespace talon_cam
