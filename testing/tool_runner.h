// Test helper: runs a built tool as a child process, the way a user does,
// and collects its output and exit status. The child runs inside the
// cross-compiling emulator when the build has one.
//
//   const talon_testing::ToolResult r = talon_testing::RunTool({TALON_CAM_PATH, "--help"});
//   EXPECT_EQ(r.status, 0) << r.out;
//
// For a tool that is stopped while it runs, ToolProcess reads its output
// until a given text has come, the caller signals pid(), then Finish().
//
// Threading: one thread at a time per ToolProcess. Ownership: a ToolProcess
// owns its child and the read ends of its pipes; the destructor kills and
// reaps a child that Finish() did not wait for.

#ifndef TESTING_TOOL_RUNNER_H_
#define TESTING_TOOL_RUNNER_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace talon_testing {

// Where the child's standard output and standard error go.
enum class ToolOutput {
  kMerged,     // both into ToolResult::out, in the order written
  kSeparate,   // standard output into out, standard error into err
  kDiscarded,  // both to /dev/null: nothing is read back into this process
};

struct ToolOptions {
  // NAME=value entries; for each name the first entry wins, over later ones
  // and over the inherited environment.
  std::vector<std::string> env;
  // Inherited entries that start with one of these are left out.
  std::vector<std::string> drop_env_prefixes;
  ToolOutput output = ToolOutput::kMerged;
};

struct ToolResult {
  int status = -1;      // exit status; -1 when it did not start or did not exit normally
  std::string out;      // see ToolOutput
  std::string err;      // with ToolOutput::kSeparate
  long max_rss_kb = 0;  // the child's peak resident memory (ru_maxrss)
  double wall_ms = 0;   // start to exit
};

class ToolProcess {
 public:
  // Starts argv[0] (a path) with `argv`.
  explicit ToolProcess(const std::vector<std::string>& argv, const ToolOptions& options = {});
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The standard output read so far.
  const std::string& out() const { return result_.out; }

  // Reads standard output until `needle` is in it; false at its end.
  bool ReadUntil(const std::string& needle);
  // Reads the output to its end and waits for the child.
  ToolResult Finish();

 private:
  // Reads once from whichever pipe has data; false when both are at their end.
  bool ReadSome();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int64_t start_ns_ = 0;
  ToolResult result_;
};

// Runs the tool to its end.
ToolResult RunTool(const std::vector<std::string>& argv, const ToolOptions& options = {});

}  // namespace talon_testing

#endif  // TESTING_TOOL_RUNNER_H_
