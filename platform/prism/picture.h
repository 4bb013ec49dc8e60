// The simulated sensor's picture as a run writes it: the pattern chosen by
// PRISM_SIM_PATTERN or PrismSimSetPattern, the moving colour bars
// (frame_pattern.h, the default) or the scene (scene.h), both stamped with
// the frame's sequence in row 0, pixels 0..3.
//
// The scene is rendered once per frame size and bits into kSceneVariants
// noisy copies of its payload (each with its own seeded noise); a frame takes
// each band of kSceneBand rows from the copy that a hash of its sequence
// number and the band picks, so that the noise changes from frame to frame
// and is the same for the same sequence number, at the cost of a copy per
// frame. (Bands rather than shorter runs: a copy that jumps between sources
// every few hundred bytes defeats the CPU's prefetching and costs three
// times as much.) Each pixel's noise over time takes one of kSceneVariants
// values; a single frame's noise is the sensor model's.
//
// Threading: every function may be called from any thread. The rendered
// copies are shared, kept for the last kSceneSizesKept sizes used.

#ifndef PLATFORM_PRISM_PICTURE_H_
#define PLATFORM_PRISM_PICTURE_H_

#include <cstdint>

namespace prism_sim {

enum class Pattern { kBars, kScene };

inline constexpr int kSceneVariants = 4;
inline constexpr uint32_t kSceneBand = 32;
inline constexpr int kSceneSizesKept = 3;  // a job's streams, at most

// The pattern runs write from now on.
Pattern CurrentPattern();
void SetPattern(Pattern pattern);

// Writes frame `sequence` of the current pattern (see RenderFrame in
// frame_pattern.h for the arguments); false, writing nothing, when bits is
// not 8, 10 or 16 or stride is below a row's payload.
bool RenderPicture(uint8_t* data, uint64_t stride, uint32_t width, uint32_t height, uint32_t bits,
                   uint32_t sequence);

// When the scene is the current pattern, renders its copies at this size
// now (unless kept already), so that a stream's first frame does not wait
// for them; a job calls it when its configuration is loaded.
void PrepareScene(uint32_t width, uint32_t height, uint32_t bits);

// Frame `sequence` of the scene, as RenderPicture writes it with the scene
// chosen; the bars, with one line on stderr, when the memory for the
// scene's copies at this size cannot be had.
bool RenderSceneFrame(uint8_t* data, uint64_t stride, uint32_t width, uint32_t height,
                      uint32_t bits, uint32_t sequence);

}  // namespace prism_sim

#endif  // PLATFORM_PRISM_PICTURE_H_
