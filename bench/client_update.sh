#!/usr/bin/env bash
# Benchmark: the console client updates one large file served by a real local
# web server, set against curl + xz -d on the same packed payload, in the
# same run. Reports wall times, their ratio and the client's peak RSS.
#
#   bench/client_update.sh [size in MiB, default 256]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
SIZE_MB=${1:-256}

cmake --preset native-release >/dev/null
cmake --build --preset native-release --target quastorell pack_site >/dev/null
BIN=build/native-release/bin
WORK=$(mktemp -d /tmp/quasto-bench.XXXXXX)
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# Program-like content: the machine's own binaries and libraries.
mkdir -p "$WORK/site" "$WORK/install/Quasto"
find /usr/bin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -size +20k 2>/dev/null | sort |
  xargs cat 2>/dev/null | head -c $((SIZE_MB * 1024 * 1024)) > "$WORK/big.bin" || true
read -r PACK SIZE PACKED < <("$BIN/pack_site" "$WORK/big.bin" big.bin "$WORK/site")
echo "file: $SIZE bytes, packed $PACKED bytes"

/usr/bin/python3 tests/servers/http_server.py --root "$WORK/site" > "$WORK/port" &
SERVER_PID=$!
for _ in $(seq 50); do grep -q PORT "$WORK/port" 2>/dev/null && break; sleep 0.1; done
URL="http://127.0.0.1:$(awk '{print $2}' "$WORK/port")/"

now() { date +%s.%N; }

# Reference: fetch the packed file, then decode its payload with xz. The
# payload is raw LZMA1; the .lzma container wants the length after the
# properties, so the header is rebuilt on the way.
size_le=$(printf '%016x' "$SIZE" | sed -E 's/(..)(..)(..)(..)(..)(..)(..)(..)/\\x\8\\x\7\\x\6\\x\5\\x\4\\x\3\\x\2\\x\1/')
t0=$(now)
curl -g -s -o "$WORK/dl.uzf" "$URL$PACK"
{ head -c 21 "$WORK/dl.uzf" | tail -c 5; printf "$size_le"; tail -c +22 "$WORK/dl.uzf"; } |
  xz -d --format=lzma -c > "$WORK/ref.out"
t1=$(now)
cmp -s "$WORK/ref.out" "$WORK/big.bin" || { echo "reference output differs"; exit 1; }
rm -f "$WORK/ref.out" "$WORK/dl.uzf"

# The client.
cp "$BIN/quastorell" "$WORK/install/"
printf '{"ProgInfo": "Bench", "ProgExe": "", "Restart": 0, "Mutex": "", "URL": "%s"}' "$URL" \
  > "$WORK/install/Quasto/Quastorell.ucf"
echo old > "$WORK/install/big.bin"
t2=$(now)
/usr/bin/time -f '%M' -o "$WORK/rss" "$WORK/install/quastorell" --unattended > "$WORK/client.out"
t3=$(now)
cmp -s "$WORK/install/big.bin" "$WORK/big.bin" || { echo "client output differs"; cat "$WORK/client.out"; exit 1; }

ref=$(echo "$t1 - $t0" | bc -l)
client=$(echo "$t3 - $t2" | bc -l)
printf 'curl + xz -d : %.2f s\n' "$ref"
printf 'quastorell   : %.2f s\n' "$client"
printf 'ratio        : %.2f (target <= 1.2)\n' "$(echo "$client / $ref" | bc -l)"
printf 'peak RSS     : %d KiB (target < 65536)\n' "$(cat "$WORK/rss")"
