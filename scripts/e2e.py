#!/usr/bin/env python3
"""The whole path a publisher and an end user take, on this machine:

1. two versions of a small program's release folder, made from the build;
2. the builder's command line creates the project and generates version 1,
   then version 2, uploading each by FTP to a real FTP server on 127.0.0.1;
3. a real web server on 127.0.0.1 serves the FTP folder;
4. an installed copy of version 1 is updated by the console client, and
   another by Quastorell.exe under Wine, driven through its window;
5. a report; a second client run must find nothing to do.

  e2e.py [--check] [--no-wine]

With --check every step is asserted and the exit status tells the result.
"""
import argparse
import calendar
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "win32"))
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))

NATIVE = os.path.join(ROOT, "build", "native-release", "bin")
WINDOWS = os.path.join(ROOT, "build", "windows")
FTP_PASSWORD = "geheim"

V1 = calendar.timegm((2026, 3, 1, 8, 0, 0))
V2 = calendar.timegm((2026, 9, 15, 17, 45, 0))
UMLAUT_NAME = "\u00dcbersicht R\u00e4ume.txt"


class Failed(Exception):
    pass


class Run:
    def __init__(self, check):
        self.check = check
        self.problems = []
        self.steps = 0

    def expect(self, cond, what):
        self.steps += 1
        if not cond:
            self.problems.append(what)
            print("  FAILED: " + what, flush=True)
            if self.check:
                raise Failed(what)


def write(path, data, mtime):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def tree(root, skip=("Quasto",)):
    files = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        if rel.split(os.sep)[0] in skip:
            continue
        for n in filenames:
            p = os.path.join(dirpath, n)
            files[os.path.normpath(os.path.join(rel, n))] = p
    return files


def make_releases(work):
    """Version 1 and 2 of a small program, from the project's own build."""
    src = os.path.join(ROOT, "shared")
    v1 = os.path.join(work, "release-1")
    v2 = os.path.join(work, "release-2")
    win_bin = os.path.join(WINDOWS, "bin")
    exe1 = read(os.path.join(win_bin, "ui_driver.exe")) or b"MZ version one" * 1000
    exe2 = read(os.path.join(win_bin, "Quastorell.exe")) or b"MZ version two" * 1000
    dll1 = read(os.path.join(src, "documents.cpp"))
    dll2 = read(os.path.join(src, "packed_file.cpp"))
    for base, exe, dll, date in ((v1, exe1, dll1, V1), (v2, exe2, dll2, V2)):
        write(os.path.join(base, "app.exe"), exe, date)
        write(os.path.join(base, "lib", "core.dll"), dll, date)
        write(os.path.join(base, "lib", "extra.dll"), dll[::-1], date)
        write(os.path.join(base, "old.txt"), b"only in version 1\n", V1)
        write(os.path.join(base, "config.ini"), b"[user]\nchoice=" + (b"1" if base == v1 else b"2"),
              date)
        write(os.path.join(base, "readme.txt"), read(os.path.join(ROOT, "README.md")), V1)
    write(os.path.join(v2, "docs", "de", "Hilfe.txt"), b"Hilfe zu Version 2\n", V2)
    write(os.path.join(v2, "docs", "en", "help", "guide.txt"), b"Guide to version 2\n", V2)
    write(os.path.join(v2, "docs", "empty.log"), b"", V2)
    write(os.path.join(v2, UMLAUT_NAME), "Gr\u00fc\u00dfe aus Version 2\n".encode(), V2)
    return v1, v2


def builder(base, *args, stdin=None):
    r = subprocess.run([os.path.join(NATIVE, "quastorell-builder"), "--base", base] + list(args),
                       input=stdin, capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


class FtpServer:
    def __init__(self, work):
        self.info = os.path.join(work, "ftp.info")
        script = os.path.join(ROOT, "tests", "servers", "ftp_server.py")
        subprocess.run(["/usr/bin/python3", script, "start", self.info], check=True,
                       capture_output=True)
        lines = open(self.info).read().split("\n")
        self.port, self.root = int(lines[0]), lines[1]
        self.script = script

    def stop(self):
        subprocess.run(["/usr/bin/python3", self.script, "stop", self.info], capture_output=True)
        shutil.rmtree(self.root, ignore_errors=True)


class WebServer:
    def __init__(self, root, log):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(ROOT, "tests", "servers", "http_server.py"),
             "--root", root, "--log", log], stdout=subprocess.PIPE, text=True)
        self.url = "http://127.0.0.1:%s/" % self.proc.stdout.readline().split()[1]
        self.log = log

    def bytes_sent(self):
        total = 0
        for line in open(self.log, encoding="utf-8") if os.path.exists(self.log) else []:
            parts = line.split()
            if len(parts) >= 3 and parts[-2] == "200" and not parts[0].endswith(".uif"):
                total += int(parts[-1])
        return total

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def expected_v2(v1, v2):
    """What an installed version 1 holds after the update: version 2, less the
    file marked Delete, with the version-1 config.ini kept (IfNotExist)."""
    want = {}
    for rel, path in tree(v2).items():
        if rel == "old.txt":
            continue
        src = os.path.join(v1, rel) if rel == "config.ini" else path
        want[rel] = (read(src), int(os.path.getmtime(src)))
    return want


