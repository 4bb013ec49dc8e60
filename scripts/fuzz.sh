#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang-14, ASan+UBSan) and runs
# each for SECONDS (default 30) on a copy of its seed corpus in fuzz/corpus, so
# the committed corpus never grows. Prints each fuzzer's final lines and exits
# non-zero when any fuzzer found a crash, a leak or a failed check, or left
# files in its temporary directory (build-fuzz/fuzz-out/<fuzzer>/tmp, its
# TMPDIR); the reproducer is kept under build-fuzz/fuzz-out/<fuzzer>/.
#   scripts/fuzz.sh [SECONDS]
# Reproduce a finding (with the libraries' log lines):
#   LD_PRELOAD=$(clang-14 -print-file-name=libclang_rt.asan-x86_64.so) \
#     build-fuzz/bin/<fuzzer> <reproducer>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
if ! [[ "${seconds}" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi
scripts/install-deps.sh --fuzz

# clang links no ASan runtime into shared libraries, and the project's shared
# libraries are linked with -Wl,--no-undefined: every target uses the shared
# runtime instead. libFuzzer's link puts libstdc++ ahead of that runtime, so
# the fuzzers run with the runtime preloaded, as ASan asks.
asan_runtime="$(clang-14 -print-file-name=libclang_rt.asan-x86_64.so)"
cmake --preset fuzz -DCMAKE_EXE_LINKER_FLAGS=-shared-libasan \
  -DCMAKE_SHARED_LINKER_FLAGS=-shared-libasan \
  -DCMAKE_BUILD_RPATH="$(dirname "${asan_runtime}")" >/dev/null
# The fuzzers are the talon_fuzzer targets of fuzz/CMakeLists.txt, which the
# configure step lists.
mapfile -t fuzzers < build-fuzz/fuzzers.txt
cmake --build --preset fuzz --target "${fuzzers[@]}"

out="build-fuzz/fuzz-out"
failed=()
for fuzzer in "${fuzzers[@]}"; do
  rm -rf "${out:?}/${fuzzer}"
  mkdir -p "${out}/${fuzzer}/corpus" "${out}/${fuzzer}/artifacts" "${out}/${fuzzer}/tmp"
  cp fuzz/corpus/"${fuzzer}"/* "${out}/${fuzzer}/corpus/"
  log="${out}/${fuzzer}/log"
  # Standard error is closed (-close_fd_mask=2): the libraries log every
  # rejected input there. libFuzzer's and the sanitizers' reports stay.
  status=0
  # Its own TMPDIR, which it must leave empty (a crash's leftovers stay there).
  TMPDIR="${out}/${fuzzer}/tmp" LD_PRELOAD="${asan_runtime}" \
    timeout "$((seconds + 120))" "build-fuzz/bin/${fuzzer}" \
      -max_total_time="${seconds}" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=2 \
      -artifact_prefix="${out}/${fuzzer}/artifacts/" "${out}/${fuzzer}/corpus" \
      >"${log}" 2>&1 || status=$?
  left="$(ls -A "${out}/${fuzzer}/tmp")"
  if [ "${status}" -eq 0 ] && [ -n "${left}" ]; then
    echo "=== ${fuzzer} left behind in its TMPDIR: ${left} ===" >&2
    failed+=("${fuzzer}")
  elif [ "${status}" -eq 0 ]; then
    echo "${fuzzer}: $(grep -E '^#[0-9]+' "${log}" | tail -n 1)"
    echo "${fuzzer}: $(tail -n 1 "${log}")"
  else
    echo "=== ${fuzzer} FAILED (exit ${status}); log ${log} ===" >&2
    tail -n 60 "${log}" >&2
    ls "${out}/${fuzzer}/artifacts" >&2 || true
    failed+=("${fuzzer}")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#fuzzers[@]} fuzzers ran ${seconds} s each without a finding"
