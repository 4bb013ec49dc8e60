#!/bin/bash
# Compares the dynamic symbols that a shared library defines with a checked-in
# list, so that an accidental export, or a lost one, fails the tests.
# Usage: check_exports.sh LIBRARY LIST
set -euo pipefail
lib=$1
list=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 != "A" { print $3 }' | sed 's/@.*//' |
         LC_ALL=C sort -u)
expected=$(grep -v '^#' "$list" | grep -v '^$' | LC_ALL=C sort -u)
if [ "$actual" != "$expected" ]; then
  echo "$(basename "$lib") exports differ from $(basename "$list") (- listed, + exported):"
  diff -u <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | tail -n +3 || true
  exit 1
fi
echo "$(basename "$lib") exports exactly the $(printf '%s\n' "$expected" | wc -l) symbols of $(basename "$list")"
