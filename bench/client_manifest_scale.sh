#!/usr/bin/env bash
# Builds the optimised and the Windows presets and runs the manifest scale
# benchmark: the analysis of a million entries by the console client and by
# Quastorell.exe under Wine.
#   bench/client_manifest_scale.sh [--entries N]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target quastorell >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target Quastorell ui_driver >/dev/null
exec /usr/bin/python3 bench/client_manifest_scale.py build/native-release build/windows "$@"
