// A source pad of talonsrc: one capture stream, set by the pad's `stream`
// property ("dt,width,height,bits[,pad]"). The always pad `src` carries the
// element's own `stream`; request pads `src_%u` carry one more stream each.
//
// The pad parses its stream and answers the caps query from it.
//
// Threads: the property is set and read from application threads and read
// by the element when it goes to READY, under the pad's mutex; the caps
// query comes from any thread. Everything else of a pad belongs to the
// element (gst/talon_src.h).

#ifndef GST_TALON_SRC_PAD_H_
#define GST_TALON_SRC_PAD_H_

#include <gst/gst.h>

#include <string>

#include "gst/stream_format.h"
#include "system/capture/capture_types.h"

G_BEGIN_DECLS

#define GST_TYPE_TALON_SRC_PAD (gst_talon_src_pad_get_type())
G_DECLARE_FINAL_TYPE(GstTalonSrcPad, gst_talon_src_pad, GST, TALON_SRC_PAD, GstPad)

G_END_DECLS

// The pad's `stream` text; empty when never set.
std::string gst_talon_src_pad_get_stream(GstPad* pad);

// The pad's stream parsed; false with the reason (the option named as
// gst-launch spells it) when unset or bad.
bool gst_talon_src_pad_stream_config(GstPad* pad, vireo::CaptureStreamConfig* stream,
                                     std::string* error);

// Answers a caps query: the stream's caps with `cfa`, the pictures' size
// (`half_size`) and the rate fps_n/fps_d (0/1: any), or the template's
// while the stream is bad, intersected with the query's filter.
void gst_talon_src_pad_answer_caps(GstPad* pad, talon_gst::Cfa cfa, bool half_size, int fps_n,
                                   int fps_d, GstQuery* query);

#endif  // GST_TALON_SRC_PAD_H_
