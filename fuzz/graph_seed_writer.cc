// Writes the seed files of graph_loader_fuzzer into a directory:
//   valid            the saved graph of the fuzzer's nodes (loads)
//   other_structure  a saved graph of a one-stream capture (wrong node count)
//   other_sizes      a saved graph of the same streams at other sizes
//   truncated        `valid` without its last 12 bytes
//   bad_checksum     `valid` with its last byte flipped
// Usage: graph_seed_writer <directory>. Exits non-zero on any failure.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/graph_seed_streams.h"
#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"
#include "testing/ipu_pipeline.h"

namespace {

// Compiles the graph of `streams` and saves it as directory/name.
bool SaveGraph(const std::vector<talon_testing::TestStream>& streams, const std::string& directory,
               const char* name) {
  talon_testing::IpuPipeline pipeline;
  return pipeline.BuildNodes(streams) == OZY_SUCCESS && pipeline.BuildGraph() == OZY_SUCCESS &&
         OzySaveCompiledGraph(directory.c_str(), name, pipeline.compiled) == OZY_SUCCESS;
}

bool ReadFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: graph_seed_writer <directory>\n");
    return 2;
  }
  const std::string dir = argv[1];
  PrismSimSetCompileTimeMs(0);
  const std::vector<talon_testing::TestStream> streams = fuzz::GraphSeedStreams();
  std::vector<talon_testing::TestStream> resized = streams;
  for (talon_testing::TestStream& stream : resized) stream.width *= 2;
  std::string valid;
  const bool ok =
      SaveGraph(streams, dir, "valid") && SaveGraph({streams[0]}, dir, "other_structure") &&
      SaveGraph(resized, dir, "other_sizes") && ReadFile(dir + "/valid", &valid) &&
      valid.size() > 12 && WriteFile(dir + "/truncated", valid.substr(0, valid.size() - 12)) &&
      WriteFile(dir + "/bad_checksum",
                valid.substr(0, valid.size() - 1) + static_cast<char>(~valid.back()));
  if (!ok) {
    std::fprintf(stderr, "graph_seed_writer: cannot write the seed files into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
