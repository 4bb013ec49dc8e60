#include "tools/talon-cam/frame_writer.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "support/atomic_file.h"
#include "support/capture_error_name.h"
#include "system/capture/capture_types.h"
#include "system/capture/capture_util.h"
#include "tools/talon-cam/dng_writer.h"
#include "tools/talon-cam/preview.h"

namespace talon_cam {
namespace {

// Records each of --metadata and --trace may hold queued (a few hundred
// bytes each).
constexpr uint64_t kQueuedRecords = 65536;

// How far below the capture the outputs that are mostly CPU work run.
constexpr int kCpuBoundNiceness = 10;

bool HasHash(const std::string& pattern) { return pattern.find('#') != std::string::npos; }

}  // namespace

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
  const int data_outputs = DataOutputs(options_);
  const uint64_t share = data_outputs == 0 ? 0 : options_.write_memory / data_outputs;
  using Unit = WriteQueue::Unit;
  if (!options_.output_pattern.empty()) raw_ = queue_.AddOutput("--output", share, Unit::kBytes);
  if (!options_.dng_pattern.empty()) dng_ = queue_.AddOutput("--dng", share, Unit::kBytes);
  if (!options_.jpeg_pattern.empty()) {
    jpeg_ = queue_.AddOutput("--jpeg", share, Unit::kBytes, kCpuBoundNiceness, kJpegLanes);
    {
      vireo::MutexLock lock(&jpeg_develop_mutex_);
      for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
        // The ISP splits each frame in bands across the CPUs.
        jpeg_developers_.push_back(std::make_unique<StreamDeveloper>(stream, options_.isp, 0));
      }
    }
    vireo::MutexLock lock(&jpeg_lanes_mutex_);
    for (int i = 0; i < kJpegLanes; ++i) {
      jpeg_lanes_.push_back(std::make_unique<JpegLane>(static_cast<int>(options_.jpeg_quality)));
    }
  }
  if (!options_.metadata_path.empty()) {
    metadata_ = queue_.AddOutput("--metadata", kQueuedRecords, Unit::kRecords);
  }
  if (!options_.trace_path.empty()) {
    trace_ = queue_.AddOutput("--trace", kQueuedRecords, Unit::kRecords);
  }
  queue_.Start();
  return true;
}

uint64_t FrameWriter::FramesKeptAtMost() const {
  const uint64_t data_outputs = static_cast<uint64_t>(DataOutputs(options_));
  const uint64_t frame_bytes = FrameBytes(options_.config);
  // Each data output keeps whole frames within its share.
  const uint64_t kept = data_outputs == 0 || frame_bytes == 0
                            ? 0
                            : options_.write_memory / data_outputs / frame_bytes * data_outputs;
  return kept + (options_.png_path.empty() ? 0 : 1);
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
  image.cfa = options_.isp.cfa;
  image.description = FrameJson(own, &options_.config);
  return talon_cam::WriteDng(written.dng, image, error, &dng_samples_);
}

WriteJob FrameWriter::DataJob(const std::shared_ptr<const FrameLease>& held,
                              const FrameMetadata& frame, const std::shared_ptr<Latch>& written) {
  WriteJob job;
  job.frame = frame.frame;
  for (const StreamMetadata& stream : frame.streams) job.bytes += stream.size_bytes;
  job.hold = held;
  job.opens = written;
  return job;
}

// Every stream's raw file, or all of them appended to the collecting file;
// names in the frame's metadata the files that hold it.
bool FrameWriter::PushRaw(const std::shared_ptr<const FrameLease>& held, const Frame& frame,
                          const std::shared_ptr<Latch>& written) {
  WriteJob job = DataJob(held, *frame, written);
  job.write = [this, held, frame](std::string* error) {
    std::vector<StreamMetadata>& streams = frame->streams;
    if (!HasHash(options_.output_pattern)) {
      std::vector<std::string_view> parts;
      for (size_t i = 0; i < streams.size(); ++i) {
        parts.emplace_back(reinterpret_cast<const char*>(held->data(streams[i].data_type)),
                           streams[i].size_bytes);
      }
      if (!collecting_.Append(parts)) {
        *error = "cannot write " + options_.output_pattern + ": " +
                 std::strerror(collecting_.error_number()) + " (it keeps the frames before)";
        return false;
      }
      for (StreamMetadata& stream : streams) stream.file = options_.output_pattern;
      return true;
    }
    // A frame that misses the file of one stream is not written by this
    // output; the metadata still names the files of the streams that were.
    for (size_t i = 0; i < streams.size(); ++i) {
      const std::string path =
          ExpandOutputPattern(options_.output_pattern, streams[i].data_type, frame->frame);
      if (!WriteRaw(path, held->data(streams[i].data_type), streams[i].size_bytes, error)) {
        return false;
      }
      streams[i].file = path;
    }
    return true;
  };
  return queue_.Push(raw_, std::move(job));
}

