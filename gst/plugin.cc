// The GStreamer plugin `talon`: registers the element talonsrc and its
// device provider.
//
// Rank SECONDARY for both: autovideosrc and GstDeviceMonitor take
// talonsrc (they skip elements of rank NONE), while the kernel's V4L2
// sources (PRIMARY) still win where a USB or V4L2 camera is present, as a
// desktop user expects; on the device, whose camera is on the IPU,
// talonsrc is the one that reaches READY.
#include <gst/gst.h>

#include "gst/talon_device_provider.h"
#include "gst/talon_src.h"

static gboolean plugin_init(GstPlugin* plugin) {
  return gst_element_register(plugin, "talonsrc", GST_RANK_SECONDARY, GST_TYPE_TALON_SRC) &&
         gst_device_provider_register(plugin, "talondeviceprovider", GST_RANK_SECONDARY,
                                      GST_TYPE_TALON_DEVICE_PROVIDER);
}

#define PACKAGE "talon"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, talon,
                  "Camera capture through the IPU's capture service", plugin_init, "1.0.0",
                  "Proprietary", "talon", "talon")
