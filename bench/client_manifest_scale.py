#!/usr/bin/python3
"""Manifest scale benchmark: the client's analysis of a manifest of a million
entries, natively and in the 32-bit Windows client under Wine.

A manifest of --entries entries (1,000,000 by default, in folders of 1,000,
dated entries as older builders write them, about 66 bytes each, so that it
stays below the 64 MiB a manifest may have) is served from a local web
server to two installations:

  current: every file present, 1 in 1,000 older than its entry (to update);
  empty:   no file present (every entry to fetch).

The console client (`quastorell`, declining the update) and Quastorell.exe
under Wine and Xvfb (until its window says the analysis is done) are timed
from their start, with their peak memory: the console client's peak RSS, and
the Wine process's peak resident memory (VmHWM), which counts Wine's own
share too. Targets: at most 10 s natively and 60 s under Wine, under 300 MiB
in the 32-bit client.

  client_manifest_scale.py NATIVE_BUILD WINDOWS_BUILD [--entries N] [--keep]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "win32"))

from gui_harness import WebServer, Wine, Xvfb  # noqa: E402

PER_FOLDER = 1000
# Dates as older builders write them (local date values), far apart from the
# files' own: every file is current but 1 in 1,000, which is older.
ENTRY_DATE = 10000000                                    # 26 April 1970
FILE_TIME = time.mktime((2024, 1, 1, 12, 0, 0, 0, 0, -1))
OLD_TIME = 86400.0                                       # 2 January 1970


def base36(i):
    digits = ""
    while True:
        digits = "0123456789abcdefghijklmnopqrstuvwxyz"[i % 36] + digits
        i //= 36
        if not i:
            return digits


def names(i):
    """Short names keep a million entries below the 64 MiB of a manifest."""
    return "%03d\\" % (i // PER_FOLDER), "f" + base36(i)


def write_manifest(path, n):
    with open(path, "w", encoding="utf-8") as f:
        f.write("{")
        for i in range(n):
            folder, name = names(i)
            f.write('%s"%s":{"Path":%s,"Name":"%s","Date":%d,"Type":"F"}'
                    % ("," if i else "", base36(i), json.dumps(folder), name, ENTRY_DATE))
        f.write("}")


def write_installation(inst, n):
    for i in range(n):
        folder, name = names(i)
        d = os.path.join(inst, folder[:-1])
        if i % PER_FOLDER == 0:
            os.makedirs(d, exist_ok=True)
        p = os.path.join(d, name)
        open(p, "wb").close()
        t = OLD_TIME if i % 1000 == 999 else FILE_TIME
        os.utime(p, (t, t))


def installation(work, name, n, url, files):
    inst = os.path.join(work, name)
    os.makedirs(os.path.join(inst, "Quasto"))
    with open(os.path.join(inst, "Quasto", "Quastorell.ucf"), "w") as f:
        f.write(json.dumps({"ProgInfo": "Scale", "ProgExe": "", "Restart": 0, "Mutex": "",
                            "URL": url}))
    if files:
        write_installation(inst, n)
    return inst


def native(bin_dir, inst, want):
    client = os.path.join(inst, "quastorell")
    shutil.copy(os.path.join(bin_dir, "quastorell"), client)
    # No answer to the question: the run ends after the analysis (exit
    # status 3), changing nothing.
    with tempfile.NamedTemporaryFile("r", suffix=".time") as t:
        start = time.monotonic()
        out = subprocess.run(["/usr/bin/time", "-o", t.name, "-f", "%M", client],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             env=dict(os.environ, LC_ALL="C")).stdout
        wall = time.monotonic() - start
        rss = int(t.read().strip().splitlines()[-1])
    ok = ("%d Dateien zur Aktualisierung" % want) in out
    return wall, rss / 1024.0, ok


def peak_memory(marker, stop, peaks):
    """Polls the Wine processes whose command line names `marker`."""
    while not stop.is_set():
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if marker not in f.read():
                        continue
                with open("/proc/%s/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            peaks[pid] = max(peaks.get(pid, 0), int(line.split()[1]))
            except OSError:
                pass
        time.sleep(0.1)


def under_wine(wine, win_bin, inst, want):
    exe = os.path.join(inst, "Quastorell.exe")
    shutil.copy(os.path.join(win_bin, "Quastorell.exe"), exe)
    peaks, stop = {}, threading.Event()
    watcher = threading.Thread(target=peak_memory, args=(exe.encode(), stop, peaks))
    watcher.start()
    try:
        start = time.monotonic()
        proc = wine.start(exe, cwd=inst)
        rc, _ = wine.driver("wait-text", " Scale", "7", "Auswertung abgeschlossen.", "600000",
                            timeout=660)
        wall = time.monotonic() - start
        count = wine.driver("text", " Scale", "4")[1]
        wine.driver("close", " Scale")
        proc.wait(timeout=60)
    finally:
        stop.set()
        watcher.join()
    ok = rc == 0 and count == str(want)
    return wall, max(peaks.values() or [0]) / 1024.0, ok


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("native_build")
    ap.add_argument("windows_build")
    ap.add_argument("--entries", type=int, default=1000000)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    n = args.entries
    native_bin = os.path.join(os.path.abspath(args.native_build), "bin")
    windows_build = os.path.abspath(args.windows_build)
    work = tempfile.mkdtemp(prefix="quasto-bench-scale-")
    x = web = None
    try:
        site = os.path.join(work, "site")
        os.makedirs(site)
        print("writing a manifest of %d entries and an installation of %d files ..." % (n, n),
              flush=True)
        write_manifest(os.path.join(site, "Quastorell.uif"), n)
        size = os.path.getsize(os.path.join(site, "Quastorell.uif"))
        web = WebServer(site)
        current = installation(work, "current", n, web.url, True)
        empty = installation(work, "empty", n, web.url, False)
        cases = (("current", current, n // 1000), ("empty", empty, n))

        print("manifest: %d entries, %.1f MB" % (n, size / 1e6))
        for name, inst, want in cases:
            wall, mib, ok = native(native_bin, inst, want)
            print("  quastorell, %-7s %6.2f s  peak RSS %6.1f MiB  (target <= 10 s)%s" %
                  (name, wall, mib, "" if ok else "  UNEXPECTED RESULT"), flush=True)
        x = Xvfb()
        wine = Wine(windows_build, x.display)
        win_bin = os.path.join(windows_build, "bin")
        for name, inst, want in cases:
            wall, mib, ok = under_wine(wine, win_bin, inst, want)
            print("  Quastorell.exe under Wine, %-7s %6.2f s  peak %6.1f MiB  (targets <= 60 s, "
                  "< 300 MiB)%s" % (name, wall, mib, "" if ok else "  UNEXPECTED RESULT"),
                  flush=True)
        wine.wait_idle()
    finally:
        if web:
            web.stop()
        if x:
            x.stop()
        if args.keep:
            print("kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
