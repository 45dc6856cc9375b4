#!/usr/bin/env bash
# Builds the optimised preset and runs the many-small-files client benchmark
# against a local nginx.
#   bench/client_many_files.sh [--files 2000,5000] [--rounds 2]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j2 --target quastorell quastorell-builder >/dev/null
exec /usr/bin/python3 bench/client_many_files.py build/native-release/bin "$@"
