#!/usr/bin/env bash
# Sets up the machine, builds both presets and runs every test: natively
# (with ASan/UBSan) and the Windows programs under Wine.
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
exit $status
