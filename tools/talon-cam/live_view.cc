#include "tools/talon-cam/live_view.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "base/mutex.h"
#include "support/csi2_unpack.h"
#include "tools/talon-cam/dng_writer.h"
#include "tools/talon-cam/jpeg_writer.h"

extern const char kLivePage[];  // live_page.html, compiled in (live_page.cc)

namespace talon_cam {
namespace {

using Clock = std::chrono::steady_clock;

// Pictures above this many pixels are developed at half size.
constexpr uint64_t kHalfSizeAbovePixels = 1000000;
// How far below the capture the encoders run.
constexpr int kEncoderNiceness = 10;
// A snapshot older than this waits for a new picture.
constexpr auto kSnapshotFresh = std::chrono::seconds(1);
constexpr auto kSnapshotWait = std::chrono::seconds(3);
// How often a viewer waiting for a picture checks for a stop.
constexpr auto kViewerPoll = std::chrono::milliseconds(100);
// How often Offer asks the capture for its counters.
constexpr auto kCountersEvery = std::chrono::milliseconds(250);
// Threads that serve what is not a stream (the page, stats, snapshots).
constexpr int kOtherConnections = 8;
// Histogram bins in /stats.json.
constexpr int kHistogramBins = 64;
constexpr char kBoundary[] = "talonframe";

bool IsTokenCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Compares in a time that does not depend on where they differ.
bool SameToken(const std::string& given, const std::string& wanted) {
  if (given.size() != wanted.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ wanted[i]);
  }
  return differ == 0;
}

bool IsLoopback(const std::string& host) {
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// A raw frame of one stream, copied from the capture's buffer.
struct RawFrame {
  std::vector<uint8_t> data;
  uint64_t frame = 0;  // the capture's count
};

// One encoded picture, shared by every viewer.
struct Picture {
  std::string jpeg;
  uint64_t serial = 0;  // the encoder's count, from 1
  uint64_t frame = 0;
  Clock::time_point made;
  std::array<float, 3> wb_gains{};
  std::array<uint32_t, kHistogramBins> histogram{};
  double clipped = 0;
};

}  // namespace

class LiveView::Impl {
 public:
  explicit Impl(const Config& config);
  ~Impl() { Stop(); }

  bool Bind(std::string* error);
  void Stop() ABSL_LOCKS_EXCLUDED(mutex_);
  void OfferData(const std::vector<const uint8_t*>& data, const std::vector<uint64_t>& strides,
                 const std::function<Counters()>& counters) ABSL_LOCKS_EXCLUDED(mutex_);

  // Whether anybody watches a stream; any thread.
  bool watched() const { return demand_.load(std::memory_order_relaxed) > 0; }

  const Config config_;
  int port_ = 0;

 private:
  // One stream's encoder. Its constants are set before the threads start.
  struct Encoder {
    vireo::CaptureStreamConfig stream;
    uint64_t row_bytes = 0;  // of the raw payload
    talon_isp::Settings settings;
    uint32_t width = 0;  // of the picture
    uint32_t height = 0;
    std::thread thread;
    // The capture thread's: the buffer it copies the next frame into.
    std::shared_ptr<RawFrame> fill;
  };
  // Guarded by mutex_, one per stream.
  struct Shared {
    int demand = 0;  // viewers and snapshots waiting
    int viewers = 0;
    std::shared_ptr<RawFrame> pending;            // the newest frame, for the encoder
    std::vector<std::shared_ptr<RawFrame>> free;  // buffers to fill again
    std::shared_ptr<const Picture> picture;
    std::shared_ptr<const RawFrame> picture_raw;  // what it was developed from
    uint64_t skipped = 0;                         // frames that came while one waited
    uint64_t failures = 0;                        // frames that could not be developed
    // Pictures made a second ago, for their rate.
    uint64_t rate_serial = 0;
    Clock::time_point rate_at;
    double picture_fps = 0;
  };

