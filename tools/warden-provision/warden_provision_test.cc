// Runs warden-provision end to end against the property and modem stand-ins
// and checks its device id against an independent SHA-256.

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/read_file.h"
#include "testing/sha256_digest.h"
#include "testing/sim_device.h"
#include "testing/temp_dir.h"
#include "testing/tool_runner.h"

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::string Frame(const std::string& field) {
  return std::string(1, static_cast<char>(field.size())) + field;
}

class WardenProvisionTest : public ::testing::Test {
 protected:
  // Standard output and standard error apart.
  talon_testing::ToolResult Run(const std::vector<std::string>& args,
                                const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {WARDEN_PROVISION_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    talon_testing::ToolOptions options;
    options.env = env;
    options.output = talon_testing::ToolOutput::kSeparate;
    return talon_testing::RunTool(argv, options);
  }

  static std::string ExpectedDump(const std::string& fifth) {
    const std::string digest = talon_testing::Sha256(
        Frame("acme") + Frame("falcon") + Frame("falcon_eu") + Frame("SN0001") + Frame(fifth) +
        Frame("Acme Inc") + Frame("Falcon 2"));
    return "device_id: " + Hex(reinterpret_cast<const unsigned char*>(digest.data()), 32) +
           "\nnonce: 0000000000000000\n";
  }

  talon_testing::TempDir dir_;
  talon_testing::SimDevice device_{dir_.path(), "imei=490000000000001;meid=A0000000000001"};
};

// Catches a tool whose device id differs from the hash of the identity the
// stand-ins describe, with the IMEI or, lacking one, the MEID.
TEST_F(WardenProvisionTest, GenerateMatchesIndependentDigest) {
  talon_testing::ToolResult result = Run({"generate"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, ExpectedDump("490000000000001"));
  EXPECT_NE(result.err.find("I warden: Generate: running\n"), std::string::npos);

  setenv("SIM_MODEM", "imei=;meid=A0000000000001", 1);
  result = Run({"generate"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, ExpectedDump("A0000000000001"));
}

// Catches a written record with another layout than the one parse accepts.
TEST_F(WardenProvisionTest, GeneratedRecordRoundTrips) {
  const std::string path = dir_.path() + "/record.bin";
  const talon_testing::ToolResult generated = Run({"generate", "--out", path});
  ASSERT_EQ(generated.status, 0) << generated.err;
  const std::string record = talon_testing::ReadFile(path);
  ASSERT_EQ(record.size(), 48u);
  EXPECT_EQ(record.substr(0, 5), std::string("OEML\x01", 5));
  EXPECT_EQ(record.substr(40), std::string(8, '\0'));
  const talon_testing::ToolResult parsed = Run({"parse", path});
  ASSERT_EQ(parsed.status, 0) << parsed.err;
  EXPECT_EQ(parsed.out, generated.out);
}

// Catches received records that are accepted although short or wrong.
TEST_F(WardenProvisionTest, ParseRejectsBadRecords) {
  const std::string path = dir_.path() + "/in.bin";
  std::ofstream(path, std::ios::binary) << std::string("OEML\x01", 5) + std::string(42, 'x');
  talon_testing::ToolResult result = Run({"parse", path});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("too short for a message: 47 bytes"), std::string::npos);
  EXPECT_EQ(result.out, "");

  std::ofstream(path, std::ios::binary) << std::string("OEMX\x01", 5) + std::string(43, 'x');
  result = Run({"parse", path});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("E warden: Parse: Incorrect magic value"), std::string::npos);

  result = Run({"parse", dir_.path() + "/missing"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cannot open"), std::string::npos);
}

// Catches a parse that aborts on a directory, reads a device without end
// until memory runs out, or takes an over-long file for a message: each is
// one line on standard error and exit status 1.
TEST_F(WardenProvisionTest, ParseRefusesWhatIsNotOneMessage) {
  const std::string long_file = dir_.path() + "/long.bin";
  std::ofstream(long_file, std::ios::binary) << std::string("OEML\x01", 5) + std::string(284, 'x');
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {dir_.path(), "cannot read " + dir_.path() + ": Is a directory\n"},
      {"/dev/zero", "/dev/zero is longer than a message (more than 288 bytes)\n"},
      {long_file, long_file + " is longer than a message (more than 288 bytes)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const talon_testing::ToolResult result = Run({"parse", c.path});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "warden-provision: " + c.reason);
    EXPECT_EQ(result.out, "");
  }
}

// Catches a generate --out that truncates the old file before its write
// fails (here: a file-size limit of 0), or that leaves its temporary file.
TEST_F(WardenProvisionTest, FailedGenerateKeepsTheOldFile) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer's runtime writes a file of its own before main
  // (/tmp/tsan.rodata.<pid>), so the limit kills the tool before it can
  // ignore SIGXFSZ; the other builds cover this path.
  GTEST_SKIP() << "the file-size limit kills the ThreadSanitizer runtime";
#endif
  const std::string out_dir = dir_.path() + "/out";
  ASSERT_EQ(mkdir(out_dir.c_str(), 0700), 0);
  const std::string path = out_dir + "/record.bin";
  std::ofstream(path, std::ios::binary) << "the old record";
  // Standard error goes to the pipe: the limit applies to every file.
  const std::string command = "ulimit -f 0; exec " + std::string(TALON_TEST_EMULATOR) + " '" +
                              WARDEN_PROVISION_PATH + "' generate --out '" + path +
                              "' 2>&1 >/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string err;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) err.append(buffer, n);
  const int status = pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status)) << err;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(err.find("warden-provision: cannot write " + path + ": File too large\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(talon_testing::ReadFile(path), "the old record");
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out_dir)) {
    ++entries;
    EXPECT_EQ(entry.path(), path);
  }
  EXPECT_EQ(entries, 1u);
}

