// talon-cam: captures frames from the IPU through libtalon's capture API,
// prints one line per frame and a summary, and optionally writes the raw
// frames, DNG files, per-frame metadata (JSON Lines) and a PNG preview.
//
// One thread does everything: it enqueues every buffer right after the
// service exists, then dequeues, records, writes and re-enqueues until enough
// frames are in flight for the total; then it pauses the service, drains it
// and prints the summary. SIGINT only sets a flag, which the loop checks
// between dequeues (a blocked dequeue returns at the next frame, or after the
// configured timeout when no frame comes).

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/frame_stats.h"
#include "system/capture/capture_frame_buffer.h"
#include "system/capture/capture_service.h"
#include "system/capture/capture_types.h"
#include "system/capture/capture_util.h"
#include "tools/talon-cam/frame_files.h"
#include "tools/talon-cam/frame_sequence.h"
#include "tools/talon-cam/preview.h"
#include "tools/talon-cam/talon_cam_options.h"

namespace {

using capture_stats::BoottimeNs;
using talon_cam::Options;
using capture_stats::ProcessCpuNs;

constexpr char kDefaultGraphDir[] = "/data/vireo/compiled_graph";
constexpr char kGraphDirVariable[] = "TEST_UNDECLARED_OUTPUTS_DIR";

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }


bool MakeDirs(const std::string& path) {
  return vireo::vireo_util::RecursivelyCreateDir(path);
}

// The compiled-graph cache defaults to a system directory. When that cannot
// be written (its nearest existing ancestor refuses) and no other location is
// set, the cache moves to a per-user directory.
void ChooseGraphCacheDir() {
  const char* set = std::getenv(kGraphDirVariable);
  if (set != nullptr && set[0] != '\0') return;
  std::string probe = kDefaultGraphDir;
  while (!vireo::vireo_util::FileExists(probe) && probe != "/" && probe != ".") {
    probe = vireo::vireo_util::ParentPath(probe);
    if (probe.empty()) probe = "/";
  }
  if (access(probe.c_str(), W_OK | X_OK) == 0) return;
  std::string dir;
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    dir = std::string(xdg) + "/talon";
  } else if (home != nullptr && home[0] != '\0') {
    dir = std::string(home) + "/.cache/talon";
  } else {
    return;  // nowhere better; the library reports what fails
  }
  if (!MakeDirs(dir)) {
    std::fprintf(stderr, "talon-cam: %s is not writable and %s cannot be made\n",
                 kDefaultGraphDir, dir.c_str());
    return;
  }
  setenv(kGraphDirVariable, dir.c_str(), 1);
  std::fprintf(stderr, "talon-cam: %s is not writable; caching compiled graphs in %s\n",
               kDefaultGraphDir, dir.c_str());
}

// The last successful frame of one stream, kept for the preview.
struct StreamFrame {
  std::vector<uint8_t> bytes;
  uint64_t stride = 0;
  bool valid = false;
};

class Capture {
 public:
  explicit Capture(const Options& options) : options_(options) {}

  // Runs the whole capture; returns the exit status.
  int Run();

 private:
  bool CreateBuffers();
  void HandleFrame(vireo::CaptureFrameBuffer* buffer);
  bool ReadStreams(vireo::CaptureFrameBuffer* buffer, uint64_t index, uint32_t* sensor_sequence);
  bool WriteRaw(const vireo::CaptureStreamConfig& stream, const void* data, uint64_t stride,
                uint64_t index);
  void PrintProgress(bool final_line);
  bool WritePreviews();

  const Options& options_;
  std::unique_ptr<vireo::CaptureFrameBufferFactory> factory_;
  std::vector<std::unique_ptr<vireo::CaptureFrameBuffer>> buffers_;
  capture_stats::FrameStats stats_;
  std::map<int, StreamFrame> last_frames_;
  std::map<std::string, FILE*> open_files_;  // one file for patterns without '#'
  talon_cam::FrameFiles files_{options_};      // DNG files and metadata lines
  int64_t previous_sof_ns_ = 0;
  int64_t start_ns_ = 0;
  int64_t last_progress_ns_ = 0;
  bool progress_shown_ = false;
  bool write_failed_ = false;
};

