// Runs talon-cam as a separate process on the simulated IPU, the way a person
// would, with a fast simulated sensor and a private compiled-graph cache.

#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "testing/read_file.h"
#include "testing/temp_dir.h"
#include "testing/tool_runner.h"

namespace {

using talon_testing::ToolProcess;
using talon_testing::ToolResult;

class TalonCam : public ::testing::Test {
 protected:
  // Starts the tool with `args` and `extra_env` (NAME=value entries) over
  // the test's defaults: a fast sensor and a private graph cache; the
  // caller's own PRISM_SIM_* settings are left out. Its stdout and stderr go
  // to one pipe.
  std::unique_ptr<ToolProcess> Start(const std::vector<std::string>& args,
                                     const std::vector<std::string>& extra_env = {}) {
    talon_testing::ToolOptions options;
    options.env = extra_env;
    options.env.push_back("PRISM_SIM_FPS=1000");
    options.env.push_back("TEST_UNDECLARED_OUTPUTS_DIR=" + dir_.path() + "/cache");
    options.drop_env_prefixes = {"PRISM_SIM_"};
    std::vector<std::string> argv = {TALON_CAM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ToolProcess>(argv, options);
  }

  ToolResult Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return Start(args, env)->Finish();
  }

  // The end of a long output, for a failure message.
  static std::string Tail(const std::string& output) {
    return output.substr(output.size() > 2000 ? output.size() - 2000 : 0);
  }

  static int CountLines(const std::string& text, const std::string& needle) {
    int count = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + 1)) {
      ++count;
    }
    return count;
  }

  talon_testing::TempDir dir_;
};

constexpr char kSingleBufferWarning[] =
    "Only one frame buffer in request queue. Double buffering is not used.";

