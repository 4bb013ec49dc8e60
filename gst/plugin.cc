// The GStreamer plugin `talon`: registers the element talonsrc.
#include <gst/gst.h>

#include "gst/talon_src.h"

static gboolean plugin_init(GstPlugin* plugin) {
  return gst_element_register(plugin, "talonsrc", GST_RANK_NONE, GST_TYPE_TALON_SRC);
}

#define PACKAGE "talon"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, talon,
                  "Camera capture through the IPU's capture service", plugin_init, "1.0.0",
                  "Proprietary", "talon", "talon")
