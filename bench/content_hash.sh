#!/usr/bin/env bash
# Builds the optimised preset and runs the content-hash benchmark: a client
# start with nothing to do on 100,000 files, and a builder open of 20,000.
#   bench/content_hash.sh [--files N] [--builder-files N]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target quastorell quastorell-builder >/dev/null
exec /usr/bin/python3 bench/content_hash.py build/native-release/bin "$@"
