#include "tools/talon-cam/frame_writer.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "support/atomic_file.h"
#include "system/capture/capture_types.h"
#include "tools/talon-cam/dng_writer.h"
#include "tools/talon-cam/preview.h"

namespace talon_cam {
namespace {

bool HasHash(const std::string& pattern) { return pattern.find('#') != std::string::npos; }

}  // namespace

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
  std::string error;
  if (!options_.output_pattern.empty() && !HasHash(options_.output_pattern) &&
      !collecting_.Create(options_.output_pattern, "", "", &error)) {
    std::fprintf(stderr, "talon-cam: --output: %s\n", error.c_str());
    return false;
  }
  if (!options_.metadata_path.empty() &&
      !metadata_file_.Create(options_.metadata_path, "", "", &error)) {
    std::fprintf(stderr, "talon-cam: --metadata: %s\n", error.c_str());
    return false;
  }
  if (!options_.trace_path.empty() &&
      !trace_writer_.Begin(options_.trace_path, options_.config, &error)) {
    std::fprintf(stderr, "talon-cam: --trace: %s\n", error.c_str());
    return false;
  }
  return true;
}

void FrameWriter::Stop(Output* output, uint64_t frame, const std::string& reason) {
  std::fprintf(stderr, "talon-cam: %s stops at frame %" PRIu64 ": %s\n", output->option, frame,
               reason.c_str());
  output->stopped = true;
}

bool FrameWriter::WriteRaw(const std::string& path, const void* data, uint64_t size,
                           std::string* error) {
  talon_support::AtomicFile file;
  // A file per frame, at frame rate: not flushed one by one.
  if (file.Create(path, nullptr) &&
      file.Write(std::string_view(static_cast<const char*>(data), size), nullptr) &&
      file.Commit(nullptr, talon_support::AtomicFile::Sync::kOnRename)) {
    return true;
  }
  *error = "cannot write " + path + ": " + std::strerror(file.error_number());
  return false;
}

bool FrameWriter::WriteDng(const vireo::CaptureStreamConfig& stream, const void* data,
                           const FrameMetadata& frame, const StreamMetadata& written,
                           std::string* error) {
  // Each DNG describes its own stream's frame and the whole configuration.
  FrameMetadata own = frame;
  own.streams = {written};
  DngImage image;
  image.data = static_cast<const uint8_t*>(data);
  image.stride = written.row_stride;
  image.width = stream.width;
  image.height = stream.height;
  image.bits = stream.bits_per_component;
  image.cfa = options_.cfa;
  image.description = FrameJson(own, &options_.config);
  return talon_cam::WriteDng(written.dng, image, error);
}

// The raw and DNG files and the preview copy of every stream of a
// successful frame; names in `frame->streams` the files that hold it.
void FrameWriter::WriteStreams(const vireo::CaptureFrameBuffer& buffer, FrameMetadata* frame) {
  const bool raw = !options_.output_pattern.empty() && !raw_.stopped;
  const bool collect = raw && !HasHash(options_.output_pattern);
  const bool dng = !options_.dng_pattern.empty() && !dng_.stopped;
  const bool preview = !options_.png_path.empty();
  if (!options_.output_pattern.empty() && raw_.stopped) Lose(&raw_);
  if (!options_.dng_pattern.empty() && dng_.stopped) Lose(&dng_);
  if (!raw && !dng && !preview) return;

  const std::vector<vireo::CaptureStreamConfig>& streams = options_.config.stream_configs;
  std::vector<const void*> data(streams.size(), nullptr);
  bool locked = true;
  for (size_t i = 0; i < streams.size(); ++i) {
    data[i] = LockStreamData(buffer, streams[i]);
    locked = locked && data[i] != nullptr;
  }
  std::vector<std::string_view> collected;
  bool raw_ok = raw && locked;
  bool dng_ok = dng && locked;
  std::string error;
  for (size_t i = 0; locked && i < streams.size(); ++i) {
    const vireo::CaptureStreamConfig& stream = streams[i];
    StreamMetadata& written = frame->streams[i];
    if (raw_ok && collect) {
      collected.emplace_back(static_cast<const char*>(data[i]), written.size_bytes);
    } else if (raw_ok) {
      written.file = ExpandOutputPattern(options_.output_pattern, stream.data_type, frame->frame);
      if (!WriteRaw(written.file, data[i], written.size_bytes, &error)) {
        written.file.clear();
        raw_ok = false;
        Stop(&raw_, frame->frame, error);
      }
    }
    if (dng_ok) {
      written.dng = ExpandOutputPattern(options_.dng_pattern, stream.data_type, frame->frame);
      if (!WriteDng(stream, data[i], *frame, written, &error)) {
        written.dng.clear();
        dng_ok = false;
        Stop(&dng_, frame->frame, error);
      }
    }
    if (preview) {
      StreamFrame& last = last_frames_[stream.data_type];
      const uint8_t* bytes = static_cast<const uint8_t*>(data[i]);
      last.bytes.assign(bytes, bytes + written.size_bytes);
      last.stride = written.row_stride;
    }
  }
  if (raw_ok && collect) {
    if (collecting_.Append(collected)) {
      for (StreamMetadata& written : frame->streams) written.file = options_.output_pattern;
    } else {
      raw_ok = false;
      Stop(&raw_, frame->frame,
           "cannot write " + options_.output_pattern + ": " +
               std::strerror(collecting_.error_number()) + " (it keeps the frames before)");
    }
  }
  // A frame that misses the file of one stream is lost to that output; the
  // metadata still names the files of the streams that were written.
  if (raw && !raw_ok) Lose(&raw_);
  if (dng && !dng_ok) Lose(&dng_);
  for (size_t i = 0; i < streams.size(); ++i) {
    if (data[i] != nullptr) buffer.UnlockFrameData(streams[i].data_type);
  }
}

