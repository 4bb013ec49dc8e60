#include "python/log_fold.h"

#include <string>
#include <utility>

namespace talon_python {

void LogFold::Add(Entry entry, Clock::time_point now, std::vector<Entry>* out) {
  if (started_ && entry.severity == run_.severity && entry.line == run_.line &&
      entry.message == run_.message && entry.file == run_.file) {
    if (repeats_++ == 0) first_repeat_ = now;
    Tick(now, out);
    return;
  }
  Flush(out);
  run_ = std::move(entry);
  started_ = true;
  out->push_back(run_);
}

void LogFold::Tick(Clock::time_point now, std::vector<Entry>* out) {
  if (repeats_ != 0 && now - first_repeat_ >= kPeriod) Flush(out);
}

void LogFold::Flush(std::vector<Entry>* out) {
  if (repeats_ == 0) return;
  out->push_back(run_);
  if (repeats_ > 1) {
    out->back().message += " (repeated " + std::to_string(repeats_) + " times)";
  }
  repeats_ = 0;
}

}  // namespace talon_python
