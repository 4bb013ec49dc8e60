// ScopedPlatformLogCapture (testing/log_capture.h), apart from the system
// log's capture so that only the tests that capture the platform logging
// need its library.

#include "platform/pbase/logging_sim.h"
#include "testing/log_capture.h"

namespace talon_testing {

struct ScopedPlatformLogCapture::Hook {
  // Called under the platform logging's lock, which SetLogSink also holds
  // while it writes `previous`.
  static void Sink(void* context, pbase::LogSeverity severity, const char* tag,
                   const char* message) {
    Hook* hook = static_cast<Hook*>(context);
    hook->capture->Add(LogEntry{severity, tag, message, message});
    if (hook->previous != nullptr) hook->previous(hook->previous_context, severity, tag, message);
  }

  ScopedPlatformLogCapture* const capture;
  pbase::LogSink previous = nullptr;
  void* previous_context = nullptr;
};

ScopedPlatformLogCapture::ScopedPlatformLogCapture() : hook_(new Hook{this}) {
  pbase::SetLogSink(&Hook::Sink, hook_.get(), &hook_->previous, &hook_->previous_context);
}

ScopedPlatformLogCapture::~ScopedPlatformLogCapture() {
  pbase::SetLogSink(hook_->previous, hook_->previous_context, nullptr, nullptr);
}

}  // namespace talon_testing
