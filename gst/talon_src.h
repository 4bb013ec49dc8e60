// talonsrc: the capture service as a live GStreamer source.
//
// One to three streams of one CaptureConfig: the always pad `src` carries
// the element's `stream`, each request pad `src_%u` one more stream (its own
// `stream` property; the element is a GstChildProxy, so gst-launch sets it
// as `src_0::stream=...`). Pads are requested before the element leaves NULL:
// the capture service serves one configuration for its whole life.
//
// Design: a GstElement (not a GstBaseSrc, which has one pad) with one
// streaming task. Each iteration dequeues one frame buffer from the service
// (waiting three frame periods at most: gst/src_settings.h), and pushes one buffer per pad, all
// with the frame's timestamp: the pads of one frame stay in step by construction. Pads whose
// branches meet again downstream need a queue on each branch, as with any single-threaded multi-pad
// source.
//
// Zero-copy: a frame buffer's data is locked once per frame (a FrameLease,
// support/capture_session.h) and lent to every pad whose caps need no
// conversion, as GstMemory whose release drops the lease; the last release
// unlocks the data and enqueues the frame buffer again, from whatever thread
// frees the memory. When lending would leave the service fewer than two
// frame buffers, the element makes one more (up to twice `buffers`), then
// copies instead (gst/pad_output.h). The frame buffers also follow the
// latency: one per period a frame is held (the pipeline's latency, else the
// element's own) plus three, made at READY→PAUSED and then two a frame
// while capture runs (gst/frame_rate.h). Conversions (RAW10 unpacked to 16 bits,
// the top 8 bits of RAW10 and RAW16, rows re-strided for a consumer without
// GstVideoMeta) write in one pass into the pad's pool. Bayer streams are
// also offered as pictures (video/x-raw BGRx, RGBx, RGB, I420, NV12,
// GRAY8), developed by one software ISP per pad into the pad's picture pool
// (gst/picture_output.h), made and touched at READY→PAUSED when
// downstream's caps already point to a picture. Caps: gst/stream_format.h;
// rate: gst/frame_rate.h; failed frames: gst/error_policy.h; properties:
// gst/src_settings.h; libtalon's log: gst/library_log.h; one element per
// receiver and virtual channel: gst/receiver_claims.h; the device
// provider: gst/talon_device_provider.h.
//
// EOS: an EOS event sent to the element ends the stream after the frame
// under way (send_event), as does num-buffers (0: before any frame).
//
// States: NULL→READY claims the receiver and creates the service (paused)
// and its frame buffers;
// PAUSED produces nothing (a live source, no preroll); PAUSED→PLAYING
// resumes the service (frames completed while paused are captured again)
// and starts the task; PLAYING→PAUSED wakes the task's timed wait and
// leaves the capture running, so no frame in flight is cancelled;
// PAUSED→READY pauses the service, stops and joins the task; READY→NULL
// drops the element's hold on the service (it goes when the last lent
// buffer does) and releases the receiver.
//
// Threads: application threads set properties and request pads; the
// state-change thread runs change_state; the streaming task runs the loop;
// any thread may free a lent buffer. What more than one of them touches is
// in TalonSrcState under its mutex (settings, pads, the session, whether
// the element plays, the conversion pools); the streaming state (counters,
// negotiated formats) belongs to the task and is reset only while the task
// is stopped.

#ifndef GST_TALON_SRC_H_
#define GST_TALON_SRC_H_

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_TALON_SRC (gst_talon_src_get_type())
G_DECLARE_FINAL_TYPE(GstTalonSrc, gst_talon_src, GST, TALON_SRC, GstElement)

G_END_DECLS

#endif  // GST_TALON_SRC_H_
