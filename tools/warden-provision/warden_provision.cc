// warden-provision: collects the device identity, generates the provisioning
// message and checks received ones, through libwarden.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "oemlock/OemLockProvision.h"

namespace {

using orchard::hardware::oemlock::OemLockProvision;

constexpr size_t kRecordBytes = 48;  // what libwarden reads and writes

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: warden-provision COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  collect               print the device identity\n"
    "  generate [--out FILE] collect the identity, generate the provisioning\n"
    "                        message and print its device id and nonce; with\n"
    "                        --out, also write the message's 48 bytes to FILE\n"
    "  parse FILE            check a received message (at least 48 bytes) and\n"
    "                        print its device id and nonce\n"
    "  --help                show this text\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed, 2 bad command line.\n"
    "Off the device, SIM_PROPERTIES and SIM_MODEM configure the stand-ins.\n";

int Usage(const std::string& problem) {
  std::cerr << "warden-provision: " << problem << "\n\n" << kUsage;
  return kExitUsage;
}

// Reads the identity; false (after a message) when the modem could not be
// asked.
bool Collect(OemLockProvision* provision) {
  if (!provision->CollectAttributes()) {
    std::cerr << "warden-provision: could not read IMEI and MEID from the modem "
                 "(see the log above)\n";
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

bool WriteRecord(const std::string& path, const OemLockMessage& message) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(&message), kRecordBytes);
  if (out) out.close();
  if (!out) {
    std::cerr << "warden-provision: cannot write " << path << ": "
              << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

int CommandGenerate(const std::string& out_path) {
  std::unique_ptr<OemLockProvision> provision(new OemLockProvision);
  if (!Collect(provision.get())) return kExitFailed;
  if (!provision->Generate()) {
    std::cerr << "warden-provision: could not generate the device id "
                 "(see the log above)\n";
    return kExitFailed;
  }
  provision->Dump("");
  if (!out_path.empty() && !WriteRecord(out_path, provision->message())) {
    return kExitFailed;
  }
  return kExitOk;
}

int CommandParse(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "warden-provision: cannot open " << path << ": "
              << std::strerror(errno) << "\n";
    return kExitFailed;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::cerr << "warden-provision: cannot read " << path << "\n";
    return kExitFailed;
  }
  if (bytes.size() < kRecordBytes) {
    std::cerr << "warden-provision: " << path << " is too short for a message: "
              << bytes.size() << " bytes, at least " << kRecordBytes << " needed\n";
    return kExitFailed;
  }
  OemLockMessage record{};
  std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(record)));
  std::unique_ptr<OemLockProvision> provision(new OemLockProvision);
  if (!provision->Parse(&record)) {
    std::cerr << "warden-provision: " << path
              << " is not a valid message (see the log above)\n";
    return kExitFailed;
  }
  provision->Dump("");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command given");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return kExitOk;
  }
  if (command == "collect") {
    if (args.size() != 1) return Usage("collect takes no arguments");
    return CommandCollect();
  }
  if (command == "generate") {
    if (args.size() == 1) return CommandGenerate("");
    if (args.size() == 3 && args[1] == "--out" && !args[2].empty()) {
      return CommandGenerate(args[2]);
    }
    return Usage("generate takes only --out FILE");
  }
  if (command == "parse") {
    if (args.size() != 2) return Usage("parse takes one FILE");
    return CommandParse(args[1]);
  }
  return Usage("unknown command '" + command + "'");
}
