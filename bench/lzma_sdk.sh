#!/usr/bin/env bash
# Evaluation: the LZMA SDK's encoder with one and two threads (its match
# finder in a thread of its own) against liblzma's encoder and one
# `xz --format=lzma -5`, on one file of mixed content, in the same run. Every
# packed file is read back with the client's reader before it counts.
#   bench/lzma_sdk.sh [MiB, default 256]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
SIZE_MB=${1:-256}
ls -d .deps/src/7zip/*/C >/dev/null 2>&1 || { echo "run scripts/setup.sh first (7zip source)"; exit 1; }
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j2 --target lzma_sdk_eval >/dev/null
BIN=build/native-release/bin
WORK=$(mktemp -d /tmp/quasto-bench-sdk.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
/usr/bin/python3 bench/mixed_file.py "$WORK/mixed.bin" "$SIZE_MB"
cat "$WORK/mixed.bin" > /dev/null

run() {  # prints "<name> <seconds> <bytes> <readable> <peak KiB>"
  local line
  line=$(/usr/bin/time -f '%M' -o "$WORK/rss" "$@")
  echo "$line $(tail -n 1 "$WORK/rss")"
}
t0=$(date +%s.%N)
/usr/bin/time -f '%M' -o "$WORK/rss" xz --format=lzma -5 -c "$WORK/mixed.bin" > "$WORK/xz.lzma"
t1=$(date +%s.%N)
xz_line="xz $(echo "$t1 - $t0" | bc -l) $(stat -c %s "$WORK/xz.lzma") - $(tail -n 1 "$WORK/rss")"
rm -f "$WORK/xz.lzma"
lines=("$xz_line")
for coder in "liblzma" "sdk 1" "sdk 2"; do
  # shellcheck disable=SC2086
  lines+=("$(run "$BIN/lzma_sdk_eval" "$WORK/mixed.bin" "$WORK" $coder)")
  rm -f "$WORK"/*.uzf
done
xz_s=$(echo "$xz_line" | awk '{print $2}')
echo "one ${SIZE_MB} MiB file of mixed content:"
for l in "${lines[@]}"; do
  read -r name secs bytes readable rss <<< "$l"
  printf '  %-7s %7.2f s  %11d bytes  peak RSS %6.1f MiB  %s\n' "$name" "$secs" "$bytes" \
    "$(echo "$rss / 1024" | bc -l)" "$readable"
done
for l in "${lines[@]:1}"; do
  read -r name secs _ readable _ <<< "$l"
  printf 'ratio %s / xz -5: %.3f (target <= 0.8 for the two-thread encoder)%s\n' \
    "$name" "$(echo "$secs / $xz_s" | bc -l)" "$([ "$readable" = readable ] || echo ', UNREADABLE')"
done
