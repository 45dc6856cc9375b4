#!/usr/bin/env python3
"""The whole path a publisher and an end user take, on this machine:

1. two versions of a small program's release folder, made from the build;
2. the builder's command line creates the project and generates version 1,
   then version 2, uploading each by FTP to a real FTP server on 127.0.0.1;
3. a real web server on 127.0.0.1 serves the FTP folder;
4. an installed copy of version 1 is updated by the console client, and
   another by Quastorell.exe under Wine, driven through its window;
5. a third version with small changes to the executable and a DLL is
   published: installations of version 2 update through patches, those of
   version 1 through whole files (or patches from version 1, where they
   pay);
6. a report of the bytes each run fetched against the whole files; a second
   client run must find nothing to do.

Beside the plain update, each client also updates installations that a
date rule would get wrong: one copied without its files' dates, and clients
in other time zones. A file of version 2 has the size and the date of its
version 1 (rebuilt in place). Every installation must end equal to version 2,
having fetched exactly the changed files.

  e2e.py [--check] [--no-wine]

With --check every step is asserted and the run ends at the first failure.
A failure is told in one line, "FAILED at <step>: <why>", with the
screenshot's path when the Windows client was on the screen, and the exit
status is 1, with or without --check.

The Wine prefix (build/windows/wineprefix, or $QUASTO_WINEPREFIX) is made
before anything is timed, when it is not there yet.
"""
import argparse
import calendar
import datetime
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
KEY_PASSWORD = "schl\u00fcssel 2026"

V1 = calendar.timegm((2026, 3, 1, 8, 0, 0))
V2 = calendar.timegm((2026, 9, 15, 17, 45, 0))
V3 = calendar.timegm((2026, 10, 2, 9, 30, 0))
UMLAUT_NAME = "\u00dcbersicht R\u00e4ume.txt"
PUBLISHER_ZONE = "Europe/Berlin"
# What an update of version 1 to version 2 fetches and deletes.
FETCHED = {"app.exe", "core.dll", "extra.dll", "same.dll", "Hilfe.txt", "guide.txt",
           "empty.log", UMLAUT_NAME}
DELETED = {"old.txt"}
# What version 3 changes, in place, from version 2.
FETCHED_3 = {"app.exe", "core.dll"}


class Failed(Exception):
    pass


SCREENSHOT = os.path.join(ROOT, "artifacts", "e2e-wine-failure.png")


class Run:
    def __init__(self, check):
        self.check = check
        self.problems = []
        self.steps = 0
        self.step = "setting up"
        self.screen = None  # the X server while the Windows client is shown

    def begin(self, step):
        self.step = step
        print("== " + step, flush=True)

    def shot(self):
        if self.screen is None:
            return ""
        try:
            self.screen.screenshot(SCREENSHOT)
        except Exception:  # the failure itself matters more than its picture
            return ""
        return " (screenshot: %s)" % os.path.relpath(SCREENSHOT, ROOT)

    def fail(self, what):
        what = " ".join(str(what).split())
        if len(what) > 600:
            what = what[:600] + " ..."
        line = "FAILED at %s: %s%s" % (self.step, what, self.shot())
        self.problems.append(line)
        print("  " + line, flush=True)

    def expect(self, cond, what):
        self.steps += 1
        if not cond:
            self.fail(what)
            if self.check:
                raise Failed(what)


