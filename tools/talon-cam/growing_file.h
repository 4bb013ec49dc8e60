// A file that grows with the run, one whole record at a time (a raw file
// that collects every frame, the metadata's JSON lines, the trace's events),
// written as the records come and never held in memory.
//
// It is replaced atomically (support/atomic_file.h): the records go to a
// temporary file beside the target, renamed over it by Commit. An optional
// tail (the trace's closing brackets) always follows the last record, so
// the temporary is a whole file after every record. The first write that
// fails (a full disk) ends the file at its last whole record, with its tail,
// and it takes no more; Commit then puts that prefix in place.
//
// Used by one thread at a time; owns its temporary file.

#ifndef TOOLS_TALON_CAM_GROWING_FILE_H_
#define TOOLS_TALON_CAM_GROWING_FILE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/atomic_file.h"

namespace talon_cam {

class GrowingFile {
 public:
  // Creates the temporary for `path` holding `head` and `tail`. False with
  // a reason in `error` (the system's, e.g. "No space left on device").
  bool Create(const std::string& path, std::string_view head, std::string_view tail,
              std::string* error);
  // Appends one record, made of `parts` in order, before the tail. False
  // when the file has failed before, or fails now (error_number() says why;
  // the file then ends at its last whole record).
  bool Append(const std::vector<std::string_view>& parts);
  bool Append(std::string_view record) { return Append(std::vector<std::string_view>{record}); }
  // Flushes the file to disk and renames it over the path. False with a
  // reason in `error`; the temporary is then gone.
  bool Commit(std::string* error);

  bool open() const { return file_.has_value(); }
  bool failed() const { return error_number_ != 0; }
  // The errno of the failed write, 0 while none failed.
  int error_number() const { return error_number_; }

 private:
  // Writes all of `parts`, in order, at `offset`; false with errno set.
  bool WriteAt(std::vector<std::string_view> parts, uint64_t offset);
  static constexpr int kMaxParts = 8;  // per system call

  std::optional<talon_support::AtomicFile> file_;  // empty before Create and once dropped
  std::string tail_;
  uint64_t length_ = 0;  // head and whole records, without the tail
  int error_number_ = 0;
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_GROWING_FILE_H_