void FrameWriter::WriteMetadata(const FrameMetadata& frame) {
  if (options_.metadata_path.empty()) return;
  if (metadata_.stopped) return Lose(&metadata_);
  if (metadata_file_.Append(FrameJson(frame, nullptr) + "\n")) return;
  Stop(&metadata_, frame.frame,
       "cannot write " + options_.metadata_path + ": " +
           std::strerror(metadata_file_.error_number()) + " (it keeps the frames before)");
  Lose(&metadata_);
}

void FrameWriter::WriteTrace(const FrameMetadata& frame) {
  if (options_.trace_path.empty()) return;
  if (trace_.stopped) return Lose(&trace_);
  if (trace_writer_.Frame(frame.frame, frame.sequence, frame.sof_ns, frame.eof_ns, frame.error,
                          frame.dequeue_ns)) {
    return;
  }
  Stop(&trace_, frame.frame,
       "cannot write " + options_.trace_path + ": " +
           std::strerror(trace_writer_.file().error_number()) + " (it keeps the frames before)");
  Lose(&trace_);
}

void FrameWriter::Write(const vireo::CaptureFrameBuffer& buffer, uint64_t frame,
                        int64_t sequence, int64_t dequeue_ns) {
  FrameMetadata metadata;
  metadata.frame = frame;
  metadata.sequence = sequence;
  metadata.error = buffer.GetError();
  metadata.dequeue_ns = dequeue_ns;
  for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
    StreamMetadata written;
    written.data_type = stream.data_type;
    written.row_stride = buffer.GetRowStrideBytes(stream.data_type);
    written.size_bytes = written.row_stride * stream.height;
    metadata.streams.push_back(written);
  }
  if (metadata.error == vireo::CaptureError::SUCCESS) {
    metadata.sof_ns = buffer.GetTimestampStartNs();
    metadata.eof_ns = buffer.GetTimestampEndNs();
    WriteStreams(buffer, &metadata);
  }
  WriteMetadata(metadata);
  WriteTrace(metadata);
}

void FrameWriter::Enqueued(uint64_t frame, int64_t enqueue_ns) {
  if (options_.trace_path.empty() || trace_.stopped) return;
  if (!trace_writer_.Enqueued(frame, enqueue_ns)) {
    Stop(&trace_, frame,
         "cannot write " + options_.trace_path + ": " +
             std::strerror(trace_writer_.file().error_number()) + " (it keeps the frames before)");
    trace_.failed = true;
  }
}

void FrameWriter::Commit(Output* output, GrowingFile* file, const std::string& path) {
  if (!file->open()) {  // it failed and could not keep a whole prefix
    if (file->failed()) {
      std::fprintf(stderr, "talon-cam: %s: %s not written\n", output->option, path.c_str());
    }
    return;
  }
  std::string error;
  if (!file->Commit(&error)) {
    std::fprintf(stderr, "talon-cam: %s: %s\n", output->option, error.c_str());
    output->failed = true;
  }
}

void FrameWriter::Finish() {
  if (!options_.output_pattern.empty() && !HasHash(options_.output_pattern)) {
    Commit(&raw_, &collecting_, options_.output_pattern);
  }
  if (!options_.metadata_path.empty()) {
    Commit(&metadata_, &metadata_file_, options_.metadata_path);
  }
  if (!options_.trace_path.empty()) {
    Commit(&trace_, &trace_writer_.file(), options_.trace_path);
  }
  if (!options_.png_path.empty()) WritePreviews();
}

void FrameWriter::WritePreviews() {
  const bool several = options_.config.stream_configs.size() > 1;
  for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
    const std::string path = PreviewPath(options_.png_path, stream.data_type, several);
    auto it = last_frames_.find(stream.data_type);
    if (it == last_frames_.end()) {
      std::fprintf(stderr, "talon-cam: --png: no frame of stream %d for %s\n", stream.data_type,
                   path.c_str());
      png_.failed = true;
      continue;
    }
    std::vector<uint8_t> samples;
    if (!UnpackTo8Bit(it->second.bytes.data(), it->second.stride, stream.width, stream.height,
                      stream.bits_per_component, &samples)) {
      std::fprintf(stderr, "talon-cam: --png: cannot unpack %u-bit samples for %s\n",
                   stream.bits_per_component, path.c_str());
      png_.failed = true;
      continue;
    }
    std::string error;
    if (!WritePng(path, DemosaicRggb(samples, stream.width, stream.height), stream.width,
                  stream.height, &error)) {
      std::fprintf(stderr, "talon-cam: --png: %s\n", error.c_str());
      png_.failed = true;
    }
  }
}

std::string FrameWriter::LossReport() const {
  std::string report;
  for (const Output* output : {&raw_, &dng_, &metadata_, &trace_}) {
    if (output->lost == 0) continue;
    char line[96];
    std::snprintf(line, sizeof(line), "%s: %" PRIu64 " frames lost\n", output->option,
                  output->lost);
    report += line;
  }
  return report;
}

bool FrameWriter::failed() const {
  return raw_.failed || dng_.failed || png_.failed || metadata_.failed || trace_.failed;
}

}  // namespace talon_cam