  void Encode(size_t index) ABSL_LOCKS_EXCLUDED(mutex_);
  bool Authorized(const httplib::Request& request) const;
  // The stream of ?stream=N; -1 (the response set) when there is none such.
  int StreamOf(const httplib::Request& request, httplib::Response* response) const;
  void ServeStream(size_t index, httplib::Response* response) ABSL_LOCKS_EXCLUDED(mutex_);
  // The newest picture, or one made for the request; null after a wait.
  std::shared_ptr<const Picture> Snapshot(size_t index, std::shared_ptr<const RawFrame>* raw)
      ABSL_LOCKS_EXCLUDED(mutex_);
  void ServeDng(size_t index, httplib::Response* response) ABSL_LOCKS_EXCLUDED(mutex_);
  std::string StatsJson() ABSL_LOCKS_EXCLUDED(mutex_);
  void AddDemand(size_t index, int viewers) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  httplib::Server server_;
  std::thread listener_;
  std::atomic<bool> listen_ended_{false};
  std::vector<Encoder> encoders_;
  // Streams somebody watches; read by Offer without the lock.
  std::atomic<int> demand_{0};
  std::string temp_dir_;  // for the DNG snapshots
  std::atomic<uint64_t> dng_serial_{0};
  bool stopped_ = false;  // Stop's caller's

  // The capture thread's.
  uint64_t offered_ = 0;  // frames offered
  Clock::time_point counters_at_;
  Clock::time_point rate_at_;
  uint64_t rate_frames_ = 0;

  vireo::Mutex mutex_;
  vireo::CondVar changed_{&mutex_};  // a picture, a frame or the stop
  bool stopping_ ABSL_GUARDED_BY(mutex_) = false;
  std::vector<Shared> shared_ ABSL_GUARDED_BY(mutex_);
  int viewers_ ABSL_GUARDED_BY(mutex_) = 0;
  Counters counters_ ABSL_GUARDED_BY(mutex_);
  double fps_ ABSL_GUARDED_BY(mutex_) = 0;
};

LiveView::Impl::Impl(const Config& config) : config_(config) {
  encoders_.resize(config_.streams.size());
  for (size_t i = 0; i < encoders_.size(); ++i) {
    Encoder& encoder = encoders_[i];
    encoder.stream = config_.streams[i];
    encoder.row_bytes =
        talon_support::PayloadRowBytes(encoder.stream.width, encoder.stream.bits_per_component);
    encoder.settings = config_.isp;
    encoder.settings.half_size =
        uint64_t{encoder.stream.width} * encoder.stream.height > kHalfSizeAbovePixels;
    talon_isp::OutputSize(encoder.stream.width, encoder.stream.height, encoder.settings.half_size,
                          &encoder.width, &encoder.height);
  }
  vireo::MutexLock lock(&mutex_);
  shared_.resize(encoders_.size());
}

bool LiveView::Impl::Authorized(const httplib::Request& request) const {
  if (config_.token.empty()) return true;
  if (request.has_param("token") && SameToken(request.get_param_value("token"), config_.token)) {
    return true;
  }
  const std::string header = request.get_header_value("Authorization");
  constexpr char kBearer[] = "Bearer ";
  return header.compare(0, sizeof(kBearer) - 1, kBearer) == 0 &&
         SameToken(header.substr(sizeof(kBearer) - 1), config_.token);
}

int LiveView::Impl::StreamOf(const httplib::Request& request, httplib::Response* response) const {
  const std::string text = request.has_param("stream") ? request.get_param_value("stream") : "0";
  int index = -1;
  if (!text.empty() && text.size() <= 3 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    index = std::stoi(text);
  }
  if (index < 0 || index >= static_cast<int>(encoders_.size())) {
    response->status = 404;
    response->set_content("no stream " + text.substr(0, 16) + "; streams 0 to " +
                              std::to_string(encoders_.size() - 1) + "\n",
                          "text/plain");
    return -1;
  }
  return index;
}

bool LiveView::Impl::Bind(std::string* error) {
  const std::string& host = config_.host == "localhost" ? std::string("127.0.0.1") : config_.host;
  server_.new_task_queue = [] { return new httplib::ThreadPool(kMaxViewers + kOtherConnections); };
  // Short enough that a stop closes every connection within a second or
  // two; a viewer whose socket takes nothing for 2 s is dropped.
  server_.set_keep_alive_timeout(1);
  server_.set_read_timeout(1, 0);
  server_.set_write_timeout(2, 0);
  server_.set_payload_max_length(1024);
  // The library's default adds SO_REUSEPORT, with which a second server on
  // the same port binds without a word and takes half of the connections.
  server_.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  server_.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        if (Authorized(request)) return httplib::Server::HandlerResponse::Unhandled;
        response.status = 401;
        response.set_header("WWW-Authenticate", "Bearer");
        response.set_content("a token is needed: ?token= or Authorization: Bearer\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
      });
  server_.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(kLivePage, "text/html; charset=utf-8");
  });
  server_.Get("/stats.json", [this](const httplib::Request&, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(StatsJson(), "application/json");
  });
  server_.Get("/stream.mjpg", [this](const httplib::Request& request, httplib::Response& response) {
    const int index = StreamOf(request, &response);
    if (index >= 0) ServeStream(static_cast<size_t>(index), &response);
  });
  server_.Get(
      "/snapshot.jpg", [this](const httplib::Request& request, httplib::Response& response) {
        const int index = StreamOf(request, &response);
        if (index < 0) return;
        std::shared_ptr<const RawFrame> raw;
        const std::shared_ptr<const Picture> picture = Snapshot(static_cast<size_t>(index), &raw);
        if (picture == nullptr) {
          response.status = 503;
          response.set_content("no picture yet\n", "text/plain");
          return;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(picture->jpeg, "image/jpeg");
      });
  server_.Get("/snapshot.dng",
              [this](const httplib::Request& request, httplib::Response& response) {
                const int index = StreamOf(request, &response);
                if (index >= 0) ServeDng(static_cast<size_t>(index), &response);
              });
  // Every other method on every path.
  const auto not_allowed = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("only GET\n", "text/plain");
  };
  server_.Post(".*", not_allowed);
  server_.Put(".*", not_allowed);
  server_.Patch(".*", not_allowed);
  server_.Delete(".*", not_allowed);
  server_.Options(".*", not_allowed);
  server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty()) {
      response.set_content(std::to_string(response.status) + "\n", "text/plain");
    }
  });

  errno = 0;
  if (config_.port == 0) {
    port_ = server_.bind_to_any_port(host);
  } else if (server_.bind_to_port(host, config_.port)) {
    port_ = config_.port;
  }
  if (port_ <= 0) {
    const int cause = errno;
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                              ":" + std::to_string(config_.port);
    *error = "--serve: cannot listen on " + where + ": " +
             (cause != 0 ? std::strerror(cause) : "not an address of this machine");
    return false;
  }
  char dir[] = "/tmp/talon-live-XXXXXX";
  if (mkdtemp(dir) != nullptr) temp_dir_ = dir;
  for (size_t i = 0; i < encoders_.size(); ++i) {
    encoders_[i].thread = std::thread([this, i] { Encode(i); });
  }
  listener_ = std::thread([this] {
    server_.listen_after_bind();
    listen_ended_ = true;
  });
  return true;
}

