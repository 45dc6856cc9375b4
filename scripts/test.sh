#!/usr/bin/env bash
# Sets up the machine, builds both presets and runs every test: natively
# (with ASan/UBSan), the Windows programs under Wine (unit and GUI tests),
# and the end-to-end path of the main job with every step asserted.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

status=0
for preset in native windows; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: tests"
  if ! ctest --preset "$preset"; then status=1; fi
done

echo "=== end to end"
cmake --preset native-release >/dev/null
cmake --build --preset native-release
if ! /usr/bin/python3 scripts/e2e.py --check; then status=1; fi
exit $status
