#!/bin/sh
# Checks that talon-soak can fail: a short run on the unthrottled simulator
# passes, the same run with one failing wait exits 1, and a bad option exits
# 2 with one line naming it.
#   soak_selftest.sh [EMULATOR] TALON_SOAK
set -u
log="$(mktemp)"
trap 'rm -f "${log}"' EXIT
export PRISM_SIM_FPS=0
if ! "$@" --frames 300 >"${log}" 2>&1; then
  cat "${log}"
  echo "soak_selftest: a clean run failed"
  exit 1
fi
status=0
PRISM_SIM_FAIL=OzyWaitForCompletionWithTimeout:5:10 "$@" --frames 300 >"${log}" 2>&1 || status=$?
if [ "${status}" -ne 1 ] || ! grep -q "a frame failed" "${log}"; then
  cat "${log}"
  echo "soak_selftest: a run with a failed frame exited ${status}, not 1"
  exit 1
fi
for options in "--frames 0" "--frames -1" "--seed 4294967296" "--frames"; do
  status=0
  # shellcheck disable=SC2086  # the options are split on purpose
  "$@" $options >"${log}" 2>&1 || status=$?
  if [ "${status}" -ne 2 ] || [ "$(wc -l <"${log}")" -ne 1 ] ||
     ! grep -q "^talon-soak: --" "${log}"; then
    cat "${log}"
    echo "soak_selftest: '${options}' exited ${status}, not 2 with one line naming it"
    exit 1
  fi
done
echo "soak_selftest: passed"
