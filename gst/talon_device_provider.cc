#include "gst/talon_device_provider.h"

#include <string>

#include "absl/strings/str_cat.h"
#include "gst/frame_rate.h"
#include "gst/stream_option.h"
#include "support/options.h"

struct _GstTalonDevice {
  GstDevice parent;
  int mipi_rx;
};

G_DEFINE_TYPE(GstTalonDevice, gst_talon_device, GST_TYPE_DEVICE)

static GstElement* gst_talon_device_create_element(GstDevice* device, const gchar* name) {
  GstElement* element = gst_element_factory_make("talonsrc", name);
  if (element != nullptr) {
    g_object_set(element, "mipi-rx", GST_TALON_DEVICE(device)->mipi_rx, nullptr);
  }
  return element;
}

static gboolean gst_talon_device_reconfigure_element(GstDevice* device, GstElement* element) {
  if (g_strcmp0(GST_OBJECT_NAME(gst_element_get_factory(element)), "talonsrc") != 0) {
    return FALSE;
  }
  g_object_set(element, "mipi-rx", GST_TALON_DEVICE(device)->mipi_rx, nullptr);
  return TRUE;
}

static void gst_talon_device_init(GstTalonDevice* device) { device->mipi_rx = 0; }

static void gst_talon_device_class_init(GstTalonDeviceClass* klass) {
  GstDeviceClass* device_class = GST_DEVICE_CLASS(klass);
  device_class->create_element = gst_talon_device_create_element;
  device_class->reconfigure_element = gst_talon_device_reconfigure_element;
}

struct _GstTalonDeviceProvider {
  GstDeviceProvider parent;
};

G_DEFINE_TYPE(GstTalonDeviceProvider, gst_talon_device_provider, GST_TYPE_DEVICE_PROVIDER)

namespace {

// One receiver's camera: the caps of the default stream at any rate.
GstDevice* NewDevice(int mipi_rx) {
  vireo::CaptureStreamConfig stream;
  std::string error;
  GstCaps* caps = nullptr;
  if (talon_gst::ParseStreamOption("stream", talon_gst::DefaultStreamText(), &stream, &error)) {
    caps = talon_gst::OfferedCaps(stream, talon_gst::Cfa::kRggb, false, 0, 1, &error);
  }
  if (caps == nullptr) caps = gst_caps_new_any();
  GstStructure* props =
      gst_structure_new("talon-proplist", "device.api", G_TYPE_STRING, "talon", "device.path",
                        G_TYPE_STRING, absl::StrCat("mipi-rx=", mipi_rx).c_str(), "talon.mipi-rx",
                        G_TYPE_INT, mipi_rx, "talon.virtual-channel", G_TYPE_UINT, 0u, nullptr);
  const std::string name = absl::StrCat("Talon camera (MIPI receiver ", mipi_rx, ")");
  GstDevice* device =
      GST_DEVICE(g_object_new(GST_TYPE_TALON_DEVICE, "display-name", name.c_str(), "device-class",
                              "Video/Source", "caps", caps, "properties", props, nullptr));
  GST_TALON_DEVICE(device)->mipi_rx = mipi_rx;
  gst_caps_unref(caps);
  gst_structure_free(props);
  return device;
}

}  // namespace

static GList* gst_talon_device_provider_probe(GstDeviceProvider* /*provider*/) {
  GList* devices = nullptr;
  for (int rx = 0; rx < talon_support::kMipiReceivers; ++rx) {
    devices = g_list_append(devices, gst_object_ref_sink(NewDevice(rx)));
  }
  return devices;
}

static void gst_talon_device_provider_init(GstTalonDeviceProvider* /*provider*/) {}

static void gst_talon_device_provider_class_init(GstTalonDeviceProviderClass* klass) {
  GstDeviceProviderClass* provider_class = GST_DEVICE_PROVIDER_CLASS(klass);
  provider_class->probe = gst_talon_device_provider_probe;
  gst_device_provider_class_set_static_metadata(
      provider_class, "Talon camera device provider", "Source/Video",
      "Lists the cameras on the IPU's MIPI receivers", "talon");
}
