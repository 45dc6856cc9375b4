#!/usr/bin/python3
"""Client benchmark of a broken transfer: the console client updates one
file of 200 MB whose connection the server cuts at 50% and again at 90% of
the packed file; the client takes each cut up where it broke. Prints the
bytes the server sent in all against the packed file's size.

  client_resume.py BIN_DIR [--mb 200] [--keep]

BIN_DIR holds quastorell of an optimised build. The server is the tests' own
(tests/servers/http_server.py --cut), which serves ranges with If-Range.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))
from update_set import UpdateSet, pack_name  # noqa: E402

TARGET = 1.1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin_dir")
    ap.add_argument("--mb", type=int, default=200)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="quasto-resume-")
    server = None
    try:
        # Content that does not compress, stored as it is: the packed file is
        # as large as the file.
        content = os.urandom(args.mb * 1000 * 1000)
        site = os.path.join(work, "site")
        s = UpdateSet(site)
        s.add("", "big.bin", content, 1700000000, sha256=True, store=True)
        s.write_manifest()
        pack = pack_name("big.bin", "")
        packed = os.path.getsize(os.path.join(site, pack))
        log = os.path.join(work, "requests.log")
        server = subprocess.Popen(
            [sys.executable, os.path.join(SOURCE, "tests", "servers", "http_server.py"),
             "--root", site, "--log", log, "--cut", "50,90:" + pack],
            stdout=subprocess.PIPE, text=True)
        port = int(server.stdout.readline().split()[1])
        install = os.path.join(work, "install")
        os.makedirs(os.path.join(install, "Quasto"))
        shutil.copy(os.path.join(args.bin_dir, "quastorell"), install)
        with open(os.path.join(install, "big.bin"), "wb") as f:
            f.write(b"old")
        with open(os.path.join(install, "Quasto", "Quastorell.ucf"), "w") as f:
            f.write('{"ProgInfo": "Bench", "ProgExe": "", "Restart": 0, "Mutex": "", '
                    '"URL": "http://127.0.0.1:%d/"}' % port)
        started = time.monotonic()
        rc = subprocess.run([os.path.join(install, "quastorell"), "--unattended"],
                            stdout=subprocess.DEVNULL).returncode
        wall = time.monotonic() - started
        with open(os.path.join(install, "big.bin"), "rb") as f:
            same = f.read() == content
        with open(log, encoding="utf-8") as f:
            requests = [r for r in (line.split() for line in f)
                        if urllib.parse.unquote(r[0]).lstrip("/") == pack]
        sent = sum(int(r[2]) for r in requests)
        print("set:      1 file of %d MB, %.1f MB packed (stored); cut at 50%% and 90%%" %
              (args.mb, packed / 1e6))
        print("client:   exit status %d, %.2f s, the file %s, %d requests for it" %
              (rc, wall, "is the release" if same else "DIFFERS", len(requests)))
        print("ratio bytes fetched / packed size: %.3f (target <= %.1f)" % (sent / packed, TARGET))
        return 0 if rc == 0 and same and sent <= TARGET * packed else 1
    finally:
        if server is not None:
            server.terminate()
            server.wait()
        if args.keep:
            print("kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
