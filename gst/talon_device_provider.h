// The device provider `talondeviceprovider`: the cameras talonsrc can
// capture from, for gst-device-monitor-1.0 and GstDeviceMonitor
// applications (class Video/Source). The capture library has no call that
// lists the sensors wired to the IPU, so one camera is offered per MIPI
// receiver, on virtual channel 0, with the caps of talonsrc's default
// stream; gst_device_create_element makes a talonsrc set to its receiver.
//
// Probing only lists (static): it opens nothing, so a camera in use by
// another element is still listed. Threads: as GStreamer calls a device
// provider (any thread; no state of its own).

#ifndef GST_TALON_DEVICE_PROVIDER_H_
#define GST_TALON_DEVICE_PROVIDER_H_

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_TALON_DEVICE_PROVIDER (gst_talon_device_provider_get_type())
G_DECLARE_FINAL_TYPE(GstTalonDeviceProvider, gst_talon_device_provider, GST, TALON_DEVICE_PROVIDER,
                     GstDeviceProvider)

#define GST_TYPE_TALON_DEVICE (gst_talon_device_get_type())
G_DECLARE_FINAL_TYPE(GstTalonDevice, gst_talon_device, GST, TALON_DEVICE, GstDevice)

G_END_DECLS

#endif  // GST_TALON_DEVICE_PROVIDER_H_
