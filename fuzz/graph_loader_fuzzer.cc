// Fuzzes OzyLoadPrecompiledGraph with arbitrary cache files.
//
// The device and the four nodes of a two-stream capture are built once. Each
// input is written as the cache file "graph" of a temporary directory
// (removed at exit) and loaded against those nodes; a loaded graph is deleted again. The load must
// never crash, and no handle may outlive the input (a leaked compiled graph
// shows in the runtime's live-handle count, leaked memory in LeakSanitizer).
//
// A saved graph ends in a checksum of everything before it, so nearly every
// random change would only test the checksum. The custom mutator therefore
// stamps the right checksum on most mutants, which lets the fuzzer reach the
// decoder and the structure checks behind it.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/graph_seed_streams.h"
#include "platform/prism/graph_file.h"
#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"
#include "testing/ipu_pipeline.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

constexpr char kFileName[] = "graph";
constexpr size_t kChecksumBytes = 8;
constexpr size_t kHeaderBytes = 16;  // magic, version, node count

[[noreturn]] void Fail(const char* what) { fuzz::CheckFailed("graph_loader_fuzzer", what); }

// The cache file's temporary directory; removed at exit.
struct CacheDir {
  std::string dir;
  std::string path;

  CacheDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                          "/graph_loader_fuzzer.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a temporary directory");
    dir = pattern;
    path = dir + "/" + kFileName;
  }
  ~CacheDir() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
};

// What every input is loaded against; built once and never destroyed (the
// runtime outlives static destruction), unlike the directory.
struct Fixture {
  talon_testing::IpuPipeline pipeline;
  std::vector<const char*> names;
  size_t live_handles = 0;

  Fixture() {
    if (pipeline.BuildNodes(fuzz::GraphSeedStreams()) != OZY_SUCCESS) {
      Fail("cannot build the nodes");
    }
    names = pipeline.NamePointers();
    live_handles = PrismSimLiveHandleCount();
  }
};

Fixture& TheFixture() {
  static Fixture* fixture = new Fixture;
  return *fixture;
}

const CacheDir& TheCacheDir() {
  static const CacheDir cache_dir;
  return cache_dir;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) Fail("cannot write the cache file");
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) Fail("cannot write the cache file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& fixture = TheFixture();
  const CacheDir& cache_dir = TheCacheDir();
  WriteFile(cache_dir.path, data, size);

  const OzyCompileGraphInfo info = fixture.pipeline.CompileInfo();
  OzyCompiledGraph* compiled = nullptr;
  const OzyError error =
      OzyLoadPrecompiledGraph(cache_dir.dir.c_str(), kFileName, fixture.pipeline.nodes.nodes.data(),
                              fixture.names.data(), fixture.names.size(), &info, &compiled);
  if (error == OZY_SUCCESS) {
    if (compiled == nullptr) Fail("a successful load returned no graph");
    if (OzyDeleteCompiledGraph(compiled) != OZY_SUCCESS) Fail("the loaded graph cannot be deleted");
  }
  if (PrismSimLiveHandleCount() != fixture.live_handles) Fail("the load leaked a handle");
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, max_size);
  // One mutant in eight keeps whatever checksum it has.
  if (seed % 8 != 0 && size >= kHeaderBytes + kChecksumBytes) {
    uint64_t checksum = prism_sim::Fnv1a64(data, size - kChecksumBytes);
    for (size_t i = 0; i < kChecksumBytes; ++i) {
      data[size - kChecksumBytes + i] = static_cast<uint8_t>(checksum >> (8 * i));
    }
  }
  return size;
}
