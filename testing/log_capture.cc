#include "testing/log_capture.h"

#include <utility>

namespace talon_testing {
namespace {

// Strips "<file>:<line> " and the trailing newline from a system-log text.
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

}  // namespace

void LogCapture::Add(LogEntry entry) {
  vireo::MutexLock lock(&mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<LogEntry> LogCapture::Entries() const {
  vireo::MutexLock lock(&mutex_);
  return entries_;
}

std::vector<std::string> LogCapture::Messages() const {
  std::vector<std::string> out;
  for (const LogEntry& e : Entries()) out.push_back(e.message);
  return out;
}

std::vector<std::string> LogCapture::Messages(int priority) const {
  std::vector<std::string> out;
  for (const LogEntry& e : Entries()) {
    if (e.priority == priority) out.push_back(e.message);
  }
  return out;
}

bool LogCapture::Contains(const std::string& needle) const { return Count(needle) > 0; }

int LogCapture::Count(const std::string& needle) const {
  int n = 0;
  for (const std::string& m : Messages()) {
    if (m.find(needle) != std::string::npos) ++n;
  }
  return n;
}

void LogCapture::Clear() {
  vireo::MutexLock lock(&mutex_);
  entries_.clear();
}

ScopedLogCapture::ScopedLogCapture() {
  SystemLogSetSink(&ScopedLogCapture::Sink, this, &previous_, &previous_context_);
}

ScopedLogCapture::~ScopedLogCapture() {
  SystemLogSetSink(previous_, previous_context_, nullptr, nullptr);
}

void ScopedLogCapture::Sink(void* context, int priority, const char* tag, const char* text) {
  auto* self = static_cast<ScopedLogCapture*>(context);
  self->Add(LogEntry{priority, tag, text, MessageOf(text)});
  if (self->previous_ != nullptr) {
    self->previous_(self->previous_context_, priority, tag, text);
  }
}

}  // namespace talon_testing
