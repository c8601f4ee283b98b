#!/usr/bin/env bash
# Builds the Debian package pellbluetooth_VERSION_ARCH.deb into BUILD_DIR/package (default
# build/plain), checks that it holds exactly the files and modes the install does, and runs
# lintian on it (errors fail; warnings are shown).
# Usage: scripts/package.sh [BUILD_DIR [EXPECTED_LIST]]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/plain}
expected=${2:-$repo/tests/install/expected-files.txt}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j 2 --target vellumar tessoral pellbluetooth quorvel pb-render pb-raster-writer \
  man_pages package_changelog >/dev/null
rm -rf "$build/package"
(cd "$build" && cpack --config CPackConfig.cmake -B "$build/package" >/dev/null)
deb=$(ls "$build"/package/pellbluetooth_*.deb)

# dpkg-deb -c: "drwxr-xr-x root/root 0 date time ./path"; files only, modes in octal.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $1, $6 }' |
  while read -r perms path; do
    mode=0
    for i in 1 2 3 4 5 6 7 8 9; do
      bit=1
      [ "${perms:$i:1}" != - ] || bit=0
      mode=$((mode * 2 + bit))
    done
    printf '%o %s\n' "$mode" "$path"
  done | sort > "$build/package/contents.txt"
grep -v '^#' "$expected" | sort | diff -u - "$build/package/contents.txt"

lintian --fail-on error --tag-display-limit 0 "$deb"
echo "$deb"
