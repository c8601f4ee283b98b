#!/bin/sh
# `cmake --install` into a scratch DESTDIR lays down exactly the expected files with their
# modes (the list a package must hold too), and man reads every page it installs.
# Usage: check-install.sh BUILD_DIR EXPECTED_LIST
set -eu
build_dir=$1
expected=$2
destdir=$(mktemp -d)
trap 'rm -rf "$destdir"' EXIT

DESTDIR=$destdir cmake --install "$build_dir" >/dev/null
(cd "$destdir" && find . ! -type d -printf '%m /%P\n' | sort) > "$destdir.list"
status=0
grep -v '^#' "$expected" | sort | diff -u - "$destdir.list" || status=1
rm -f "$destdir.list"

for page in "$destdir"/usr/share/man/man*/*.gz; do
  problems=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || problems="man failed"
  [ -z "$problems" ] || { echo "$page: $problems"; status=1; }
done
sh -n "$destdir/usr/lib/pellbluetooth/postInstall" || status=1
exit $status
