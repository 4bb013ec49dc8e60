#!/usr/bin/env bash
# gst-launch-1.0 talonsrc ! bayer2rgb ! videoconvert ! pngenc ! multifilesink
# for RAW8, RAW10 and RAW16 (negotiated down to 8 bits): 30 PNGs each, the
# last one showing the simulator's eight colour bars; before that, three
# streams set as src_N::stream on the command line, and the element's own
# pictures: an RGB PNG straight from talonsrc, and I420 straight into
# x264enc, neither through videoconvert.
#   launch_png_test.sh PLUGIN_DIR OUT_DIR
set -euo pipefail
export GST_PLUGIN_PATH=$1
out=$2

# The colours of one row of a PNG, each channel on or off, counted.
#   colours PNG WIDTH ROW
colours() {
  gst-launch-1.0 -q filesrc "location=$1" ! pngdec ! videoconvert ! \
    video/x-raw,format=RGB ! filesink "location=$1.rgb"
  python3 -c '
import sys
width, y = int(sys.argv[2]), int(sys.argv[3])
data = open(sys.argv[1], "rb").read()
row = data[y * width * 3:(y + 1) * width * 3]
print(len({tuple(c > 127 for c in row[i:i + 3]) for i in range(0, len(row), 3)}))' \
    "$1.rgb" "$2" "$3"
}

# Three streams, the request pads' streams set through the child proxy as
# users write them.
gst-launch-1.0 -q talonsrc name=t num-buffers=5 stream=0x2A,64,32,8 \
  src_0::stream=0x2B,64,32,10 src_1::stream=0x2E,32,32,16 \
  t.src ! queue ! fakesink t.src_0 ! queue ! fakesink t.src_1 ! queue ! fakesink

rm -rf "$out" && mkdir -p "$out"
gst-launch-1.0 -q talonsrc stream=0x2B,640,480,10 num-buffers=1 ! video/x-raw,format=RGB ! \
  pngenc ! filesink "location=$out/developed.png"
# IHDR: width, height, bit depth 8, colour type 2 (RGB).
ihdr=$(python3 -c '
import struct, sys
d = open(sys.argv[1], "rb").read()
print(*struct.unpack(">IIBB", d[16:26]))' "$out/developed.png")
[ "$ihdr" = "640 480 8 2" ] || { echo "developed PNG: $ihdr, not 640 480 8 2"; exit 1; }
count=$(colours "$out/developed.png" 640 240)
[ "$count" -ge 8 ] || { echo "developed PNG: $count colours in row 240, not the 8 bars"; exit 1; }
echo "developed: an RGB PNG, $count colours"
if gst-inspect-1.0 x264enc >/dev/null 2>&1; then
  gst-launch-1.0 -q talonsrc stream=0x2B,320,240,10 num-buffers=5 ! video/x-raw,format=I420 ! \
    x264enc ! mp4mux ! filesink "location=$out/developed.mp4"
  gst-launch-1.0 -q filesrc "location=$out/developed.mp4" ! qtdemux ! h264parse ! \
    fakesink
  echo "developed: I420 into x264enc, $(stat -c %s "$out/developed.mp4") bytes of MP4"
else
  echo "no x264enc (Debian's gstreamer1.0-plugins-ugly is not installed): I420 left out"
fi

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
  # The colours of row 16 of the last frame.
  count=$(colours "$out/frame-29.png" 64 16)
  [ "$count" -ge 8 ] || { echo "$stream: $count colours in row 16, not the 8 bars"; exit 1; }
  echo "$stream: 30 PNGs, $count colours"
done