def compare(install, want, dst_slack=False):
    """dst_slack: Windows turns a local date into file time with today's
    daylight-saving offset (LocalFileTimeToFileTime), Linux with the offset of
    that date; a date in the other half of the year then lies an hour apart,
    while the client itself reads back exactly the date it set."""
    got = {rel: (read(p), int(os.path.getmtime(p))) for rel, p in tree(install).items()
           if rel not in ("Quastorell.exe", "quastorell")}
    same_files = sorted(got) == sorted(want)
    same_bytes = same_files and all(got[r][0] == want[r][0] for r in want)
    allowed = (0, 3600, -3600) if dst_slack else (0,)
    same_dates = same_files and all(got[r][1] - want[r][1] in allowed for r in want)
    return same_files, same_bytes, same_dates, sorted(set(got) ^ set(want))


def install_v1(work, name, v1, target, client_files):
    inst = os.path.join(work, name)
    shutil.copytree(v1, inst, copy_function=shutil.copy2)
    os.makedirs(os.path.join(inst, "Quasto"), exist_ok=True)
    for f in ("Quastorell.ucf", "Quastorell.lng"):
        shutil.copy(os.path.join(target, "Quasto", f), os.path.join(inst, "Quasto", f))
    for f in client_files:
        shutil.copy(f, inst)
    return inst


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--no-wine", action="store_true")
    args = ap.parse_args()
    os.environ.setdefault("TZ", "Europe/Berlin")
    time.tzset()
    run = Run(args.check)
    started = time.time()
    work = tempfile.mkdtemp(prefix="quasto-e2e-")
    ftp = web = None
    report = []
    try:
        v1, v2 = make_releases(work)
        # The builder's base folder holds the client files it puts into every set.
        base = os.path.join(work, "builder")
        os.makedirs(base)
        shutil.copy(os.path.join(WINDOWS, "bin", "Quastorell.exe"), base)
        shutil.copy(os.path.join(ROOT, "shared", "Quastorell.lng"), base)
        ftp = FtpServer(work)  # its "demo" folder is made by the first upload
        web = WebServer(ftp.root, os.path.join(work, "web.log"))
        url = web.url + "demo/"

        print("== publishing version 1", flush=True)
        rc, out = builder(base, "ftp", "--server", "127.0.0.1", "--port", str(ftp.port),
                          "--login", "quasto", "--password-stdin", stdin=FTP_PASSWORD + "\n")
        run.expect(rc == 0, "ftp settings stored: " + out)
        rc, out = builder(base, "new", "Demo", "--source", v1 + "/", "--url", url,
                          "--exe", os.path.join(v1, "app.exe"), "--ftp-dir", "demo", "--version", "1.0",
                          "--date", "01.03.2026")
        run.expect(rc == 0, "project created: " + out)
        rc, out = builder(base, "generate", "Demo", "--upload")
        run.expect(rc == 0, "version 1 generated and uploaded: " + out)
        target = os.path.join(base, "Upload", "Demo")

        print("== publishing version 2", flush=True)
        rc, out = builder(base, "configure", "Demo", "--source", v2 + "/")
        run.expect(rc == 0, "source switched to version 2: " + out)
        rc, out = builder(base, "rule", "Demo", "old.txt", "Delete")
        run.expect(rc == 0, "old.txt marked Delete: " + out)
        rc, out = builder(base, "rule", "Demo", "config.ini", "IfNotExist")
        run.expect(rc == 0, "config.ini marked IfNotExist: " + out)
        rc, out = builder(base, "generate", "Demo", "--version", "2.0", "--date", "15.09.2026",
                          "--upload")
        run.expect(rc == 0, "version 2 generated and uploaded: " + out)
        run.expect(os.path.exists(os.path.join(ftp.root, "demo", "Quastorell.uif")),
                   "manifest on the server")
        want = expected_v2(v1, v2)

        print("== console client", flush=True)
        inst = install_v1(work, "install-native", v1, target,
                          [os.path.join(NATIVE, "quastorell")])
        sent_before = web.bytes_sent()
        t0 = time.time()
        german = dict(os.environ, LC_ALL="de_DE.UTF-8")
        r = subprocess.run([os.path.join(inst, "quastorell"), "--unattended"],
                           capture_output=True, text=True, env=german)
        native_time = time.time() - t0
        run.expect(r.returncode == 0, "console client updated (status %d): %s" %
                   (r.returncode, r.stdout[-500:]))
        files, same, dates, diff = compare(inst, want)
        log = read(os.path.join(inst, "Quasto", "Quastorell.log")) or b""
        run.expect(files and same, "native install equals version 2 byte for byte %s" % diff)
        run.expect(dates, "native install has version 2's dates")
        run.expect(log.startswith(b"Update  (") and log.endswith(b"-------------------------\n\r\n"),
                   "native log written")
        changed = log.count(b"\n-> ") + (1 if b")\r\n-> " in log else 0)
        report.append(("console client", changed, web.bytes_sent() - sent_before, native_time,
                       files and same and dates))
        r = subprocess.run([os.path.join(inst, "quastorell"), "--unattended"],
                           capture_output=True, text=True, env=german)
        run.expect(r.returncode == 0 and "Keine Aktualisierung erforderlich." in r.stdout,
                   "second console run: no update needed: " + r.stdout[-400:])

        if not args.no_wine:
            print("== Quastorell.exe under Wine", flush=True)
            from gui_harness import Wine, Xvfb
            x = Xvfb()
            try:
                wine = Wine(WINDOWS, x.display)
                inst = install_v1(work, "install-wine", v1, target,
                                  [os.path.join(WINDOWS, "bin", "Quastorell.exe")])
                caption = " Demo 2.0 (15.09.2026)"
                sent_before = web.bytes_sent()
                t0 = time.time()
                proc = wine.start(os.path.join(inst, "Quastorell.exe"), [], cwd=inst)
                rc, _ = wine.driver("wait-text", caption, "7", "Auswertung abgeschlossen.",
                                    "30000")
                run.expect(rc == 0, "Windows client analysed the manifest")
                wine.driver("click", caption, "10")
                rc, _ = wine.driver("wait-text", caption, "7", "Aktualisierung komplett.",
                                    "60000", timeout=120)
                if rc != 0:
                    x.screenshot(os.path.join(ROOT, "artifacts", "e2e-wine-failure.png"))
                    print("  message box: %s" % (wine.driver("msgbox", "2000")[1],))
                run.expect(rc == 0, "Windows client applied the update")
                wine.driver("close", caption)
                proc.wait(timeout=60)
                wine_time = time.time() - t0
                files, same, dates, diff = compare(inst, want, dst_slack=True)
                log = read(os.path.join(inst, "Quasto", "Quastorell.log")) or b""
                run.expect(files and same, "Wine install equals version 2 byte for byte %s" % diff)
                run.expect(dates, "Wine install has version 2's dates")
                run.expect(log.startswith(b"Update  ("), "Wine log written")
                changed = log.count(b"\n-> ") + (1 if b")\r\n-> " in log else 0)
                report.append(("Quastorell.exe (Wine)", changed, web.bytes_sent() - sent_before,
                               wine_time, files and same and dates))
                proc = wine.start(os.path.join(inst, "Quastorell.exe"), [], cwd=inst)
                rc, _ = wine.driver("wait-text", caption, "7",
                                    "Keine Aktualisierung erforderlich.", "30000", timeout=60)
                run.expect(rc == 0, "second Windows run: no update needed (%s files: %s)" % (
                    wine.driver("text", caption, "4")[1], wine.driver("text", caption, "7")[1]))
                wine.driver("close", caption)
                proc.wait(timeout=60)
            finally:
                x.stop()
    except Failed:
        pass
    finally:
        if web:
            web.stop()
        if ftp:
            ftp.stop()
        if run.problems and os.environ.get("E2E_KEEP"):
            print("work folder kept: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)

    print()
    print("End-to-end report")
    print("%-24s %8s %12s %9s  %s" % ("client", "actions", "downloaded", "time", "installed = version 2"))
    for name, changed, sent, secs, ok in report:
        print("%-24s %8d %10d B %8.2fs  %s" % (name, changed, sent, secs,
                                               "yes, bytes, dates and log" if ok else "NO"))
    print("total time %.1f s; %d checks, %d failed" % (time.time() - started, run.steps,
                                                       len(run.problems)))
    print("%d passed, %d failed" % (run.steps - len(run.problems), len(run.problems)))
    return 1 if run.problems else 0


if __name__ == "__main__":
    sys.exit(main())
