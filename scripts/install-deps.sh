#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the project.
# As root it installs with apt-get; otherwise it prints the command to run.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libabsl-dev libssl-dev libgtest-dev libgmock-dev
          libbenchmark-dev libpng-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
