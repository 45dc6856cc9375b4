#!/usr/bin/env bash
# Builds the optimised preset and compares the patch coder with bsdiff 4.3
# and zstd --patch-from on three release pairs from the npm registry.
#   bench/patch.sh [--work DIR]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target patch_eval >/dev/null
exec /usr/bin/python3 bench/patch.py build/native-release/bin "$@"
