#!/usr/bin/env bash
# Runs talonsrc's state cycles and its developed pictures (their buffer
# pools) under GStreamer's leaks tracer; fails on any object or mini object
# still alive at gst_deinit.
#   leaks_test.sh TALON_SRC_TEST
set -euo pipefail
filter='TalonSrcTest.StateCycles:TalonSrcTest.PicturesShowTheBarsInOrder'
log=$(GST_TRACERS=leaks GST_DEBUG=GST_TRACER:7 GST_DEBUG_NO_COLOR=1 \
      "$1" --gtest_filter="$filter" 2>&1) || { echo "$log"; exit 1; }
leaks=$(grep -E 'object-alive, type-name=\(string\)[^%]|Leaks detected' <<<"$log" || true)
if [ -n "$leaks" ]; then
  echo "$leaks"
  exit 1
fi
echo "no leaks: $(grep -c 'OK \]' <<<"$log") test(s) passed under the leaks tracer"
