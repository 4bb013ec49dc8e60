#include "gst/talon_src_pad.h"

#include "base/mutex.h"

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

G_DEFINE_TYPE(GstTalonSrcPad, gst_talon_src_pad, GST_TYPE_PAD)

static void gst_talon_src_pad_set_property(GObject* object, guint id, const GValue* value,
                                           GParamSpec* pspec) {
  GstTalonSrcPad* pad = GST_TALON_SRC_PAD(object);
  if (id != PROP_STREAM) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  // The stream is read at NULL→READY (again at READY→PAUSED when it
  // changed): later the value would be ignored.
  GstElement* element = gst_pad_get_parent_element(GST_PAD(pad));
  if (element != nullptr) {
    GST_OBJECT_LOCK(element);
    const GstState state = GST_STATE(element);
    GST_OBJECT_UNLOCK(element);
    if (state > GST_STATE_READY) {
      GST_ELEMENT_WARNING(element, CORE, STATE_CHANGE,
                          ("%s: stream is set in NULL or READY, not in %s: the value stays",
                           GST_PAD_NAME(pad), gst_element_state_get_name(state)),
                          (nullptr));
    }
    gst_object_unref(element);
    if (state > GST_STATE_READY) return;
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
      g_param_spec_string(
          "stream", "Stream",
          "The pad's capture stream: dt,width,height,bits[,pad] as talon-cam's --stream (data "
          "type decimal or 0x hex, bits 8, 10 or 16, pad 1 rounds rows up to 64 bytes)",
          "",
          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                   GST_PARAM_MUTABLE_READY)));
}

std::string gst_talon_src_pad_get_stream(GstPad* pad) {
  PadState* state = GST_TALON_SRC_PAD(pad)->state;
  vireo::MutexLock lock(&state->mutex);
  return state->stream;
}
