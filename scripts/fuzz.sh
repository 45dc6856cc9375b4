#!/usr/bin/env bash
# Runs the libFuzzer targets (JSON documents, language file, packed files,
# the hash cache, signatures and keys, the commit journal, patches) for a while each, starting from small
# seeds made here.
#
#   scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
SECONDS_EACH=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
corpus=build/fuzz/corpus
mkdir -p "$corpus/json" "$corpus/language" "$corpus/packed" "$corpus/hash_cache" "$corpus/signature" \
  "$corpus/journal" "$corpus/patch"
printf '{"a\\\\b.txt": {"Name": "b.txt", "Path": "a\\\\", "CRC": -1, "Flags": 16}}' > "$corpus/json/seed"
cp shared/Quastorell.lng "$corpus/language/seed"
# A stored packed file: header 0.0 / 5.0, then "hello".
printf '\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x14\x40hello' > "$corpus/packed/stored"

# A cache of one entry, with its CRC-32 trailer.
/usr/bin/python3 -c '
import sys, zlib
body = "Quastorell hash cache 1\tC:\\app\\\n" + "ab" * 32 + "\t12\t1700000000000000000\t1700000000000000001\tlib\\core.dll\n"
open(sys.argv[1], "w").write(body + "end\t%08x\n" % zlib.crc32(body.encode()))
' "$corpus/hash_cache/seed"

# A signature file of the minisign tool over "quastorell manifest bytes".
printf '%s\n' "untrusted comment: signature from minisign secret key" \
  "RUR+PpwHdTKE0WPHIyz9j0kwci+9Xxf7ufXzWpvy9PoRYOHwpTGiUKggeLWs4IkyZotnH6j9Loqxk36t3ZmVB/AmneXYARi2DA8=" \
  "trusted comment: timestamp:1700000000	file:Quastorell.uif	expires:1800000000" \
  "cYa8yjRBRl2dMRXXsymlf4+R6tJmeGKtcVHLTt0g9PxljyfjkdVu5/sq9JFVsp5+KRFo1kOb6nYud8//eMbKAQ==" \
  > "$corpus/signature/seed"

# A committing journal: one file placed, one deleted, a folder removed.
/usr/bin/python3 -c '
import sys, zlib
body = ("Quastorell journal 1\ncommit\n"
        "place\tlib\\core.dll\tlib\\core.dll.~qnew\tlib\\core.dll.bak\t-> core.dll (1 KB)\n"
        "delete\told.txt\told.txt.bak\t-> Delete: old.txt\n"
        "rmdir\tdocs\\\t-> Delete: C:\\app\\docs\\\n")
open(sys.argv[1], "w").write(body + "end\t%08x\n" % zlib.crc32(body.encode()))
' "$corpus/journal/seed"

# A patch against the target's fixed 4 KiB base, its streams stored: bytes
# 100..199 of the base with one changed, then "new".
/usr/bin/python3 -c '
import hashlib, struct, sys
base = bytes(((i * 7) ^ (i >> 5)) & 0xFF for i in range(4096))
result = bytearray(base[100:200]); result[10] = (result[10] + 1) & 0xFF; result = bytes(result) + b"new"
ctrl = bytes([200, 1, 100, 3])  # seek +100, add 100, copy 3
diff = bytes(10) + b"\x01" + bytes(89)
extra = b"new"
head = b"QSTPATCH" + struct.pack("<IIQQ", 1, 0, len(base), len(result))
head += hashlib.sha256(base).digest() + hashlib.sha256(result).digest()
for s in (ctrl, diff, extra):
    head += struct.pack("<BBHIQQ", 0, 0, 0, 0, len(s), len(s))
open(sys.argv[1], "wb").write(head + ctrl + diff + extra)
' "$corpus/patch/seed"
# The same in the second version: the differences as a zero run of 10, one
# non-zero byte, a zero run of 89; the runs in their own stream, then inline.
/usr/bin/python3 -c '
import hashlib, struct, sys
base = bytes(((i * 7) ^ (i >> 5)) & 0xFF for i in range(4096))
result = bytearray(base[100:200]); result[10] = (result[10] + 1) & 0xFF; result = bytes(result) + b"new"
ctrl = bytes([200, 1, 100, 3])
runs = bytes([10, 1, 89, 0])
for name, flags, streams in (("seed2", 0, (ctrl, b"\x01", b"new", runs)),
                             ("seed2_inline", 1, (ctrl, bytes([10, 1, 1, 89, 0]), b"new", b""))):
    head = b"QSTPATCH" + struct.pack("<IIQQ", 2, flags, len(base), len(result))
    head += hashlib.sha256(base).digest() + hashlib.sha256(result).digest()
    for s in streams:
        head += struct.pack("<BBHIQQ", 0, 0, 0, 0, len(s), len(s))
    open(sys.argv[1] + "/" + name, "wb").write(head + b"".join(streams))
' "$corpus/patch"

status=0
for target in json language packed hash_cache signature journal patch; do
  echo "== $target"
  if ! build/fuzz/bin/${target}_fuzz -max_total_time="$SECONDS_EACH" -rss_limit_mb=1024 \
      -max_len=65536 "$corpus/$target" 2>&1 | tail -n 3; then
    status=1
  fi
done
exit $status
