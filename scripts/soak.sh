#!/usr/bin/env bash
# Soak run of the DRAM capture service under ASan+UBSan: FRAMES frames (one
# million by default) on the unthrottled simulated IPU, with random pauses,
# clears and resumes and two concurrent clients; fails on any buffer that is
# not accounted for, any frame that fails other than by a pause's
# cancellation, a sanitizer finding or a leak, and when it runs longer than
# SECONDS (default 1800).
#   scripts/soak.sh [FRAMES [SECONDS]]
# Builds only talon-soak, in the asan preset's build directory (build-asan).
set -euo pipefail
cd "$(dirname "$0")/.."

frames="${1:-1000000}"
seconds="${2:-1800}"
if ! [[ "${frames}" =~ ^[1-9][0-9]*$ && "${seconds}" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/soak.sh [FRAMES [SECONDS]]" >&2
  exit 2
fi

scripts/install-deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan --target talon-soak

# libtalon's log lines (and any sanitizer report) go to a file; talon-soak
# sums the warnings and errors up on standard output.
log="build-asan/talon-soak.log"
status=0
PRISM_SIM_FPS=0 timeout --kill-after=30 "${seconds}" \
  build-asan/bin/talon-soak --frames "${frames}" 2>"${log}" || status=$?
if [ "${status}" -eq 124 ]; then
  echo "soak: talon-soak did not finish within ${seconds} s; the end of ${log}:" >&2
  tail -n 40 "${log}" >&2
elif [ "${status}" -ne 0 ]; then
  echo "soak: talon-soak failed (exit ${status}); the end of ${log}:" >&2
  tail -n 40 "${log}" >&2
fi
exit "${status}"