// Catches a default run that captures nothing, loses frames, or reports
// errors or drops where the sensor delivered every frame. The sensor is
// unthrottled: every run finds its frame, however loaded the machine is.
TEST_F(TalonCam, DefaultRunCapturesEveryFrame) {
  const ToolResult result = Run({}, {"PRISM_SIM_FPS=0"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(CountLines(result.out, "fps  SUCCESS\n"), 60) << result.out;
  EXPECT_NE(result.out.find("     0 seq "), std::string::npos);
  EXPECT_NE(result.out.find("    59 seq "), std::string::npos);
  EXPECT_NE(result.out.find("frames: 60\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("errors: 0\n"), std::string::npos);
  EXPECT_NE(result.out.find("dropped: 0\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("EOF-to-dequeue latency: p50 "), std::string::npos);
  EXPECT_NE(result.out.find("CPU per frame: "), std::string::npos);
}

// Catches several streams being refused, mixed up, or previewed into one file.
TEST_F(TalonCam, ThreeStreamsWithPreviews) {
  const std::string png = dir_.path() + "/p.png";
  const ToolResult result = Run({"--stream", "0x2A,64,4,8", "--stream", "0x2B,64,4,10", "--stream",
                                 "46,64,4,16,1", "--frames", "10", "--png", png});
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find("frames: 10\n"), std::string::npos);
  EXPECT_NE(result.out.find("errors: 0\n"), std::string::npos);
  for (const char* dt : {"42", "43", "46"}) {
    struct stat st {};
    EXPECT_EQ(stat((dir_.path() + "/p-" + dt + ".png").c_str(), &st), 0) << dt;
  }
}

// Catches the tool hiding the library's warning that one buffer cannot be
// double-buffered, or not counting the frames its late runs miss: a lone
// buffer's run is enqueued after the worker has waited 20 ms for a second
// one, so at 1000 fps each of the two gaps misses frames.
TEST_F(TalonCam, OneBufferShowsTheWarning) {
  const ToolResult result = Run({"--buffers", "1", "--frames", "3", "--timeout-ms", "20"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find(kSingleBufferWarning), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("frames: 3\n"), std::string::npos);
  const size_t dropped = result.out.find("dropped: ");
  ASSERT_NE(dropped, std::string::npos) << result.out;
  EXPECT_GE(std::atoi(result.out.c_str() + dropped + 9), 2) << result.out;
}

// Catches a capture that stops handing buffers back before its last frame:
// the worker, left with one buffer, waits --timeout-ms for a second one and
// warns that it captures single-buffered. With three buffers at 30 fps the
// tool hands each back long before the worker needs it.
TEST_F(TalonCam, EndOfCaptureWaitsForNoBuffer) {
  const ToolResult result = Run({"--frames", "5", "--timeout-ms", "5000"}, {"PRISM_SIM_FPS=30"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find("frames: 5\n"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find(kSingleBufferWarning), std::string::npos) << result.out;
}

// Catches a failed frame reported as success, counted twice (as an error and
// as a sensor frame dropped), or not turned into a non-zero exit status. The
// sensor is unthrottled, so that the only frame missing is the failed one.
TEST_F(TalonCam, TimedOutFrameFailsTheRun) {
  const ToolResult result =
      Run({"--frames", "20"},
          {"PRISM_SIM_FPS=0", "PRISM_SIM_FAIL=OzyWaitForCompletionWithTimeout:5:10"});
  EXPECT_NE(result.status, 0) << result.out;
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(CountLines(result.out, "fps  TIMEOUT\n"), 1) << result.out;
  EXPECT_NE(result.out.find("frames: 20\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("errors: 1 (TIMEOUT 1)\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("dropped: 0\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("1 of 20 frames failed"), std::string::npos);
}

// Catches a refused configuration that exits 0 or without saying why.
TEST_F(TalonCam, RefusedConfigurationSaysWhy) {
  const ToolResult result = Run({}, {"PRISM_SIM_FAIL=OzyCreateJob:4"});
  EXPECT_EQ(result.status, 1) << result.out;
  // One line of its own with the library's reason, not "see the log".
  const size_t line = result.out.find("talon-cam: configuration refused: ");
  ASSERT_NE(line, std::string::npos) << result.out;
  const std::string said = result.out.substr(line, result.out.find('\n', line) - line);
  EXPECT_NE(said.find("Could not create job."), std::string::npos) << said;

  const ToolResult bad_option = Run({"--frames", "many"});
  EXPECT_EQ(bad_option.status, 2);
  EXPECT_NE(bad_option.out.find("--frames: \"many\" is not a number"), std::string::npos)
      << bad_option.out;
}

// Catches a preview that is not a PNG, that libpng cannot read, or that has
// the wrong size.
TEST_F(TalonCam, PngPreviewIsReadable) {
  const std::string png = dir_.path() + "/preview.png";
  const ToolResult result = Run({"--frames", "5", "--png", png, "--quiet"});
  ASSERT_EQ(result.status, 0) << result.out;
  std::ifstream file(png, std::ios::binary);
  char signature[8] = {};
  ASSERT_TRUE(file.read(signature, 8));
  EXPECT_EQ(std::memcmp(signature, "\x89PNG\r\n\x1a\n", 8), 0);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, png.c_str())) << image.message;
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  EXPECT_EQ(image.width, 640u);
  EXPECT_EQ(image.height, 480u);
  // The test pattern is eight full-scale colour bars (white to black); the
  // preview of a middle row shows them all. Only pixels within two of a bar
  // edge (the demosaic's 5x5 neighbourhood) mix the bars' colours.
  std::set<std::vector<uint8_t>> colours;
  int full_scale = 0;
  for (size_t x = 0; x < 640; ++x) {
    const uint8_t* p = &pixels[(240 * 640 + x) * 3];
    bool pure = true;
    for (int c = 0; c < 3; ++c) pure = pure && (p[c] == 0 || p[c] == 255);
    if (!pure) continue;
    ++full_scale;
    colours.insert({p[0], p[1], p[2]});
  }
  EXPECT_GE(full_scale, 640 - 8 * 4);
  EXPECT_EQ(colours.size(), 8u);
  // Quiet: no per-frame lines.
  EXPECT_EQ(CountLines(result.out, "fps  SUCCESS\n"), 0);
}

// Catches --jpeg files that are not JPEG, that TurboJPEG cannot decode, that
// lose the picture's size (half size included) or the colour of the bars, a
// stream left out, or losses said where there were none.
TEST_F(TalonCam, JpegFilesDecode) {
  const std::string pattern = dir_.path() + "/f-#.jpg";
  const ToolResult result = Run({"--frames", "3", "--stream", "0x2B,640,480,10", "--stream",
                                 "0x2A,96,64,8", "--jpeg", pattern, "--half-size", "--quiet"});
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.out.find("not written"), std::string::npos) << result.out;
  for (const char* stream : {"43", "42"}) {
    for (int i = 0; i < 3; ++i) {
      char name[64];
      std::snprintf(name, sizeof(name), "/f-%s-%06d.jpg", stream, i);
      const std::string jpeg = talon_testing::ReadFile(dir_.path() + name);
      ASSERT_GT(jpeg.size(), 2u) << name;
      EXPECT_EQ(jpeg.compare(0, 2, "\xFF\xD8"), 0) << name;  // start of image
    }
  }
  const std::string jpeg = talon_testing::ReadFile(dir_.path() + "/f-43-000002.jpg");
  tjhandle decoder = tjInitDecompress();
  ASSERT_NE(decoder, nullptr);
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
  ASSERT_EQ(
      tjDecompressHeader3(decoder, bytes, jpeg.size(), &width, &height, &subsampling, &colourspace),
      0);
  EXPECT_EQ(width, 320);
  EXPECT_EQ(height, 240);
  std::vector<uint8_t> rgb(size_t{320} * 240 * 3);
  ASSERT_EQ(tjDecompress2(decoder, bytes, jpeg.size(), rgb.data(), 320, 0, 240, TJPF_RGB, 0), 0)
      << tjGetErrorStr2(decoder);
  tjDestroy(decoder);
  // The eight bars (40 pixels wide at half size, moved left by one pixel a
  // frame) keep their colours through the encoding: red, with blue next
  // right of it.
  auto is = [&](uint32_t x, int r, int g, int b) {
    const uint8_t* p = &rgb[(120 * 320 + x % 320) * 3];
    const int want[3] = {r, g, b};
    for (int c = 0; c < 3; ++c) {
      if (want[c] ? p[c] < 200 : p[c] > 40) return false;
    }
    return true;
  };
  int red_then_blue = 0;
  for (uint32_t x = 0; x < 320; ++x) red_then_blue += is(x, 1, 0, 0) && is(x + 40, 0, 0, 1);
  EXPECT_GE(red_then_blue, 30);
}

// Catches raw files with the wrong name, a lost frame, or rows not at the
// stride.
TEST_F(TalonCam, RawOutputOneFilePerFrame) {
  const std::string pattern = dir_.path() + "/frame-#.raw";
  const ToolResult result =
      Run({"--frames", "4", "--stream", "0x2B,100,6,10,1", "--output", pattern});
  ASSERT_EQ(result.status, 0) << result.out;
  for (int i = 0; i < 4; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "/frame-43-%06d.raw", i);
    struct stat st {};
    ASSERT_EQ(stat((dir_.path() + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_size, 128 * 6);  // 125 payload bytes padded to 128, 6 rows
  }
}

// Catches a file that collects every frame (a pattern without '#') losing
// its old content while the capture runs, missing frames, or left under its
// temporary name.
TEST_F(TalonCam, RawOutputOneFileReplacedAtTheEnd) {
  const std::string path = dir_.path() + "/all.raw";
  std::ofstream(path) << "old";
  const std::unique_ptr<ToolProcess> tool =
      Start({"--frames", "100000000", "--stream", "0x2B,100,6,10,1", "--output", path});
  ASSERT_TRUE(tool->started());
  ASSERT_TRUE(tool->ReadUntil("     5 seq ")) << tool->out();
  EXPECT_EQ(talon_testing::ReadFile(path), "old");
  kill(tool->pid(), SIGINT);
  const ToolResult result = tool->Finish();
  const std::string& output = result.out;
  ASSERT_EQ(result.status, 0) << Tail(output);
  const size_t frames = output.find("frames: ");
  ASSERT_NE(frames, std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, std::atoll(output.c_str() + frames + 8) * 128 * 6);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().filename() != "cache") names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::set<std::string>{"all.raw"});
}

// Catches Ctrl-C killing the tool without a summary, or leaving it hanging.
TEST_F(TalonCam, InterruptPrintsTheSummary) {
  const std::unique_ptr<ToolProcess> tool =
      Start({"--frames", "100000000", "--stream", "0x2A,64,4,8"});
  ASSERT_TRUE(tool->started());
  // Wait until frames flow, then interrupt.
  ASSERT_TRUE(tool->ReadUntil("     5 seq ")) << tool->out();
  kill(tool->pid(), SIGINT);
  const ToolResult result = tool->Finish();
  const std::string& output = result.out;
  EXPECT_EQ(result.status, 0) << Tail(output);
  EXPECT_NE(output.find("interrupted after "), std::string::npos);
  EXPECT_NE(output.find("errors: 0\n"), std::string::npos);
}

// A file system mounted at a new directory below `parent` for one test
// (tmpfs needs root); unmounted when the object goes.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& parent, const char* name, unsigned long flags, const char* data)
      : path_(parent + "/" + name) {
    if (mkdir(path_.c_str(), 0755) != 0) {
      reason_ = std::strerror(errno);
    } else if (mount("tmpfs", path_.c_str(), "tmpfs", flags, data) != 0) {
      reason_ = std::string("mounting a tmpfs: ") + std::strerror(errno);
    }
  }
  ~TmpfsMount() {
    if (reason_.empty()) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return reason_.empty(); }
  const std::string& reason() const { return reason_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string reason_;
};

// Catches an output target that fails only once frames flow (a missing or
// read-only directory, one option's files replacing another's, --cfa that
// does nothing): each is one line naming the option, exit 2, before any
// frame is captured.
TEST_F(TalonCam, BadTargetsRefusedBeforeTheCapture) {
  // Root writes through permission bits: a read-only mount stands in.
  std::string read_only = dir_.path() + "/ro";
  std::unique_ptr<TmpfsMount> mount;
  if (geteuid() == 0) {
    mount = std::make_unique<TmpfsMount>(dir_.path(), "ro", MS_RDONLY, "size=64k");
    if (!mount->mounted()) {
      std::printf("read-only case skipped: %s\n", mount->reason().c_str());
      read_only.clear();
    }
  } else {
    ASSERT_EQ(mkdir(read_only.c_str(), 0555), 0);
  }
  const std::string missing = dir_.path() + "/missing/";
  const std::string here = dir_.path() + "/";
  const struct {
    std::vector<std::string> args;
    const char* option;  // named at the start of the line
  } cases[] = {
      {{"--output", missing + "f-#.raw"}, "--output"},
      {{"--dng", missing + "f-#.dng"}, "--dng"},
      {{"--jpeg", missing + "f-#.jpg"}, "--jpeg"},
      {{"--png", missing + "p.png"}, "--png"},
      {{"--metadata", missing + "m.jsonl"}, "--metadata"},
      {{"--trace", missing + "t.json"}, "--trace"},
      {{"--graph-cache", "/proc/self/cache"}, "--graph-cache"},
      {{"--output", read_only + "/f-#.raw"}, "--output"},
      {{"--trace", read_only + "/t.json"}, "--trace"},
      {{"--output", here + "a-#", "--dng", here + "a-#"}, "--dng"},
      {{"--metadata", here + "m", "--trace", dir_.path() + "/./m"}, "--trace"},
      {{"--output", here + "all.raw", "--png", here + "all.raw"}, "--png"},
      {{"--cfa", "GRBG"}, "--cfa"},
  };
  for (const auto& c : cases) {
    if (read_only.empty() && c.args[1].rfind("/ro/") != std::string::npos) continue;
    const ToolResult result = Run(c.args);
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    EXPECT_EQ(result.status, 2) << result.out;
    EXPECT_EQ(CountLines(result.out, "\n"), 1) << result.out;
    EXPECT_EQ(result.out.rfind(std::string("talon-cam: ") + c.option + ": ", 0), 0u) << result.out;
    EXPECT_EQ(result.out.find(" seq "), std::string::npos);
  }
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    left.insert(entry.path().filename().string());
  }
  left.erase("ro");
  EXPECT_EQ(left, std::set<std::string>{}) << "files made by refused runs";
}

// Catches a full disk reported once per frame, with libtiff's words instead
// of the system's reason, ending the capture, leaving temporary files, or
// metadata that names files the disk never took.
TEST_F(TalonCam, FullDiskStopsEachOutputOnce) {
  TmpfsMount full(dir_.path(), "full", 0, "size=1m");
  if (!full.mounted()) GTEST_SKIP() << "needs a small tmpfs (root): " << full.reason();
  const std::string d = full.path() + "/";
  const ToolResult result =
      Run({"--stream", "0x2B,256,256,10", "--frames", "30", "--quiet", "--output", d + "f-#.raw",
           "--dng", d + "d-#.dng", "--metadata", d + "m.jsonl"});
  EXPECT_EQ(result.status, 1) << result.out;
  EXPECT_NE(result.out.find("frames: 30\n"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("TIFF"), std::string::npos) << result.out;
  const int reported = CountLines(result.out, ": No space left on device");
  EXPECT_EQ(reported, CountLines(result.out, " stops at frame ")) << result.out;
  // The summary's count per output (an output may also fall behind first
  // on a slow build; that line is not a count).
  EXPECT_EQ(reported, CountLines(result.out, " frames not written\n") +
                          CountLines(result.out, " frame not written\n"))
      << result.out;
  for (const char* option : {"--output", "--dng"}) {
    EXPECT_EQ(CountLines(result.out, std::string(option) + " stops at frame "), 1) << result.out;
  }
  const std::regex whole_file(R"(([fd]-43-\d{6}\.(raw|dng))|m\.jsonl)");
  for (const auto& entry : std::filesystem::directory_iterator(full.path())) {
    EXPECT_TRUE(std::regex_match(entry.path().filename().string(), whole_file)) << entry.path();
  }
  std::ifstream metadata(d + "m.jsonl");
  std::string line;
  while (std::getline(metadata, line)) {
    const nlohmann::json frame = nlohmann::json::parse(line);
    for (const char* key : {"file", "dng"}) {
      const nlohmann::json& name = frame["streams"][0][key];
      if (!name.is_null()) {
        EXPECT_TRUE(std::filesystem::exists(name.get<std::string>())) << line;
      }
    }
  }
}

// Catches an output that makes the capture wait for a slow disk, that falls
// behind without a word, or says so more than once, a summary whose count of
// frames not written differs from the frames missing from the files, an
// exit status of 0, or a temporary file left behind. Every write sleeps;
// --write-memory holds five frames, so that spares are also made while the
// capture runs.
TEST_F(TalonCam, SlowOutputFallsBehindOnce) {
  const struct {
    const char* option;
    const char* name;
  } cases[] = {{"--output", "o-#.raw"},
               {"--output", "all.raw"},
               {"--dng", "d-#.dng"},
               {"--jpeg", "j-#.jpg"}};
  constexpr int kFrames = 40;
  constexpr uint64_t kFrameBytes = 800 * 480;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string slow = dir_.path() + "/slow";
    std::filesystem::remove_all(slow);
    ASSERT_TRUE(std::filesystem::create_directory(slow));
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    const ToolResult result =
        Run({"--stream", "0x2B,640,480,10", "--frames", std::to_string(kFrames), "--quiet",
             "--write-memory", "2", c.option, slow + "/" + c.name},
            {"PRISM_SIM_FPS=0", std::string("LD_PRELOAD=") + SLOW_WRITE_SHIM_PATH,
             "SLOW_WRITE_DIR=" + slow, "SLOW_WRITE_MS=50",
             std::string("ASAN_OPTIONS=") + (asan_options ? asan_options : "") +
                 ":verify_asan_link_order=0"});
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_NE(result.out.find("frames: " + std::to_string(kFrames) + "\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("errors: 0\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("dropped: 0\n"), std::string::npos) << result.out;
    const std::string behind = "talon-cam: " + std::string(c.option) + " falls behind at frame ";
    EXPECT_EQ(CountLines(result.out, behind), 1) << result.out;
    const std::string count = std::string(c.option) + ": ";
    const size_t at = result.out.find(count, result.out.find("dropped: "));
    ASSERT_NE(at, std::string::npos) << result.out;
    const long not_written = std::atol(result.out.c_str() + at + count.size());
    EXPECT_GT(not_written, 0) << result.out;
    uint64_t frames_in_files = 0;
    const std::regex whole_file(R"(([odj]-43-\d{6}\.(raw|dng|jpg))|all\.raw)");
    for (const auto& entry : std::filesystem::directory_iterator(slow)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(std::regex_match(name, whole_file)) << name;
      frames_in_files += name == "all.raw" ? entry.file_size() / kFrameBytes : 1;
    }
    EXPECT_EQ(frames_in_files + not_written, static_cast<uint64_t>(kFrames)) << result.out;
  }
}

// Catches a trace that is no JSON after Ctrl-C, misses or repeats a frame's
// span on a stream's track, puts spans out of order, or whose times differ
// from the metadata's (which must carry each frame's dequeue time).
TEST_F(TalonCam, TraceMatchesTheMetadata) {
  const std::string trace_path = dir_.path() + "/t.json";
  const std::string metadata_path = dir_.path() + "/m.jsonl";
  const std::unique_ptr<ToolProcess> tool =
      Start({"--frames", "100000000", "--stream", "0x2A,64,4,8", "--stream", "0x2B,64,4,10",
             "--trace", trace_path, "--metadata", metadata_path});
  ASSERT_TRUE(tool->started());
  ASSERT_TRUE(tool->ReadUntil("    20 seq ")) << tool->out();
  kill(tool->pid(), SIGINT);
  const ToolResult result = tool->Finish();
  const std::string& output = result.out;
  ASSERT_EQ(result.status, 0) << Tail(output);

  std::map<uint64_t, nlohmann::json> frames;  // successful ones, by counter
  std::ifstream metadata(metadata_path);
  std::string line;
  while (std::getline(metadata, line)) {
    nlohmann::json frame = nlohmann::json::parse(line);
    ASSERT_TRUE(frame["dequeue_ns"].is_number_integer()) << line;
    if (frame["error"]["number"] != 0) continue;
    EXPECT_GE(frame["dequeue_ns"].get<int64_t>(), frame["eof_ns"].get<int64_t>()) << line;
    frames[frame["frame"].get<uint64_t>()] = frame;
  }
  ASSERT_GE(frames.size(), 20u);

  std::ifstream trace_file(trace_path);
  const nlohmann::json trace = nlohmann::json::parse(trace_file);  // throws if not JSON
  const auto ns = [](const nlohmann::json& us) { return std::llround(us.get<double>() * 1e3); };
  std::map<int, std::string> track_names;
  std::map<int, std::vector<uint64_t>> spans;  // frame counters by track, in file order
  std::map<int, int64_t> last_ts;
  int dequeues = 0;
  for (const nlohmann::json& event : trace["traceEvents"]) {
    const int tid = event["tid"];
    if (event["ph"] == "M" && event["name"] == "thread_name") {
      track_names[tid] = event["args"]["name"];
    } else if (event["ph"] == "X") {
      const uint64_t counter = event["args"]["frame"];
      ASSERT_EQ(frames.count(counter), 1u) << event;
      const nlohmann::json& frame = frames[counter];
      EXPECT_EQ(ns(event["ts"]), frame["sof_ns"].get<int64_t>()) << event;
      EXPECT_EQ(ns(event["dur"]), frame["eof_ns"].get<int64_t>() - frame["sof_ns"].get<int64_t>());
      EXPECT_GT(ns(event["ts"]), last_ts[tid]) << event;
      last_ts[tid] = ns(event["ts"]);
      spans[tid].push_back(counter);
    } else if (event["name"] == "dequeue" && frames.count(event["args"]["frame"]) == 1) {
      EXPECT_EQ(ns(event["ts"]), frames[event["args"]["frame"]]["dequeue_ns"].get<int64_t>());
      ++dequeues;
    }
  }
  EXPECT_EQ(track_names.size(), 3u);  // the client and two streams
  ASSERT_EQ(spans.size(), 2u);
  std::vector<uint64_t> all;
  for (const auto& [counter, frame] : frames) all.push_back(counter);
  for (const auto& [tid, counters] : spans) {
    EXPECT_EQ(counters, all) << track_names[tid];
  }
  EXPECT_EQ(dequeues, static_cast<int>(frames.size()));
}

// Catches --frames 0 refused, a capture without end that SIGINT or SIGTERM
// kills without a summary or a non-zero status, and a stop that waits for
// the next frame: at 0.001 fps none comes within the test's time limit, so
// only a dequeue released at once lets the tool finish.
TEST_F(TalonCam, FramesZeroRunsUntilASignal) {
  struct Case {
    int signal_number;
    std::vector<std::string> env;
    std::string started;  // output that shows the capture under way
    std::string frames;   // the summary's count
  };
  for (const Case& c : {Case{SIGINT, {"PRISM_SIM_FPS=1000"}, "     5 seq ", "frames: "},
                        Case{SIGTERM,
                             {"PRISM_SIM_FPS=0.001", "PRISM_SIM_TRACE=stderr"},
                             "OzyEnqueueJob(",
                             "frames: 0\n"}}) {
    SCOPED_TRACE(c.signal_number);
    const std::unique_ptr<ToolProcess> tool =
        Start({"--frames", "0", "--timeout-ms", "1000000", "--stream", "0x2A,64,4,8"}, c.env);
    ASSERT_TRUE(tool->started());
    ASSERT_TRUE(tool->ReadUntil(c.started)) << tool->out();
    kill(tool->pid(), c.signal_number);
    const ToolResult result = tool->Finish();
    const std::string& output = result.out;
    const std::string tail = Tail(output);
    EXPECT_EQ(result.status, 0) << tail;
    EXPECT_NE(output.find("interrupted after "), std::string::npos) << tail;
    EXPECT_NE(output.find("errors: 0\n"), std::string::npos) << tail;
    EXPECT_NE(output.find(c.frames), std::string::npos) << tail;
  }
}

}  // namespace
