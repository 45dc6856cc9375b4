#!/usr/bin/env bash
# Builds the optimised preset and runs the broken-transfer client benchmark.
#   bench/client_resume.sh [--mb 200]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j2 --target quastorell >/dev/null
exec /usr/bin/python3 bench/client_resume.py build/native-release/bin "$@"
