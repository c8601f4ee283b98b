#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: plainly, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and each fuzz target for a while.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS=${FUZZ_SECONDS:-20}
jobs=$(nproc)

scripts/setup.sh

# The executables behind the ctest tests that carry LABEL, in a configured build folder,
# plus everything those executables depend on (CMake builds dependencies itself).
ctest_targets_with_label() {
  ctest --test-dir "$1" -L "$2" --show-only=json-v1 |
    python3 -c 'import json,sys,os
names=set()
for t in json.load(sys.stdin)["tests"]:
    if not t.get("command"): continue
    names.add(os.path.basename(t["command"][0]))
print(" ".join(sorted(names)))'
}

echo "== plain build and tests"
cmake -S . -B build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$jobs"
ctest --test-dir build/plain --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DPB_SANITIZE=ON -DPB_BENCH=OFF >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer: the agent's tests"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPB_TSAN=ON -DPB_BENCH=OFF >/dev/null
# Only what the agent's tests run: the test programs and the programs they start.
cmake --build build/tsan -j "$jobs" --target $(ctest_targets_with_label build/plain agent)
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan -L agent --output-on-failure -j "$jobs"

if [ -f tests/fuzz/CMakeLists.txt ]; then
  echo "== fuzz targets, ${FUZZ_SECONDS}s each"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPB_FUZZ=ON \
    -DPB_TESTS=OFF -DPB_BENCH=OFF >/dev/null
  cmake --build build/fuzz -j "$jobs" --target $(cmake --build build/fuzz --target help | sed -n 's/^\.\.\. \(fuzz_[A-Za-z0-9_]*\).*/\1/p')
  for target in $(find build/fuzz/bin -maxdepth 1 -type f -name "fuzz_*" -perm -u+x | sort); do
    [ -x "$target" ] || continue
    corpus=$(mktemp -d)
    seeds="tests/fuzz/seeds/$(basename "$target")"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
    echo "-- $(basename "$target")"
    "$target" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=4096 -print_final_stats=1 "$corpus" 2>&1 | tail -n 3
    rm -rf "$corpus"
  done
fi
echo "All tests passed."
