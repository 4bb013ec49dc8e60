#!/usr/bin/env bash
# gst-device-monitor-1.0 Video/Source, as a user looks for cameras: the
# talon cameras must be listed (the device provider registered with a rank
# the monitor takes), with their caps and a talonsrc made for the
# receiver; and autovideosrc must pick talonsrc. Skipped (77) where the
# monitor is not installed (gstreamer1.0-plugins-base-apps).
#   launch_device_monitor_test.sh PLUGIN_DIR
set -euo pipefail
export GST_PLUGIN_PATH=$1
command -v gst-device-monitor-1.0 >/dev/null || { echo "no gst-device-monitor-1.0"; exit 77; }
listed=$(timeout 20 gst-device-monitor-1.0 Video/Source 2>&1)
for want in 'name  : Talon camera (MIPI receiver 0)' 'class : Video/Source' \
            'video/x-bayer, format=rggb10le, width=640, height=480' \
            'gst-launch-1.0 talonsrc mipi-rx=1 ! ...'; do
  grep -qF "$want" <<<"$listed" || { echo "missing \"$want\" in:"; echo "$listed"; exit 1; }
done
# A V4L2 camera (v4l2src, PRIMARY) rightly wins where there is one.
if compgen -G '/dev/video*' >/dev/null; then echo "listed; a V4L2 camera is present"; exit 0; fi
picked=$(timeout 20 gst-launch-1.0 -v autovideosrc ! fakesink num-buffers=1 2>&1 || true)
grep -q 'GstTalonSrc:' <<<"$picked" ||
  { echo "autovideosrc took no talonsrc:"; echo "$picked"; exit 1; }
echo "listed and picked"
