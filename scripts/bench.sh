#!/usr/bin/env bash
# Builds the benchmarks in Release (build/bench) and prints their tables, one section per area.
# Every figure stands beside a baseline measured in the same run. Exits non-zero when an
# optimised output differs from its reference (a loud failure) or a speed target is missed.
#   scripts/bench.sh [SECTION...]     sections: conversion filters backend agent bluez (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/bench
jobs=${BENCH_JOBS:-2}
status=0

configure() {
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPB_TESTS=OFF -DPB_BENCH=ON >/dev/null
}

# Scaling and each conversion with packing, ours against the plain reference, per page.
section_conversion() {
  echo "== image conversion, per page (processor time, fastest of 5 runs)"
  cmake --build "$build" -j "$jobs" --target bench_conversion >/dev/null
  local rc=0
  "$build/bin/bench_conversion" --benchmark_min_time=0.3 --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true >"$build/conversion.log" 2>&1 || rc=$?
  sed -n '/^per page/,$p' "$build/conversion.log"
  case $rc in
    0) ;;
    2) echo "!! a speed target was missed (see '!' above)"; status=1 ;;
    *) cat "$build/conversion.log"; echo "!! FAILED: optimised output differs from the reference"; status=1 ;;
  esac
}

# Whole-process time of each filter on a 20-page job, and where it goes.
section_filters() {
  echo "== filters, 20-page jobs, processor time per page"
  cmake --build "$build" -j "$jobs" --target vellumar tessoral pb-raster-writer bench_filter_stages >/dev/null
  local work
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  mkdir -p "$work/root/var/log/cups"
  printf '%-10s %-22s %10s %10s %10s %10s %10s\n' filter "page" "process ms" "read ms" "convert ms" "write ms" "other ms"
  local filter queue width height
  while read -r filter queue width height; do
    "$build/bin/pb-raster-writer" --pattern sample --width "$width" --height "$height" --pages 20 >"$work/job.ras"
    # CUPS gives the queue name as argv[0]: run the filter through a link of that name.
    ln -sf "$PWD/$build/bin/$filter" "$work/$queue"
    local TIMEFORMAT='%3U %3S'
    local times
    times=$( { time (cd "$work" && PELLBLUETOOTH_ROOT="$work/root" "./$queue" 1 bench bench 1 "PrintMode=3" \
                 <job.ras >out.bin 2>/dev/null); } 2>&1 )
    local stages
    stages=$(PELLBLUETOOTH_ROOT="$work/root" "$build/bin/bench_filter_stages" "$filter" "$work/stages.bin" \
               <"$work/job.ras")
    awk -v f="$filter" -v page="${width}x${height}" -v t="$times" -v s="$stages" 'BEGIN {
      split(t, tt, " "); split(s, ss, " ");
      total = (tt[1] + tt[2]) * 1000 / 20;
      other = total - ss[2] - ss[3] - ss[4];
      printf "%-10s %-22s %10.2f %10.2f %10.2f %10.2f %10.2f\n", f, page, total, ss[2], ss[3], ss[4], other }'
  done <<EOF
vellumar KRV38-A1B2 576 800
vellumar KRV38-A1B2 384 533
tessoral plain-queue 384 533
tessoral plain-queue 1638 2237
EOF
  echo "(process: the real filter, user + system time; read/convert/write: the same pages through"
  echo " bench_filter_stages; other: start-up, logging and command frames, by difference)"
}

# --- backend (owned with backend/): peak memory of pellbluetooth for a 50 MB job.
section_backend() {
  echo "== backend, 50 MB job handed to a scripted agent, peak resident memory"
  cmake --build "$build" -j "$jobs" --target pellbluetooth bench_backend_memory >/dev/null
  local rc=0
  "$build/bin/bench_backend_memory" "$build/bin/pellbluetooth" 50 || rc=$?
  [ $rc -eq 0 ] || { echo "!! the backend missed its memory target or failed"; status=1; }
}
# --- end of backend section

# --- agent (owned with quorvel/): job bytes through the agent on the simulated radio, and the
# time of a 20 KB job on a 20 KB/s link against the link's own time.
section_agent() {
  echo "== agent on the simulated radio: 10 MB job throughput; 20 KB job on a 20 KB/s link"
  cmake --build "$build" -j "$jobs" --target quorvel pellbluetooth bench_agent >/dev/null
  local rc=0
  "$build/bin/bench_agent" "$build/bin/quorvel" "$build/bin/pellbluetooth" || rc=$?
  [ $rc -eq 0 ] || { echo "!! the agent missed a target or failed"; status=1; }
}
# --- end of agent section

# The agent on the BlueZ radio: a 1 MB job to the fake Bluetooth service on a private bus,
# beside a plain client's same writes to the same service.
section_bluez() {
  echo "== agent on BlueZ (fake service, private bus): 1 MB job against a plain client's writes"
  cmake --build "$build" -j "$jobs" --target quorvel pb-fake-bluez pb-bluez-write-rate bench_agent_bluez >/dev/null
  local rc=0
  "$build/bin/bench_agent_bluez" "$build/bin/quorvel" "$build/bin/pb-fake-bluez" "$build/bin/pb-bluez-write-rate" || rc=$?
  [ $rc -eq 0 ] || { echo "!! the agent on BlueZ missed a target or failed"; status=1; }
}

configure
sections=("$@")
[ ${#sections[@]} -eq 0 ] && sections=(conversion filters backend agent bluez)
for section in "${sections[@]}"; do
  "section_$section"
  echo
done
exit $status
