#!/usr/bin/env bash
# gst-launch-1.0 talonsrc ! bayer2rgb ! videoconvert ! pngenc ! multifilesink
# for RAW8, RAW10 and RAW16 (negotiated down to 8 bits): 30 PNGs each, the
# last one showing the simulator's eight colour bars; before that, three
# streams set as src_N::stream on the command line.
#   launch_png_test.sh PLUGIN_DIR OUT_DIR
set -euo pipefail
export GST_PLUGIN_PATH=$1
out=$2
# Three streams, the request pads' streams set through the child proxy as
# users write them.
gst-launch-1.0 -q talonsrc name=t num-buffers=5 stream=0x2A,64,32,8 \
  src_0::stream=0x2B,64,32,10 src_1::stream=0x2E,32,32,16 \
  t.src ! queue ! fakesink t.src_0 ! queue ! fakesink t.src_1 ! queue ! fakesink
if ! gst-inspect-1.0 bayer2rgb >/dev/null 2>&1; then
  echo "skipped: no bayer2rgb (Debian's gstreamer1.0-plugins-bad is not installed)"
  exit 77
fi
for stream in 0x2A,64,32,8 0x2B,64,32,10 0x2E,64,32,16; do
  rm -rf "$out" && mkdir -p "$out"
  gst-launch-1.0 -q talonsrc num-buffers=30 "stream=$stream" ! bayer2rgb ! videoconvert ! \
    pngenc ! multifilesink "location=$out/frame-%02d.png"
  count=$(find "$out" -name 'frame-*.png' | wc -l)
  [ "$count" -eq 30 ] || { echo "$stream: $count PNGs, not 30"; exit 1; }
  # The colours of row 16 of the last frame, each channel on or off.
  gst-launch-1.0 -q filesrc "location=$out/frame-29.png" ! pngdec ! videoconvert ! \
    video/x-raw,format=RGB ! filesink "location=$out/last.rgb"
  colours=$(python3 -c '
import sys
data = open(sys.argv[1], "rb").read()
row = data[16 * 64 * 3:17 * 64 * 3]
print(len({tuple(c > 127 for c in row[i:i + 3]) for i in range(0, len(row), 3)}))' "$out/last.rgb")
  [ "$colours" -ge 8 ] || { echo "$stream: $colours colours in row 16, not the 8 bars"; exit 1; }
  echo "$stream: 30 PNGs, $colours colours"
done
