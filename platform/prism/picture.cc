#include "platform/prism/picture.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "absl/base/thread_annotations.h"
#include "base/mutex.h"
#include "platform/prism/frame_pattern.h"
#include "platform/prism/payload.h"
#include "platform/prism/prism_sim.h"
#include "platform/prism/scene.h"

namespace prism_sim {
namespace {

std::optional<Pattern> ParsePattern(const char* name) {
  if (name == nullptr) return std::nullopt;
  if (std::strcmp(name, "bars") == 0) return Pattern::kBars;
  if (std::strcmp(name, "scene") == 0) return Pattern::kScene;
  return std::nullopt;
}

Pattern InitialPattern() {
  if (const char* text = std::getenv("PRISM_SIM_PATTERN")) {
    if (std::optional<Pattern> pattern = ParsePattern(text)) return *pattern;
    std::fprintf(stderr,
                 "prism-sim: ignoring malformed PRISM_SIM_PATTERN \"%s\" (allowed: bars, scene)\n",
                 text);
  }
  return Pattern::kBars;
}

std::atomic<Pattern>& PatternSetting() {
  static std::atomic<Pattern> pattern{InitialPattern()};
  return pattern;
}

// The scene's payload at one size and bits.
struct SceneFrames {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bits = 0;
  uint64_t row_bytes = 0;
  std::vector<uint8_t> variants[kSceneVariants];  // height rows of row_bytes each
  std::vector<uint16_t> row0;                     // row 0 of the first copy, unpacked
};

// Without copies (kept all the same, so that the failure is reported once)
// when the memory for them cannot be had.
std::shared_ptr<const SceneFrames> MakeSceneFrames(uint32_t width, uint32_t height, uint32_t bits) {
  auto frames = std::make_shared<SceneFrames>();
  frames->width = width;
  frames->height = height;
  frames->bits = bits;
  frames->row_bytes = PayloadRowBytes(width, bits);
  try {
    for (std::vector<uint8_t>& variant : frames->variants) {
      variant.resize(frames->row_bytes * height);
    }
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "prism-sim: no memory for the scene at %ux%u, %u bits; writing the bars\n",
                 width, height, bits);
    for (std::vector<uint8_t>& variant : frames->variants) variant = std::vector<uint8_t>();
    return frames;
  }
  const Scene scene(width, height);
  const SensorModel model = SensorModel::Default(bits);
  std::vector<float> means(width);
  std::vector<uint16_t> samples(width);
  for (uint32_t y = 0; y < height; ++y) {
    RenderMeanRow(scene, model, y, means.data());
    for (int k = 0; k < kSceneVariants; ++k) {
      QuantiseRow(model, means.data(), width, y, /*noise=*/true, /*seed=*/k + 1, samples.data());
      if (y == 0 && k == 0) frames->row0 = samples;
      PackRow(samples.data(), width, bits, &frames->variants[k][y * frames->row_bytes]);
    }
  }
  return frames;
}

// The rendered scenes of the last sizes used. A size is rendered by the
// first thread that needs it, under the lock: others needing a scene wait
// for it rather than render it again.
class SceneCache {
 public:
  static SceneCache& Get() {
    static SceneCache* cache = new SceneCache();  // outlives every run
    return *cache;
  }

  std::shared_ptr<const SceneFrames> Find(uint32_t width, uint32_t height, uint32_t bits) {
    vireo::MutexLock lock(&mutex_);
    for (const auto& frames : kept_) {
      if (frames->width == width && frames->height == height && frames->bits == bits) {
        return frames;
      }
    }
    kept_.push_back(MakeSceneFrames(width, height, bits));
    if (kept_.size() > kSceneSizesKept) kept_.pop_front();
    return kept_.back();
  }

 private:
  vireo::Mutex mutex_;
  std::deque<std::shared_ptr<const SceneFrames>> kept_ ABSL_GUARDED_BY(mutex_);
};

}  // namespace

Pattern CurrentPattern() { return PatternSetting().load(); }

void SetPattern(Pattern pattern) { PatternSetting().store(pattern); }

void PrepareScene(uint32_t width, uint32_t height, uint32_t bits) {
  if (CurrentPattern() != Pattern::kScene || !SupportedBits(bits)) return;
  SceneCache::Get().Find(width, height, bits);
}

bool RenderSceneFrame(uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                      uint32_t bits, uint32_t sequence) {
  if (!SupportedBits(bits) || stride < PayloadRowBytes(width, bits)) return false;
  if (width == 0 || height == 0) return true;
  const std::shared_ptr<const SceneFrames> frames = SceneCache::Get().Find(width, height, bits);
  if (frames->variants[0].empty()) return RenderFrame(data, stride, width, height, bits, sequence);
  const uint64_t row_bytes = frames->row_bytes;
  std::vector<uint8_t> row(row_bytes);
  std::vector<uint16_t> row0 = frames->row0;
  StampSequence(row0.data(), width, bits, sequence);
  PackRow(row0.data(), width, bits, row.data());
  WriteLikeDma(data, row.data(), row_bytes);
  const uint64_t frame_key = Mix(sequence);
  for (uint32_t y = 1; y < height; ++y) {
    const uint64_t k = Mix(frame_key ^ (y / kSceneBand)) % kSceneVariants;
    WriteLikeDma(data + y * stride, &frames->variants[k][y * row_bytes], row_bytes);
  }
  EndDmaWrites();  // the frame is in memory before its end is reported
  return true;
}

bool RenderPicture(uint8_t* data, uint64_t stride, uint32_t width, uint32_t height, uint32_t bits,
                   uint32_t sequence) {
  if (CurrentPattern() == Pattern::kScene) {
    return RenderSceneFrame(data, stride, width, height, bits, sequence);
  }
  return RenderFrame(data, stride, width, height, bits, sequence);
}

}  // namespace prism_sim

extern "C" {

int PrismSimSetPattern(const char* name) {
  const std::optional<prism_sim::Pattern> pattern = prism_sim::ParsePattern(name);
  if (!pattern) return -1;
  prism_sim::SetPattern(*pattern);
  return 0;
}

void PrismSimRenderFrame(void* data, uint64_t stride, uint32_t width, uint32_t height,
                         uint32_t bits, uint32_t sequence) {
  if (data == nullptr) return;
  prism_sim::RenderPicture(static_cast<uint8_t*>(data), stride, width, height, bits, sequence);
}

}  // extern "C"
