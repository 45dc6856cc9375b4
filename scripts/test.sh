#!/usr/bin/env bash
# Sets up the machine, builds both presets and runs every test: natively
# (with ASan/UBSan), the Windows programs under Wine (unit and GUI tests),
# and the end-to-end path of the main job with every step asserted.
#
# The Windows tests spend most of their time waiting on Wine and on servers
# that are slow on purpose, the native ones mostly computing: the two run at
# the same time.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

# The Windows tests mostly wait (on Wine, on servers that are slow on
# purpose), so they start first and run while the native build computes.
echo "=== windows: configure and build"
cmake --preset windows >/dev/null
cmake --build --preset windows

status=0
windows_log=$(mktemp)
trap 'rm -f "$windows_log"' EXIT
echo "=== windows: tests (in the background; output below when they end)"
ctest --preset windows >"$windows_log" 2>&1 &
windows_pid=$!

echo "=== native: configure and build"
cmake --preset native >/dev/null
cmake --build --preset native

echo "=== native: tests"
if ! ctest --preset native; then status=1; fi

echo "=== end to end: release build"
cmake --preset native-release >/dev/null
cmake --build --preset native-release

windows_status=0
wait "$windows_pid" || windows_status=$?
echo "=== windows: tests"
cat "$windows_log"
if [ "$windows_status" -ne 0 ]; then status=1; fi

# The main job as a new user's first run meets it: from a Wine prefix that
# does not exist yet, so a step that makes the prefix inside a timed wait
# (or forgets to make it) fails here, and not only on slow machines.
echo "=== end to end (from a new Wine prefix)"
fresh=$(mktemp -d)
# Wine's server of that prefix may still write into it when the run ends:
# stopped first, it leaves a prefix that can be removed.
trap 'rm -f "$windows_log"; WINEPREFIX=$fresh/wineprefix wineserver -k 2>/dev/null || true
      sleep 1; rm -rf "$fresh" || true' EXIT
if ! QUASTO_WINEPREFIX=$fresh/wineprefix /usr/bin/python3 scripts/e2e.py --check; then
  status=1
fi
exit $status
