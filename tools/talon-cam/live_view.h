// talon-cam's live view (--serve): an HTTP server (cpp-httplib) that shows
// the capture in a browser. Its fixed routes:
//   /                      the page (live_page.html, compiled in): every
//                          stream live, the rate, the losses, the white
//                          balance and a histogram
//   /stream.mjpg?stream=N  multipart/x-mixed-replace JPEG, the newest
//                          picture each time the viewer can take one
//   /snapshot.jpg?stream=N the newest picture; /snapshot.dng?stream=N the
//                          raw frame it was developed from
//   /stats.json            the capture's counters and each stream's figures
// Anything else is a 4xx. Loopback unless told otherwise; a token, when
// given, must come with every request (?token= or "Authorization: Bearer").
//
// The capture hands every frame to Offer. While nobody watches a stream, that
// costs an atomic load. While somebody does, the stream's encoder takes the
// newest frame whenever it is free: the capture copies the raw frame into a
// buffer of the encoder's (never more than one waits), and the encoder
// develops it through the ISP (half size above a megapixel) and encodes it
// once for all viewers; frames that come while one waits are skipped and
// counted. Each viewer sends the newest picture when its socket takes it, so
// a slow viewer skips pictures and holds up nobody.
//
// Threads: the capture thread calls Offer; any thread Start and Stop (once).
// Each stream has an encoder thread of its own, run below the capture's
// priority; the server runs a listening thread and a pool of connection
// threads (one per viewer while it watches). The LiveView owns them all and
// the frames it copied; the caller's frame buffers are only read inside
// Offer.

#ifndef TOOLS_TALON_CAM_LIVE_VIEW_H_
#define TOOLS_TALON_CAM_LIVE_VIEW_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "isp/isp.h"
#include "support/capture_session.h"
#include "system/capture/capture_types.h"
#include "tools/talon-cam/talon_cam_options.h"

namespace talon_cam {

class LiveView {
 public:
  // Viewers of all streams together; one more gets 503.
  static constexpr int kMaxViewers = 32;

  struct Config {
    std::string host = "127.0.0.1";  // an IP address, or "localhost"
    int port = 0;                    // 0: a free port (port() says which)
    std::string token;               // empty: none asked for
    std::vector<vireo::CaptureStreamConfig> streams;
    talon_isp::Settings isp;  // how pictures are developed; half_size is ours
    int jpeg_quality = 80;
  };

  // What the capture has counted, for /stats.json.
  struct Counters {
    uint64_t frames = 0;       // buffers dequeued
    uint64_t errors = 0;       // of them failed
    uint64_t dropped = 0;      // sensor frames lost between delivered ones
    std::string write_losses;  // the outputs' loss lines, if any
  };

  // Parses --serve's "[ADDR:]PORT" ("8080", "0.0.0.0:8080", "[::1]:8080")
  // and checks it with `token` (--serve-token): an address that is not
  // loopback needs one. Empty when fine, else one line naming the option.
  static std::string ParseAddress(const std::string& text, const std::string& token,
                                  std::string* host, int* port);

  // Binds and starts serving; null with one line in `error` when the
  // address cannot be bound (in use, not of this machine).
  static std::unique_ptr<LiveView> Start(const Config& config, std::string* error);
  // The live view that `options` ask for (--serve, --serve-token, the
  // streams and how --jpeg develops them), started; null with one line in
  // `error` when the address is refused or cannot be bound.
  static std::unique_ptr<LiveView> Serve(const Options& options, std::string* error);
  ~LiveView();
  LiveView(const LiveView&) = delete;
  LiveView& operator=(const LiveView&) = delete;

  // The port it listens on, and the page's address ("http://127.0.0.1:8080/").
  int port() const;
  std::string Url() const;

  // Capture thread: the frame is the newest: its lease (its streams locked,
  // support/capture_session.h), or null for a failed frame or one whose data
  // could not be locked (no picture this time); `counters` is called at most
  // a few times a second.
  void Offer(const talon_support::FrameLease* lease, const std::function<Counters()>& counters);
  // The same with each stream's data already at hand (rows `strides[i]`
  // bytes apart), e.g. synthetic frames; null data: no picture this time.
  void OfferData(const std::vector<const uint8_t*>& data, const std::vector<uint64_t>& strides,
                 const std::function<Counters()>& counters);

  // Closes every connection and ends the threads; within the write timeout
  // of a stalled viewer (2 s) at most.
  void Stop();

 private:
  class Impl;
  explicit LiveView(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace talon_cam

#endif  // TOOLS_TALON_CAM_LIVE_VIEW_H_
