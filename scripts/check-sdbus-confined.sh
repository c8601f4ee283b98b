#!/usr/bin/env bash
# Only ble/bluez/ may see sdbus-c++: every other file stays free of the D-Bus library, so the
# radio can be swapped and the rest builds and tests without it. Exits 1 naming each offender.
set -euo pipefail
cd "$(dirname "$0")/.."

offenders=$(grep -rlE '#[[:space:]]*include[[:space:]]*[<"]sdbus' \
  --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.cc' \
  --exclude-dir=build --exclude-dir=.git . | grep -v '^\./ble/bluez/' || true)
if [ -n "$offenders" ]; then
  echo "sdbus-c++ included outside ble/bluez/:"
  echo "$offenders"
  exit 1
fi
echo "sdbus-c++ is included only under ble/bluez/"
