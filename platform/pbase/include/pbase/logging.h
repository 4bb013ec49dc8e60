// The platform logging library that libwarden logs through: stream-style log
// statements at INFO and ERROR severity.
//
//   LOG(INFO) << "Adding '" << value << "' to device id hash";
//
// A statement collects its pieces and, when it ends, writes one line to
// standard error: the severity letter ("I" or "E"), a blank, the tag, ": " and
// the message. The tag is PBASE_LOG_TAG when the including unit defines it
// (e.g. -DPBASE_LOG_TAG="warden"), otherwise the program's short name.
//
// On the device the platform's logging library takes the place of this host
// stand-in. This header's LOG clashes with libtalon's base/logging.h: a unit
// includes one or the other.
//
// Threading: log statements may run on any thread; each line is written whole.

#ifndef PBASE_LOGGING_H_
#define PBASE_LOGGING_H_

#include <ostream>
#include <sstream>

#define PBASE_EXPORT __attribute__((visibility("default")))

#ifndef PBASE_LOG_TAG
#define PBASE_LOG_TAG nullptr
#endif

namespace pbase {

enum LogSeverity { INFO = 0, ERROR = 1 };

// One log statement; writes its line when it is destroyed.
class PBASE_EXPORT LogMessage {
 public:
  // `tag` is borrowed for the statement's lifetime; null means the program's
  // short name.
  LogMessage(LogSeverity severity, const char* tag);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  std::ostream& stream() { return stream_; }

 private:
  LogSeverity severity_;
  const char* tag_;
  std::ostringstream stream_;
};

}  // namespace pbase

#define LOG(severity) ::pbase::LogMessage(::pbase::severity, PBASE_LOG_TAG).stream()

#endif  // PBASE_LOGGING_H_