bool FrameWriter::PushDng(const std::shared_ptr<const FrameLease>& held,
                          const std::shared_ptr<const FrameMetadata>& described, const Frame& frame,
                          const std::shared_ptr<Latch>& written) {
  WriteJob job = DataJob(held, *frame, written);
  job.write = [this, held, frame, described](std::string* error) {
    const std::vector<vireo::CaptureStreamConfig>& configs = options_.config.stream_configs;
    for (size_t i = 0; i < configs.size(); ++i) {
      StreamMetadata own = described->streams[i];
      own.dng = ExpandOutputPattern(options_.dng_pattern, configs[i].data_type, frame->frame);
      if (!WriteDng(configs[i], held->data(configs[i].data_type), *described, own, error)) {
        return false;
      }
      frame->streams[i].dng = own.dng;
    }
    return true;
  };
  return queue_.Push(dng_, std::move(job));
}

std::unique_ptr<FrameWriter::JpegLane> FrameWriter::TakeJpegLane() {
  vireo::MutexLock lock(&jpeg_lanes_mutex_);
  // As many lanes as threads: one is always free.
  std::unique_ptr<JpegLane> lane = std::move(jpeg_lanes_.back());
  jpeg_lanes_.pop_back();
  return lane;
}

void FrameWriter::ReturnJpegLane(std::unique_ptr<JpegLane> lane) {
  vireo::MutexLock lock(&jpeg_lanes_mutex_);
  jpeg_lanes_.push_back(std::move(lane));
}

bool FrameWriter::PushJpeg(const std::shared_ptr<const FrameLease>& held, const Frame& frame) {
  WriteJob job = DataJob(held, *frame, nullptr);
  job.write = [this, held, frame](std::string* error) {
    std::unique_ptr<JpegLane> lane = TakeJpegLane();
    const std::vector<vireo::CaptureStreamConfig>& configs = options_.config.stream_configs;
    bool ok = true;
    for (size_t i = 0; ok && i < configs.size(); ++i) {
      uint32_t width = 0, height = 0;
      {
        // The lanes take their frames in order and almost always develop
        // them in order too; the automatic white balance, which follows the
        // frames, would not tell two neighbours apart.
        vireo::MutexLock lock(&jpeg_develop_mutex_);
        StreamDeveloper& developer = *jpeg_developers_[i];
        ok = developer.Develop(held->data(configs[i].data_type), frame->streams[i].row_stride,
                               &lane->rgb, error);
        width = developer.width();
        height = developer.height();
      }
      const std::string path =
          ExpandOutputPattern(options_.jpeg_pattern, configs[i].data_type, frame->frame);
      ok = ok && lane->writer.Write(path, lane->rgb.data(), width, height, error);
    }
    ReturnJpegLane(std::move(lane));
    return ok;
  };
  return queue_.Push(jpeg_, std::move(job));
}

void FrameWriter::PushRecords(const Frame& frame, const std::shared_ptr<Latch>& written) {
  if (metadata_ >= 0) {
    WriteJob job;
    job.frame = frame->frame;
    job.bytes = 1;
    job.after = written;  // names only the files that hold the frame
    job.write = [this, frame](std::string* error) {
      if (metadata_file_.Append(FrameJson(*frame, nullptr) + "\n")) return true;
      *error = "cannot write " + options_.metadata_path + ": " +
               std::strerror(metadata_file_.error_number()) + " (it keeps the frames before)";
      return false;
    };
    queue_.Push(metadata_, std::move(job));
  }
  if (trace_ >= 0) {
    WriteJob job;
    job.frame = frame->frame;
    job.bytes = 1;
    job.write = [this, frame](std::string* error) {
      if (trace_writer_.Frame(frame->frame, frame->sequence, frame->sof_ns, frame->eof_ns,
                              frame->error, frame->dequeue_ns)) {
        return true;
      }
      *error = TraceError();
      return false;
    };
    queue_.Push(trace_, std::move(job));
  }
}

std::string FrameWriter::TraceError() {
  return "cannot write " + options_.trace_path + ": " +
         std::strerror(trace_writer_.file().error_number()) + " (it keeps the frames before)";
}