def reason(e):
    """One line for an exception that ended a step."""
    if isinstance(e, subprocess.TimeoutExpired):
        cmd = e.cmd if isinstance(e.cmd, str) else " ".join(os.path.basename(str(c)) if i == 0
                                                           else str(c)
                                                           for i, c in enumerate(e.cmd))
        return "%s did not end within %g s" % (cmd, e.timeout)
    if isinstance(e, subprocess.CalledProcessError):
        out = (e.stderr or e.stdout or b"")
        if isinstance(out, bytes):
            out = out.decode("utf-8", "replace")
        return "%s ended with status %s%s" % (os.path.basename(str(e.cmd[0])), e.returncode,
                                              (": " + out.strip().splitlines()[-1])
                                              if out.strip() else "")
    if isinstance(e, FileNotFoundError) and e.filename:
        return "%s not found (build first: scripts/run.sh)" % e.filename
    return "%s: %s" % (type(e).__name__, e)


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
    # Rebuilt in place: other bytes, the same size and the same date.
    write(os.path.join(v1, "lib", "same.dll"), b"MZ" + b"1" * 4094, V1)
    write(os.path.join(v2, "lib", "same.dll"), b"MZ" + b"2" * 4094, V1)
    write(os.path.join(v2, "docs", "de", "Hilfe.txt"), b"Hilfe zu Version 2\n", V2)
    write(os.path.join(v2, "docs", "en", "help", "guide.txt"), b"Guide to version 2\n", V2)
    write(os.path.join(v2, "docs", "empty.log"), b"", V2)
    write(os.path.join(v2, UMLAUT_NAME), "Gr\u00fc\u00dfe aus Version 2\n".encode(), V2)
    return v1, v2


def make_release_3(work, v2):
    """Version 3: version 2 with a fix in the executable and in a DLL, as a
    small release changes them."""
    v3 = os.path.join(work, "release-3")
    shutil.copytree(v2, v3, copy_function=shutil.copy2)
    exe = bytearray(read(os.path.join(v2, "app.exe")))
    middle = len(exe) // 2
    exe[middle:middle + 16] = b"fixed in v3 !!!!"
    exe[1000:1004] = b"v3v3"
    write(os.path.join(v3, "app.exe"), bytes(exe) + b"version 3 resources", V3)
    dll = read(os.path.join(v2, "lib", "core.dll"))
    write(os.path.join(v3, "lib", "core.dll"),
          dll.replace(b"namespace", b"namespace /* v3 */", 1) + b"\n// version 3\n", V3)
    return v3


