#!/usr/bin/env bash
# The project's main job: sets up what is missing, builds the programs, then
# publishes a real update and applies it, natively and with the Windows
# programs under Wine, and prints a report (scripts/e2e.py).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
echo "== building (native-release and windows)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
exec /usr/bin/python3 scripts/e2e.py "$@"
