#!/usr/bin/env bash
# Evaluation under Wine: the Windows client's SHA-256 (libcrypto, built by
# scripts/setup.sh) against CNG's BCryptHash and libsodium, on one large
# buffer and on many 2 KiB pieces, in one run.
#   bench/sha256_eval.sh [MiB, default 256]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target sha256_eval >/dev/null
build/windows/wine-run.sh --prepare
exec build/windows/wine-run.sh build/windows/bin/sha256_eval.exe "${1:-256}"
