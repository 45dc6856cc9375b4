#!/usr/bin/env bash
# Builds the optimised preset and runs the content-hash benchmark: a client
# start with nothing to do on 100,000 files, a builder open of 20,000, and the
# hashing of one 500 MiB file against `openssl dgst -sha256`.
#   bench/content_hash.sh [--files N] [--builder-files N] [--big-mib N]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j2 --target quastorell quastorell-builder >/dev/null
exec /usr/bin/python3 bench/content_hash.py build/native-release/bin "$@"
