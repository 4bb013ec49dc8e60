#!/usr/bin/env bash
# gst-launch-1.0 -e talonsrc ! ... ! matroskamux ! filesink, interrupted as
# a user does (SIGINT) once frames are in the file: the run must end on
# its own EOS (no second interrupt), exit 0, and leave a file that demuxes.
#   launch_eos_test.sh PLUGIN_DIR OUT_DIR
set -euo pipefail
export GST_PLUGIN_PATH=$1
out=$2
rm -rf "$out" && mkdir -p "$out"
gst-launch-1.0 -e talonsrc stream=0x1E,128,32,8 ! jpegenc ! matroskamux ! \
  filesink "location=$out/run.mkv" >"$out/launch.log" 2>&1 &
pid=$!
for _ in $(seq 200); do  # frames in the file (at most 20 s)
  [ "$(stat -c %s "$out/run.mkv" 2>/dev/null || echo 0)" -gt 4096 ] && break
  sleep 0.1
done
kill -INT "$pid"
for _ in $(seq 100); do  # ends by itself (at most 10 s)
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  kill -KILL "$pid"
  echo "still running 10 s after SIGINT:"; cat "$out/launch.log"; exit 1
fi
wait "$pid" || { echo "exit status $?:"; cat "$out/launch.log"; exit 1; }
grep -q 'Got EOS from element "pipeline0"' "$out/launch.log" ||
  { echo "no EOS:"; cat "$out/launch.log"; exit 1; }
gst-launch-1.0 -q filesrc "location=$out/run.mkv" ! matroskademux ! jpegdec ! fakesink
echo "ended on EOS, $(stat -c %s "$out/run.mkv") bytes"
