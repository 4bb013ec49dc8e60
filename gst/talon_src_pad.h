// A source pad of talonsrc: one capture stream, set by the pad's `stream`
// property ("dt,width,height,bits[,pad]"). The always pad `src` carries the
// element's own `stream`; request pads `src_%u` carry one more stream each.
//
// Threads: the property is set and read from application threads and read
// by the element when it goes to READY, under the pad's mutex. Everything
// else of a pad belongs to the element (gst/talon_src.h).

#ifndef GST_TALON_SRC_PAD_H_
#define GST_TALON_SRC_PAD_H_

#include <gst/gst.h>

#include <string>

G_BEGIN_DECLS

#define GST_TYPE_TALON_SRC_PAD (gst_talon_src_pad_get_type())
G_DECLARE_FINAL_TYPE(GstTalonSrcPad, gst_talon_src_pad, GST, TALON_SRC_PAD, GstPad)

G_END_DECLS

// The pad's `stream` text; empty when never set.
std::string gst_talon_src_pad_get_stream(GstPad* pad);

#endif  // GST_TALON_SRC_PAD_H_
