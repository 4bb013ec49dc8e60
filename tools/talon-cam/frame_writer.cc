#include "tools/talon-cam/frame_writer.h"

#include <cstdio>
#include <string_view>

#include "system/capture/capture_types.h"
#include "tools/talon-cam/dng_writer.h"
#include "tools/talon-cam/preview.h"

namespace talon_cam {

const void* LockStreamData(const vireo::CaptureFrameBuffer& buffer,
                           const vireo::CaptureStreamConfig& stream) {
  void* data = nullptr;
  if (buffer.LockFrameData(stream.data_type, &data) != vireo::CaptureError::SUCCESS ||
      data == nullptr) {
    std::fprintf(stderr, "talon-cam: cannot lock the data of stream %d\n", stream.data_type);
    return nullptr;
  }
  return data;
}

bool FrameWriter::Begin() {
  if (options_.metadata_path.empty()) return true;
  std::string error;
  if (!metadata_.Create(options_.metadata_path, &error)) {
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    return false;
  }
  return true;
}

bool FrameWriter::WriteRaw(const std::string& path, const void* data, uint64_t size) {
  const std::string_view bytes(static_cast<const char*>(data), static_cast<size_t>(size));
  std::string error;
  if (path != options_.output_pattern) {  // a file of this frame alone, at frame rate
    talon_support::AtomicFile file;
    if (file.Create(path, &error) && file.Write(bytes, &error) &&
        file.Commit(&error, talon_support::AtomicFile::Sync::kOnRename)) {
      return true;
    }
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    return false;
  }
  CollectingFile& collecting = collecting_[path];
  if (collecting.failed) return false;
  if ((collecting.file.fd() < 0 && !collecting.file.Create(path, &error)) ||
      !collecting.file.Write(bytes, &error)) {
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    collecting.failed = true;
    return false;
  }
  return true;
}

bool FrameWriter::WriteDng(const vireo::CaptureStreamConfig& stream, const void* data,
                           uint64_t stride, const FrameMetadata& frame,
                           const StreamMetadata& written) {
  // Each DNG describes its own stream's frame and the whole configuration.
  FrameMetadata own = frame;
  own.streams = {written};
  DngImage image;
  image.data = static_cast<const uint8_t*>(data);
  image.stride = stride;
  image.width = stream.width;
  image.height = stream.height;
  image.bits = stream.bits_per_component;
  image.cfa = options_.cfa;
  image.description = FrameJson(own, &options_.config);
  std::string error;
  if (talon_cam::WriteDng(written.dng, image, &error)) return true;
  std::fprintf(stderr, "talon-cam: cannot write %s: %s\n", written.dng.c_str(), error.c_str());
  return false;
}

bool FrameWriter::WriteStream(const vireo::CaptureFrameBuffer& buffer,
                              const vireo::CaptureStreamConfig& stream,
                              const FrameMetadata& frame, StreamMetadata* written) {
  const bool raw = !options_.output_pattern.empty();
  const bool dng = !options_.dng_pattern.empty();
  const bool preview = !options_.png_path.empty();
  if (!raw && !dng && !preview) return true;
  if (raw) {
    written->file = ExpandOutputPattern(options_.output_pattern, stream.data_type, frame.frame);
  }
  const void* data = LockStreamData(buffer, stream);
  if (data == nullptr) return false;
  bool ok = !raw || WriteRaw(written->file, data, written->size_bytes);
  if (dng) {
    written->dng = ExpandOutputPattern(options_.dng_pattern, stream.data_type, frame.frame);
    if (!WriteDng(stream, data, written->row_stride, frame, *written)) {
      written->dng.clear();
      ok = false;
    }
  }
  if (preview) {
    StreamFrame& last = last_frames_[stream.data_type];
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    last.bytes.assign(bytes, bytes + written->size_bytes);
    last.stride = written->row_stride;
  }
  buffer.UnlockFrameData(stream.data_type);
  return ok;
}

bool FrameWriter::Add(const vireo::CaptureFrameBuffer& buffer, uint64_t index,
                      const talon_support::FrameRecord& record) {
  const bool success = record.error == vireo::CaptureError::SUCCESS;
  FrameMetadata frame;
  frame.frame = index;
  frame.sequence = record.sensor_sequence;
  frame.sof_ns = record.sof_ns;
  frame.eof_ns = record.eof_ns;
  frame.error = record.error;
  bool ok = true;
  for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
    StreamMetadata written;
    written.data_type = stream.data_type;
    written.row_stride = buffer.GetRowStrideBytes(stream.data_type);
    written.size_bytes = written.row_stride * stream.height;
    if (success && !WriteStream(buffer, stream, frame, &written)) ok = false;
    frame.streams.push_back(written);
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

bool FrameWriter::Finish() {
  bool ok = true;
  // A file that lost frames or lines does not replace the old one.
  for (auto& [path, collecting] : collecting_) {
    std::string error = "frames were lost; " + path + " not written";
    if (collecting.failed || !collecting.file.Commit(&error)) {
      std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
      ok = false;
    }
  }
  if (options_.metadata_path.empty()) return ok;
  std::string error = "lines were lost; " + options_.metadata_path + " not written";
  if (metadata_failed_ || !metadata_.Commit(&error)) {
    std::fprintf(stderr, "talon-cam: %s\n", error.c_str());
    ok = false;
  }
  return ok;
}

bool FrameWriter::WritePreviews() {
  bool ok = true;
  const bool several = options_.config.stream_configs.size() > 1;
  for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
    const std::string path = PreviewPath(options_.png_path, stream.data_type, several);
    auto it = last_frames_.find(stream.data_type);
    if (it == last_frames_.end()) {
      std::fprintf(stderr, "talon-cam: no frame of stream %d for %s\n", stream.data_type,
                   path.c_str());
      ok = false;
      continue;
    }
    std::vector<uint8_t> samples;
    if (!UnpackTo8Bit(it->second.bytes.data(), it->second.stride, stream.width, stream.height,
                      stream.bits_per_component, &samples)) {
      std::fprintf(stderr, "talon-cam: cannot unpack %u-bit samples for %s\n",
                   stream.bits_per_component, path.c_str());
      ok = false;
      continue;
    }
    std::string error;
    if (!WritePng(path, DemosaicRggb(samples, stream.width, stream.height), stream.width,
                  stream.height, &error)) {
      std::fprintf(stderr, "talon-cam: cannot write %s: %s\n", path.c_str(), error.c_str());
      ok = false;
    }
  }
  return ok;
}

}  // namespace talon_cam