bool Capture::CreateBuffers() {
  factory_ = vireo::CaptureFrameBufferFactory::CreateInstance(options_.config);
  if (factory_ == nullptr) {
    std::fprintf(stderr, "talon-cam: no frame-buffer factory (see the log lines above)\n");
    return false;
  }
  const uint64_t count = std::min<uint64_t>(options_.buffers, options_.frames);
  for (uint64_t i = 0; i < count; ++i) {
    std::unique_ptr<vireo::CaptureFrameBuffer> buffer = factory_->Create();
    if (buffer == nullptr) {
      std::fprintf(stderr,
                   "talon-cam: could not create frame buffer %" PRIu64
                   " (see the log lines above)\n",
                   i);
      return false;
    }
    buffers_.push_back(std::move(buffer));
  }
  return true;
}

bool Capture::WriteRaw(const vireo::CaptureStreamConfig& stream, const void* data,
                       uint64_t stride, uint64_t index) {
  const std::string path =
      talon_cam::ExpandOutputPattern(options_.output_pattern, stream.data_type, index);
  const bool single_file = path == options_.output_pattern;
  FILE* file = nullptr;
  if (single_file) {
    auto it = open_files_.find(path);
    if (it == open_files_.end()) {
      file = std::fopen(path.c_str(), "wb");
      if (file != nullptr) open_files_[path] = file;
    } else {
      file = it->second;
    }
  } else {
    file = std::fopen(path.c_str(), "wb");
  }
  if (file == nullptr) {
    std::fprintf(stderr, "talon-cam: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  const size_t size = static_cast<size_t>(stride * stream.height);
  bool ok = std::fwrite(data, 1, size, file) == size;
  if (!single_file) ok = (std::fclose(file) == 0) && ok;
  if (!ok) std::fprintf(stderr, "talon-cam: cannot write %s\n", path.c_str());
  return ok;
}

// Locks each stream once: decodes the sensor sequence from the first one,
// writes the raw frame, keeps a copy for the preview.
bool Capture::ReadStreams(vireo::CaptureFrameBuffer* buffer, uint64_t index,
                          uint32_t* sensor_sequence) {
  bool have_sequence = false;
  for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
    void* data = nullptr;
    if (buffer->LockFrameData(stream.data_type, &data) != vireo::CaptureError::SUCCESS ||
        data == nullptr) {
      std::fprintf(stderr, "talon-cam: cannot lock the data of stream %d\n", stream.data_type);
      write_failed_ = true;
      continue;
    }
    const uint64_t stride = buffer->GetRowStrideBytes(stream.data_type);
    if (&stream == &options_.config.stream_configs.front()) {
      have_sequence = talon_cam::ReadFrameSequence(data, stride, stream, sensor_sequence);
    }
    if (!options_.output_pattern.empty() && !WriteRaw(stream, data, stride, index)) {
      write_failed_ = true;
    }
    if (!options_.png_path.empty()) {
      StreamFrame& frame = last_frames_[stream.data_type];
      const uint8_t* bytes = static_cast<const uint8_t*>(data);
      frame.bytes.assign(bytes, bytes + stride * stream.height);
      frame.stride = stride;
      frame.valid = true;
    }
    buffer->UnlockFrameData(stream.data_type);
  }
  return have_sequence;
}

void Capture::HandleFrame(vireo::CaptureFrameBuffer* buffer) {
  const int64_t now_ns = BoottimeNs();
  const uint64_t index = stats_.frames();
  capture_stats::FrameRecord record;
  record.error = buffer->GetError();
  record.dequeue_ns = now_ns;
  uint32_t sensor_sequence = 0;
  bool have_sequence = false;
  if (record.error == vireo::CaptureError::SUCCESS) {
    record.sof_ns = buffer->GetTimestampStartNs();
    record.eof_ns = buffer->GetTimestampEndNs();
    have_sequence = ReadStreams(buffer, index, &sensor_sequence);
    if (have_sequence) record.sensor_sequence = sensor_sequence;
  }
  stats_.Add(record);
  if (!files_.Add(*buffer, index, record)) write_failed_ = true;
  if (options_.quiet) {
    PrintProgress(false);
    return;
  }
  char sensor[24] = "     -";
  if (have_sequence) std::snprintf(sensor, sizeof(sensor), "%6" PRIu32, sensor_sequence);
  if (record.error != vireo::CaptureError::SUCCESS) {
    std::printf("%6" PRIu64 " seq %s  sof %17s  eof %17s  %8s ms  %8s fps  %s\n", index, sensor,
                "-", "-", "-", "-", vireo::GetCaptureErrorDesc(record.error));
    return;
  }
  char fps[24] = "       -";
  if (previous_sof_ns_ != 0 && record.sof_ns > previous_sof_ns_) {
    std::snprintf(fps, sizeof(fps), "%8.2f",
                  1e9 / static_cast<double>(record.sof_ns - previous_sof_ns_));
  }
  previous_sof_ns_ = record.sof_ns;
  std::printf("%6" PRIu64 " seq %s  sof %17.6f  eof %17.6f  %8.3f ms  %s fps  %s\n", index,
              sensor, static_cast<double>(record.sof_ns) / 1e9,
              static_cast<double>(record.eof_ns) / 1e9,
              static_cast<double>(record.eof_ns - record.sof_ns) / 1e6, fps,
              vireo::GetCaptureErrorDesc(record.error));
}

// About once a second on runs longer than a few seconds, overwritten in place.
void Capture::PrintProgress(bool final_line) {
  const int64_t now_ns = BoottimeNs();
  if (final_line) {
    if (progress_shown_) std::fprintf(stderr, "\n");
    return;
  }
  if (now_ns - start_ns_ < 3000000000 || now_ns - last_progress_ns_ < 1000000000) return;
  last_progress_ns_ = now_ns;
  progress_shown_ = true;
  const double elapsed = static_cast<double>(now_ns - start_ns_) / 1e9;
  std::fprintf(stderr, "\rframes %" PRIu64 "/%" PRIu64 "  errors %" PRIu64 "  %.1f fps ",
               stats_.frames(), options_.frames, stats_.errors(),
               static_cast<double>(stats_.frames()) / elapsed);
}

bool Capture::WritePreviews() {
  bool ok = true;
  const bool several = options_.config.stream_configs.size() > 1;
  for (const vireo::CaptureStreamConfig& stream : options_.config.stream_configs) {
    const std::string path = talon_cam::PreviewPath(options_.png_path, stream.data_type, several);
    auto it = last_frames_.find(stream.data_type);
    if (it == last_frames_.end() || !it->second.valid) {
      std::fprintf(stderr, "talon-cam: no frame of stream %d for %s\n", stream.data_type,
                   path.c_str());
      ok = false;
      continue;
    }
    std::vector<uint8_t> samples;
    if (!talon_cam::UnpackTo8Bit(it->second.bytes.data(), it->second.stride, stream.width,
                                 stream.height, stream.bits_per_component, &samples)) {
      std::fprintf(stderr, "talon-cam: cannot unpack %u-bit samples for %s\n",
                   stream.bits_per_component, path.c_str());
      ok = false;
      continue;
    }
    std::string error;
    if (!talon_cam::WritePng(path,
                             talon_cam::DemosaicRggb(samples, stream.width, stream.height),
                             stream.width, stream.height, &error)) {
      std::fprintf(stderr, "talon-cam: cannot write %s: %s\n", path.c_str(), error.c_str());
      ok = false;
    }
  }
  return ok;
}

int Capture::Run() {
  ChooseGraphCacheDir();
  if (!files_.Begin()) return 1;
  if (options_.buffers == 1) {
    std::fprintf(stderr,
                 "talon-cam: one buffer: the service waits up to --timeout-ms for a second "
                 "one before each frame\n");
  }
  if (!CreateBuffers()) return 1;
  std::unique_ptr<vireo::CaptureService> service =
      vireo::CaptureService::CreateInstance(options_.config);
  if (service == nullptr) {
    std::fprintf(stderr, "talon-cam: configuration refused (see the log lines above)\n");
    return 1;
  }
  // The service runs from here on: supply it at once.
  uint64_t enqueued = 0;
  for (auto& buffer : buffers_) {
    if (service->EnqueueRequest(buffer.get()) != vireo::CaptureError::SUCCESS) {
      std::fprintf(stderr, "talon-cam: the service refused a frame buffer\n");
      return 1;
    }
    ++enqueued;
  }
  start_ns_ = BoottimeNs();
  last_progress_ns_ = start_ns_;
  const int64_t cpu_start_ns = ProcessCpuNs();

  while (stats_.frames() < options_.frames && !g_interrupted.load()) {
    vireo::CaptureFrameBuffer* buffer = service->DequeueCompletedRequest();
    if (buffer == nullptr) break;  // the service stopped
    HandleFrame(buffer);
    if (enqueued < options_.frames && !g_interrupted.load()) {
      if (service->EnqueueRequest(buffer) != vireo::CaptureError::SUCCESS) {
        std::fprintf(stderr, "talon-cam: the service refused a frame buffer\n");
        break;
      }
      ++enqueued;
    }
  }
  const bool interrupted = g_interrupted.load();
  service->Pause();
  uint64_t cancelled_at_stop = 0;
  while (vireo::CaptureFrameBuffer* buffer = service->DequeueCompletedRequest()) {
    // Runs that the stop itself cancelled are not failures of the capture.
    if (interrupted && buffer->GetError() == vireo::CaptureError::CAPTURE_CANCELLED) {
      ++cancelled_at_stop;
      continue;
    }
    HandleFrame(buffer);
  }
  const int64_t cpu_ns = ProcessCpuNs() - cpu_start_ns;
  service.reset();
  PrintProgress(true);
  for (auto& [path, file] : open_files_) {
    if (std::fclose(file) != 0) {
      std::fprintf(stderr, "talon-cam: cannot write %s\n", path.c_str());
      write_failed_ = true;
    }
  }
  open_files_.clear();
  if (!files_.Finish()) write_failed_ = true;

  const capture_stats::Summary summary = stats_.Summarize();
  if (interrupted) {
    std::printf("interrupted after %" PRIu64 " frames (%" PRIu64 " cancelled by the stop)\n",
                summary.frames, cancelled_at_stop);
  }
  const double cpu_per_frame =
      summary.frames == 0 ? -1 : static_cast<double>(cpu_ns) / static_cast<double>(summary.frames);
  std::printf("%s", capture_stats::FormatSummary(summary, cpu_per_frame).c_str());
  std::fflush(stdout);

  bool ok = summary.errors == 0 && !write_failed_;
  if (!options_.png_path.empty() && !WritePreviews()) ok = false;
  if (summary.errors != 0) {
    std::fprintf(stderr, "talon-cam: %" PRIu64 " of %" PRIu64 " frames failed\n",
                 summary.errors, summary.frames);
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!talon_cam::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "talon-cam: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::printf("%s", talon_cam::Usage().c_str());
    return 0;
  }
  // Whole lines, also into a pipe, so that they do not mix with the
  // library's log lines on stderr.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);

  Capture capture(options);
  const int status = capture.Run();
  return status;
}