def builder(base, *args, stdin=None):
    r = subprocess.run([os.path.join(NATIVE, "quastorell-builder"), "--base", base] + list(args),
                       input=stdin, capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


class FtpServer:
    def __init__(self, work):
        self.info = os.path.join(work, "ftp.info")
        script = os.path.join(ROOT, "tests", "servers", "ftp_server.py")
        subprocess.run(["/usr/bin/python3", script, "start", self.info], check=True,
                       capture_output=True, text=True)
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
        line = self.proc.stdout.readline().split()  # waits as long as the server starts
        if len(line) != 2 or line[0] != "PORT":
            self.proc.wait()
            raise RuntimeError("the web server did not start (status %s)" % self.proc.returncode)
        self.url = "http://127.0.0.1:%s/" % line[1]
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


def stamped_in(mtime, zone):
    """The file time a client in `zone` sets for the date value that the
    builder read in the publisher's zone: dates carry no zone."""
    from zoneinfo import ZoneInfo
    wall = datetime.datetime.fromtimestamp(mtime, ZoneInfo(PUBLISHER_ZONE)).replace(tzinfo=None)
    return int(wall.replace(tzinfo=ZoneInfo(zone)).timestamp())


def expected_v2(v1, v2, install, zone, fetched=FETCHED):
    """What an installed version 1 holds after the update: version 2, less the
    file marked Delete, with the version-1 config.ini kept (IfNotExist).
    Fetched files carry version 2's dates as the client's zone reads them;
    the others keep the dates the installation gave them. The same for any
    installed and published version."""
    want = {}
    for rel, path in tree(v2).items():
        if rel == "old.txt":
            continue
        if os.path.basename(rel) in fetched:
            want[rel] = (read(path), stamped_in(int(os.path.getmtime(path)), zone))
        else:
            src = os.path.join(v1, rel) if rel == "config.ini" else path
            want[rel] = (read(src), int(os.path.getmtime(os.path.join(install, rel))))
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
    bad_dates = [r for r in want if r in got and got[r][1] - want[r][1] not in allowed]
    return same_files, same_bytes, not bad_dates, sorted(set(got) ^ set(want)) + bad_dates


def logged(log, encoding, patched=None):
    """Names the log says were fetched and deleted, and its error lines;
    `patched`, when given, gets the names that came as patches. A patch that
    was not used is an error here: the run had to fetch the whole file."""
    fetched, deleted, errors = set(), set(), []
    for line in log.decode(encoding, "replace").replace("\r", "").split("\n"):
        if line.startswith("-> Update Error: ") or line.startswith("-> Patch not used: "):
            errors.append(line)
        elif line.startswith("-> Delete: "):
            deleted.add(line[len("-> Delete: "):])
        elif line.startswith("-> ") and ") from a patch of " in line:
            name = line[3:].rsplit(") from a patch of ", 1)[0].rsplit(" (", 1)[0]
            fetched.add(name)
            if patched is not None:
                patched.add(name)
        elif line.startswith("-> ") and line.endswith(")") and " (" in line:
            fetched.add(line[3:].rsplit(" (", 1)[0])
    return fetched, deleted, errors


def whole_bytes(served_manifest, names):
    """The bytes of the whole packed files of `names` on the server."""
    import json
    entries = json.loads(read(served_manifest).decode("utf-8"))
    folder = os.path.dirname(served_manifest)
    return sum(os.path.getsize(os.path.join(folder, e["Pack"])) for e in entries.values()
               if e.get("Name") in names and e.get("Pack"))


def install_v1(work, name, v1, target, client_files, keep_dates=True):
    """keep_dates False: copied as many installers and users copy, every file
    dated at install time."""
    inst = os.path.join(work, name)
    shutil.copytree(v1, inst, copy_function=shutil.copy2 if keep_dates else shutil.copy)
    os.makedirs(os.path.join(inst, "Quasto"), exist_ok=True)
    for f in ("Quastorell.ucf", "Quastorell.lng", "Quastorell.pub"):
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
    prefix_secs = None
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

        run.begin("publishing version 1")
        rc, out = builder(base, "ftp", "--server", "127.0.0.1", "--port", str(ftp.port),
                          "--login", "quasto", "--password-stdin", stdin=FTP_PASSWORD + "\n")
        run.expect(rc == 0, "ftp settings stored: " + out)
        rc, out = builder(base, "keygen", "--password-stdin", stdin=KEY_PASSWORD + "\n")
        run.expect(rc == 0, "signing key made: " + out)
        rc, out = builder(base, "new", "Demo", "--source", v1 + "/", "--url", url,
                          "--exe", os.path.join(v1, "app.exe"), "--ftp-dir", "demo", "--version", "1.0",
                          "--date", "01.03.2026")
        run.expect(rc == 0, "project created: " + out)
        rc, out = builder(base, "generate", "Demo", "--upload", "--password-stdin",
                          stdin=KEY_PASSWORD + "\n")
        run.expect(rc == 0, "version 1 generated, signed and uploaded: " + out)
        target = os.path.join(base, "Upload", "Demo")

        run.begin("publishing version 2")
        rc, out = builder(base, "configure", "Demo", "--source", v2 + "/")
        run.expect(rc == 0, "source switched to version 2: " + out)
        rc, out = builder(base, "rule", "Demo", "old.txt", "Delete")
        run.expect(rc == 0, "old.txt marked Delete: " + out)
        rc, out = builder(base, "rule", "Demo", "config.ini", "IfNotExist")
        run.expect(rc == 0, "config.ini marked IfNotExist: " + out)
        rc, out = builder(base, "generate", "Demo", "--version", "2.0", "--date", "15.09.2026",
                          "--upload", "--password-stdin", stdin=KEY_PASSWORD + "\n")
        run.expect(rc == 0, "version 2 generated, signed and uploaded: " + out)
        served = os.path.join(ftp.root, "demo", "Quastorell.uif")
        run.expect(os.path.exists(served) and os.path.exists(served + ".minisig"),
                   "manifest and signature on the server")
        if shutil.which("minisign"):
            r = subprocess.run(["minisign", "-V", "-m", served, "-p",
                                os.path.join(base, "Quastorell.pub")], capture_output=True,
                               text=True)
            run.expect(r.returncode == 0, "minisign verifies the served manifest: " + r.stderr)

        # A copy of the update set on the server with one byte of its
        # manifest changed, as an attacker on the way would serve it.
        tampered = os.path.join(ftp.root, "tampered")
        shutil.copytree(os.path.join(ftp.root, "demo"), tampered)
        text = read(os.path.join(tampered, "Quastorell.uif"))
        with open(os.path.join(tampered, "Quastorell.uif"), "wb") as f:
            f.write(text.replace(b'"Flags": 4', b'"Flags": 0', 1))
        tampered_url = web.url + "tampered/"

        # What the current publication makes of an installation: the release
        # it was, the release it becomes, what it fetches and deletes, and
        # which files must come as patches (None: whichever pays).
        published = {"release": v2, "version": "version 2", "fetched": FETCHED,
                     "deleted": DELETED, "patched": None}

        def check_update(name, inst, before_log, encoding, zone, dst_slack=False, source=None):
            source = source or v1
            p = published
            want = expected_v2(source, p["release"], inst, zone, p["fetched"])
            files, same, dates, diff = compare(inst, want, dst_slack)
            log = read(os.path.join(inst, "Quasto", "Quastorell.log")) or b""
            run.expect(files and same, "%s: install equals %s byte for byte %s" % (
                name, p["version"], diff))
            run.expect(dates, "%s: install has %s's dates %s" % (name, p["version"], diff))
            run.expect(log != before_log and log.startswith(b"Update  (") and
                       log.endswith(b"-------------------------\n\r\n"), "%s: log written" % name)
            patched = set()
            fetched, deleted, errors = logged(log, encoding, patched)
            run.expect(fetched == p["fetched"] and deleted == p["deleted"] and not errors,
                       "%s: fetched exactly the changed files: %s, deleted %s, errors %s" % (
                           name, sorted(fetched ^ p["fetched"]), sorted(deleted), errors))
            if p["patched"] is not None:
                run.expect(patched == p["patched"], "%s: came as patches: %s, expected %s" % (
                    name, sorted(patched), sorted(p["patched"])))
            whole = whole_bytes(os.path.join(ftp.root, "demo", "Quastorell.uif"), fetched)
            return len(fetched) + len(deleted), files and same and dates, whole

        def console(name, keep_dates=True, zone=PUBLISHER_ZONE, source=None):
            run.begin("console client: " + name)
            inst = install_v1(work, "install-native-%d" % len(report),
                              source or v1, target, [os.path.join(NATIVE, "quastorell")],
                              keep_dates)
            env = dict(os.environ, LC_ALL="de_DE.UTF-8", TZ=zone)
            sent_before = web.bytes_sent()
            t0 = time.time()
            r = subprocess.run([os.path.join(inst, "quastorell"), "--unattended"],
                               capture_output=True, text=True, env=env)
            secs = time.time() - t0
            run.expect(r.returncode == 0, "%s: console client updated (status %d): %s" %
                       (name, r.returncode, r.stdout[-500:]))
            changed, ok, whole = check_update(name, inst, b"", "utf-8", zone, source=source)
            report.append((name, changed, web.bytes_sent() - sent_before, whole, secs, ok))
            r = subprocess.run([os.path.join(inst, "quastorell"), "--unattended"],
                               capture_output=True, text=True, env=env)
            run.expect(r.returncode == 0 and "Keine Aktualisierung erforderlich." in r.stdout,
                       "%s: second run: no update needed: %s" % (name, r.stdout[-400:]))

        console("console client")
        console("console, dates reset", keep_dates=False)
        console("console, New York", zone="America/New_York")
        console("console, Tokyo", zone="Asia/Tokyo")

        def install_tampered(name, client_files):
            inst = install_v1(work, name, v1, target, client_files)
            ucf = os.path.join(inst, "Quasto", "Quastorell.ucf")
            with open(ucf, "rb") as f:
                cfg = f.read()
            with open(ucf, "wb") as f:
                f.write(cfg.replace(url.encode(), tampered_url.encode()))
            return inst, {rel: read(p) for rel, p in tree(inst).items()}

        run.begin("console client: a tampered manifest")
        inst, before = install_tampered("install-native-tampered",
                                        [os.path.join(NATIVE, "quastorell")])
        r = subprocess.run([os.path.join(inst, "quastorell"), "--unattended"], capture_output=True,
                           text=True, env=dict(os.environ, LC_ALL="de_DE.UTF-8"))
        run.expect(r.returncode == 7 and "Signature check failed: the signature does not match"
                   in r.stderr, "console client refuses the tampered manifest (status %d): %s" %
                   (r.returncode, r.stderr[-300:]))
        run.expect({rel: read(p) for rel, p in tree(inst).items()} == before,
                   "console client changed nothing")
        report.append(("console, tampered manifest", 0, 0, 0, 0.0, r.returncode == 7))

        def publish_v3():
            run.begin("publishing version 3")
            v3 = make_release_3(work, v2)
            rc, out = builder(base, "configure", "Demo", "--source", v3 + "/")
            run.expect(rc == 0, "source switched to version 3: " + out)
            rc, out = builder(base, "generate", "Demo", "--version", "3.0", "--date", "02.10.2026",
                              "--upload", "--password-stdin", stdin=KEY_PASSWORD + "\n")
            run.expect(rc == 0, "version 3 generated, signed and uploaded: " + out)
            run.expect("Patches f\u00fcr Anwender fr\u00fcherer Versionen" in out,
                       "version 3 has patches: " + out)
            published.update({"release": v3, "version": "version 3", "fetched": FETCHED_3,
                              "deleted": DELETED, "patched": FETCHED_3})

        def console_v3():
            # Version 2 installed: the two changed files come as patches.
            console("console, 2 -> 3", source=v2)
            # Version 1 installed: whole files, or patches where they pay.
            published.update({"fetched": FETCHED, "deleted": DELETED, "patched": None})
            console("console, 1 -> 3")
            published.update({"fetched": FETCHED_3, "deleted": DELETED, "patched": FETCHED_3})

        if not args.no_wine:
            from gui_harness import Wine, Xvfb
            run.begin("making the Wine prefix (once; not timed)")
            t0 = time.time()
            x = Xvfb()
            try:
                wine = Wine(WINDOWS, x.display)
                prefix_secs = time.time() - t0
                run.screen = x
                caption = " Demo 2.0 (15.09.2026)"

                def windows(name, keep_dates=True, zone=PUBLISHER_ZONE, source=None):
                    run.begin("Quastorell.exe under Wine: " + name)
                    inst = install_v1(work, "install-wine-%d" % len(report), source or v1, target,
                                      [os.path.join(WINDOWS, "bin", "Quastorell.exe")], keep_dates)
                    tz = {"TZ": zone}
                    sent_before = web.bytes_sent()
                    t0 = time.time()
                    proc = wine.start(os.path.join(inst, "Quastorell.exe"), [], cwd=inst,
                                      extra_env=tz)
                    rc, _ = wine.driver("wait-text", caption, "7", "Auswertung abgeschlossen.",
                                        "30000")
                    run.expect(rc == 0, "%s: Windows client analysed the manifest" % name)
                    wine.driver("click", caption, "10")
                    rc, _ = wine.driver("wait-text", caption, "7", "Aktualisierung komplett.",
                                        "60000", timeout=120)
                    box = "" if rc == 0 else wine.driver("msgbox", "2000")[1]
                    run.expect(rc == 0, "%s: Windows client applied the update%s" % (
                        name, "; message box: " + box if box else ""))
                    wine.driver("close", caption)
                    proc.wait(timeout=60)
                    secs = time.time() - t0
                    changed, ok, whole = check_update(name, inst, b"", "cp1252", zone,
                                                      dst_slack=True, source=source)
                    report.append((name, changed, web.bytes_sent() - sent_before, whole, secs,
                                   ok))
                    proc = wine.start(os.path.join(inst, "Quastorell.exe"), [], cwd=inst,
                                      extra_env=tz)
                    rc, _ = wine.driver("wait-text", caption, "7",
                                        "Keine Aktualisierung erforderlich.", "30000", timeout=60)
                    run.expect(rc == 0, "%s: second run: no update needed (%s files: %s)" % (
                        name, wine.driver("text", caption, "4")[1],
                        wine.driver("text", caption, "7")[1]))
                    wine.driver("close", caption)
                    proc.wait(timeout=60)

                windows("Quastorell.exe (Wine)")
                windows("Wine, dates reset, New York", keep_dates=False, zone="America/New_York")

                run.begin("Quastorell.exe under Wine: a tampered manifest")
                inst, before = install_tampered("install-wine-tampered",
                                                [os.path.join(WINDOWS, "bin", "Quastorell.exe")])
                proc = wine.start(os.path.join(inst, "Quastorell.exe"), [], cwd=inst)
                rc, box = wine.driver("msgbox", "30000")
                want = (caption + "|Die Update-Informationen sind nicht vom Herausgeber "
                        "signiert.\\nAktualisierung wird abgebrochen.  |error")
                run.expect(rc == 0 and box == want, "Windows client shows ErrSignature: %r" % box)
                try:
                    proc.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    proc.kill()
                refused = {rel: read(p) for rel, p in tree(inst).items()} == before
                run.expect(refused, "Windows client changed nothing")
                report.append(("Wine, tampered manifest", 0, 0, 0, 0.0, rc == 0 and refused))

                publish_v3()
                console_v3()
                caption = " Demo 3.0 (02.10.2026)"
                windows("Wine, 2 -> 3", source=v2)
                published.update({"fetched": FETCHED, "deleted": DELETED, "patched": None})
                windows("Wine, 1 -> 3")
            except (Failed, KeyboardInterrupt):
                raise
            except Exception as e:  # told here, while the window can still be shot
                run.fail(reason(e))
                raise Failed(str(e))
            finally:
                run.screen = None
                x.stop()
        else:
            publish_v3()
            console_v3()
    except Failed:
        pass
    except KeyboardInterrupt:
        run.fail("interrupted")
    except Exception as e:  # a user gets one line, not a traceback
        run.fail(reason(e))
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
    print("%-30s %8s %12s %12s %9s  %s" % ("client", "actions", "downloaded", "whole files",
                                           "time", "installed = release"))
    for name, changed, sent, whole, secs, ok in report:
        print("%-30s %8d %10d B %10d B %8.2fs  %s" % (
            name, changed, sent, whole, secs,
            ("refused, nothing changed" if "tampered" in name
             else "yes, bytes, dates and log") if ok else "NO"))
    if prefix_secs is not None:
        print("Wine prefix made or found in %.1f s (before the timed steps)" % prefix_secs)
    print("total time %.1f s; %d checks, %d failed" % (time.time() - started, run.steps,
                                                       len(run.problems)))
    print("%d passed, %d failed" % (run.steps - len(run.problems), len(run.problems)))
    for line in run.problems:
        print(line)
    return 1 if run.problems else 0


if __name__ == "__main__":
    sys.exit(main())
