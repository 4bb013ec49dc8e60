// Fuzzes vireo::ReadWriteSysFile::Read with arbitrary file contents.
//
// One temporary file, made at start-up and removed at exit, is rewritten
// with each input. Read must yield the bytes before the first '\n' (all of
// them when there is none) and 0, or -1 and an empty string for an empty
// file.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_check.h"
#include "system/dram_controller/dram_controller.h"

namespace {

[[noreturn]] void Fail(const char* what) { fuzz::CheckFailed("sysfile_read_fuzzer", what); }

// The temporary directory and the file in it; removed at exit.
struct TempFile {
  std::string dir;
  std::string path;

  TempFile() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                          "/sysfile_read_fuzzer.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a temporary directory");
    dir = pattern;
    path = dir + "/sysfile";
  }
  ~TempFile() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
};

const TempFile& File() {
  static const TempFile file;
  return file;
}

void Rewrite(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot write the temporary file");
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) Fail("cannot write the temporary file");
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) Fail("cannot close the temporary file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = File().path;
  Rewrite(path, data, size);

  vireo::ReadWriteSysFile sys_file;
  std::string output = "left over from before";
  const int result = sys_file.Read(path, &output);
  if (size == 0) {
    if (result != -1) Fail("an empty file read as a line");
    if (!output.empty()) Fail("a failed read kept the old output");
    return 0;
  }
  if (result != 0) Fail("a non-empty file could not be read");
  const uint8_t* end = std::find(data, data + size, static_cast<uint8_t>('\n'));
  if (output != std::string(reinterpret_cast<const char*>(data), end - data)) {
    Fail("the line read is not the text before the first newline");
  }
  return 0;
}
