// Replays a fuzzer's seed corpus without libFuzzer: the ordinary suites build
// each fuzzer's entry point with this main and run it over its corpus
// directory, so that every seed stays a passing test wherever the suite runs.
//
//   <fuzzer>_replay DIRECTORY|FILE...
//
// Feeds every file (the files of a directory in name order) to
// LLVMFuzzerTestOneInput, after LLVMFuzzerInitialize when the fuzzer has
// one. A failed check aborts; finding no input at all fails too, so that a
// lost corpus cannot pass. The fuzzer gets a temporary directory of its own
// (TMPDIR) and fails when it leaves anything there at exit, after its static
// objects are gone. Single-threaded.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

// A custom mutator's call into libFuzzer; the replay never mutates.
extern "C" size_t LLVMFuzzerMutate(uint8_t* /*data*/, size_t size, size_t /*max_size*/) {
  return size;
}

namespace {

constexpr std::uintmax_t kMaxInputBytes = 1 << 20;  // corpus files are small

std::vector<std::filesystem::path> Inputs(const std::filesystem::path& argument) {
  std::vector<std::filesystem::path> inputs;
  if (std::filesystem::is_directory(argument)) {
    for (const auto& entry : std::filesystem::directory_iterator(argument)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
  } else {
    inputs.push_back(argument);
  }
  return inputs;
}

// The fuzzer's TMPDIR; checked and removed at exit.
std::filesystem::path temp_dir;

void CheckTempDirLeftEmpty() {
  std::error_code error;
  bool left = false;
  for (const auto& entry : std::filesystem::directory_iterator(temp_dir, error)) {
    std::fprintf(stderr, "replay: left behind: %s\n", entry.path().c_str());
    left = true;
  }
  std::filesystem::remove_all(temp_dir, error);
  if (left) std::_Exit(1);
}

// A fresh directory under TMPDIR (or /tmp) as the fuzzer's TMPDIR.
bool GiveTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/fuzz_replay.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr || setenv("TMPDIR", pattern.c_str(), 1) != 0) {
    std::perror("replay: cannot make a temporary directory");
    return false;
  }
  temp_dir = pattern;
  // Registered before the fuzzer makes its static objects, so run after
  // their destructors.
  std::atexit(CheckTempDirLeftEmpty);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!GiveTempDir()) return 1;
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::filesystem::path& path : Inputs(argv[i])) {
      std::error_code error;
      const std::uintmax_t size = std::filesystem::file_size(path, error);
      if (error || size > kMaxInputBytes) {
        std::fprintf(stderr, "replay: %s: not a corpus file\n", path.c_str());
        return 1;
      }
      std::ifstream in(path, std::ios::binary);
      const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
      std::fprintf(stderr, "replay: %s\n", path.c_str());
      static const uint8_t kNone = 0;  // libFuzzer never passes null, even for no bytes
      LLVMFuzzerTestOneInput(data.empty() ? &kNone : data.data(), data.size());
      ++replayed;
    }
  }
  if (replayed == 0) {
    std::fprintf(stderr, "replay: no input found\n");
    return 1;
  }
  std::printf("replay: %zu inputs passed\n", replayed);
  return 0;
}
