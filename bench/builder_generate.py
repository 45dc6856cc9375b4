#!/usr/bin/python3
"""Generation benchmark: quastorell-builder's `generate` against xz over the
same files, in the same run, with peak RSS.

  builder_generate.py BUILDER [--mb 60] [--max-file-kib 400] [--big-mb 256]
                      [--rounds 2] [--keep]

BUILDER is the path of quastorell-builder (an optimised build). The release
is the Windows DLLs that Debian's wine32 package installs (files of at most
--max-file-kib, in name order, until --mb MB), the same files on every run of
one machine; without Wine, the machine's own libraries.

The contenders, each timed --rounds times in turns (the best time counts, as
the machine may be busy with other work):
  - generate, with its default of one worker per core, and with --jobs 1;
  - xargs -P2 -n1 xz --format=lzma -5 -k   (two xz processes at a time);
  - xargs -P1 -n1 xz --format=lzma -5 -k   (one xz process after another).
--big-mb N adds one file of N MiB of mixed content (bench/mixed_file.py),
packed by generate and by one xz process; 0 leaves it out.

Prints one line for each ratio with its target.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mixed_file  # noqa: E402

SOURCES = ["/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/x86_64-linux-gnu"]


def pick_files(total, max_file):
    for folder in SOURCES:
        if not os.path.isdir(folder):
            continue
        chosen, size = [], 0
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path) or not os.access(path, os.R_OK):
                continue
            n = os.path.getsize(path)
            if n == 0 or n > max_file:
                continue
            chosen.append(path)
            size += n
            if size >= total:
                break
        if chosen:
            return folder, chosen, size
    sys.exit("no program files found")


def timed(cmd, **kw):
    """Wall time and peak RSS (KiB) of one command and its children."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as t:
        start = time.monotonic()
        subprocess.run(["/usr/bin/time", "-o", t.name, "-f", "%M"] + cmd, check=True, **kw)
        wall = time.monotonic() - start
        rss = int(t.read().strip().splitlines()[-1])
    return wall, rss


def warm(paths):
    for f in paths:
        with open(f, "rb") as fh:
            while fh.read(1 << 20):
                pass


class Builder:
    """A fresh base folder and project for each run, so every run packs all."""

    def __init__(self, exe, work, src):
        self.exe, self.work, self.src, self.n = exe, work, src, 0

    def generate(self, *extra):
        self.n += 1
        base = os.path.join(self.work, "base%d" % self.n)
        subprocess.run([self.exe, "--base", base, "new", "Bench", "--source", self.src],
                       check=True, stdout=subprocess.DEVNULL)
        result = timed([self.exe, "--base", base, "generate", "Bench"] + list(extra),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(base, ignore_errors=True)
        return result


def xz_files(copies, parallel):
    """xargs running xz over a fresh copy of the files, keeping the sources."""
    listing = "\0".join(copies).encode()
    result = timed(["xargs", "-0", "-P%d" % parallel, "-n1", "xz", "--format=lzma", "-5", "-k",
                    "-f"], input=listing)
    for f in copies:
        os.remove(f + ".lzma")
    return result


def best(runs):
    return min(r[0] for r in runs), max(r[1] for r in runs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("builder")
    ap.add_argument("--mb", type=int, default=60)
    ap.add_argument("--max-file-kib", type=int, default=400)
    ap.add_argument("--big-mb", type=int, default=256)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    exe = os.path.abspath(args.builder)
    if shutil.which("xz") is None:
        sys.exit("xz is missing (Debian package xz-utils)")
    cores = os.cpu_count() or 1

    work = tempfile.mkdtemp(prefix="quasto-bench-")
    try:
        src = os.path.join(work, "src")
        os.makedirs(src)
        folder, files, total = pick_files(args.mb * 1000 * 1000, args.max_file_kib << 10)
        for i, f in enumerate(files):
            sub = os.path.join(src, "d%02d" % (i % 7))
            os.makedirs(sub, exist_ok=True)
            shutil.copyfile(f, os.path.join(sub, os.path.basename(f)))
        copies = sorted(os.path.join(dp, n) for dp, _, ns in os.walk(src) for n in ns)
        warm(copies)
        builder = Builder(exe, work, src)

        runs = {"generate": [], "generate --jobs 1": [], "xz -P2": [], "xz -P1": []}
        for _ in range(args.rounds):
            runs["generate"].append(builder.generate())
            runs["xz -P2"].append(xz_files(copies, 2))
            runs["generate --jobs 1"].append(builder.generate("--jobs", "1"))
            runs["xz -P1"].append(xz_files(copies, 1))
        g, g_rss = best(runs["generate"])
        g1, g1_rss = best(runs["generate --jobs 1"])
        p2, _ = best(runs["xz -P2"])
        p1, _ = best(runs["xz -P1"])

        # xz's own peak at level 5, on a file that fills its dictionary.
        largest = max(copies, key=os.path.getsize)
        _, xz_rss = timed(["xz", "--format=lzma", "-5", "-c", largest], stdout=subprocess.DEVNULL)

        print("set:      %d files, %.1f MB from %s; %d cores, best of %d rounds" %
              (len(copies), total / 1e6, folder, cores, args.rounds))
        print("times:    generate %.2f s, generate --jobs 1 %.2f s, xargs -P2 xz %.2f s, "
              "xargs -P1 xz %.2f s" % (g, g1, p2, p1))
        print("ratio generate / xargs -P2 -n1 xz -5: %.3f (target <= 1.05)" % (g / p2))
        print("ratio generate / xz one after another: %.3f (target <= 0.6)" % (g / p1))
        print("ratio generate --jobs 1 / xz one after another: %.3f (for reference)" % (g1 / p1))
        limit = cores * xz_rss + 64 * 1024
        print("peak RSS generate: %.1f MiB (target <= %d jobs x %.1f MiB xz + 64 MiB = %.1f MiB)" %
              (g_rss / 1024.0, cores, xz_rss / 1024.0, limit / 1024.0))
        print("peak RSS generate --jobs 1: %.1f MiB (target <= 1 x %.1f MiB xz + 64 MiB = %.1f MiB)"
              % (g1_rss / 1024.0, xz_rss / 1024.0, (xz_rss + 64 * 1024) / 1024.0))

        if args.big_mb:
            for f in copies:
                os.remove(f)
            big = os.path.join(src, "big.bin")
            mixed_file.write(big, args.big_mb)
            warm([big])
            b_wall, b_rss = builder.generate()
            x_wall, x_rss = timed(["xz", "--format=lzma", "-5", "-c", big],
                                  stdout=subprocess.DEVNULL)
            print("one %d MiB file: generate %.2f s (peak RSS %.1f MiB), xz %.2f s "
                  "(peak RSS %.1f MiB)" % (args.big_mb, b_wall, b_rss / 1024.0, x_wall,
                                          x_rss / 1024.0))
            print("ratio one %d MiB file generate / xz -5: %.3f (target <= 0.8 with the "
                  "two-thread encoder)" % (args.big_mb, b_wall / x_wall))
    finally:
        if args.keep:
            print("kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
