#include "testing/log_capture.h"

namespace vireo {
namespace testing {

std::string MessageOf(const std::string& text) {
  std::string message = text;
  if (!message.empty() && message.back() == '\n') message.pop_back();
  size_t colon = message.find(':');
  size_t space = message.find(' ', colon == std::string::npos ? 0 : colon);
  if (colon != std::string::npos && space != std::string::npos) {
    message.erase(0, space + 1);
  }
  return message;
}

ScopedLogCapture::ScopedLogCapture() {
  SystemLogSetSink(&ScopedLogCapture::Sink, this, &previous_, &previous_context_);
}

ScopedLogCapture::~ScopedLogCapture() {
  SystemLogSetSink(previous_, previous_context_, nullptr, nullptr);
}

void ScopedLogCapture::Sink(void* context, int priority, const char* tag,
                            const char* text) {
  auto* self = static_cast<ScopedLogCapture*>(context);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->entries_.push_back(LogEntry{priority, tag, text});
  }
  if (self->previous_ != nullptr) {
    self->previous_(self->previous_context_, priority, tag, text);
  }
}

std::vector<LogEntry> ScopedLogCapture::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<std::string> ScopedLogCapture::Messages() const {
  std::vector<std::string> out;
  for (const LogEntry& e : Entries()) out.push_back(MessageOf(e.text));
  return out;
}

std::vector<std::string> ScopedLogCapture::Messages(int priority) const {
  std::vector<std::string> out;
  for (const LogEntry& e : Entries()) {
    if (e.priority == priority) out.push_back(MessageOf(e.text));
  }
  return out;
}

bool ScopedLogCapture::Contains(const std::string& needle) const {
  return Count(needle) > 0;
}

int ScopedLogCapture::Count(const std::string& needle) const {
  int n = 0;
  for (const std::string& m : Messages()) {
    if (m.find(needle) != std::string::npos) ++n;
  }
  return n;
}

void ScopedLogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

}  // namespace testing
}  // namespace vireo
