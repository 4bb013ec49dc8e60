// The capture configuration that graph_loader_fuzzer builds its nodes for and
// that graph_seed_writer writes the fuzzer's seed files for, so that the seed
// files match the fuzzer's nodes: RAW10 64 x 8 and RAW8 32 x 4 on MIPI
// receiver 0. No state.

#ifndef FUZZ_GRAPH_SEED_STREAMS_H_
#define FUZZ_GRAPH_SEED_STREAMS_H_

#include <vector>

#include "testing/ipu_pipeline.h"

namespace fuzz {

inline std::vector<talon_testing::TestStream> GraphSeedStreams() {
  return {{0x2B, 64, 8, 10, 0}, {0x2A, 32, 4, 8, 0}};
}

}  // namespace fuzz

#endif  // FUZZ_GRAPH_SEED_STREAMS_H_