void LiveView::Impl::Stop() {
  if (stopped_) return;
  stopped_ = true;
  {
    vireo::MutexLock lock(&mutex_);
    stopping_ = true;
    changed_.SignalAll();
  }
  // A stop before the server runs does not reach it: again until it ends.
  while (listener_.joinable() && !listen_ended_) {
    server_.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (listener_.joinable()) listener_.join();
  for (Encoder& encoder : encoders_) {
    if (encoder.thread.joinable()) encoder.thread.join();
  }
  if (!temp_dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(temp_dir_, ignored);
  }
}

void LiveView::Impl::AddDemand(size_t index, int viewers) {
  Shared& shared = shared_[index];
  const bool before = shared.demand > 0;
  shared.demand += viewers;
  const bool after = shared.demand > 0;
  if (before != after) demand_.fetch_add(after ? 1 : -1, std::memory_order_relaxed);
}

void LiveView::Impl::OfferData(const std::vector<const uint8_t*>& data,
                               const std::vector<uint64_t>& strides,
                               const std::function<Counters()>& counters) {
  const uint64_t frame = offered_++;
  const Clock::time_point now = Clock::now();
  if (now - counters_at_ >= kCountersEvery) {
    counters_at_ = now;
    Counters counted = counters();
    double fps = -1;
    if (now - rate_at_ >= std::chrono::seconds(1)) {
      if (rate_at_ != Clock::time_point()) {
        fps = static_cast<double>(counted.frames - rate_frames_) /
              std::chrono::duration<double>(now - rate_at_).count();
      }
      rate_at_ = now;
      rate_frames_ = counted.frames;
    }
    vireo::MutexLock lock(&mutex_);
    counters_ = std::move(counted);
    if (fps >= 0) fps_ = fps;
  }
  if (!watched()) return;
  for (size_t i = 0; i < encoders_.size() && i < data.size(); ++i) {
    Encoder& encoder = encoders_[i];
    {
      vireo::MutexLock lock(&mutex_);
      Shared& shared = shared_[i];
      if (shared.demand == 0 || data[i] == nullptr) continue;
      if (shared.pending != nullptr) {  // the encoder has not taken the last one yet
        ++shared.skipped;
        continue;
      }
      if (encoder.fill == nullptr && !shared.free.empty()) {
        encoder.fill = std::move(shared.free.back());
        shared.free.pop_back();
      }
    }
    if (encoder.fill == nullptr) encoder.fill = std::make_shared<RawFrame>();
    RawFrame& raw = *encoder.fill;
    const uint32_t rows = encoder.stream.height;
    raw.data.resize(encoder.row_bytes * rows);
    for (uint32_t row = 0; row < rows; ++row) {
      std::memcpy(raw.data.data() + row * encoder.row_bytes, data[i] + row * strides[i],
                  encoder.row_bytes);
    }
    raw.frame = frame;
    vireo::MutexLock lock(&mutex_);
    shared_[i].pending = std::move(encoder.fill);
    changed_.SignalAll();
  }
}

void LiveView::Impl::Encode(size_t index) {
  // Linux gives each thread its own nice value.
  const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, thread);
  if (errno == 0) setpriority(PRIO_PROCESS, thread, nice + kEncoderNiceness);

  Encoder& encoder = encoders_[index];
  talon_isp::Isp isp(1);
  JpegWriter jpeg(config_.jpeg_quality);
  const uint64_t row = talon_isp::PlaneStrides(talon_isp::PixelFormat::kRgb, encoder.width)[0];
  std::vector<uint8_t> rgb(row * encoder.height);
  const talon_isp::RawFormat format =
      encoder.stream.bits_per_component == 8    ? talon_isp::RawFormat::kRaw8
      : encoder.stream.bits_per_component == 10 ? talon_isp::RawFormat::kRaw10
                                                : talon_isp::RawFormat::kRaw16;
  uint64_t serial = 0;
  for (;;) {
    std::shared_ptr<RawFrame> raw;
    {
      vireo::MutexLock lock(&mutex_);
      while (!stopping_ && shared_[index].pending == nullptr) changed_.Wait();
      if (stopping_) return;
      raw = std::move(shared_[index].pending);
    }
    const talon_isp::RawImage image{raw->data.data(), encoder.row_bytes, encoder.stream.width,
                                    encoder.stream.height, format};
    const talon_isp::Image out{
        talon_isp::PixelFormat::kRgb, encoder.width, encoder.height, {rgb.data()}, {row}};
    talon_isp::Stats stats;
    std::string error;
    const uint8_t* encoded = nullptr;
    uint64_t size = 0;
    auto picture = std::make_shared<Picture>();
    const bool made = isp.Develop(image, encoder.settings, out, &stats, nullptr) &&
                      jpeg.Encode(rgb.data(), encoder.width, encoder.height, "a live picture",
                                  &encoded, &size, &error);
    if (made) {
      picture->jpeg.assign(reinterpret_cast<const char*>(encoded), size);
      picture->serial = ++serial;
      picture->frame = raw->frame;
      picture->made = Clock::now();
      picture->wb_gains = stats.wb_gains;
      picture->clipped = stats.clipped_fraction;
      constexpr int kFold = 256 / kHistogramBins;
      for (int bin = 0; bin < 256; ++bin) picture->histogram[bin / kFold] += stats.histogram[bin];
    }
    vireo::MutexLock lock(&mutex_);
    Shared& shared = shared_[index];
    if (!made) {
      ++shared.failures;
      shared.free.push_back(std::move(raw));
      continue;
    }
    // The frame of the picture before goes back to the capture, unless a
    // DNG snapshot still reads it.
    if (shared.picture_raw != nullptr && shared.picture_raw.use_count() == 1) {
      shared.free.push_back(std::const_pointer_cast<RawFrame>(std::move(shared.picture_raw)));
    }
    shared.picture_raw = std::move(raw);
    shared.picture = std::move(picture);
    const Clock::time_point now = shared.picture->made;
    if (now - shared.rate_at >= std::chrono::seconds(1)) {
      if (shared.rate_at != Clock::time_point()) {
        shared.picture_fps = static_cast<double>(serial - shared.rate_serial) /
                             std::chrono::duration<double>(now - shared.rate_at).count();
      }
      shared.rate_at = now;
      shared.rate_serial = serial;
    }
    changed_.SignalAll();
  }
}

