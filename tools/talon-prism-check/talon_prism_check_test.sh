#!/bin/sh
# Runs talon-prism-check without options against the simulated runtime at its
# default 30 fps, unthrottled, at 1 and at 1000 fps (no property may fail, only
# reset-cancels may be skipped, nothing left in the temporary directory), with
# a reset slower than a frame (reset-cancels skipped),
# against runtimes broken one property at a time by broken_runtime_shim (the
# check must fail and name that property), against one failing early (what
# cannot run then is skipped, not failed), and with bad options (exit status
# 2, one line, nothing run).
#
# Usage: talon_prism_check_test.sh TOOL SHIM [EMULATOR...]
set -u
tool=$1
shim=$2
shift 2
unset PRISM_SIM_FPS PRISM_SIM_FAIL PRISM_SIM_TRACE TALON_BROKEN_RUNTIME
# ASan wants to come first among the preloaded libraries; the shim is first.
asan_options="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
failures=0

fail() {
  echo "FAILED: $1"
  echo "$output"
  failures=$((failures + 1))
}

# A correct runtime: the simulator, its waits bounded by the frame rate alone.
for fps in default 0 1 1000; do
  tmp=$(mktemp -d) || exit 1
  if [ $fps = default ]; then
    output=$(TMPDIR=$tmp "$@" "$tool" 2>&1)
  else
    output=$(PRISM_SIM_FPS=$fps TMPDIR=$tmp "$@" "$tool" 2>&1)
  fi
  status=$?
  if [ $status -ne 0 ] || echo "$output" | grep -q '^FAIL' ||
     echo "$output" | grep '^skip ' | grep -qv '^skip reset-cancels: ' ||
     ! echo "$output" | grep -Eq '^(14 passed, 0 failed, 0|13 passed, 0 failed, 1) skipped$'; then
    fail "the simulated runtime at $fps fps did not pass (exit status $status)"
  fi
  [ -z "$(ls -A "$tmp")" ] || fail "left behind in TMPDIR at $fps fps: $(ls -A "$tmp")"
  rm -rf "$tmp"
done

# A correct runtime whose reset takes longer than a frame: the frame under
# way ends while the reset is under way, which proves nothing either way, so
# reset-cancels is skipped, not failed.
output=$(TALON_BROKEN_RUNTIME=slow-reset LD_PRELOAD=$shim ASAN_OPTIONS=$asan_options \
         "$@" "$tool" 2>&1)
status=$?
if [ $status -ne 0 ] || ! echo "$output" | grep -q '^13 passed, 0 failed, 1 skipped$' ||
   ! echo "$output" | grep -q '^skip reset-cancels: .*while the reset was under way'; then
  fail "slow-reset: expected exit status 0 and reset-cancels skipped (exit status $status)"
fi

# A broken runtime: mode of the shim, then the property it breaks.
for case in out-of-order:runs-in-order no-eof:event-times first-binding:bound-buffers \
            ignore-reset:reset-cancels; do
  mode=${case%%:*}
  property=${case#*:}
  output=$(TALON_BROKEN_RUNTIME=$mode LD_PRELOAD=$shim ASAN_OPTIONS=$asan_options \
           "$@" "$tool" 2>&1)
  status=$?
  if [ $status -ne 1 ] || ! echo "$output" | grep -q "^FAIL $property: "; then
    fail "$mode: expected exit status 1 and FAIL $property (exit status $status)"
  fi
done

# A runtime that fails one property early: the properties that then cannot
# run are skipped, naming what they lack, and the failure counts once.
output=$(PRISM_SIM_FAIL=OzyCreateGraph:1 "$@" "$tool" 2>&1)
status=$?
if [ $status -ne 1 ] || [ "$(echo "$output" | grep -c '^FAIL ')" -ne 1 ] ||
   ! echo "$output" | grep -q '^FAIL graph: ' ||
   ! echo "$output" | grep -q '^skip compile: no graph (an earlier property failed)$' ||
   ! echo "$output" | grep -Eq '^[0-9]+ passed, 1 failed, [1-9][0-9]* skipped$'; then
  fail "a failed graph: expected exit status 1, FAIL graph alone and the rest skipped"
fi

for options in "--stream 0x2B,640,480,12" "--stream 0x2B,640" "--stream 0x2B,0,480,10" \
               "--stream 0x2B,640,480,10,2" "--virtual-channel 4" "--timeout-ms 0" \
               "--timeout-ms" "--timeout-ms 1 --timeout-ms 2" "--mipi-rx -1" "--mipi-rx 9" "--frames 5" \
               "--stream 0x2B,64,4,10 --stream 0x2A,64,4,8"; do
  # shellcheck disable=SC2086  # the options are split on purpose
  output=$("$@" "$tool" $options 2>&1)
  status=$?
  if [ $status -ne 2 ] || [ "$(echo "$output" | wc -l)" -ne 1 ] ||
     ! echo "$output" | grep -q "^talon-prism-check: .*${options%% *}"; then
    fail "$options: expected exit status 2 and one line naming the option, got $status"
  fi
done

[ $failures -eq 0 ] && echo "all passed"
exit $failures
