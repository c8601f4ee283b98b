#!/usr/bin/env bash
# Installs, with apt, every Debian package the build, the tests and the demo need.
# Quick when everything is already there: apt runs only for what is missing.
set -euo pipefail

packages=(
  build-essential cmake
  libcups2-dev libasio-dev libpng-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  dbus-daemon dbus-bin libsdbus-c++-dev
  cups-client lintian man-db python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