void LiveView::Impl::ServeStream(size_t index, httplib::Response* response) {
  {
    vireo::MutexLock lock(&mutex_);
    if (viewers_ >= kMaxViewers) {
      response->status = 503;
      response->set_content("too many viewers (" + std::to_string(kMaxViewers) + ")\n",
                            "text/plain");
      return;
    }
    ++viewers_;
    ++shared_[index].viewers;
    AddDemand(index, 1);
  }
  response->set_header("Cache-Control", "no-store");
  auto last = std::make_shared<uint64_t>(0);  // the serial of the picture sent last
  response->set_content_provider(
      std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
      [this, index, last](size_t, httplib::DataSink& sink) {
        std::shared_ptr<const Picture> picture;
        {
          vireo::MutexLock lock(&mutex_);
          for (;;) {
            if (stopping_) return false;
            picture = shared_[index].picture;
            if (picture != nullptr && picture->serial != *last) break;
            changed_.WaitFor(kViewerPoll);
          }
        }
        *last = picture->serial;
        const std::string head = std::string("--") + kBoundary +
                                 "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                 std::to_string(picture->jpeg.size()) + "\r\n\r\n";
        return sink.write(head.data(), head.size()) &&
               sink.write(picture->jpeg.data(), picture->jpeg.size()) && sink.write("\r\n", 2);
      },
      [this, index](bool) {
        vireo::MutexLock lock(&mutex_);
        --viewers_;
        --shared_[index].viewers;
        AddDemand(index, -1);
      });
}

