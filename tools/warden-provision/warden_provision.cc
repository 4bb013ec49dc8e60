// warden-provision: collects the device identity, generates the provisioning
// message and checks received ones, through libwarden.
//
// Every failure is one line on standard error ("warden-provision: ...") and
// exit status 1, or 2 for a bad command line or a platform that cannot be
// used (platform_check.h), both found before anything is asked. A received message is read
// with a bound (one byte more than the longest record, to tell an over-long
// file); a written one replaces its file as a whole: a temporary file beside
// it, written, flushed to disk, renamed over it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "oemlock/OemLockProvision.h"
#include "support/atomic_file.h"
#include "tools/warden-provision/platform_check.h"
#include "tools/warden-provision/warden_provision_args.h"

namespace warden_provision {
namespace {

using orchard::hardware::oemlock::OemLockProvision;

constexpr size_t kRecordBytes = 48;                         // what libwarden reads and writes
constexpr size_t kMaxRecordBytes = sizeof(OemLockMessage);  // the whole record

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Fail(const std::string& problem) {
  std::cerr << "warden-provision: " << problem << "\n";
  return kExitFailed;
}

std::string SystemError(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Reads the identity; false (after a message) when the modem could not be
// asked.
bool Collect(OemLockProvision* provision) {
  if (!provision->CollectAttributes()) {
    Fail("could not read IMEI and MEID from the modem (see the log above)");
    return false;
  }
  return true;
}

int CommandCollect() {
  std::unique_ptr<OemLockProvision> provision(new OemLockProvision);
  const bool ok = Collect(provision.get());
  std::cout << "brand: " << provision->brand() << "\n"
            << "device: " << provision->device() << "\n"
            << "product: " << provision->product() << "\n"
            << "serial_number: " << provision->serial_number() << "\n"
            << "imei: " << provision->imei() << "\n"
            << "meid: " << provision->meid() << "\n"
            << "manufacturer: " << provision->manufacturer() << "\n"
            << "model: " << provision->model() << std::endl;
  return ok ? kExitOk : kExitFailed;
}

// Replaces `path` with `size` bytes through an AtomicFile: a new temporary
// file beside it, written, flushed to disk and renamed over `path`. On
// failure `path` is as it was and the temporary file is gone.
bool ReplaceFile(const std::string& path, const void* data, size_t size, std::string* error) {
  talon_support::AtomicFile file;
  if (!file.Create(path, nullptr)) {
    *error = SystemError("cannot create a temporary file beside " + path, file.error_number());
    return false;
  }
  if (file.Write(std::string_view(static_cast<const char*>(data), size), nullptr) &&
      file.Commit(nullptr)) {
    return true;
  }
  *error = SystemError("cannot write " + path, file.error_number());
  return false;
}

// The file --out names can be replaced: not a directory, and its directory
// takes new files (the temporary file beside it). Checked before the modem
// is asked, so that a mistyped path costs nothing.
bool CheckOutPath(const std::string& path, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *error = "--out: " + path + " is a directory";
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    *error = SystemError("--out: cannot write into " + dir, errno);
    return false;
  }
  return true;
}

int CommandGenerate(const std::string& out_path) {
  std::unique_ptr<OemLockProvision> provision(new OemLockProvision);
  if (!Collect(provision.get())) return kExitFailed;
  if (!provision->Generate()) return Fail("could not generate the device id (see the log above)");
  provision->Dump("");
  std::string error;
  if (!out_path.empty() && !ReplaceFile(out_path, &provision->message(), kRecordBytes, &error)) {
    return Fail(error);
  }
  return kExitOk;
}

// Reads a received message: kRecordBytes to kMaxRecordBytes bytes, reading at
// most one byte more. Anything that is not such a file (a directory, a
// device without end) is refused with the reason in `error`.
bool ReadRecord(const std::string& path, OemLockMessage* record, std::string* error) {
  // O_NONBLOCK only keeps the open of a FIFO from waiting for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = SystemError("cannot open " + path, errno);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  unsigned char bytes[kMaxRecordBytes + 1];
  size_t size = 0;
  while (size < sizeof(bytes)) {
    const ssize_t n = read(fd, bytes + size, sizeof(bytes) - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = SystemError("cannot read " + path, errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  close(fd);
  if (size < kRecordBytes) {
    *error = path + " is too short for a message: " + std::to_string(size) + " bytes, at least " +
             std::to_string(kRecordBytes) + " needed";
    return false;
  }
  if (size > kMaxRecordBytes) {
    *error = path + " is longer than a message (more than " + std::to_string(kMaxRecordBytes) +
             " bytes)";
    return false;
  }
  *record = OemLockMessage{};
  std::memcpy(record, bytes, size);
  return true;
}

int CommandParse(const std::string& path) {
  OemLockMessage record;
  std::string error;
  if (!ReadRecord(path, &record, &error)) return Fail(error);
  std::unique_ptr<OemLockProvision> provision(new OemLockProvision);
  if (!provision->Parse(&record)) {
    return Fail(path + " is not a valid message (see the log above)");
  }
  provision->Dump("");
  return kExitOk;
}

int Run(int argc, char** argv) {
  // A file-size limit then fails the write (EFBIG) instead of killing the tool.
  std::signal(SIGXFSZ, SIG_IGN);
  Invocation invocation;
  std::string error;
  if (!ParseArgs(std::vector<std::string>(argv + 1, argv + argc), &invocation, &error)) {
    std::cerr << "warden-provision: " << error << "\n";
    return kExitUsage;
  }
  if (invocation.command != Command::kHelp && !CheckPlatform(&error)) {
    std::cerr << "warden-provision: " << error << "\n";
    return kExitUsage;
  }
  if (invocation.command == Command::kGenerate && !invocation.path.empty() &&
      !CheckOutPath(invocation.path, &error)) {
    std::cerr << "warden-provision: " << error << "\n";
    return kExitUsage;
  }
  switch (invocation.command) {
    case Command::kHelp:
      std::cout << kUsage;
      return kExitOk;
    case Command::kCollect:
      return CommandCollect();
    case Command::kGenerate:
      return CommandGenerate(invocation.path);
    case Command::kParse:
      return CommandParse(invocation.path);
  }
  return kExitUsage;
}

}  // namespace
}  // namespace warden_provision

int main(int argc, char** argv) { return warden_provision::Run(argc, argv); }
