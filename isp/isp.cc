#include "isp/isp.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "isp/isp_kernels.h"
#include "support/csi2_unpack.h"

namespace talon_isp {
namespace {

// How far each frame moves the automatic gains (in log) toward its own
// grey-world estimate.
constexpr double kWhiteBalanceSmoothing = 0.2;

// Grey-world cells: left out when more than this fraction of their samples
// are clipped, or when their brightest mean is below kDarkCell of the range.
constexpr double kClippedCell = 0.01;
constexpr double kDarkCell = 0.02;
constexpr float kMinGain = 1.0f / 8, kMaxGain = 8.0f;

const char* FormatName(RawFormat format) {
  switch (format) {
    case RawFormat::kRaw8:
      return "RAW8";
    case RawFormat::kRaw10:
      return "RAW10";
    case RawFormat::kRaw16:
      return "RAW16";
    case RawFormat::kU16:
      return "U16";
  }
  return "?";
}

uint32_t PayloadBits(RawFormat format) {
  return format == RawFormat::kRaw8 ? 8 : format == RawFormat::kRaw10 ? 10 : 16;
}

bool Fail(Error* error, const char* argument, std::string reason) {
  if (error != nullptr) *error = Error{argument, std::move(reason)};
  return false;
}

// The last byte of `rows` rows of `row_bytes` lying `stride` apart stays
// below 2^63 past the start.
bool Addressable(uint64_t stride, uint32_t rows, uint64_t row_bytes) {
  constexpr uint64_t kLimit = uint64_t{1} << 63;
  return rows == 0 || (stride <= (kLimit - row_bytes) / rows);
}

bool CheckOut(const Image& out, uint32_t want_width, uint32_t want_height, Error* error) {
  if (static_cast<unsigned>(out.format) > static_cast<unsigned>(PixelFormat::kGray8)) {
    return Fail(error, "out", "format must be RGB, RGBx, BGRx, NV12, I420 or GRAY8");
  }
  if (out.width != want_width || out.height != want_height) {
    return Fail(error, "out",
                "size must be " + std::to_string(want_width) + "x" + std::to_string(want_height) +
                    " (OutputSize of the raw frame), not " + std::to_string(out.width) + "x" +
                    std::to_string(out.height));
  }
  const bool yuv = out.format == PixelFormat::kNv12 || out.format == PixelFormat::kI420;
  if (yuv && (out.width % 2 != 0 || out.height % 2 != 0)) {
    return Fail(error, "out",
                std::string(out.format == PixelFormat::kNv12 ? "NV12" : "I420") +
                    " needs an even width and height, not " + std::to_string(out.width) + "x" +
                    std::to_string(out.height));
  }
  const std::array<uint64_t, 3> need = PlaneStrides(out.format, out.width);
  for (int i = 0; i < 3; ++i) {
    if (need[i] == 0) continue;
    const std::string plane = "plane " + std::to_string(i);
    if (out.planes[i] == nullptr) return Fail(error, "out", plane + " must not be null");
    if (out.strides[i] < need[i]) {
      return Fail(error, "out",
                  plane + " stride must be at least " + std::to_string(need[i]) + ", not " +
                      std::to_string(out.strides[i]));
    }
    const uint32_t rows = i == 0 ? out.height : out.height / 2;
    if (!Addressable(out.strides[i], rows, need[i])) {
      return Fail(error, "out",
                  plane + " stride " + std::to_string(out.strides[i]) + " is too large to address");
    }
  }
  return true;
}

}  // namespace

uint32_t FullScale(RawFormat format) {
  return format == RawFormat::kRaw8 ? 255 : format == RawFormat::kRaw10 ? 1023 : 65535;
}

void OutputSize(uint32_t width, uint32_t height, bool half_size, uint32_t* out_width,
                uint32_t* out_height) {
  if (out_width != nullptr) *out_width = half_size ? width / 2 : width;
  if (out_height != nullptr) *out_height = half_size ? height / 2 : height;
}

std::array<uint64_t, 3> PlaneStrides(PixelFormat format, uint32_t width) {
  const uint64_t w = width, half = (w + 1) / 2;
  switch (format) {
    case PixelFormat::kRgb:
      return {3 * w, 0, 0};
    case PixelFormat::kRgbx:
    case PixelFormat::kBgrx:
      return {4 * w, 0, 0};
    case PixelFormat::kNv12:
      return {w, 2 * half, 0};
    case PixelFormat::kI420:
      return {w, half, half};
    case PixelFormat::kGray8:
      return {w, 0, 0};
  }
  return {0, 0, 0};
}

std::array<uint64_t, 3> PlaneSizes(PixelFormat format, uint32_t width, uint32_t height) {
  std::array<uint64_t, 3> sizes = PlaneStrides(format, width);
  const uint64_t half_height = (uint64_t{height} + 1) / 2;
  for (int i = 0; i < 3; ++i) sizes[i] *= i == 0 ? height : half_height;
  return sizes;
}

bool CheckDevelop(const RawImage& raw, const Settings& settings, const Image& out, Error* error) {
  if (static_cast<unsigned>(settings.cfa) > static_cast<unsigned>(Cfa::kBggr)) {
    return Fail(error, "cfa", "must be RGGB, GRBG, GBRG or BGGR");
  }
  if (static_cast<unsigned>(raw.format) > static_cast<unsigned>(RawFormat::kU16)) {
    return Fail(error, "raw", "format must be RAW8, RAW10, RAW16 or U16");
  }
  if (raw.data == nullptr) return Fail(error, "raw", "data must not be null");
  if (raw.width < 2) {
    return Fail(error, "width", "must be at least 2, not " + std::to_string(raw.width));
  }
  if (raw.height < 2) {
    return Fail(error, "height", "must be at least 2, not " + std::to_string(raw.height));
  }
  const uint64_t payload = talon_support::PayloadRowBytes(raw.width, PayloadBits(raw.format));
  if (raw.stride < payload) {
    return Fail(error, "stride",
                "must be at least " + std::to_string(payload) + " (a row of " +
                    std::to_string(raw.width) + " " + FormatName(raw.format) + " samples), not " +
                    std::to_string(raw.stride));
  }
  if (!Addressable(raw.stride, raw.height, payload)) {
    return Fail(error, "stride", std::to_string(raw.stride) + " is too large to address");
  }
  const uint32_t full = FullScale(raw.format);
  if (settings.white_level > full) {
    return Fail(error, "white_level",
                "must be at most " + std::to_string(full) + " (" + FormatName(raw.format) +
                    "'s full scale), or 0 for it; not " + std::to_string(settings.white_level));
  }
  const uint32_t white = settings.white_level == 0 ? full : settings.white_level;
  if (settings.black_level >= white) {
    return Fail(error, "black_level",
                "must be below white_level (" + std::to_string(white) + "), not " +
                    std::to_string(settings.black_level));
  }
  for (float gain : settings.wb_gains) {
    if (!(gain > 0) || !std::isfinite(gain)) {
      return Fail(error, "wb_gains", "must be positive and finite");
    }
  }
  for (float entry : settings.ccm) {
    if (!std::isfinite(entry)) return Fail(error, "ccm", "entries must be finite");
  }
  if (static_cast<unsigned>(settings.transfer) > static_cast<unsigned>(Transfer::kLinear)) {
    return Fail(error, "transfer", "must be sRGB or linear");
  }
  uint32_t want_width = 0, want_height = 0;
  OutputSize(raw.width, raw.height, settings.half_size, &want_width, &want_height);
  return CheckOut(out, want_width, want_height, error);
}

Frame MakeFrame(const RawImage& raw, const Settings& settings, const Image& out,
                const std::array<float, 3>& gains) {
  Frame frame;
  frame.raw = raw;
  frame.out = out;
  frame.cfa = settings.cfa;
  frame.black = settings.black_level;
  frame.white = settings.white_level == 0 ? FullScale(raw.format) : settings.white_level;
  frame.gains = gains;
  frame.ccm = settings.ccm;
  frame.transfer = settings.transfer;
  frame.half_size = settings.half_size;
  return frame;
}

void RawStats::Add(const RawStats& other) {
  for (size_t i = 0; i < sums.size(); ++i) sums[i] += other.sums[i];
  for (size_t i = 0; i < quads.size(); ++i) {
    quads[i] += other.quads[i];
    clipped[i] += other.clipped[i];
  }
  clipped_total += other.clipped_total;
  for (size_t i = 0; i < histogram.size(); ++i) histogram[i] += other.histogram[i];
}

void FinishStats(const Frame& frame, const RawStats& raw_stats, Stats* stats) {
  const double range = frame.white - frame.black;
  for (int cell = 0; cell < RawStats::kCells; ++cell) {
    for (int c = 0; c < 3; ++c) {
      const double count = double(raw_stats.quads[cell]) * (c == 1 ? 2 : 1);
      stats->grid[cell * 3 + c] =
          count == 0 ? 0.0f : static_cast<float>(raw_stats.sums[cell * 3 + c] / (count * range));
    }
  }
  stats->histogram = raw_stats.histogram;
  stats->clipped_fraction = double(raw_stats.clipped_total) /
                            (double(frame.raw.width) * double(StatsRows(frame.raw.height)));
  stats->wb_gains = frame.gains;
}

std::array<float, 3> GreyWorldGains(const Frame& frame, const RawStats& raw_stats) {
  const double range = frame.white - frame.black;
  double total[3] = {0, 0, 0};
  for (int cell = 0; cell < RawStats::kCells; ++cell) {
    const double quads = double(raw_stats.quads[cell]);
    if (quads == 0 || raw_stats.clipped[cell] > kClippedCell * 4 * quads) continue;
    double mean[3];
    for (int c = 0; c < 3; ++c) {
      mean[c] = raw_stats.sums[cell * 3 + c] / (quads * (c == 1 ? 2 : 1) * range);
    }
    if (std::max({mean[0], mean[1], mean[2]}) < kDarkCell) continue;
    for (int c = 0; c < 3; ++c) total[c] += mean[c];
  }
  std::array<float, 3> gains{1.0f, 1.0f, 1.0f};
  if (total[0] <= 0 || total[1] <= 0 || total[2] <= 0) return gains;
  gains[0] = std::clamp(static_cast<float>(total[1] / total[0]), kMinGain, kMaxGain);
  gains[2] = std::clamp(static_cast<float>(total[1] / total[2]), kMinGain, kMaxGain);
  return gains;
}

namespace {

// The band threads of one Isp. Run hands band 0 to the caller and bands
// 1..n-1 to the workers, and returns when every band is done. Run is
// called by one thread at a time (the Isp's user); the workers only run
// jobs. The destructor stops and joins them.
class BandPool {
 public:
  // Starts up to `workers` threads (fewer when the system refuses more).
  explicit BandPool(int workers) {
    for (int i = 0; i < workers; ++i) {
      try {
        threads_.emplace_back([this, i] { Work(i + 1); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }

  ~BandPool() {
    {
      vireo::MutexLock lock(&mutex_);
      stop_ = true;
    }
    wake_.SignalAll();
    for (std::thread& thread : threads_) thread.join();
  }

  BandPool(const BandPool&) = delete;
  BandPool& operator=(const BandPool&) = delete;

  // Bands the pool runs at once: the workers and the caller.
  int Capacity() const { return static_cast<int>(threads_.size()) + 1; }

  // job(0) .. job(bands - 1), bands at most Capacity().
  void Run(int bands, const std::function<void(int)>& job) {
    {
      vireo::MutexLock lock(&mutex_);
      job_ = &job;
      bands_ = bands;
      pending_ = bands - 1;
      ++generation_;
    }
    if (bands > 1) wake_.SignalAll();
    job(0);
    vireo::MutexLock lock(&mutex_);
    while (pending_ > 0) done_.Wait();
    job_ = nullptr;
  }

 private:
  void Work(int band) {
    uint64_t seen = 0;
    while (true) {
      const std::function<void(int)>* job = nullptr;
      {
        vireo::MutexLock lock(&mutex_);
        while (!stop_ && generation_ == seen) wake_.Wait();
        if (stop_) return;
        seen = generation_;
        if (band >= bands_) continue;
        job = job_;
      }
      (*job)(band);
      vireo::MutexLock lock(&mutex_);
      if (--pending_ == 0) done_.Signal();
    }
  }

  vireo::Mutex mutex_;
  vireo::CondVar wake_{&mutex_};
  vireo::CondVar done_{&mutex_};
  const std::function<void(int)>* job_ ABSL_GUARDED_BY(mutex_) = nullptr;
  int bands_ ABSL_GUARDED_BY(mutex_) = 0;
  int pending_ ABSL_GUARDED_BY(mutex_) = 0;
  uint64_t generation_ ABSL_GUARDED_BY(mutex_) = 0;
  bool stop_ ABSL_GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_;
};

// Output rows per band below which a frame is not split further.
constexpr uint32_t kMinBandRows = 64;
// Bands per thread when threads share a frame: each thread takes the next
// band left, so that one that starts late (woken late, or its core busy)
// leaves more of the frame to the others instead of holding up the frame.
constexpr int kBandsPerThread = 4;
// With threads = 0: a band per this many output pixels, up to the CPUs (two
// bands measured 1.6 times as fast as one at 1920x1080).
constexpr uint64_t kPixelsPerBand = 1u << 19;
constexpr int kMaxBands = 8;

}  // namespace

class Isp::Impl {
 public:
  explicit Impl(int threads) : threads_(threads) {}

  bool Develop(const RawImage& raw, const Settings& settings, const Image& out, Stats* stats,
               Error* error) {
    if (!CheckDevelop(raw, settings, out, error)) return false;
    try {
      DevelopChecked(raw, settings, out, stats);
    } catch (const std::bad_alloc&) {
      return Fail(error, "width", "a frame this large needs more memory than there is");
    }
    return true;
  }

  void ResetWhiteBalance() { have_white_balance_ = false; }

 private:
  // Threads (each with a share of the bands) for a frame of `rows` output rows
  // and `pixels` pixels.
  int ThreadsFor(uint32_t rows, uint64_t pixels) {
    int wanted = threads_;
    if (wanted <= 0) {
      const int cpus = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
      wanted = static_cast<int>(std::min<uint64_t>(std::min(cpus, kMaxBands),
                                                   std::max<uint64_t>(1, pixels / kPixelsPerBand)));
    }
    wanted = static_cast<int>(std::min<uint64_t>(wanted, std::max(1u, rows / kMinBandRows)));
    if (wanted > 1 && (pool_ == nullptr || pool_->Capacity() < wanted)) {
      pool_.reset();
      pool_ = std::make_unique<BandPool>(wanted - 1);
    }
    return pool_ == nullptr ? 1 : std::min(wanted, pool_->Capacity());
  }

  // job(band, scratch, stats) over `bands` bands on `threads` threads, each
  // thread taking the next band left with its own scratch and stats; the
  // stats added up.
  RawStats RunBands(const Frame& frame, int threads, int bands,
                    const std::function<void(int, BandScratch*, RawStats*)>& job) {
    if (scratch_.size() < static_cast<size_t>(threads)) scratch_.resize(threads);
    for (int i = 0; i < threads; ++i) PrepareBandScratch(frame, &scratch_[i]);
    std::vector<RawStats> stats(threads);
    if (threads == 1) {
      for (int band = 0; band < bands; ++band) job(band, &scratch_[0], &stats[0]);
    } else {
      std::atomic<int> next{0};
      pool_->Run(threads, [&](int thread) {
        for (int band; (band = next.fetch_add(1, std::memory_order_relaxed)) < bands;) {
          job(band, &scratch_[thread], &stats[thread]);
        }
      });
    }
    for (int i = 1; i < threads; ++i) stats[0].Add(stats[i]);
    return stats[0];
  }

  RawStats Run(const Frame& frame, bool with_histogram) {
    const uint32_t rows = frame.out.height;
    const int threads = ThreadsFor(rows, uint64_t{frame.out.width} * rows);
    const int bands = threads == 1 ? 1 : BandCount(rows, threads);
    const std::vector<uint32_t> starts = SplitBands(frame, bands);
    const IspKernel kernel = BestKernel();
    return RunBands(frame, threads, static_cast<int>(starts.size()) - 1,
                    [&](int band, BandScratch* scratch, RawStats* stats) {
                      DevelopBand(kernel, frame, starts[band], starts[band + 1], with_histogram,
                                  scratch, stats);
                    });
  }

  RawStats RawStatsOf(const Frame& frame) {
    const uint32_t rows = frame.raw.height;
    const int threads = ThreadsFor(rows, uint64_t{frame.raw.width} * rows);
    const int bands = threads == 1 ? 1 : BandCount(rows, threads);
    const IspKernel kernel = BestKernel();
    return RunBands(frame, threads, bands, [&](int band, BandScratch* scratch, RawStats* stats) {
      RawStatsBand(kernel, frame, static_cast<uint32_t>(uint64_t{rows} * band / bands),
                   static_cast<uint32_t>(uint64_t{rows} * (band + 1) / bands), scratch, stats);
    });
  }

  // Bands for `threads` threads over `rows` rows: kBandsPerThread each, of
  // at least kMinBandRows rows, and at least one a thread.
  static int BandCount(uint32_t rows, int threads) {
    const uint32_t most = std::max<uint32_t>(1, rows / kMinBandRows);
    return static_cast<int>(std::max<uint32_t>(
        static_cast<uint32_t>(threads),
        std::min<uint32_t>(most, static_cast<uint32_t>(threads * kBandsPerThread))));
  }

  void DevelopChecked(const RawImage& raw, const Settings& settings, const Image& out,
                      Stats* stats) {
    std::array<float, 3> gains = settings.wb_gains;
    bool fresh = false;
    if (settings.auto_white_balance) {
      if (!have_white_balance_) {
        // The first frame of a stream: its own statistics, first.
        const Frame frame = MakeFrame(raw, settings, out, gains);
        const RawStats first = RawStatsOf(frame);
        const std::array<float, 3> estimate = GreyWorldGains(frame, first);
        for (int c = 0; c < 3; ++c) log_gains_[c] = std::log(double{estimate[c]});
        have_white_balance_ = true;
        fresh = true;
      }
      for (int c = 0; c < 3; ++c) gains[c] = static_cast<float>(std::exp(log_gains_[c]));
    }
    Frame frame = MakeFrame(raw, settings, out, gains);
    frame.raw_stats = settings.auto_white_balance || stats != nullptr;
    const RawStats raw_stats = Run(frame, stats != nullptr);
    if (settings.auto_white_balance && !fresh) {
      const std::array<float, 3> estimate = GreyWorldGains(frame, raw_stats);
      for (int c = 0; c < 3; ++c) {
        log_gains_[c] += kWhiteBalanceSmoothing * (std::log(double{estimate[c]}) - log_gains_[c]);
      }
    }
    if (stats != nullptr) FinishStats(frame, raw_stats, stats);
  }

  const int threads_;
  bool have_white_balance_ = false;
  std::array<double, 3> log_gains_{};
  std::unique_ptr<BandPool> pool_;
  std::vector<BandScratch> scratch_;
};

Isp::Isp(int threads) : impl_(new Impl(threads)) {}
Isp::~Isp() = default;

bool Isp::Develop(const RawImage& raw, const Settings& settings, const Image& out, Stats* stats,
                  Error* error) {
  return impl_->Develop(raw, settings, out, stats, error);
}

void Isp::ResetWhiteBalance() { impl_->ResetWhiteBalance(); }

}  // namespace talon_isp