bool FrameWriter::Write(const talon_support::FrameRecord& record,
                        const std::shared_ptr<const FrameLease>& lease, uint64_t frame) {
  auto metadata = std::make_shared<FrameMetadata>();
  metadata->frame = frame;
  metadata->sequence = record.sensor_sequence;
  metadata->error = record.error;
  metadata->dequeue_ns = record.dequeue_ns;
  metadata->sof_ns = record.sof_ns;  // 0 for a failed frame
  metadata->eof_ns = record.eof_ns;
  for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
    StreamMetadata written;
    written.data_type = stream.data_type;
    written.row_stride = vireo::vireo_util::GetRowStrideBytes(stream);
    written.size_bytes = written.row_stride * stream.height;
    metadata->streams.push_back(written);
  }
  const bool success = metadata->error == vireo::CaptureError::SUCCESS;
  // The outputs whose files the metadata names.
  const int data_outputs = int{raw_ >= 0} + int{dng_ >= 0};
  // Opened once by each data output's job (pushed or refused) and here for
  // the outputs that get none.
  auto written = std::make_shared<Latch>(data_outputs);
  int pushed = 0;
  bool kept = false;
  if (success && (data_outputs > 0 || jpeg_ >= 0 || !options_.png_path.empty())) {
    const std::shared_ptr<const FrameLease>& held = lease;
    const long holders = held.use_count();
    if (held == nullptr) {  // said by the caller; lost to every data output
      for (int output : {raw_, dng_, jpeg_}) {
        if (output >= 0) queue_.Skip(output);
      }
      png_failed_ = png_failed_ || !options_.png_path.empty();
    } else {
      // The DNGs' descriptions, taken before the raw output names its files.
      auto described = std::make_shared<const FrameMetadata>(*metadata);
      if (raw_ >= 0) PushRaw(held, metadata, written), ++pushed;
      if (dng_ >= 0) PushDng(held, described, metadata, written), ++pushed;
      if (jpeg_ >= 0) PushJpeg(held, metadata);
      if (!options_.png_path.empty()) last_frame_ = held;
      kept = held.use_count() > holders;
    }
  }
  for (int i = pushed; i < data_outputs; ++i) written->CountDown();
  PushRecords(metadata, written);
  return kept;
}

void FrameWriter::Enqueued(uint64_t frame, int64_t enqueue_ns) {
  if (trace_ < 0) return;
  WriteJob job;
  job.frame = frame;
  job.bytes = 1;
  job.counted = false;  // an event, not a frame
  job.write = [this, frame, enqueue_ns](std::string* error) {
    if (trace_writer_.Enqueued(frame, enqueue_ns)) return true;
    *error = TraceError();
    return false;
  };
  queue_.Push(trace_, std::move(job));
}

void FrameWriter::Commit(int output, GrowingFile* file, const std::string& path) {
  const char* option = queue_.option(output);
  if (!file->open()) {  // it failed and could not keep a whole prefix
    if (file->failed())
      std::fprintf(stderr, "talon-cam: %s: %s not written\n", option, path.c_str());
    return;
  }
  std::string error;
  if (!file->Commit(&error)) {
    std::fprintf(stderr, "talon-cam: %s: %s\n", option, error.c_str());
    commit_failed_ = true;
  }
}

void FrameWriter::Finish() {
  queue_.Finish();
  if (raw_ >= 0 && !HasHash(options_.output_pattern)) {
    Commit(raw_, &collecting_, options_.output_pattern);
  }
  if (metadata_ >= 0) Commit(metadata_, &metadata_file_, options_.metadata_path);
  if (trace_ >= 0) Commit(trace_, &trace_writer_.file(), options_.trace_path);
  if (!options_.png_path.empty()) WritePreviews();
  last_frame_.reset();
}

void FrameWriter::WritePreviews() {
  const bool several = options_.config.stream_configs.size() > 1;
  const std::vector<vireo::CaptureStreamConfig>& streams = options_.config.stream_configs;
  for (size_t i = 0; i < streams.size(); ++i) {
    const vireo::CaptureStreamConfig& stream = streams[i];
    const std::string path = PreviewPath(options_.png_path, stream.data_type, several);
    if (last_frame_ == nullptr) {
      std::fprintf(stderr, "talon-cam: --png: no frame of stream %d for %s\n", stream.data_type,
                   path.c_str());
      png_failed_ = true;
      continue;
    }
    StreamDeveloper developer(stream, options_.isp, 0);
    std::vector<uint8_t> rgb;
    std::string error;
    if (!developer.Develop(last_frame_->data(stream.data_type),
                           last_frame_->stride(stream.data_type), &rgb, &error) ||
        !WritePng(path, rgb, developer.width(), developer.height(), &error)) {
      std::fprintf(stderr, "talon-cam: --png: %s\n", error.c_str());
      png_failed_ = true;
    }
  }
}

std::string FrameWriter::LossReport() const {
  std::string report;
  for (int output : {raw_, dng_, jpeg_, metadata_, trace_}) {
    if (output < 0 || queue_.not_written(output) == 0) continue;
    char line[96];
    const uint64_t count = queue_.not_written(output);
    std::snprintf(line, sizeof(line), "%s: %" PRIu64 " %s not written\n", queue_.option(output),
                  count, count == 1 ? "frame" : "frames");
    report += line;
  }
  return report;
}

bool FrameWriter::failed() const {
  bool failed = commit_failed_ || png_failed_;
  for (int output : {raw_, dng_, jpeg_, metadata_, trace_}) {
    failed = failed || (output >= 0 && queue_.failed(output));
  }
  return failed;
}

}  // namespace talon_cam
