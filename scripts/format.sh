#!/usr/bin/env bash
# Formats our C++ sources with clang-format 14 (.clang-format: Google's style,
# 100 columns).
#   scripts/format.sh           rewrites every file that is off
#   scripts/format.sh --check   lists them and fails, changing nothing (CI)
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cc' '*.h' '*.cpp' '*.c')
if [ "${1:-}" = "--check" ]; then
  clang-format-14 --dry-run --Werror "${files[@]}"
else
  clang-format-14 -i "${files[@]}"
fi
