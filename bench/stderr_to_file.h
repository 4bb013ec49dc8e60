// Keeps the library's log lines (copied to stderr) off the terminal while a
// benchmark measures.
//
// Used by one thread; the object owns the temporary file and, while
// redirected, the saved original stderr.

#ifndef BENCH_STDERR_TO_FILE_H_
#define BENCH_STDERR_TO_FILE_H_

namespace talon_bench {

// Sends stderr to an unlinked temporary file from construction until Restore
// or destruction.
class StderrToFile {
 public:
  StderrToFile();
  ~StderrToFile();
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;
  void Restore();

 private:
  int fd_ = -1;     // the temporary file, owned
  int saved_ = -1;  // the original stderr while redirected, owned
};

}  // namespace talon_bench

#endif  // BENCH_STDERR_TO_FILE_H_
