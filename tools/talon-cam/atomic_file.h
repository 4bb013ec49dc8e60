// A file that replaces its target atomically: the bytes go to a temporary
// file beside the target, and only Commit renames it over the target, so
// the target's name only ever holds a whole file (the old one until then).
// Destroying an AtomicFile that was not committed removes the temporary.
//
// Used by one thread at a time; owns its temporary file and descriptor.

#ifndef TOOLS_TALON_CAM_ATOMIC_FILE_H_
#define TOOLS_TALON_CAM_ATOMIC_FILE_H_

#include <string>

namespace talon_cam {

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file for `path` (mode 0666 less the umask).
  // False with a reason in `error`.
  bool Create(const std::string& path, std::string* error);
  // The temporary's descriptor, -1 before Create and after Commit.
  int fd() const { return fd_; }
  const std::string& temporary_path() const { return temporary_; }
  // Writes all of `bytes`; false with a reason in `error`.
  bool Write(const std::string& bytes, std::string* error);
  // Closes the temporary and renames it to the path; false with a reason
  // (the temporary is then removed and the target untouched).
  bool Commit(std::string* error);

 private:
  void Discard();

  std::string path_;
  std::string temporary_;
  int fd_ = -1;
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_ATOMIC_FILE_H_