std::shared_ptr<const Picture> LiveView::Impl::Snapshot(size_t index,
                                                        std::shared_ptr<const RawFrame>* raw) {
  vireo::MutexLock lock(&mutex_);
  Shared& shared = shared_[index];
  if (shared.picture != nullptr && Clock::now() - shared.picture->made < kSnapshotFresh) {
    *raw = shared.picture_raw;
    return shared.picture;
  }
  const uint64_t before = shared.picture == nullptr ? 0 : shared.picture->serial;
  AddDemand(index, 1);
  const Clock::time_point deadline = Clock::now() + kSnapshotWait;
  while (!stopping_ && Clock::now() < deadline &&
         (shared.picture == nullptr || shared.picture->serial == before)) {
    changed_.WaitUntil(deadline);
  }
  AddDemand(index, -1);
  if (shared.picture == nullptr || shared.picture->serial == before) return nullptr;
  *raw = shared.picture_raw;
  return shared.picture;
}

void LiveView::Impl::ServeDng(size_t index, httplib::Response* response) {
  std::shared_ptr<const RawFrame> raw;
  const std::shared_ptr<const Picture> picture = Snapshot(index, &raw);
  if (picture == nullptr || raw == nullptr || temp_dir_.empty()) {
    response->status = 503;
    response->set_content("no frame yet\n", "text/plain");
    return;
  }
  const Encoder& encoder = encoders_[index];
  DngImage image;
  image.data = raw->data.data();
  image.stride = encoder.row_bytes;
  image.width = encoder.stream.width;
  image.height = encoder.stream.height;
  image.bits = encoder.stream.bits_per_component;
  image.cfa = config_.isp.cfa;
  image.description = "{\"frame\":" + std::to_string(raw->frame) + "}";
  const std::string path =
      temp_dir_ + "/snapshot-" + std::to_string(dng_serial_.fetch_add(1)) + ".dng";
  std::string error;
  std::string file;
  if (WriteDng(path, image, &error)) {
    std::ifstream in(path, std::ios::binary);
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  if (file.empty()) {
    response->status = 500;
    response->set_content("cannot make the DNG: " + error + "\n", "text/plain");
    return;
  }
  response->set_header("Cache-Control", "no-store");
  response->set_content(file, "image/x-adobe-dng");
}

std::string LiveView::Impl::StatsJson() {
  nlohmann::json json;
  vireo::MutexLock lock(&mutex_);
  json["frames"] = counters_.frames;
  json["errors"] = counters_.errors;
  json["dropped"] = counters_.dropped;
  json["fps"] = fps_;
  json["viewers"] = viewers_;
  json["max_viewers"] = kMaxViewers;
  std::vector<std::string> losses;
  std::istringstream lines(counters_.write_losses);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) losses.push_back(line);
  }
  json["write_losses"] = losses;
  json["streams"] = nlohmann::json::array();
  for (size_t i = 0; i < encoders_.size(); ++i) {
    const Encoder& encoder = encoders_[i];
    const Shared& shared = shared_[i];
    nlohmann::json stream;
    stream["stream"] = i;
    stream["data_type"] = static_cast<int>(encoder.stream.data_type);
    stream["width"] = encoder.stream.width;
    stream["height"] = encoder.stream.height;
    stream["picture_width"] = encoder.width;
    stream["picture_height"] = encoder.height;
    stream["viewers"] = shared.viewers;
    stream["pictures"] = shared.picture == nullptr ? 0 : shared.picture->serial;
    stream["picture_fps"] = shared.demand > 0 ? shared.picture_fps : 0.0;
    stream["skipped"] = shared.skipped;
    stream["failed"] = shared.failures;
    if (shared.picture != nullptr) {
      stream["frame"] = shared.picture->frame;
      stream["wb_gains"] = shared.picture->wb_gains;
      stream["histogram"] = shared.picture->histogram;
      stream["clipped"] = shared.picture->clipped;
    }
    json["streams"].push_back(stream);
  }
  return json.dump();
}

