#!/usr/bin/env bash
# The main job on its embedded default: installs what is needed, builds, prints a generated
# sample page through both filters and shows, as PNG, what the virtual printer would print.
#   scripts/demo.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."

out=$(realpath -m "${1:-out/demo}")
build=build/plain

scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target vellumar tessoral pb-raster-writer pb-render >/dev/null
bin=$(realpath "$build/bin")

# The filters log under a private root, never into the machine's /var/log/cups.
rm -rf "$out" && mkdir -p "$out/root/var/log/cups"
export PELLBLUETOOTH_ROOT="$out/root"

"$bin/pb-raster-writer" --pattern sample --width 576 --height 800 --pages 1 -o "$out/sample.ras"

# CUPS starts a filter with the queue name as argv[0]; `exec -a` does the same here.
run_filter() {  # filter queue stream
  (exec -a "$2" "$bin/$1" 1 demo "sample page" 1 "" <"$out/sample.ras" >"$3")
}
run_filter vellumar KRV38-A1B2 "$out/vellumar-KRV38-A1B2.bin"
run_filter tessoral Plain-Receipt "$out/tessoral-Plain-Receipt.bin"

for stream in "$out"/vellumar-KRV38-A1B2.bin "$out"/tessoral-Plain-Receipt.bin; do
  pages="${stream%.bin}"
  echo "== $(basename "$stream"): what the printer receives"
  "$bin/pb-render" "$stream" -o "$pages"
done
echo "Filter log: $out/root/var/log/cups/tandle_log"
