#!/usr/bin/env bash
# The main job on its embedded default: installs what is needed, builds, prints a generated
# sample page through both filters and shows, as PNG, what the virtual printer would print; then
# prints it the whole way, vellumar -> pellbluetooth -> FIFOs -> quorvel -> a simulated printer.
#   scripts/demo.sh [OUTDIR]
# With --discover it instead lists devices as CUPS would, on the simulated radio: the agent is
# connected to one printer that has a queue, and the listing shows the device line of a second
# one that has none; once its queue exists the agent connects it and sets the queue idle.
#   scripts/demo.sh --discover [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."

discover=0
if [[ "${1:-}" == --discover ]]; then
  discover=1
  shift
fi
out=$(realpath -m "${1:-out/demo}")
build=build/plain

scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target vellumar tessoral pb-raster-writer pb-render pellbluetooth quorvel >/dev/null
bin=$(realpath "$build/bin")

# Waits up to 10 s for PATTERN in FILE.
wait_for() {  # pattern file
  for _ in $(seq 100); do
    grep -q -- "$1" "$2" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Device discovery: fake lpstat/lpadmin/cupsenable stand in for CUPS; the queue list is a file
# the step rewrites when "CUPS" adds the queue.
discover_devices() {
  local root="$out/root" queued=KRV38-A1 offered=QMT53-0042
  rm -rf "$out" && mkdir -p "$root/var/log/cups" "$root/var/run" "$root/tmp" "$root/usr/bin" "$root/usr/sbin"
  export PELLBLUETOOTH_ROOT="$root"
  printf '#!/bin/sh\ncat "%s"\n' "$root/lpstat.out" >"$root/usr/bin/lpstat"
  printf '#!/bin/sh\necho "lpadmin $*" >>"%s"\n' "$root/cups.calls" >"$root/usr/sbin/lpadmin"
  printf '#!/bin/sh\necho "cupsenable $*" >>"%s"\n' "$root/cups.calls" >"$root/usr/sbin/cupsenable"
  chmod 755 "$root/usr/bin/lpstat" "$root/usr/sbin/lpadmin" "$root/usr/sbin/cupsenable"
  echo "device for $queued: pellbluetooth://$queued" >"$root/lpstat.out"

  QUORVEL_BLE=sim QUORVEL_SIM_PRINTERS="$queued,$offered" QUORVEL_SIM_OUT="$out/printed" \
    "$bin/quorvel" >"$out/agent.out" 2>&1 &
  discover_agent=$!
  local agent_log="$root/var/log/cups/pellbluetooth_backend.log"
  wait_for "Connected to $queued" "$agent_log"
  echo "== agent connected to $queued (it has a queue); listing devices as CUPS would"
  "$bin/pellbluetooth" >"$out/listing.out" 2>&1 &
  discover_listing=$!
  trap 'kill "$discover_agent" "$discover_listing" 2>/dev/null || true' EXIT
  wait_for "addPrint $offered" "$agent_log" || true
  grep '^direct ' "$out/listing.out" | sort -u
  echo "== adding the queue of $offered as CUPS would"
  echo "device for $offered: pellbluetooth://$offered" >>"$root/lpstat.out"
  wait_for "Connected to $offered" "$agent_log" && wait_for "cupsenable $offered" "$root/cups.calls" || true
  grep "$offered" "$root/cups.calls" || echo "no queue change for $offered; see $agent_log" >&2
  echo "Agent log:  $agent_log"
}

if ((discover)); then
  discover_devices
  exit 0
fi

# The filters log under a private root, never into the machine's /var/log/cups.
rm -rf "$out" && mkdir -p "$out/root/var/log/cups" "$out/root/var/run" "$out/root/tmp" \
  "$out/root/var/spool/cups" "$out/root/usr/bin" "$out/root/usr/sbin" "$out/printed"
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

# The whole chain. The agent runs on the simulated radio with one virtual printer in range;
# small lpstat/lpadmin fakes stand in for CUPS: the queue list names the printer, so the agent
# connects to it, and queue state changes are only recorded.
printer=KRV38-A1
printf '#!/bin/sh\necho "device for %s: pellbluetooth://%s"\n' "$printer" "$printer" >"$out/root/usr/bin/lpstat"
printf '#!/bin/sh\necho "$*" >>"%s"\n' "$out/root/lpadmin.calls" >"$out/root/usr/sbin/lpadmin"
chmod 755 "$out/root/usr/bin/lpstat" "$out/root/usr/sbin/lpadmin"

QUORVEL_BLE=sim QUORVEL_SIM_PRINTERS=$printer QUORVEL_SIM_OUT="$out/printed" \
  "$bin/quorvel" >"$out/agent.out" 2>&1 &
agent=$!
trap 'kill "$agent" 2>/dev/null || true' EXIT
agent_log="$out/root/var/log/cups/pellbluetooth_backend.log"
for _ in $(seq 100); do
  grep -q "Connected to $printer" "$agent_log" 2>/dev/null && break
  sleep 0.1
done

echo "== vellumar -> pellbluetooth -> quorvel -> simulated printer $printer"
# CUPS runs a backend with its device URI as argv[0], the job arguments after it and the
# filter's output on standard input.
(exec -a "pellbluetooth://$printer" "$bin/pellbluetooth" 1 demo "sample page" 1 "" \
  <"$out/vellumar-KRV38-A1B2.bin" >"$out/backend.out" 2>&1) || true
if ! grep -q "Print job finished" "$out/backend.out"; then
  echo "The backend ended without the printer's confirmation; see $out/backend.out" >&2
  exit 1
fi
echo "Print job finished"
for _ in $(seq 50); do
  ls "$out/printed/$printer"/page-*.png >/dev/null 2>&1 && break
  sleep 0.1
done
ls "$out/printed/$printer"/page-*.png
echo "Filter log: $out/root/var/log/cups/tandle_log"
echo "Agent log:  $agent_log"
