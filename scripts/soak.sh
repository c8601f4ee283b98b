#!/usr/bin/env bash
# Builds (RelWithDebInfo, in build/plain) and runs the soak with N jobs, 500 unless given:
# backend, agent and two virtual printers with faults mixed in. Prints how every job came out,
# the faults and exit statuses seen, and the agent's memory after its first ten jobs and at
# the end. Fails on any job lost, printed twice, misrouted, garbled or printed though reported
# failed.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${1:-500}
case "$jobs" in
  ''|*[!0-9]*) echo "usage: $0 [number of jobs]" >&2; exit 2 ;;
esac

cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$(nproc)" --target agent_soak_test
SOAK_JOBS="$jobs" build/plain/bin/agent_soak_test
