#include "gst/talon_src_pad.h"

#include <cstring>

#include "absl/strings/str_cat.h"
#include "base/mutex.h"
#include "gst/frame_rate.h"
#include "gst/src_settings.h"
#include "gst/stream_option.h"

namespace {

struct PadState {
  vireo::Mutex mutex;
  std::string stream ABSL_GUARDED_BY(mutex);
};

enum { PROP_0, PROP_STREAM };

}  // namespace

struct _GstTalonSrcPad {
  GstPad parent;
  PadState* state;
};

namespace {

const char* PadStreamBlurb() {
  static const std::string text =
      absl::StrCat("The pad's capture stream: ", talon_gst::StreamSyntaxText());
  return text.c_str();
}

}  // namespace

G_DEFINE_TYPE(GstTalonSrcPad, gst_talon_src_pad, GST_TYPE_PAD)

static void gst_talon_src_pad_set_property(GObject* object, guint id, const GValue* value,
                                           GParamSpec* pspec) {
  GstTalonSrcPad* pad = GST_TALON_SRC_PAD(object);
  if (id != PROP_STREAM) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  GstElement* element = gst_pad_get_parent_element(GST_PAD(pad));
  if (element != nullptr) {
    const std::string what = absl::StrCat(GST_PAD_NAME(pad), ": stream");
    const bool refused = talon_gst::RefusedAfterReady(element, what.c_str());
    gst_object_unref(element);
    if (refused) return;
  }
  const char* text = g_value_get_string(value);
  vireo::MutexLock lock(&pad->state->mutex);
  pad->state->stream = text != nullptr ? text : "";
}

static void gst_talon_src_pad_get_property(GObject* object, guint id, GValue* value,
                                           GParamSpec* pspec) {
  if (id != PROP_STREAM) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  g_value_set_string(value, gst_talon_src_pad_get_stream(GST_PAD(object)).c_str());
}

static void gst_talon_src_pad_finalize(GObject* object) {
  delete GST_TALON_SRC_PAD(object)->state;
  G_OBJECT_CLASS(gst_talon_src_pad_parent_class)->finalize(object);
}

static void gst_talon_src_pad_init(GstTalonSrcPad* pad) { pad->state = new PadState; }

static void gst_talon_src_pad_class_init(GstTalonSrcPadClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  object_class->set_property = gst_talon_src_pad_set_property;
  object_class->get_property = gst_talon_src_pad_get_property;
  object_class->finalize = gst_talon_src_pad_finalize;
  g_object_class_install_property(
      object_class, PROP_STREAM,
      g_param_spec_string("stream", "Stream", PadStreamBlurb(), "",
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                   GST_PARAM_MUTABLE_READY)));
}

std::string gst_talon_src_pad_get_stream(GstPad* pad) {
  PadState* state = GST_TALON_SRC_PAD(pad)->state;
  vireo::MutexLock lock(&state->mutex);
  return state->stream;
}

bool gst_talon_src_pad_stream_config(GstPad* pad, vireo::CaptureStreamConfig* stream,
                                     std::string* error) {
  const std::string text = gst_talon_src_pad_get_stream(pad);
  // The always pad's stream is the element's own property.
  const std::string option = strcmp(GST_PAD_NAME(pad), "src") == 0
                                 ? std::string("stream")
                                 : absl::StrCat(GST_PAD_NAME(pad), "::stream");
  if (text.empty()) {
    *error = absl::StrCat(option, " is not set (dt,width,height,bits[,pad])");
    return false;
  }
  return talon_gst::ParseStreamOption(option, text, stream, error);
}

void gst_talon_src_pad_answer_caps(GstPad* pad, talon_gst::Cfa cfa, bool half_size, int fps_n,
                                   int fps_d, GstQuery* query) {
  GstCaps* filter = nullptr;
  gst_query_parse_caps(query, &filter);
  vireo::CaptureStreamConfig stream;
  std::string error;
  GstCaps* caps = nullptr;
  if (gst_talon_src_pad_stream_config(pad, &stream, &error)) {
    caps = talon_gst::OfferedCaps(stream, cfa, half_size, fps_n, fps_d, &error);
  }
  if (caps == nullptr) caps = gst_pad_get_pad_template_caps(pad);
  if (filter != nullptr) {
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    caps = both;
  }
  gst_query_set_caps_result(query, caps);
  gst_caps_unref(caps);
}
