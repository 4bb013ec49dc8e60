// Drives the live view with synthetic frames over loopback, as a browser and
// a few hostile clients would.

#include "tools/talon-cam/live_view.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace talon_cam {
namespace {

constexpr uint32_t kWidth = 64;
constexpr uint32_t kHeight = 48;

// Runs a live view of one RAW8 RGGB stream and offers it red frames from a
// thread of its own, as the capture does, until the test ends.
class LiveViewTest : public ::testing::Test {
 protected:
  void Begin(const std::string& token = "") {
    LiveView::Config config;
    vireo::CaptureStreamConfig stream;
    stream.data_type = vireo::CSI2_RAW8;
    stream.width = kWidth;
    stream.height = kHeight;
    stream.bits_per_component = 8;
    config.streams = {stream};
    config.token = token;
    config.isp.auto_white_balance = false;
    std::string error;
    live_ = LiveView::Start(config, &error);
    ASSERT_NE(live_, nullptr) << error;
    // Red sites bright, the others dark.
    frame_.resize(kWidth * kHeight);
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        frame_[y * kWidth + x] = (x % 2 == 0 && y % 2 == 0) ? 220 : 12;
      }
    }
    capture_ = std::thread([this] {
      uint64_t frames = 0;
      while (!done_) {
        ++frames;
        live_->OfferData({frame_.data()}, {kWidth}, [frames] {
          LiveView::Counters counters;
          counters.frames = frames;
          return counters;
        });
        offered_ = frames;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the sensor's pace
      }
    });
  }

  void TearDown() override {
    done_ = true;
    if (capture_.joinable()) capture_.join();
    if (live_ != nullptr) live_->Stop();
  }

  httplib::Client Client() {
    httplib::Client client("127.0.0.1", live_->port());
    client.set_read_timeout(5, 0);
    return client;
  }

  // Sends `bytes` on a new connection and returns what comes back until the
  // end of the answer's head, or the server closes it (or 3 s pass).
  std::string RawExchange(const std::string& bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(live_->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      size_t sent = 0;
      while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      char buffer[4096];
      ssize_t n;
      while (answer.find("\r\n\r\n") == std::string::npos &&
             (n = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        answer.append(buffer, n);
      }
    }
    close(fd);
    return answer;
  }

  std::unique_ptr<LiveView> live_;
  std::vector<uint8_t> frame_;
  std::thread capture_;
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> offered_{0};
};

// The centre pixel of a JPEG, decoded; false when it is not one.
bool CentrePixel(const std::string& jpeg, uint8_t rgb[3]) {
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, sub = 0, space = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  bool ok = tjDecompressHeader3(handle, data, jpeg.size(), &width, &height, &sub, &space) == 0;
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  ok = ok &&
       tjDecompress2(handle, data, jpeg.size(), pixels.data(), width, 0, height, TJPF_RGB, 0) == 0;
  tjDestroy(handle);
  if (ok) std::copy_n(&pixels[((height / 2) * width + width / 2) * 3], 3, rgb);
  return ok;
}

// Catches a stream that sends no pictures, pictures of the wrong colour, a
// viewer count that misses the open stream, and a snapshot that is no JPEG.
TEST_F(LiveViewTest, StreamsSnapshotsAndCountsViewers) {
  Begin();
  httplib::Client client = Client();
  std::string parts;
  int viewers_seen = -1;
  // Reads the stream until it holds three pictures, then asks for the stats
  // while it is still open.
  auto result = client.Get("/stream.mjpg?stream=0", [&](const char* data, size_t size) {
    parts.append(data, size);
    size_t count = 0;
    for (size_t at = parts.find("--talonframe"); at != std::string::npos;
         at = parts.find("--talonframe", at + 1)) {
      ++count;
    }
    if (count < 4) return true;
    auto stats = Client().Get("/stats.json");
    if (stats) viewers_seen = nlohmann::json::parse(stats->body)["viewers"].get<int>();
    return false;
  });
  EXPECT_EQ(viewers_seen, 1);
  const size_t body = parts.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  const size_t length = std::stoul(parts.substr(parts.find("Content-Length: ") + 16));
  uint8_t rgb[3] = {};
  ASSERT_TRUE(CentrePixel(parts.substr(body + 4, length), rgb));
  EXPECT_GT(rgb[0], 150);
  EXPECT_LT(rgb[1], 80);
  EXPECT_LT(rgb[2], 80);

  auto snapshot = client.Get("/snapshot.jpg?stream=0");
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->status, 200);
  EXPECT_TRUE(CentrePixel(snapshot->body, rgb));
  auto dng = client.Get("/snapshot.dng");
  ASSERT_TRUE(dng);
  EXPECT_EQ(dng->status, 200);
  EXPECT_EQ(dng->body.substr(0, 2), "II");
  auto stats = client.Get("/stats.json");
  ASSERT_TRUE(stats);
  const nlohmann::json json = nlohmann::json::parse(stats->body);
  EXPECT_GE(json["frames"].get<uint64_t>(), 1u);
  EXPECT_GE(json["streams"][0]["pictures"].get<uint64_t>(), 3u);
  auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("/stream.mjpg"), std::string::npos);
}

