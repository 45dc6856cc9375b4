#!/usr/bin/python3
"""Generation benchmark: packs a set of real program files with
quastorell-builder and with `xz --format=lzma -5` (file after file), and
reports the time ratio and the builder's peak RSS.

  builder_generate.py BUILDER [--mb 60] [--big-mb 0] [--keep]

BUILDER is the path of quastorell-builder (an optimised build). The set is
taken from the machine's own programs and libraries (/usr/bin,
/usr/lib/x86_64-linux-gnu), the same files on every run of one machine.
--big-mb N adds one run that packs a single N MiB file, to show that memory
does not grow with the file's size.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

SOURCES = ["/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib"]
MAX_FILE = 40 << 20


def pick_files(total):
    chosen, size = [], 0
    for folder in SOURCES:
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            n = os.path.getsize(path)
            if n == 0 or n > MAX_FILE or not os.access(path, os.R_OK):
                continue
            chosen.append(path)
            size += n
            if size >= total:
                return chosen, size
    return chosen, size


def timed(cmd, **kw):
    """Wall time and peak RSS (KiB) of one command, through GNU time."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as t:
        start = time.monotonic()
        subprocess.run(["/usr/bin/time", "-o", t.name, "-f", "%M"] + cmd, check=True, **kw)
        wall = time.monotonic() - start
        rss = int(t.read().strip().splitlines()[-1])
    return wall, rss


def run_builder(builder, base, src):
    subprocess.run([builder, "--base", base, "new", "Bench", "--source", src],
                   check=True, stdout=subprocess.DEVNULL)
    return timed([builder, "--base", base, "generate", "Bench"], stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("builder")
    ap.add_argument("--mb", type=int, default=60)
    ap.add_argument("--big-mb", type=int, default=0)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    builder = os.path.abspath(args.builder)
    if shutil.which("xz") is None:
        sys.exit("xz is missing (Debian package xz-utils)")

    work = tempfile.mkdtemp(prefix="quasto-bench-")
    try:
        src = os.path.join(work, "src")
        os.makedirs(src)
        files, total = pick_files(args.mb << 20)
        for i, f in enumerate(files):
            sub = os.path.join(src, "d%02d" % (i % 7))
            os.makedirs(sub, exist_ok=True)
            shutil.copyfile(f, os.path.join(sub, "%04d-%s" % (i, os.path.basename(f))))
        copies = sorted(os.path.join(dp, n) for dp, _, ns in os.walk(src) for n in ns)

        # Warm the page cache for both contenders.
        for f in copies:
            with open(f, "rb") as fh:
                while fh.read(1 << 20):
                    pass

        b_wall, b_rss = run_builder(builder, os.path.join(work, "base"), src)

        x_start = time.monotonic()
        x_rss = 0
        for f in copies:
            _, rss = timed(["xz", "--format=lzma", "-5", "-c", f], stdout=subprocess.DEVNULL)
            x_rss = max(x_rss, rss)
        x_wall = time.monotonic() - x_start

        print("set:            %d files, %.1f MiB" % (len(copies), total / 1048576.0))
        print("builder:        %.2f s, peak RSS %.1f MiB" % (b_wall, b_rss / 1024.0))
        print("xz -5 (lzma):   %.2f s, peak RSS %.1f MiB (largest single run)" %
              (x_wall, x_rss / 1024.0))
        print("ratio:          %.3f (builder time / xz time; target <= 1.1)" % (b_wall / x_wall))

        if args.big_mb:
            big_src = os.path.join(work, "big")
            os.makedirs(big_src)
            rnd = random.Random(1)
            words = [bytes(rnd.choice(b"abcdefghijklmnop") for _ in range(rnd.randint(2, 9)))
                     for _ in range(5000)]
            block = b" ".join(rnd.choice(words) for _ in range(200000))
            with open(os.path.join(big_src, "big.bin"), "wb") as fh:
                left = args.big_mb << 20
                while left > 0:
                    chunk = block[:left]
                    fh.write(chunk)
                    left -= len(chunk)
            g_wall, g_rss = run_builder(builder, os.path.join(work, "bigbase"), big_src)
            print("one %d MiB file: %.2f s, peak RSS %.1f MiB" % (args.big_mb, g_wall, g_rss / 1024.0))
    finally:
        if args.keep:
            print("kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