std::string LiveView::ParseAddress(const std::string& text, const std::string& token,
                                   std::string* host, int* port) {
  const std::string allowed = "--serve: \"" + text.substr(0, 64) +
                              "\" is not [ADDR:]PORT (an IP address or localhost, a port "
                              "0 to 65535, e.g. 8080 or 0.0.0.0:8080)";
  std::string address = "127.0.0.1";
  std::string port_text = text;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    address = text.substr(0, colon);
    port_text = text.substr(colon + 1);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
      address = address.substr(1, address.size() - 2);
    } else if (address.find(':') != std::string::npos) {
      return allowed;  // an IPv6 address goes in brackets
    }
  }
  in_addr v4{};
  in6_addr v6{};
  const bool ip = inet_pton(AF_INET, address.c_str(), &v4) == 1 ||
                  inet_pton(AF_INET6, address.c_str(), &v6) == 1;
  if ((!ip && address != "localhost") || port_text.empty() || port_text.size() > 5 ||
      !std::all_of(port_text.begin(), port_text.end(),
                   [](char c) { return c >= '0' && c <= '9'; }) ||
      std::stoi(port_text) > 65535) {
    return allowed;
  }
  if (!token.empty() && (token.size() < 8 || token.size() > 256 ||
                         !std::all_of(token.begin(), token.end(), IsTokenCharacter))) {
    return "--serve-token: 8 to 256 of A-Z a-z 0-9 - . _ ~";
  }
  if (address != "localhost" && !IsLoopback(address) && token.empty()) {
    return "--serve: " + address +
           " is not a loopback address: give --serve-token TOKEN, which every request "
           "must then carry";
  }
  *host = address;
  *port = std::stoi(port_text);
  return "";
}

std::unique_ptr<LiveView> LiveView::Start(const Config& config, std::string* error) {
  auto impl = std::make_unique<Impl>(config);
  if (!impl->Bind(error)) return nullptr;
  return std::unique_ptr<LiveView>(new LiveView(std::move(impl)));
}

std::unique_ptr<LiveView> LiveView::Serve(const Options& options, std::string* error) {
  Config config;
  *error = ParseAddress(options.serve, options.serve_token, &config.host, &config.port);
  if (!error->empty()) return nullptr;
  config.token = options.serve_token;
  config.streams = options.config.stream_configs;
  config.isp = options.isp;
  return Start(config, error);
}

LiveView::LiveView(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

LiveView::~LiveView() = default;

int LiveView::port() const { return impl_->port_; }

std::string LiveView::Url() const {
  const std::string& host = impl_->config_.host;
  return "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
         std::to_string(impl_->port_) + "/";
}

void LiveView::Offer(const talon_support::FrameLease* lease,
                     const std::function<Counters()>& counters) {
  std::vector<const uint8_t*> data(impl_->config_.streams.size(), nullptr);
  std::vector<uint64_t> strides(data.size(), 0);
  for (size_t i = 0; i < data.size() && lease != nullptr; ++i) {
    const int type = impl_->config_.streams[i].data_type;
    data[i] = lease->data(type);
    strides[i] = lease->stride(type);
  }
  impl_->OfferData(data, strides, counters);
}

void LiveView::OfferData(const std::vector<const uint8_t*>& data,
                         const std::vector<uint64_t>& strides,
                         const std::function<Counters()>& counters) {
  impl_->OfferData(data, strides, counters);
}

void LiveView::Stop() { impl_->Stop(); }

}  // namespace talon_cam
