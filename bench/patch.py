#!/usr/bin/env python3
"""Patch bytes, apply time and memory, generation time and memory of the
patch coder on three release pairs of real Windows programs, against bsdiff
4.3 and zstd -19 --patch-from --long, measured in the same run.

The pairs come from the npm registry (npm pack); without it the benchmark
says so and ends without figures. Times are CPU seconds (user + system) of
each process, so that other work on the machine does not skew the ratios.

    bench/patch.py BIN_DIR [--work DIR]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile

PAIRS = [
    ("esbuild 0.27.5 -> 0.27.6", ("@esbuild/win32-ia32", "0.27.5"), ("@esbuild/win32-ia32", "0.27.6"),
     "package/esbuild.exe"),
    ("esbuild 0.27.7 -> 0.28.0", ("@esbuild/win32-ia32", "0.27.7"), ("@esbuild/win32-ia32", "0.28.0"),
     "package/esbuild.exe"),
    ("7za 5.1.1 -> 5.2.0", ("7zip-bin", "5.1.1"), ("7zip-bin", "5.2.0"), "package/win/ia32/7za.exe"),
]
# The best general-purpose library measured on these pairs, added up.
GOAL_TOTAL = 258529 + 2155580 + 191211
MIB = 1 << 20


def run(cmd, stdout=None):
    """Runs cmd under /usr/bin/time; returns (CPU seconds, peak RSS in bytes).
    (A child's own rusage would count the forking Python's memory.)"""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report, \
            open(os.devnull, "wb") as null:
        proc = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", report.name] + cmd,
                              stdout=stdout or null, stderr=subprocess.PIPE)
        if proc.returncode != 0:
            sys.exit("failed: %s\n%s" % (" ".join(cmd), proc.stderr.decode(errors="replace")))
        user, system, rss_kb = report.read().split()[-3:]
    return float(user) + float(system), int(rss_kb) * 1024


def fetch(work, package, version, member):
    """The member of the package's tarball, fetched with npm pack once."""
    name = "%s-%s" % (package.replace("/", "-").lstrip("@"), version)
    target = os.path.join(work, name + "-" + os.path.basename(member))
    if os.path.exists(target):
        return target
    npm = shutil.which("npm")
    if not npm:
        skip("npm is not installed")
    with tempfile.TemporaryDirectory(dir=work) as tmp:
        try:
            out = subprocess.run([npm, "pack", "--silent", "%s@%s" % (package, version),
                                  "--pack-destination", tmp], capture_output=True, text=True,
                                 timeout=300)
        except subprocess.TimeoutExpired:
            skip("npm pack %s@%s timed out" % (package, version))
        tgz = [f for f in os.listdir(tmp) if f.endswith(".tgz")]
        if out.returncode != 0 or not tgz:
            reason = (out.stderr.strip().splitlines() or ["no tarball"])[-1]
            skip("npm pack %s@%s failed: %s" % (package, version, reason))
        with tarfile.open(os.path.join(tmp, tgz[0])) as tar:
            data = tar.extractfile(member).read()
    with open(target + ".part", "wb") as f:
        f.write(data)
    os.replace(target + ".part", target)
    return target


def skip(reason):
    print("patch benchmark skipped: the npm registry is unreachable (%s)" % reason)
    sys.exit(0)


def line(pair, measure, value, versus, ratio, target, ok):
    print("%-26s %-26s %14s  vs %-34s ratio %6.3f  target %-10s %s"
          % (pair, measure, value, versus, ratio, target, "ok" if ok else "MISSED"))
    return ok


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin")
    ap.add_argument("--work", default=None)
    args = ap.parse_args()
    tool = os.path.join(args.bin, "patch_eval")
    work = os.path.abspath(args.work or os.path.join(args.bin, "..", "bench-patch"))
    os.makedirs(work, exist_ok=True)
    for needed in ("bsdiff", "zstd", "xz", "time"):
        if not shutil.which(needed):
            sys.exit("%s is missing: run scripts/setup.sh" % needed)

    files = [(label, fetch(work, *old, member), fetch(work, *new, member))
             for label, old, new, member in PAIRS]
    with tempfile.TemporaryDirectory(dir=work) as tmp:
        empty = os.path.join(tmp, "empty")
        open(empty, "wb").close()
        # The applier's process on an empty pair: its baseline.
        probe = os.path.join(tmp, "probe.qp")
        run([tool, "make", empty, empty, probe])
        _, baseline = run([tool, "apply", empty, probe, os.path.join(tmp, "probe.out")])

        all_ok = True
        total = 0
        for label, old, new in files:
            p = lambda name: os.path.join(tmp, name)
            base_size = os.path.getsize(old)
            xz_cpu, _ = run(["xz", "-5", "-k", "-c", new], stdout=open(p("full.xz"), "wb"))
            full = os.path.getsize(p("full.xz"))
            run(["bsdiff", old, new, p("p.bsdiff")])
            run(["zstd", "-q", "-f", "-19", "--long=27", "--patch-from=" + old, new, "-o", p("p.zst")])
            bsdiff, zstd = os.path.getsize(p("p.bsdiff")), os.path.getsize(p("p.zst"))
            make_cpu, make_rss = run([tool, "make", old, new, p("p.qp")])
            ours = os.path.getsize(p("p.qp"))
            total += ours
            apply_cpu, apply_rss = run([tool, "apply", old, p("p.qp"), p("out")])
            with open(p("out"), "rb") as a, open(new, "rb") as b:
                if a.read() != b.read():
                    sys.exit("%s: the applied patch does not give the new file" % label)
            # Both write the file, as a client does.
            xzd_cpu, _ = run(["xz", "-d", "-k", "-c", p("full.xz")], stdout=open(p("full.out"), "wb"))

            best = min(bsdiff, zstd)
            all_ok &= line(label, "patch bytes", "{:,}".format(ours),
                           "min(bsdiff {:,}, zstd {:,})".format(bsdiff, zstd), ours / best,
                           "<= 1.0", ours <= best)
            print("%-26s %-26s %14s  (full file, xz -5: {:,}; patch is %.1f%% of it)"
                  .format(full) % (label, "", "", 100.0 * ours / full))
            all_ok &= line(label, "apply CPU s", "%.3f" % apply_cpu, "xz -d %.3f" % xzd_cpu,
                           apply_cpu / max(xzd_cpu, 1e-3), "<= 1.0", apply_cpu <= xzd_cpu)
            extra = max(0, apply_rss - baseline)
            all_ok &= line(label, "apply RSS above baseline", "%.1f MiB" % (extra / MIB),
                           "32 MiB", extra / (32 * MIB), "<= 1.0", extra <= 32 * MIB)
            all_ok &= line(label, "generate CPU s", "%.2f" % make_cpu, "xz -5 %.2f" % xz_cpu,
                           make_cpu / xz_cpu, "<= 2.0", make_cpu <= 2 * xz_cpu)
            limit = 8 * base_size + 64 * MIB
            all_ok &= line(label, "generate peak RSS", "%.1f MiB" % (make_rss / MIB),
                           "8 x base + 64 MiB = %.1f MiB" % (limit / MIB), make_rss / limit,
                           "<= 1.0", make_rss <= limit)
        all_ok &= line("all pairs", "patch bytes, total", "{:,}".format(total),
                       "goal {:,}".format(GOAL_TOTAL), total / GOAL_TOTAL, "<= 1.0",
                       total <= GOAL_TOTAL)
    print("all targets met" if all_ok else "some targets missed")


if __name__ == "__main__":
    main()