// Catches a viewer that does not read holding up the others (the capture
// thread keeps offering throughout: a blocked hand-off would stop it).
TEST_F(LiveViewTest, StalledViewerHoldsUpNobody) {
  Begin();
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(live_->port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const std::string request = "GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  // Never read from here on. Another viewer takes 20 pictures meanwhile.
  int pictures = 0;
  size_t seen = 0;
  std::string parts;
  Client().Get("/stream.mjpg", [&](const char* data, size_t size) {
    parts.append(data, size);
    for (size_t at; (at = parts.find("--talonframe", seen)) != std::string::npos;) {
      seen = at + 1;
      ++pictures;
    }
    return pictures < 20;
  });
  EXPECT_EQ(pictures, 20);
  const uint64_t offered = offered_;
  while (offered_ < offered + 5) std::this_thread::yield();
  close(fd);
}

// Catches a request outside the fixed routes served, or one that stops the
// server: every answer a 4xx, then the server still serves the page.
TEST_F(LiveViewTest, BadRequestsGetA4xx) {
  Begin();
  const std::string huge(200000, 'a');
  static constexpr char kGarbage[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 junk\r\n\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"traversal", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"encoded traversal", "GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"unknown path", "GET /live_view.cc HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"unknown stream", "GET /stream.mjpg?stream=7 HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"malformed stream", "GET /snapshot.jpg?stream=-1x HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"post", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nhi"},
      {"huge header", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + huge + "\r\n\r\n"},
      {"garbage", std::string(kGarbage, sizeof(kGarbage) - 1)},
      {"unknown method", "BREW / HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  for (const auto& [name, bytes] : cases) {
    const std::string answer = RawExchange(bytes);
    SCOPED_TRACE(name + ": " + answer.substr(0, 80));
    EXPECT_EQ(answer.find("root:"), std::string::npos);
    if (!answer.empty()) {
      EXPECT_EQ(answer.compare(0, 9, "HTTP/1.1 "), 0);
      EXPECT_EQ(answer[9], '4');
    }
  }
  auto page = Client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

// Catches a token not asked for on some route, or a right one refused.
TEST_F(LiveViewTest, TokenGuardsEveryRoute) {
  Begin("s3cret-token");
  httplib::Client client = Client();
  for (const char* path : {"/", "/stats.json", "/snapshot.jpg", "/stream.mjpg", "/nothing"}) {
    auto answer = client.Get(path);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 401) << path;
  }
  EXPECT_EQ(client.Get("/stats.json?token=wrong-token!")->status, 401);
  EXPECT_EQ(client.Get("/stats.json?token=s3cret-token")->status, 200);
  httplib::Headers bearer = {{"Authorization", "Bearer s3cret-token"}};
  EXPECT_EQ(client.Get("/stats.json", bearer)->status, 200);
}

// Catches a viewer kept open by a stop: its stream ends and Stop returns.
TEST_F(LiveViewTest, StopEndsOpenStreams) {
  Begin();
  std::atomic<int> pictures{0};
  std::thread viewer([&] {
    Client().Get("/stream.mjpg", [&](const char*, size_t) {
      ++pictures;
      return true;
    });
  });
  while (pictures == 0) std::this_thread::yield();
  done_ = true;
  capture_.join();
  live_->Stop();
  viewer.join();
}

// Catches an address taken that is not one, a port out of range, and a
// non-loopback address served without a token.
TEST(LiveViewAddress, ParsesAndGuards) {
  struct Case {
    const char* text;
    const char* token;
    const char* host;  // null: refused
    int port;
  };
  const Case cases[] = {
      {"8080", "", "127.0.0.1", 8080},
      {"localhost:0", "", "localhost", 0},
      {"127.0.0.2:80", "", "127.0.0.2", 80},
      {"[::1]:9000", "", "::1", 9000},
      {"127.0.0.1:8080", "token-123", "127.0.0.1", 8080},
      {"0.0.0.0:8080", "token-123", "0.0.0.0", 8080},
      {"0.0.0.0:8080", "", nullptr, 0},
      {"[::]:8080", "", nullptr, 0},
      {"0.0.0.0:8080", "short", nullptr, 0},
      {"0.0.0.0:8080", "has space!", nullptr, 0},
      {"8080x", "", nullptr, 0},
      {"65536", "", nullptr, 0},
      {"", "", nullptr, 0},
      {"camera.local:80", "", nullptr, 0},
      {"::1:80", "", nullptr, 0},
  };
  for (const Case& c : cases) {
    std::string host;
    int port = -1;
    const std::string error = LiveView::ParseAddress(c.text, c.token, &host, &port);
    SCOPED_TRACE(std::string(c.text) + " token " + c.token + ": " + error);
    if (c.host == nullptr) {
      EXPECT_NE(error, "");
      EXPECT_EQ(error.find('\n'), std::string::npos);
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    }
  }
}

}  // namespace
}  // namespace talon_cam
