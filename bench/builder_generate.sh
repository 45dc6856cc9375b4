#!/usr/bin/env bash
# Builds the optimised preset and runs the generation benchmark.
#   bench/builder_generate.sh [--mb 60] [--big-mb 256] [--rounds 2]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j2 --target quastorell-builder >/dev/null
exec /usr/bin/python3 bench/builder_generate.py build/native-release/bin/quastorell-builder "$@"
