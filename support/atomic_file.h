// A file that replaces its target atomically: the bytes go to a temporary
// file beside the target (a new name made by mkstemp: never an existing file
// or a link), and only Commit flushes it to disk and renames it over the
// target, so the target's name only ever holds a whole file (the old one
// until then), also after a crash. Destroying an AtomicFile that was not
// committed removes the temporary.
//
// Every tool's file writes go through this class: talon-cam's frame files,
// warden-provision's message, the simulated DRAM driver's state.
//
// Used by one thread at a time; owns its temporary file and descriptor.
// Creating a file with the usual mode reads the process's umask the first
// time, which briefly sets it: do that before starting threads that create
// files.

#ifndef SUPPORT_ATOMIC_FILE_H_
#define SUPPORT_ATOMIC_FILE_H_

#include <string>
#include <string_view>

namespace talon_support {

class AtomicFile {
 public:
  // Who may read the committed file.
  enum class Access {
    kUsual,      // 0666 less the umask, as a plainly created file
    kOwnerOnly,  // 0600, as the temporary is made
  };

  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Each step returns false on failure with a reason in `error` (which may
  // be null for a caller that words its own from error_number()); after a
  // failed Create or Commit the temporary is gone and the target untouched.

  // Creates the temporary file for `path`.
  bool Create(const std::string& path, std::string* error, Access access = Access::kUsual);
  // Writes all of `bytes` to the temporary.
  bool Write(std::string_view bytes, std::string* error);
  // What Commit guarantees after a crash or power loss.
  enum class Sync {
    kToDisk,    // the data is on disk before the rename: the target holds
                // the old file or the whole new one
    kOnRename,  // no flush: while the system runs the target holds a whole
                // file, but a crash right after may leave it short. For
                // files written at frame rate, where a flush per file would
                // cost frames.
  };

  // Flushes the temporary to disk (with Sync::kToDisk), closes it and
  // renames it to the path.
  bool Commit(std::string* error, Sync sync = Sync::kToDisk);

  // The temporary's descriptor, -1 before Create and after Commit.
  int fd() const { return fd_; }
  const std::string& temporary_path() const { return temporary_; }
  // The errno of the last failed step.
  int error_number() const { return error_number_; }

 private:
  // Records errno and the reason "<what> <path>: <strerror>"; returns false.
  bool Fail(const std::string& what, const std::string& path, std::string* error);
  // A step without a temporary file (before Create, after Commit).
  bool NoFile(const char* reason, std::string* error);
  void Discard();

  std::string path_;
  std::string temporary_;
  int fd_ = -1;
  int error_number_ = 0;
};

}  // namespace talon_support

#endif  // SUPPORT_ATOMIC_FILE_H_