// Catches a modem failure that the tool reports as success.
TEST_F(WardenProvisionTest, CollectPrintsIdentityAndReportsModemFailure) {
  talon_testing::ToolResult result = Run({"collect"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("serial_number: SN0001\n"), std::string::npos);
  EXPECT_NE(result.out.find("imei: 490000000000001\n"), std::string::npos);

  setenv("SIM_MODEM", "unavailable", 1);
  result = Run({"collect"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("E warden: QMI client service object (NULL)"), std::string::npos);
  result = Run({"generate"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
}

// Catches a bad command line that is not reported with the usage status, or
// not in one line, and a repeated --out of which the last silently wins.
TEST_F(WardenProvisionTest, CommandLine) {
  talon_testing::ToolResult result = Run({"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Usage: warden-provision"), std::string::npos);
  const std::vector<std::vector<std::string>> bad_command_lines = {
      {},
      {"frobnicate"},
      {"generate", "--out"},
      {"parse"},
      {"parse", ""},
      {"collect", "extra"},
      {"generate", "--out="},
      {"generate", "extra"},
      {"generate", "--out=" + dir_.path() + "/a", "--out=" + dir_.path() + "/b"}};
  for (const std::vector<std::string>& args : bad_command_lines) {
    SCOPED_TRACE(args.empty() ? std::string("(none)") : args[0] + " ...");
    result = Run(args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.rfind("warden-provision: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
  }
}

// Catches an --out target that is found unwritable only after the modem was
// asked and the identity printed.
TEST_F(WardenProvisionTest, UnwritableOutIsABadCommandLine) {
  for (const std::string& path : {dir_.path() + "/missing/msg.bin", dir_.path()}) {
    SCOPED_TRACE(path);
    const talon_testing::ToolResult result = Run({"generate", "--out", path});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("warden-provision: --out: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
  }
}

// Catches a SIM_PROPERTIES file that cannot be read taken for an empty
// property store: an identity of empty fields and exit status 0.
TEST_F(WardenProvisionTest, UnreadablePropertiesFileIsNamed) {
  const struct {
    std::string path;
    const char* reason;
  } cases[] = {{dir_.path() + "/missing", "No such file or directory"},
               {dir_.path(), "Is a directory"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const talon_testing::ToolResult result = Run({"collect"}, {"SIM_PROPERTIES=" + c.path});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "warden-provision: SIM_PROPERTIES: cannot read " + c.path + ": " + c.reason + "\n");
  }
}

}  // namespace
