#!/usr/bin/python3
"""Content-hash benchmark: what deciding by content costs.

1. The console client starts on an installation of --files files (100,000 by
   default) that is already current: nothing to fetch. Timed with a cold
   hash cache (every file read) and a warm one, with its peak RSS, against
   reference tools in the same run: `find -printf` stating every file (the
   least any check of the installation must do) and `sha256sum` over every
   file (what hashing all of them costs).
2. The builder opens (scan and merge, `status`) a project of --builder-files
   files (20,000 by default), with a warm cache, against the same open of a
   manifest without hashes, which is decided by date and size as before.
3. The console client starts on an installation of one file of --big-mib MiB
   (500 by default) that is current, with a cold hash cache: the file is
   hashed once, against `openssl dgst -sha256` of the same file.

  content_hash.py BIN_FOLDER [--files N] [--builder-files N] [--big-mib N] [--keep]

A count of 0 skips that measure.

BIN_FOLDER holds quastorell and quastorell-builder of an optimised build.
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import builder_generate  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OLD = time.mktime((2025, 1, 1, 12, 0, 0, 0, 0, -1))  # long before any run



def check_nothing_to_do(client, env):
    """A run that did work would not measure what it claims to."""
    out = subprocess.run([client, "--unattended"], env=env, capture_output=True, text=True)
    if "Keine Aktualisierung erforderlich." not in out.stdout and "No update" not in out.stdout:
        print("  unexpected client output: " + out.stdout[-300:])

def timed(cmd, **kw):
    """Wall time and peak RSS (KiB) of one command, its output discarded."""
    return builder_generate.timed(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def make_tree(root, n, seed):
    """n files of 200 bytes to 4 KiB in folders of 500, dated long ago.
    Returns (relative Windows path, content) pairs."""
    rnd = random.Random(seed)
    files = []
    for i in range(n):
        folder = "d%03d\\" % (i // 500)
        name = "f%06d.dat" % i
        data = rnd.randbytes(rnd.randint(200, 4096))
        path = os.path.join(root, folder[:-1], name)
        if i % 500 == 0:
            os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (OLD, OLD))
        files.append((folder, name, data))
    return files


def manifest(files, with_hash):
    date = int(OLD)
    entries = {}
    for folder, name, data in files:
        e = {"Version": "1.0", "VDate": date, "Path": folder, "Name": name,
             "Pack": "{%s}%s[dat].uzf" % (folder[:-1], name[:-4]), "CRC": 1, "Date": date,
             "Size": len(data), "Type": "F", "Attrib": 32, "Flags": 0, "Update": 0}
        if with_hash:
            e["SHA256"] = hashlib.sha256(data).hexdigest()
        entries[folder + name] = e
    return json.dumps(entries, ensure_ascii=False, separators=(", ", ": "))


def client_bench(bin_dir, work, n):
    inst = os.path.join(work, "install")
    site = os.path.join(work, "site")
    os.makedirs(os.path.join(inst, "Quasto"))
    os.makedirs(site)
    print("client: writing an installation of %d files ..." % n, flush=True)
    files = make_tree(inst, n, 1)
    with open(os.path.join(site, "Quastorell.uif"), "w", encoding="utf-8") as f:
        f.write(manifest(files, True))
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, "tests", "servers",
                                                                "http_server.py"),
                               "--root", site], stdout=subprocess.PIPE, text=True)
    try:
        url = "http://127.0.0.1:%s/" % server.stdout.readline().split()[1]
        with open(os.path.join(inst, "Quasto", "Quastorell.ucf"), "w") as f:
            f.write('{"ProgInfo": "Bench", "ProgExe": "", "Restart": 0, "Mutex": "", '
                    '"URL": "%s"}' % url)
        client = os.path.join(inst, "quastorell")
        shutil.copy(os.path.join(bin_dir, "quastorell"), client)
        env = dict(os.environ, LC_ALL="C")

        # Warm the page cache, so that every contender reads from memory.
        subprocess.run(["find", inst, "-type", "f", "-exec", "cat", "{}", "+"],
                       stdout=subprocess.DEVNULL)
        stat_wall, _ = timed(["find", inst, "-type", "f", "-printf", "%s %T@\\n"])
        sum_wall, _ = timed(["sh", "-c", "find '%s' -name '*.dat' -print0 | xargs -0 sha256sum"
                             % inst])
        cold_wall, cold_rss = timed([client, "--unattended"], env=env)
        warm_wall, warm_rss = timed([client, "--unattended"], env=env)
        warm2_wall, _ = timed([client, "--unattended"], env=env)
        warm_wall = min(warm_wall, warm2_wall)
        check_nothing_to_do(client, env)
    finally:
        server.terminate()
        server.wait()
    print("client start, %d files, nothing to do:" % n)
    print("  find -printf (stat each file) %6.2f s" % stat_wall)
    print("  sha256sum of every file       %6.2f s" % sum_wall)
    print("  quastorell, cold hash cache   %6.2f s  peak RSS %6.1f MiB  (%.2f x sha256sum)" %
          (cold_wall, cold_rss / 1024.0, cold_wall / sum_wall))
    print("  quastorell, warm hash cache   %6.2f s  peak RSS %6.1f MiB  (%.2f x find; "
          "target <= 1.5 s, <= 200 MiB)" % (warm_wall, warm_rss / 1024.0, warm_wall / stat_wall))


def serve_and_configure(site, inst):
    """Starts the test web server on `site`; returns it once `inst` knows it."""
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, "tests", "servers",
                                                                "http_server.py"),
                               "--root", site], stdout=subprocess.PIPE, text=True)
    url = "http://127.0.0.1:%s/" % server.stdout.readline().split()[1]
    with open(os.path.join(inst, "Quasto", "Quastorell.ucf"), "w") as f:
        f.write('{"ProgInfo": "Bench", "ProgExe": "", "Restart": 0, "Mutex": "", '
                '"URL": "%s"}' % url)
    return server


def big_file_bench(bin_dir, work, mib):
    inst = os.path.join(work, "install-big")
    site = os.path.join(work, "site-big")
    os.makedirs(os.path.join(inst, "Quasto"))
    os.makedirs(site)
    path = os.path.join(inst, "big.bin")
    rnd = random.Random(3)
    h = hashlib.sha256()
    with open(path, "wb") as f:
        for _ in range(mib):
            block = rnd.randbytes(1 << 20)
            h.update(block)
            f.write(block)
    os.utime(path, (OLD, OLD))
    date = int(OLD)
    entry = {"Version": "1.0", "VDate": date, "Path": "", "Name": "big.bin",
             "Pack": "big[bin].uzf", "CRC": 1, "Date": date, "Size": mib << 20, "Type": "F",
             "Attrib": 32, "Flags": 0, "Update": 0, "SHA256": h.hexdigest()}
    with open(os.path.join(site, "Quastorell.uif"), "w", encoding="utf-8") as f:
        json.dump({"big.bin": entry}, f)
    server = serve_and_configure(site, inst)
    cache = os.path.join(inst, "Quasto", "Quastorell.hash")
    try:
        client = os.path.join(inst, "quastorell")
        shutil.copy(os.path.join(bin_dir, "quastorell"), client)
        env = dict(os.environ, LC_ALL="C")
        subprocess.run(["cat", path], stdout=subprocess.DEVNULL)
        dgst, client_wall = [], []
        for _ in range(3):
            dgst.append(timed(["openssl", "dgst", "-sha256", path])[0])
            if os.path.exists(cache):
                os.remove(cache)
            client_wall.append(timed([client, "--unattended"], env=env)[0])
        check_nothing_to_do(client, env)
    finally:
        server.terminate()
        server.wait()
    ref, ours = min(dgst), min(client_wall)
    print("content hashing of one %d MiB file: quastorell (cold cache) %.2f s, openssl dgst "
          "-sha256 %.2f s, ratio %.2f (target <= 1.2)" % (mib, ours, ref, ours / ref))


def builder_bench(bin_dir, work, n):
    builder = os.path.join(bin_dir, "quastorell-builder")
    src = os.path.join(work, "release")
    base = os.path.join(work, "base")
    os.makedirs(src)
    print("builder: writing a release of %d files ..." % n, flush=True)
    files = make_tree(src, n, 2)
    subprocess.run([builder, "--base", base, "new", "Bench", "--source", src],
                   check=True, stdout=subprocess.DEVNULL)
    uif = os.path.join(base, "Projects", "Bench", "Quastorell.uif")
    cache = os.path.join(base, "Projects", "Bench", "Quastorell.hash")
    status = [builder, "--base", base, "status", "Bench"]

    def open_with(with_hash, runs=3):
        best = None
        for _ in range(runs):
            with open(uif, "w", encoding="utf-8") as f:
                f.write(manifest(files, with_hash))
            wall, rss = timed(status)
            best = (wall, rss) if best is None or wall < best[0] else best
        return best

    dated_wall, dated_rss = open_with(False)
    if os.path.exists(cache):
        os.remove(cache)
    cold_wall, _ = open_with(True, runs=1)
    warm_wall, warm_rss = open_with(True)
    out = subprocess.run(status, capture_output=True, text=True).stdout
    proposed = out.count("[x] ")
    print("builder open (scan and merge), %d files:" % n)
    print("  manifest without hashes (date rule) %6.2f s  peak RSS %6.1f MiB" %
          (dated_wall, dated_rss / 1024.0))
    print("  with hashes, cold cache             %6.2f s" % cold_wall)
    print("  with hashes, warm cache             %6.2f s  peak RSS %6.1f MiB  (%.2f x the "
          "date rule; target <= 1.5)" % (warm_wall, warm_rss / 1024.0, warm_wall / dated_wall))
    if proposed:
        print("  unexpected: %d files proposed" % proposed)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin")
    ap.add_argument("--files", type=int, default=100000)
    ap.add_argument("--builder-files", type=int, default=20000)
    ap.add_argument("--big-mib", type=int, default=500)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    bin_dir = os.path.abspath(args.bin)
    work = tempfile.mkdtemp(prefix="quasto-bench-hash-")
    try:
        if args.files:
            client_bench(bin_dir, work, args.files)
        if args.builder_files:
            builder_bench(bin_dir, work, args.builder_files)
        if args.big_mib:
            big_file_bench(bin_dir, work, args.big_mib)
    finally:
        if args.keep:
            print("kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
