#!/usr/bin/env python3
"""GUI tests of Quastorell.exe under Wine and Xvfb, driven only through its
window and message boxes, against a real local web server.

  client_gui_test.py BUILD_DIR
"""
import calendar
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import zlib
import time
from urllib.parse import unquote

from gui_harness import (winpath, SOURCE, Nginx, Relay, Results, WebServer, Wine, Xvfb,
                         check_fits, fresh_dir, nginx_binary, parse_args)
from update_set import pack_name, url_name
from update_set import UpdateSet

NEW = calendar.timegm((2025, 8, 9, 10, 11, 12))
OLD_MTIME = calendar.timegm((2020, 1, 1, 0, 0, 0))
TITLE = "Demo 2.0 (07.12.2026)"
CAPTION = " " + TITLE
GERMAN = "de_DE.UTF-8"
ENGLISH = "en_US.UTF-8"


# The cases in shards of about equal time, each run in its own Wine prefix
# and X server at the same time as the others: most of the time goes into
# waiting on servers that are slow on purpose. "rest" runs all others.
SHARDS = {
    "a": ("dead_servers", "redirects_and_cache", "restart", "close_cancels", "resumed_transfers"),
    "b": ("killed_update", "damaged_manifests", "self_update", "high_dpi"),
}


class ClientGuiTest:
    def __init__(self, build, shard=""):
        self.build = os.path.abspath(build)
        self.work = fresh_dir(os.path.join(self.build, "gui-tests",
                                           "client-" + shard if shard else "client"))
        self.artifacts = os.path.join(self.build, "artifacts")
        self.x = Xvfb()
        self.wine = Wine(self.build, self.x.display)
        self.site = fresh_dir(os.path.join(self.work, "site"))
        self.web = WebServer(self.site, os.path.join(self.work, "connections.log"))
        self.r = Results()

    # An installation of the program with the client beside it.
    def install(self, name, url=None, **config):
        base = fresh_dir(os.path.join(self.work, name))
        os.makedirs(os.path.join(base, "Quasto"))
        shutil.copy(os.path.join(self.wine.bin, "Quastorell.exe"), base)
        shutil.copy(os.path.join(self.wine.bin, "Quastorell.lng"), os.path.join(base, "Quasto"))
        cfg = {"ProgInfo": TITLE, "ProgExe": "", "Restart": 0, "Mutex": "",
               "URL": url if url is not None else self.web.url + name + "/"}
        cfg.update(config)
        with open(os.path.join(base, "Quasto", "Quastorell.ucf"), "w") as f:
            f.write(json.dumps(cfg, separators=(", ", ": ")))
        return base

    def put(self, base, rel, content, old=True):
        path = os.path.join(base, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        if old:
            os.utime(path, (OLD_MTIME, OLD_MTIME))

    def read(self, base, rel):
        try:
            with open(os.path.join(base, rel), "rb") as f:
                return f.read()
        except OSError:
            return None

    def update_set(self, name):
        return UpdateSet(os.path.join(self.site, name))

    def start(self, base, args=(), lang=GERMAN):
        return self.wine.start(os.path.join(base, "Quastorell.exe"), args, cwd=base, lang=lang)

    def text(self, cid, caption=CAPTION):
        return self.wine.driver("text", caption, str(cid))[1]

    def msgbox(self):
        rc, out = self.wine.driver("msgbox", "20000")
        self.r.check(rc == 0, "a message box appears")
        return out

    def ended(self, proc, timeout=30):
        try:
            proc.wait(timeout=timeout)
            return True
        except Exception:
            proc.kill()
            return False

    def update_in_window(self, base, count, what):
        """Starts the client, checks the count of files found, presses the
        button, waits for the end without a message and closes the window."""
        r = self.r
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
             "analysis " + what)
        r.eq(self.text(4), count, "count " + what)
        self.wine.driver("click", CAPTION, "10")
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")[0], 0,
             "update " + what)
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends " + what)

    # --- the tests -----------------------------------------------------------

    def full_update(self):
        r = self.r
        s = self.update_set("full")
        s.add("", "Tool.exe", b"new tool " * 5000, NEW)
        s.add("data\\", "info.txt", b"fresh data", NEW, store=True)
        s.add("", "obsolete.txt", flags=4)
        s.add("", "post.bat", b"@echo ran> marker.txt\r\n", NEW, flags=16)
        s.write_manifest()
        base = self.install("full")
        self.put(base, "Tool.exe", b"old tool")
        self.put(base, "obsolete.txt", b"going")

        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
             "analysis finished")
        r.eq(self.text(4), "4", "count")
        r.eq(self.text(5), "Dateien zur Aktualisierung  (44 KB)", "summary")
        r.eq(self.text(9), "Auswertung (Update-Info)", "frame")
        r.eq(self.text(10), "Aktualisieren", "button caption")
        r.eq(self.wine.driver("enabled", CAPTION, "10")[1], "1", "button enabled")
        r.eq(self.wine.driver("progress", CAPTION, "8")[1], "4 4", "progress")
        self.x.screenshot(os.path.join(self.artifacts, "client-before-update.png"))

        self.wine.driver("click", CAPTION, "10")
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")[0], 0,
             "update finished")
        r.eq(self.text(4), "---", "count after")
        r.eq(self.text(5), "Dateien zur Aktualisierung", "summary after")
        r.eq(self.text(9), "Aktualisierung / Download", "frame after")
        r.eq(self.wine.driver("enabled", CAPTION, "10")[1], "0", "button disabled")
        self.x.screenshot(os.path.join(self.artifacts, "client-after-update.png"))
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends when its window is closed")

        r.eq(self.read(base, "Tool.exe"), b"new tool " * 5000, "Tool.exe replaced")
        r.eq(self.read(base, "data/info.txt"), b"fresh data", "new folder and file")
        r.eq(self.read(base, "obsolete.txt"), None, "file deleted")
        r.eq(self.read(base, "marker.txt"), b"ran\r\n", "program ran")
        r.eq(int(os.path.getmtime(os.path.join(base, "Tool.exe"))) - NEW in (-7200, -3600, 0),
             True, "date set")
        log = self.read(base, "Quasto/Quastorell.log") or b""
        day = time.strftime("%d.%m.%y", time.localtime())
        r.eq(log, ("Update  (%s)\r\n" % day).encode() +
             b"-> Tool.exe (43.9 KB)\n-> info.txt (0 KB)\n-> Delete: obsolete.txt\n"
             b"-> post.bat (0 KB)\n-> Run: post.bat\n-------------------------\n\r\n", "log")
        leftovers = [n for n in os.listdir(base) if ".~q" in n or n.endswith(".bak")]
        r.eq(leftovers, [], "no temporary files")

    def url_errors(self):
        r = self.r
        for url in ("http://127.0.0.1:1/", self.web.url + "status/404/"):
            base = self.install("urlerr", url=url)
            proc = self.start(base)
            r.eq(self.msgbox(),
                 " %s|Ung\u00fcltige Internetadresse (URL).\\n\u00dcberpr\u00fcfen Sie "
                 "'Quastorel.ucf'!  |error" % TITLE, "ErrorURL for " + url)
            r.check(self.ended(proc), "client ends after ErrorURL")

    def mutex_held(self):
        r = self.r
        base = self.install("mutex", Mutex="DemoMutex", ProgExe="restart.bat", Restart=1)
        self.put(base, "restart.bat", b"@echo [%1]> restarted.txt\r\n", old=False)
        holder = self.wine.start(os.path.join(self.wine.bin, "ui_driver.exe"),
                                 ["hold-mutex", "DemoMutex", "15000"])
        time.sleep(1.5)
        proc = self.start(base)
        r.eq(self.msgbox(), " %s|Sie m\u00fcssen das Programm vor dem Update schlie\u00dfen.  |error"
             % TITLE, "CloseProg")
        r.check(self.ended(proc), "client ends")
        time.sleep(1)
        r.eq(self.read(base, "restarted.txt"), None, "no restart")
        holder.kill()

    def program_running(self):
        r = self.r
        s = self.update_set("running")
        s.write_manifest()
        base = self.install("running", ProgExe="UI_DRIVER.EXE")
        sleeper = self.wine.start(os.path.join(self.wine.bin, "ui_driver.exe"), ["sleep", "20000"])
        time.sleep(1.5)
        proc = self.start(base)
        r.eq(self.msgbox(), " %s|Das Programm muss vor dem Update beendet werden.  |error" % TITLE,
             "ProgRuns")

        # The run goes on: nothing to do.
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Keine Aktualisierung erforderlich.")[0],
             0, "update run continues")
        r.eq(self.wine.driver("enabled", CAPTION, "10")[1], "0", "nothing to press")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")
        sleeper.kill()

    def corrupt_download(self):
        r = self.r
        s = self.update_set("corrupt")
        s.add("", "Tool.exe", b"new tool " * 3000, NEW)
        s.corrupt("Tool.exe")
        s.write_manifest()
        base = self.install("corrupt")
        self.put(base, "Tool.exe", b"old tool")
        proc = self.start(base)
        self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")
        self.wine.driver("click", CAPTION, "10")
        r.eq(self.msgbox(), " Quastorell|\u00dcbertragungsfehler beim Download:\\nTool.exe|warning",
             "ErrDownload")
        self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")
        r.eq(self.read(base, "Tool.exe"), b"old tool", "previous file kept")
        log = (self.read(base, "Quasto/Quastorell.log") or b"").split(b"\r\n")
        r.eq(log[1:], [b"-> Update Error: Tool.exe\n-------------------------\n", b""], "log")

    def content_decides(self):
        r = self.r
        s = self.update_set("content")
        s.add("", "same.dll", b"same bytes", NEW, sha256=True)       # older date, same bytes
        s.add("", "app.exe", b"version 2", NEW, sha256=True)         # newer date, other bytes
        s.add("", "evil.dll", b"not what was signed", NEW,
              sha256=hashlib.sha256(b"the publisher's").hexdigest())
        s.write_manifest()
        base = self.install("content")
        self.put(base, "same.dll", b"same bytes")
        self.put(base, "app.exe", b"version 1", old=False)
        self.put(base, "evil.dll", b"old evil")
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
             "analysis finished")
        r.eq(self.text(4), "2", "only the files whose content differs")
        self.wine.driver("click", CAPTION, "10")
        r.eq(self.msgbox(), " Quastorell|Datei konnte nicht aktualisiert werden:\\nevil.dll|warning",
             "content not matching its hash is an update error")
        self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")
        r.eq(self.read(base, "app.exe"), b"version 2", "app.exe replaced")
        r.eq(self.read(base, "same.dll"), b"same bytes", "same.dll untouched")
        r.eq(int(os.path.getmtime(os.path.join(base, "same.dll"))), OLD_MTIME, "same.dll's date")
        r.eq(self.read(base, "evil.dll"), b"old evil", "evil.dll kept")
        log = (self.read(base, "Quasto/Quastorell.log") or b"").split(b"\r\n")
        r.eq(log[1:], [b"-> app.exe (0 KB)\n-> Update Error: evil.dll\n-------------------------\n",
                       b""], "log")
        leftovers = [n for n in os.listdir(base) if ".~q" in n]
        r.eq(leftovers, [], "no temporary files")

        # The next start reads the cache, finds everything current but evil.dll.
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
             "second analysis")
        r.eq(self.text(4), "1", "still only evil.dll")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")

    def many_files(self):
        r = self.r
        s = self.update_set("many")
        base = self.install("many")
        for i in range(50):
            s.add("lib\\", "f%02d.dll" % i, b"new %d " % i * (i * 40 + 1), NEW, sha256=True)
            self.put(base, "lib/f%02d.dll" % i, b"old %d" % i)
        s.write_manifest()
        before = self.web.connections()
        self.update_in_window(base, "50", "of 50 files")
        for i in range(50):
            r.eq(self.read(base, "lib/f%02d.dll" % i), b"new %d " % i * (i * 40 + 1),
                 "f%02d.dll replaced" % i)
        used = self.web.connections() - before
        print("  connections for the manifest and 50 files: %d" % used, flush=True)
        r.check(1 <= used <= 2, "one session reuses its connection: %d connections" % used)

    def cache_files(self):
        """Files in WinINet's cache of the prefix, by path."""
        root = os.path.join(self.wine.prefix, "drive_c", "users")
        found = set()
        for top, _, files in os.walk(root):
            if "INetCache" in top or "Temporary Internet Files" in top:
                found.update(os.path.join(top, f) for f in files)
        return found

    def redirects_and_cache(self):
        r = self.r
        s = self.update_set("redir")
        base = self.install("redir", url=self.web.url + "hops/3/redir/")
        for i in range(5):
            s.add("", "r%d.dll" % i, b"redirected %d " % i * 3000, NEW, sha256=True)
            self.put(base, "r%d.dll" % i, b"old %d" % i)
        s.write_manifest()
        cached = self.cache_files()
        self.update_in_window(base, "5", "through three redirects")
        for i in range(5):
            r.eq(self.read(base, "r%d.dll" % i), b"redirected %d " % i * 3000, "r%d.dll" % i)
        # The manifest may be cached (it is small and read again each run);
        # no packed file is: a large one would lie in the profile twice.
        packed = [os.path.basename(f) for f in self.cache_files() - cached
                  if not os.path.basename(f).startswith("Quastorell")]
        r.eq(packed, [], "no packed file in WinINet's cache")

        # A redirect to itself ends after ten, and a manifest of 100 MiB or
        # without end is refused at 64 MiB: each as a wrong address, soon.
        for kind in ("loop", "huge", "endless"):
            base = self.install(kind, url=self.web.url + kind + "/")
            started = time.time()
            proc = self.start(base)
            r.eq(self.msgbox(),
                 " %s|Ung\u00fcltige Internetadresse (URL).\\n\u00dcberpr\u00fcfen Sie "
                 "'Quastorel.ucf'!  |error" % TITLE, "ErrorURL for " + kind)
            r.check(self.ended(proc), "client ends after " + kind)
            r.eq(proc.returncode, 2, "exit status after " + kind + ": no manifest")
            # Reading the 64 MiB takes a few seconds, more on a loaded
            # machine; without the bound "endless" would never end.
            print("  %s ended after %.1f s" % (kind, time.time() - started), flush=True)
            r.check(time.time() - started < 50, kind + " ended soon")

    def dead_servers(self):
        """A trickling, a silent and a stalling server: each run ends after
        the dead-transfer minute with ErrorURL. All three run at once."""
        r = self.r
        runs = []
        started = time.time()
        for mode in ("trickle", "silent", "stall"):
            s = self.update_set(mode)
            s.add("", "a.txt", b"a" * 20000, NEW, sha256=True)
            s.write_manifest()
            base = self.install(mode, url=self.web.url + mode + "/" + mode + "/")
            self.put(base, "a.txt", b"old")
            runs.append((mode, base, self.start(base)))
        for _ in runs:
            rc, out = self.wine.driver("msgbox", "150000", timeout=170)
            r.eq(rc, 0, "a message box appears")
            r.check("Internetadresse" in out, "ErrorURL: " + out)
            time.sleep(1)
        elapsed = time.time() - started
        print("  dead servers ended after %.0f s" % elapsed, flush=True)
        r.check(55 <= elapsed <= 120, "after about a minute: %.0f s" % elapsed)
        for mode, base, proc in runs:
            r.check(self.ended(proc), "client ends after the %s server" % mode)
            r.eq(self.read(base, "a.txt"), b"old", "nothing changed by the %s server" % mode)

    def answers_and_closes(self, base, proc, before, mode, what):
        """While `what` waits on a slow server: the window answers a message
        within 100 ms and moves; a close then ends the run at once, cancelled,
        with nothing changed and nothing left behind."""
        r = self.r
        rc, longest = self.wine.driver("ping", CAPTION, "10", "100")
        r.check(rc == 0 and int(longest) <= 100,
                "the window answers within 100 ms %s from a %s server: %s ms" % (what, mode, longest))
        x, y, w, h = (int(v) for v in self.wine.driver("rect", CAPTION)[1].split())
        self.wine.driver("place", CAPTION, str(x + 17), str(y + 9), str(w), str(h))
        moved = [int(v) for v in self.wine.driver("rect", CAPTION)[1].split()][:2]
        r.eq(moved, [x + 17, y + 9], "the window moves %s" % what)
        log_path = os.path.join(base, "Quasto", "Quastorell.log")
        asked = time.time()
        out = self.wine.driver("close", CAPTION)[1].strip()
        # From when the driver sent the close; its own start is not the run's.
        closed = int(out) / 1000.0 if out.isdigit() else asked
        r.check(self.ended(proc, timeout=20), "client ends after a close %s" % what)
        ended = time.time() - closed
        # The run's end is when it has logged the cancel; Wine takes about
        # two seconds more to end any process.
        took = os.path.getmtime(log_path) - closed if os.path.exists(log_path) else ended
        print("  close %s from a %s server: run ended after %.2f s, process after %.2f s; "
              "the window answered within %s ms" % (what, mode, took, ended, longest), flush=True)
        # A log older than the close would be another run's (file times are
        # a few milliseconds coarse).
        r.check(-0.05 < took < 1.0, "the close %s ends the run within a second: %.2f s" % (what, took))
        r.eq(proc.returncode, 5, "exit status of a close %s: cancelled" % what)
        r.check(self.tree(base) == before, "nothing changed by a close %s" % what)
        r.eq(self.leftovers(base), [], "nothing left behind by a close %s" % what)
        log = self.read(base, "Quasto/Quastorell.log") or b""
        r.check(b"-> Update cancelled\n" in log, "the log says the update was cancelled: %r" % log)

    def close_cancels(self):
        """A close during the analysis (the manifest trickles or stalls) and
        during the staging (a file stalls) cancels; a close once the analysis
        is shown declines, as it always did."""
        r = self.r
        for mode in ("trickle", "stall"):
            name = "wait-" + mode
            s = self.update_set(name)
            s.add("", "a.txt", b"a" * 20000, NEW, sha256=True)
            s.write_manifest()
            base = self.install(name, url=self.web.url + mode + "/" + name + "/")
            self.put(base, "a.txt", b"old")
            before = self.tree(base)
            proc = self.start(base)
            r.eq(self.wine.driver("wait-text", CAPTION, "7", "Lade Update-Informationen .....")[0],
                 0, "the manifest is being read from the %s server" % mode)
            time.sleep(1)
            self.answers_and_closes(base, proc, before, mode, "during the analysis")

        # The second file stalls half-way; the first is staged by then.
        s = self.update_set("stage")
        s.add("", "a.txt", b"new a" * 4000, NEW, sha256=True)
        s.add("", "b.bin", bytes(range(256)) * 2000, NEW, sha256=True, store=True)
        s.write_manifest()
        stalling = WebServer(self.site, extra_args=["--stall", "stage/" + pack_name("b.bin", "")])
        try:
            base = self.install("stage", url=stalling.url + "stage/")
            self.put(base, "a.txt", b"old a")
            self.put(base, "b.bin", b"old b")
            before = self.tree(base)
            proc = self.start(base)
            r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
                 "analysis before the staging")
            # Declining is no cancel: the next start finds the update again.
            self.wine.driver("close", CAPTION)
            r.check(self.ended(proc), "client ends when the update is declined")
            r.eq(proc.returncode, 3, "exit status of a declined update")
            proc = self.start(base)
            r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
                 "analysis again")
            self.wine.driver("click", CAPTION, "10")
            deadline = time.time() + 20
            while self.journal_state(base) != "stage" and time.time() < deadline:
                time.sleep(0.1)
            r.eq((self.journal_state(base), proc.poll()), ("stage", None),
                 "the staging has begun (the journal's state, the client's exit status)")
            time.sleep(1.5)
            self.answers_and_closes(base, proc, before, "stall", "during the staging")
        finally:
            stalling.stop()

    def resumed_transfers(self):
        """Packed files whose connections are cut are taken up where they
        broke (WinINet's Range and If-Range) and the update completes; a
        server that serves no ranges sends the file again from its start."""
        r = self.r
        s = self.update_set("resume")
        big = bytes((i * 131 ^ (i >> 9)) & 0xFF for i in range(300000))
        s.add("", "big.dll", big, NEW, sha256=True, store=True)
        s.add("", "small.txt", b"new small " * 100, NEW, sha256=True, store=True)
        s.write_manifest()
        log = os.path.join(self.work, "resume-requests.log")
        cutting = WebServer(self.site, extra_args=[
            "--log", log, "--cut", "50,90:resume/" + pack_name("big.dll", ""),
            "--cut", "60:resume/" + pack_name("small.txt", "")])
        try:
            base = self.install("resume", url=cutting.url + "resume/")
            self.put(base, "big.dll", b"old big")
            self.put(base, "small.txt", b"old small")
            self.update_in_window(base, "2", "with cut connections")
        finally:
            cutting.stop()
        r.eq(self.read(base, "big.dll"), big, "big.dll joined from three parts")
        r.eq(self.read(base, "small.txt"), b"new small " * 100, "small.txt joined from two parts")
        with open(log, encoding="utf-8") as f:
            lines = [line.split() for line in f]
        sent = sum(int(b) for p, _, b in lines if "big" in p)
        packed = os.path.getsize(os.path.join(self.site, "resume", pack_name("big.dll", "")))
        r.eq((len(lines), sent), (6, packed),
             "a manifest, three requests for big.dll, two for small.txt; no byte twice")
        self.resumed_run_from_nginx()

    def resumed_run_from_nginx(self):
        """A run cancelled while a large file stalls half-way (a relay in front
        of nginx holds the rest back), and the next run against nginx itself:
        WinINet asks for the rest only, under nginx's own ETag, and gets it.
        Then a run whose transfer the relay cuts once, taken up the same way."""
        r = self.r
        if nginx_binary() is None:
            print("  nginx is not installed: the resumed run against nginx is skipped", flush=True)
            return
        s = self.update_set("resume-nginx")
        large = random.Random(7).randbytes(1600000)
        s.add("", "large.dll", large, NEW, sha256=True, store=True)
        s.write_manifest()
        pack = pack_name("large.dll", "")
        packed = os.path.getsize(os.path.join(self.site, "resume-nginx", pack))
        half = packed // 2
        uri = "/resume-nginx/" + url_name(pack)

        def of_large(requests):
            return [x for x in requests if unquote(x["uri"]) == unquote(uri)]

        nginx = Nginx(self.site)
        relay = Relay(nginx.port, ["--stall", "%d:%s" % (half, uri[1:])])
        partial = None
        try:
            base = self.install("resume-nginx", url=relay.url + "resume-nginx/")
            self.put(base, "large.dll", b"old large")
            proc = self.start(base)
            r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
                 "analysis before the stalled staging")
            self.wine.driver("click", CAPTION, "10")
            deadline = time.time() + 30
            while time.time() < deadline:
                partial = next((os.path.join(base, n) for n in os.listdir(base)
                                if n.startswith("large.dll.") and n.endswith(".~qdl")), None)
                journal = self.read(base, "Quasto/Quastorell.journal") or b""
                if partial and os.path.getsize(partial) == half and b"\npart\t" in journal:
                    break
                time.sleep(0.1)
            r.check(partial is not None and os.path.getsize(partial) == half,
                    "half of large.dll has come and its partial download is recorded")
            self.wine.driver("close", CAPTION)
            r.check(self.ended(proc, timeout=20), "client ends after a close during the staging")
            r.eq(proc.returncode, 5, "exit status of a close during the staging: cancelled")
        finally:
            relay.stop()
            nginx.stop()
        first = of_large(nginx.requests())
        nginx.remove()
        r.eq([x["status"] for x in first], [200], "nginx's answer to the stalled run")
        etag = first[0]["etag"] if first else ""
        r.check(etag.startswith('"'), "nginx names the file with a strong ETag: %r" % etag)
        r.check(partial is not None and os.path.exists(partial) and
                os.path.getsize(partial) == half, "the cancel keeps the partial download")
        r.eq(self.read(base, "large.dll"), b"old large", "large.dll untouched by the cancel")

        again = Nginx(self.site)
        try:
            self.set_url(base, again.url + "resume-nginx/")
            self.update_in_window(base, "1", "taken up from nginx")
        finally:
            again.stop()
        got = [(x["status"], x["range"], x["if_range"], x["bytes"])
               for x in of_large(again.requests())]
        again.remove()
        r.eq(got, [(206, "bytes=%d-" % half, etag, packed - half)],
             "one request for the rest of large.dll under nginx's ETag, and only the rest sent")
        r.eq(self.read(base, "large.dll"), large, "large.dll joined from the two runs")
        r.eq(self.leftovers(base), [], "nothing left behind by the resumed run")

        # Within one run: the relay cuts the transfer once, and WinINet takes
        # it up from nginx under its ETag.
        nginx = Nginx(self.site)
        relay = Relay(nginx.port, ["--cut", "500000:" + uri[1:]])
        try:
            base = self.install("resume-nginx-cut", url=relay.url + "resume-nginx/")
            self.put(base, "large.dll", b"old large")
            self.update_in_window(base, "1", "with a cut from nginx")
        finally:
            relay.stop()
            nginx.stop()
        got = sorted((x["range"], x["status"], x["if_range"]) for x in of_large(nginx.requests()))
        sent = sum(x["bytes"] for x in of_large(nginx.requests()))
        nginx.remove()
        print("  large.dll cut once on its way from nginx: nginx sent %d bytes of a %d-byte file"
              % (sent, packed), flush=True)
        r.eq(got, [("", 200, ""), ("bytes=500000-", 206, etag)],
             "the cut transfer taken up from nginx under its ETag")
        r.check(sent <= packed * 1.1, "nginx sent large.dll about once: %d of %d" % (sent, packed))
        r.eq(self.read(base, "large.dll"), large, "large.dll joined from the cut transfer")

    def restart(self):
        r = self.r
        self.update_set("restart").write_manifest()
        for args, folder_arg in ((["-after"], False), ([], False), (["x y"], True)):
            base = self.install("restart", ProgExe="restart.bat", Restart=1)
            prog = base
            if folder_arg:
                prog = fresh_dir(os.path.join(self.work, "restart-prog"))
                args = args + [winpath(prog)]
            self.put(prog, "restart.bat", b"@echo [%1]> restarted.txt\r\n", old=False)
            proc = self.start(base, args)
            self.wine.driver("wait-text", CAPTION, "7", "Keine Aktualisierung erforderlich.")
            self.wine.driver("close", CAPTION)
            r.check(self.ended(proc), "client ends")
            marker = None
            # The restarted batch file may still be writing its line.
            for _ in range(100):
                marker = self.read(prog, "restarted.txt")
                if marker and marker.endswith(b"\n"):
                    break
                time.sleep(0.1)
            # A batch file's %1 keeps the quotes that hold the argument together.
            want = b"[%s]\r\n" % (args[0].encode() if args and not folder_arg else
                                 b'"x y"' if folder_arg else b"")
            r.eq(marker, want, "restart with %r" % (args,))

    # --- whole updates, files in use, the client's own executable -------------

    def tree(self, base):
        """Files (with content) and folders below an installation, without the
        client's own."""
        files, folders = {}, set()
        for dirpath, dirnames, filenames in os.walk(base):
            rel = os.path.relpath(dirpath, base)
            if rel.split(os.sep)[0] == "Quasto":
                continue
            if rel != ".":
                folders.add(rel.replace(os.sep, "\\") + "\\")
            for n in filenames:
                if rel == "." and n == "Quastorell.exe":
                    continue
                key = n if rel == "." else rel.replace(os.sep, "\\") + "\\" + n
                files[key] = self.read(dirpath, n)
        return files, folders

    def leftovers(self, base):
        odd = []
        for dirpath, dirnames, filenames in os.walk(base):
            for n in filenames:
                if ".~q" in n or n.endswith(".bak") or ".tmp~" in n or "Quastorell.journal" in n:
                    odd.append(os.path.relpath(os.path.join(dirpath, n), base))
        return odd

    def journal_state(self, base):
        try:
            with open(os.path.join(base, "Quasto", "Quastorell.journal"), "rb") as f:
                lines = f.read().split(b"\n")
        except OSError:
            return None
        return lines[1].decode() if len(lines) > 1 else ""

    def set_url(self, base, url):
        path = os.path.join(base, "Quasto", "Quastorell.ucf")
        with open(path) as f:
            cfg = json.load(f)
        cfg["URL"] = url
        with open(path, "w") as f:
            f.write(json.dumps(cfg, separators=(", ", ": ")))

    def killed_update(self):
        """Timed kills during a 20-file update, with new folders, deletes and a
        program to run; then one start with no server to reach. Every kill must
        leave version 1 or version 2, and nothing temporary."""
        r = self.r
        s = self.update_set("killed")
        v1, v2 = {}, {}
        for i in range(12):
            rel = "lib\\f%d.dll" % i
            v1[rel] = (b"version 1 of f%d;" % i) * (800 + 97 * i)
            v2[rel] = (b"version 2 of f%d;" % i) * (900 + 89 * i)
        for i in range(4):
            v2["plugins\\a\\p%d.dll" % i] = (b"plugin %d;" % i) * 3000
        v2["docs\\de\\Hilfe.txt"] = b"Hilfe zu Version 2\r\n"
        v2["empty.log"] = b""
        v2["app.exe"] = b"MZ app version 2" * 4000
        v1["app.exe"] = b"MZ app version 1" * 3000
        v1["old.txt"] = b"only in version 1"
        for rel, content in v2.items():
            s.add(rel.rpartition("\\")[0] + "\\" if "\\" in rel else "",
                  rel.rpartition("\\")[2], content, NEW, sha256=True)
        # Writes its mark into the installation when it runs.
        post = b"@echo ran> ran.txt\r\n"
        s.add("tools\\", "post.bat", post, NEW, flags=16, sha256=True)
        v2["tools\\post.bat"] = post
        s.add("", "old.txt", flags=4)
        s.write_manifest()
        old = (v1, {"lib\\"})
        new = (v2, {"lib\\", "plugins\\", "plugins\\a\\", "docs\\", "docs\\de\\", "tools\\"})

        # When to kill: a moment after the journal shows a phase, or once
        # the commit is over (the program runs and the log is written then).
        plans = [("stage", 0.0), ("stage", 0.2), ("commit", 0.0), ("commit", 0.0),
                 ("commit", 0.0), ("commit", 0.003), ("done", 0.0)]
        seen = {}
        for phase, delay in plans:
            t0 = time.time()
            base = self.install("killed")
            for rel, content in v1.items():
                self.put(base, rel.replace("\\", "/"), content)
            proc = self.start(base)
            rc, _ = self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")
            r.eq(rc, 0, "analysis before the kill")
            self.wine.driver("click", CAPTION, "10")
            at, commit_seen, deadline = "late", False, time.time() + 30
            journal_seen = False
            while time.time() < deadline:
                state = self.journal_state(base)
                commit_seen = commit_seen or state == "commit"
                if (state == phase or
                        (phase == "done" and (commit_seen or journal_seen) and state is None)):
                    time.sleep(delay)
                    at = phase
                    break
                if proc.poll() is not None:
                    break
                # A commit quicker than the polling: the phase has passed.
                if journal_seen and state is None and phase != "done":
                    break
                journal_seen = journal_seen or state is not None
            state = self.journal_state(base)
            proc.kill()
            proc.wait()
            seen[at + "/" + str(state)] = seen.get(at + "/" + str(state), 0) + 1

            killed = self.tree(base)
            files = {k: v for k, v in killed[0].items() if k != "tools\\ran.txt"}
            before = ("old" if (files, killed[1]) == old else
                      "new" if (files, killed[1]) == new else "mixed")
            if "tools\\ran.txt" in killed[0]:
                r.check((files, killed[1]) == new,
                        "the program ran on the whole new version (%s+%s)" % (phase, delay))
            # The next start, with no server to reach, ends the job.
            self.set_url(base, "http://127.0.0.1:1/")
            proc = self.start(base)
            box = self.msgbox()
            r.eq(box.split("|")[2], "error", "ErrorURL after the kill (%s)" % box)
            r.check(self.ended(proc), "client ends")
            files, folders = self.tree(base)
            files.pop("tools\\ran.txt", None)
            r.check((files, folders) == old or (files, folders) == new,
                    "all old or all new after a kill at %s+%ss: %s" % (
                        phase, delay, sorted(set(files) ^ set(new[0]))))
            r.eq(self.leftovers(base), [], "nothing temporary after a kill at %s+%ss" % (phase, delay))
            print("  kill at %s+%ss: journal %s, installation %s, %.1f s" % (
                phase, delay, state, before, time.time() - t0), flush=True)
        print("  kills by the journal's state at the kill: %s" % seen, flush=True)

    def held_by_helper(self):
        """A running program's own executable cannot be replaced, only renamed:
        the old version steps aside and goes once the program has ended."""
        r = self.r
        helper = open(os.path.join(self.wine.bin, "ui_driver.exe"), "rb").read()
        newer = helper + b"\0" * 512 + b"helper version 2"
        s = self.update_set("held")
        s.add("bin\\", "helper.exe", newer, NEW, sha256=True)
        s.write_manifest()
        base = self.install("held")
        self.put(base, "bin/helper.exe", helper)
        running = self.wine.start(os.path.join(base, "bin", "helper.exe"), ["sleep", "60000"])
        time.sleep(2)
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
             "analysis")
        self.wine.driver("click", CAPTION, "10")
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")[0], 0,
             "update finished without a message")
        r.eq(self.read(base, "bin/helper.exe"), newer, "held file replaced")
        r.eq(running.poll(), None, "the helper still runs")
        r.eq(self.read(base, "bin/helper.exe.bak"), helper, "its old version stepped aside")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")
        log = self.read(base, "Quasto/Quastorell.log") or b""
        r.check(b"-> helper.exe (" in log and b"Error" not in log, "log: %r" % log)

        running.kill()
        running.wait()
        time.sleep(0.5)  # until Wine has let go of the image
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Keine Aktualisierung erforderlich.")[0],
             0, "next start: nothing to do")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")
        r.eq(self.leftovers(base), [], "the old version is gone, and the journal")

    def self_update(self):
        r = self.r
        exe = open(os.path.join(self.wine.bin, "Quastorell.exe"), "rb").read()
        newer = exe + b"\0" * 512 + b"Quastorell, the next version"
        s = self.update_set("self")
        s.add("", "Quastorell.exe", newer, NEW, sha256=True)
        s.add("", "Tool.exe", b"tool 2", NEW, sha256=True)
        s.write_manifest()
        base = self.install("self")
        self.put(base, "Tool.exe", b"tool 1")
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
             "analysis")
        r.eq(self.text(4), "2", "the client itself is one of the files")
        self.wine.driver("click", CAPTION, "10")
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")[0], 0,
             "update finished without a message")
        r.eq(self.read(base, "Quastorell.exe"), newer, "replaced while it runs")
        r.eq(self.read(base, "Quastorell.exe.bak"), exe, "the running version stepped aside")
        r.eq(self.read(base, "Tool.exe"), b"tool 2", "Tool.exe replaced")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")
        log = self.read(base, "Quasto/Quastorell.log") or b""
        r.check(b"-> Quastorell.exe (" in log and b"Error" not in log, "log: %r" % log)

        # The new client starts, deletes its old version and finds nothing to do.
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Keine Aktualisierung erforderlich.")[0],
             0, "the new client runs")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")
        r.eq(self.leftovers(base), [], "the old client is gone, and the journal")

    def restart_quoted_argument(self):
        """An argument with blanks, quotes, a backslash before a quote and
        non-ASCII letters reaches the restarted program as one argument; an
        escaped quote does not make the client misread the program folder."""
        r = self.r
        self.update_set("qarg").write_manifest()
        base = self.install("qarg", ProgExe="app.exe", Restart=1)
        prog = fresh_dir(os.path.join(self.work, "prog dir"))
        shutil.copy(os.path.join(self.wine.bin, "record_args.exe"), os.path.join(prog, "app.exe"))
        for argument, written in (
                ('/file=C:\\My Docs\\a b.txt', '"/file=C:\\My Docs\\a b.txt"'),
                ('say "hi" \u00e4\u0418 C:\\x\\', '"say \\"hi\\" \u00e4\u0418 C:\\x\\\\"'),
                ('a\\"b', 'a\\\\\\"b')):
            try:
                os.remove(os.path.join(prog, "args.txt"))
            except OSError:
                pass
            line = '"%s" %s "%s\\"' % (winpath(os.path.join(base, "Quastorell.exe")), written,
                                      winpath(prog))
            r.eq(self.wine.driver("spawn", line, winpath(base), lang=GERMAN)[0], 0,
                 "started: " + line)
            r.eq(self.wine.driver("wait-text", CAPTION, "7", "Keine Aktualisierung erforderlich.")[0],
                 0, "client runs")
            self.wine.driver("close", CAPTION)
            r.eq(self.wine.driver("gone", CAPTION, "20000")[0], 0, "client ends")
            got = None
            for _ in range(100):
                got = self.read(prog, "args.txt")
                if got:
                    break
                time.sleep(0.1)
            r.eq(got, ("%s\n%s\n" % (winpath(os.path.join(prog, "app.exe")), argument)).encode(),
                 "restarted with %r" % argument)

    def restart_quoted_folder(self):
        """A caller that quotes a folder ending in a backslash, as shortcuts
        do: the C runtime would read it as ending in a quote."""
        r = self.r
        self.update_set("quoted").write_manifest()
        base = self.install("quoted", ProgExe="restart.bat", Restart=1)
        prog = fresh_dir(os.path.join(self.work, "prog dir"))
        self.put(prog, "restart.bat", b"@echo [%1]> restarted.txt\r\n", old=False)
        line = '"%s" -x "%s\\"' % (winpath(os.path.join(base, "Quastorell.exe")), winpath(prog))
        r.eq(self.wine.driver("spawn", line, winpath(base), lang=GERMAN)[0], 0, "started: " + line)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Keine Aktualisierung erforderlich.")[0],
             0, "client runs")
        self.wine.driver("close", CAPTION)
        r.eq(self.wine.driver("gone", CAPTION, "20000")[0], 0, "client ends")
        marker = None
        for _ in range(100):
            marker = self.read(prog, "restarted.txt")
            if marker:
                break
            time.sleep(0.1)
        r.eq(marker, b"[-x]\r\n", "restarted in the quoted folder")

    # --- under attack and under faults ----------------------------------------

    def case_renames(self):
        """A release renamed readme.txt to ReadMe.txt and gave the old name
        Delete; A.txt was renamed alike. Windows finds both spellings as one
        file: the new content is placed and stays. Two entries for one file
        (cfg.ini and cfg.ini.): the first is taken, the second refused."""
        r = self.r
        s = self.update_set("rename")
        s.add("", "ReadMe.txt", b"renamed readme", NEW)
        s.add("", "readme.txt", flags=4)
        s.add("", "a.txt", flags=4)
        s.add("", "A.txt", b"renamed a", NEW)
        s.add("", "cfg.ini", b"first cfg", NEW)
        s.add("", "cfg.ini.", b"second cfg", NEW)
        s.write_manifest()
        base = self.install("rename")
        self.put(base, "readme.txt", b"old readme")
        self.put(base, "a.txt", b"old a")
        self.put(base, "cfg.ini", b"old cfg")
        self.update_in_window(base, "3", "of renamed files")

        def content(name):
            found = [n for n in os.listdir(base) if n.lower() == name.lower()]
            return [self.read(base, n) for n in found]
        r.eq(content("readme.txt"), [b"renamed readme"], "ReadMe.txt placed, not deleted")
        r.eq(content("a.txt"), [b"renamed a"], "A.txt placed, not deleted")
        r.eq(content("cfg.ini"), [b"first cfg"], "cfg.ini from the first entry")
        log = self.read(base, "Quasto/Quastorell.log") or b""
        r.check(b"-> Update Error: cfg.ini. (another entry names the same file: cfg.ini)\n" in log
                and b"Delete" not in log, "log: %r" % log)

    def damaged_manifests(self):
        """What is no one complete manifest is a manifest error: an HTML page
        sent as 200, a body not asked for in gzip, a 206, a body one byte
        short, bytes after the JSON, a chunked body cut inside the JSON.
        Never "Keine Aktualisierung erforderlich.", and nothing changes."""
        r = self.r
        s = self.update_set("damaged")
        s.add("", "app.txt", b"new app", NEW)
        s.write_manifest()
        good = self.read(self.site, "damaged/Quastorell.uif")
        html = os.path.join(self.site, "html")
        os.makedirs(html, exist_ok=True)
        with open(os.path.join(html, "Quastorell.uif"), "wb") as f:
            f.write(b"<html><body>Wartungsarbeiten</body></html>")
        trailing = os.path.join(self.site, "trailing")
        os.makedirs(trailing, exist_ok=True)
        for name in os.listdir(os.path.join(self.site, "damaged")):
            shutil.copy(os.path.join(self.site, "damaged", name), trailing)
        with open(os.path.join(trailing, "Quastorell.uif"), "wb") as f:
            f.write(good + b"\n<!-- cache -->")
        message = (" %s|Die Update-Informationen sind besch\u00e4digt oder unvollst\u00e4ndig.\\n"
                   "Aktualisierung wird abgebrochen.  |error" % TITLE)
        for where in ("html/", "trailing/", "gzip/damaged/", "partial/damaged/", "short/damaged/",
                      "chunkhalf/damaged/"):
            base = self.install("damaged-run", url=self.web.url + where)
            self.put(base, "app.txt", b"old app")
            proc = self.start(base)
            r.eq(self.msgbox(), message, "manifest error for " + where)
            r.check(self.ended(proc), "client ends after " + where)
            r.eq(self.read(base, "app.txt"), b"old app", "nothing changed by " + where)
        # Asked for identity, a server that compresses otherwise sends the
        # body as it is; and a whole chunked body is a whole body.
        for where in ("identity-only/damaged/", "chunked/damaged/"):
            base = self.install("damaged-run", url=self.web.url + where)
            self.put(base, "app.txt", b"old app")
            self.update_in_window(base, "1", "through " + where)
            r.eq(self.read(base, "app.txt"), b"new app", "updated through " + where)

    def large_manifest(self):
        """20,000 entries in 20 folders, all current: the analysis takes
        seconds, not the minutes that a check of each folder for each entry
        took under Wine."""
        r = self.r
        base = self.install("large")
        os.makedirs(os.path.join(self.site, "large"), exist_ok=True)
        parts = []
        for i in range(20000):
            folder = "d%02d" % (i // 1000)
            if i % 1000 == 0:
                os.makedirs(os.path.join(base, folder))
            self.put(base, "%s/f%05d.dat" % (folder, i), b"", old=False)
            parts.append('"%s\\\\f%05d.dat": {"Path": "%s\\\\", "Name": "f%05d.dat", "Date": 5, '
                         '"Type": "F"}' % (folder, i, folder, i))
        with open(os.path.join(self.site, "large", "Quastorell.uif"), "w") as f:
            f.write("{" + ", ".join(parts) + "}")
        started = time.time()
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Keine Aktualisierung erforderlich.",
                              "60000", timeout=90)[0], 0, "analysis of 20,000 entries")
        elapsed = time.time() - started
        print("  20,000 entries analysed in %.1f s" % elapsed, flush=True)
        r.check(elapsed < 30, "within 30 s: %.1f s" % elapsed)
        r.eq(self.text(4), "0", "nothing to do")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")

    def look_alikes_and_runs(self):
        """A program to run named "..＼outside.bat" (FULLWIDTH REVERSE SOLIDUS)
        with a decoy one folder up: refused, nothing runs outside. A program in
        a Cyrillic folder runs. A user's own Tool.exe.bak stays."""
        r = self.r
        s = self.update_set("lookalike")
        for sep in ("\uff3c", "\u2215", "\uff0f"):
            s.add("", ".." + sep + "outside.bat", b"@echo inside> marker.txt\r\n", NEW, flags=16)
        s.add("\u0418\u0432\u0430\u043d\\", "run.bat", b"@echo ran> marker.txt\r\n", NEW, flags=16)
        s.add("", "Tool.exe", b"tool 2", NEW)
        s.add("", "bad.exe", b"MZ this is no program", NEW, flags=16)
        s.write_manifest()
        base = self.install("lookalike")
        self.put(base, "Tool.exe", b"tool 1")
        self.put(base, "Tool.exe.bak", b"the user's own backup")
        decoy = os.path.join(self.work, "outside.bat")
        with open(decoy, "wb") as f:
            f.write(b"@echo outside> outside-ran.txt\r\n")
        try:
            proc = self.start(base)
            r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
                 "analysis")
            r.eq(self.text(4), "3", "the look-alikes are no actions")
            self.wine.driver("click", CAPTION, "10")
            r.eq(self.msgbox(),
                 " Quastorell|Programm konnte nicht gestartet werden:\\nbad.exe|warning",
                 "a program that did not start is said")
            r.eq(self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")[0], 0,
                 "update finished")
            self.wine.driver("close", CAPTION)
            r.check(self.ended(proc), "client ends")
            r.eq(os.path.exists(os.path.join(self.work, "outside-ran.txt")), False,
                 "nothing ran one folder up")
            r.eq(self.read(base, "\u0418\u0432\u0430\u043d/marker.txt"), b"ran\r\n",
                 "the program in the Cyrillic folder ran")
            r.eq(self.read(base, "Tool.exe"), b"tool 2", "Tool.exe replaced")
            r.eq(self.read(base, "Tool.exe.bak"), b"the user's own backup", "the user's .bak stays")
            log = self.read(base, "Quasto/Quastorell.log") or b""
            r.check(log.count(b"-> Update Error: ..") == 3 and b"-> Run: run.bat\n" in log and
                    b"-> Run Error: bad.exe\n" in log, "log: %r" % log)
        finally:
            os.remove(decoy)

    def own_files_and_links(self):
        """A manifest that deletes the client's configuration, texts and
        executable and replaces its configuration, and a folder link inside
        the installation that leads out of it."""
        r = self.r
        outside = fresh_dir(os.path.join(self.work, "outside"))
        evil = json.dumps({"ProgInfo": "evil", "ProgExe": "..\\outside\\x.bat", "Restart": 1,
                           "Mutex": "", "URL": "http://127.0.0.1:1/"}).encode()
        s = self.update_set("ownfiles")
        s.entries["replace the configuration"] = s.add("Quasto\\", "Quastorell.ucf", evil, NEW)
        s.add("Quasto\\", "Quastorell.ucf", flags=4)
        s.add("Quasto\\", "quastorell.lng", flags=4)
        s.add("", "QUASTORELL.EXE", flags=4)
        s.add("data\\", "new.txt", b"written outside?", NEW)
        s.add("", "app.txt", b"app 2", NEW)
        s.write_manifest()
        base = self.install("ownfiles")
        os.symlink(outside, os.path.join(base, "data"))
        ucf = self.read(base, "Quasto/Quastorell.ucf")
        self.update_in_window(base, "1", "of only app.txt")
        r.eq(self.read(base, "app.txt"), b"app 2", "app.txt")
        r.eq(self.read(base, "Quasto/Quastorell.ucf"), ucf, "configuration kept")
        r.check(self.read(base, "Quasto/Quastorell.lng") is not None, "texts kept")
        r.check(self.read(base, "Quastorell.exe") is not None, "client kept")
        r.eq(os.listdir(outside), [], "nothing written through the link")
        # And the next run works as before.
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Keine Aktualisierung erforderlich.")[0],
             0, "the next run")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")

    def two_runs(self):
        """While one run waits with its window open, a second one says that an
        update is already running, and ends."""
        r = self.r
        s = self.update_set("tworuns")
        s.add("", "app.txt", b"app 2", NEW)
        s.write_manifest()
        base = self.install("tworuns")
        first = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
             "the first run's analysis")
        second = self.start(base)
        r.eq(self.msgbox(), " %s|Es l\u00e4uft bereits eine Aktualisierung.\\nDieser Start wird "
             "beendet.  |information" % TITLE, "UpdateRuns")
        r.check(self.ended(second), "the second run ends")
        self.wine.driver("click", CAPTION, "10")
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")[0], 0,
             "the first run updates")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(first), "the first run ends")
        r.eq(self.read(base, "app.txt"), b"app 2", "app.txt")

    def languages(self):
        r = self.r
        self.update_set("lang").write_manifest()
        for lang, want in ((GERMAN, "Keine Aktualisierung erforderlich."),
                           (ENGLISH, "No update required.")):
            base = self.install("lang")
            proc = self.start(base, lang=lang)
            r.eq(self.wine.driver("wait-text", CAPTION, "7", want)[0], 0, "status in " + lang)
            self.wine.driver("close", CAPTION)
            r.check(self.ended(proc), "client ends")

    # At 144 DPI the window and its controls grow with the fonts, and every
    # text shows whole.
    def high_dpi(self):
        r = self.r
        s = self.update_set("dpi")
        s.add("", "Tool.exe", b"new tool " * 5000, NEW)
        s.write_manifest()
        base = self.install("dpi")
        self.put(base, "Tool.exe", b"old tool")
        self.wine.set_dpi(144)
        try:
            proc = self.start(base)
            r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
                 "analysis finished")
            r.eq(self.wine.driver("client", CAPTION)[1], "495 225", "inner size follows the DPI")
            bold, regular, gui = ("Arial", 9, "bold"), ("Arial", 9, "normal"), ("system", 0, "normal")
            check_fits(self.wine, r, CAPTION, [(4, "label") + bold, (5, "label") + bold,
                                               (7, "label") + regular, (10, "button") + bold,
                                               (9, "frame") + gui], 144)
            self.x.screenshot(os.path.join(self.artifacts, "client-window-144dpi.png"))
            self.wine.driver("close", CAPTION)
            r.check(self.ended(proc), "client ends when its window is closed")
        finally:
            self.wine.set_dpi(96)

    # --- runs no one watches ----------------------------------------------------

    def run_watch(self, base, args, timeout_ms=90000):
        """Runs the client to its end while the UI driver watches its
        top-level windows: (exit code, captions of the visible ones)."""
        line = '"%s"' % winpath(os.path.join(base, "Quastorell.exe")) + "".join(
            " " + a for a in args)
        rc, out = self.wine.driver("run-watch", line, winpath(base), str(timeout_ms),
                                   timeout=timeout_ms / 1000 + 30, lang=GERMAN)
        if rc != 0:
            return None, [out]
        lines = out.split("\n")
        code, count = lines[0].split()
        return int(code), lines[1:1 + int(count)]

    def result(self, base):
        try:
            return json.loads(self.read(base, "Quasto/Quastorell.result").decode("utf-8"))
        except (AttributeError, ValueError):
            return {}

    def minisign(self, keys, key, manifest=None):
        """Makes the key pair `key` in `keys` (without a password), or signs
        the manifest with it; returns the public key file."""
        pub, sec = os.path.join(keys, key + ".pub"), os.path.join(keys, key + ".key")
        if manifest is None:
            subprocess.run(["minisign", "-G", "-W", "-p", pub, "-s", sec], check=True,
                           capture_output=True)
        else:
            subprocess.run(["minisign", "-S", "-s", sec, "-m", manifest], check=True,
                           capture_output=True)
        return pub

    def tell_cache(self, base, key, was_hex, now_hex):
        """Rewrites the hash cache's entry of `key` to say `now_hex`, its
        check sum made to match: a cache deceived behind the client's back."""
        path = os.path.join(base, "Quasto", "Quastorell.hash")
        text = self.read(base, "Quasto/Quastorell.hash").decode("utf-8")
        body = text[:text.rindex("end\t")]
        lines = body.split("\n")
        for i, line in enumerate(lines):
            if line.endswith("\t" + key) and line.startswith(was_hex):
                lines[i] = now_hex + line[len(was_hex):]
        body = "\n".join(lines)
        with open(path, "w", newline="") as f:
            f.write(body + "end\t%08x\n" % zlib.crc32(body.encode("utf-8")))

    def unattended_runs(self):
        """--check, --unattended (with a held mutex, waited for or not) and
        --repair on a signed update, with no window of the client ever seen."""
        r = self.r
        keys = fresh_dir(os.path.join(self.work, "keys"))
        good_pub = self.minisign(keys, "good")
        self.minisign(keys, "other")
        new_tool = b"new tool " * 2000
        s = self.update_set("unatt")
        s.add("", "Tool.exe", new_tool, NEW, sha256=True)
        s.write_manifest()
        self.minisign(keys, "good", os.path.join(self.site, "unatt", "Quastorell.uif"))
        base = self.install("unatt", Mutex="UnattMutex", ProgExe="restart.bat", Restart=1)
        shutil.copy(good_pub, os.path.join(base, "Quasto", "Quastorell.pub"))
        self.put(base, "Tool.exe", b"old tool")
        self.put(base, "restart.bat", b"@echo [%1]> restarted.txt\r\n", old=False)

        r.eq(self.run_watch(base, ["--check", "-x"]), (6, []), "--check: waiting, no window")
        res = self.result(base)
        r.eq((res.get("StatusWord"), res.get("Planned"), res.get("SignatureChecked")),
             ("update-waiting", ["Fetch: Tool.exe"], True), "--check's result file")
        r.eq(self.read(base, "Tool.exe"), b"old tool", "--check changes nothing")
        r.eq(self.read(base, "restarted.txt"), None, "--check restarts nothing")
        r.eq(self.run_watch(base, ["--wait-seconds", "soon"]), (9, []), "wrong option: 9")

        # The program holds its mutex: no wait, then a wait that outlasts it.
        holder = self.wine.start(os.path.join(self.wine.bin, "ui_driver.exe"),
                                 ["hold-mutex", "UnattMutex", "9000"])
        time.sleep(1.5)
        r.eq(self.run_watch(base, ["--unattended"]), (8, []), "held mutex: 8, no message box")
        r.eq(self.read(base, "Tool.exe"), b"old tool", "nothing changed under the program")
        r.eq(self.result(base).get("Messages"),
             [{"Kind": "error",
               "Text": "Sie m\u00fcssen das Programm vor dem Update schlie\u00dfen."}],
             "the message that was not shown")
        r.eq(self.run_watch(base, ["--unattended", "--wait-seconds", "60", "-x"]), (0, []),
             "waited for the program, then updated without a window")
        holder.wait(timeout=30)
        r.eq(self.read(base, "Tool.exe"), new_tool, "updated")
        res = self.result(base)
        r.eq((res.get("StatusWord"), res.get("Changed"), res.get("SignatureChecked"),
              res.get("Mode")), ("updated", ["Tool.exe"], True, "unattended"), "result file")
        marker = None
        for _ in range(100):
            marker = self.read(base, "restarted.txt")
            if marker:
                break
            time.sleep(0.1)
        r.eq(marker, b"[-x]\r\n", "restarted as configured")
        r.eq(self.run_watch(base, ["--check"]), (0, []), "--check: nothing to do")

        # A byte changed that the hash cache does not know of.
        damaged = b"N" + new_tool[1:]
        self.put(base, "Tool.exe", damaged)
        self.run_watch(base, ["--check"])
        self.tell_cache(base, "Tool.exe", hashlib.sha256(damaged).hexdigest(),
                        hashlib.sha256(new_tool).hexdigest())
        r.eq(self.run_watch(base, ["--check"]), (0, []), "the deceived cache is believed")
        r.eq(self.run_watch(base, ["--unattended", "--repair"]), (0, []), "--repair, no window")
        r.eq(self.read(base, "Tool.exe"), new_tool, "repaired")
        r.eq(self.result(base).get("Changed"), ["Tool.exe"], "the repair's result")

        # Signed with a key the installation does not trust.
        s = self.update_set("refused")
        s.add("", "Tool.exe", new_tool, NEW, sha256=True)
        s.write_manifest()
        self.minisign(keys, "other", os.path.join(self.site, "refused", "Quastorell.uif"))
        base = self.install("refused")
        shutil.copy(good_pub, os.path.join(base, "Quasto", "Quastorell.pub"))
        self.put(base, "Tool.exe", b"old tool")
        r.eq(self.run_watch(base, ["--unattended"]), (7, []), "refused signature: 7, no window")
        r.eq(self.read(base, "Tool.exe"), b"old tool", "nothing changed")
        res = self.result(base)
        r.eq((res.get("StatusWord"), res.get("SignatureChecked")), ("refused-manifest", False),
             "refused in the result file")
        log = (self.read(base, "Quasto/Quastorell.log") or b"").decode("cp1252", "replace")
        r.check("-> Message (error): " in log, "the message is logged: " + log)

        # A read-only file to delete stays, with no message: the result names it.
        s = self.update_set("readonly")
        s.add("", "Tool.exe", new_tool, NEW)
        s.add("", "old.txt", flags=4)
        s.write_manifest()
        base = self.install("readonly")
        self.put(base, "Tool.exe", b"old tool")
        self.put(base, "old.txt", b"read-only")
        os.chmod(os.path.join(base, "old.txt"), 0o444)
        r.eq(self.run_watch(base, ["--unattended"]), (1, []), "a delete failed: 1, no window")
        res = self.result(base)
        r.eq((res.get("Changed"), res.get("Deleted"), res.get("Failed")),
             (["Tool.exe"], [],
              [{"File": "old.txt", "Reason": "Datei konnte nicht aktualisiert werden"}]),
             "the file that was not deleted is in the result")

    def run(self, selected=lambda case: True):
        try:
            for name in ("full_update", "url_errors", "mutex_held", "program_running",
                         "corrupt_download", "content_decides", "restart", "restart_quoted_folder",
                         "self_update", "held_by_helper", "killed_update", "many_files",
                         "languages", "high_dpi", "look_alikes_and_runs", "own_files_and_links",
                         "two_runs", "case_renames", "damaged_manifests", "large_manifest",
                         "restart_quoted_argument", "redirects_and_cache", "dead_servers",
                         "unattended_runs", "close_cancels", "resumed_transfers"):
                if selected(name):
                    self.r.run(name, getattr(self, name))
        finally:
            self.web.stop()
            self.wine.wait_idle()
            self.x.stop()
        return self.r.finish()


if __name__ == "__main__":
    # The log's date is the client's local date; read ours in the same zone.
    os.environ.setdefault("TZ", "Europe/Berlin")
    time.tzset()
    build, shard, selected = parse_args(sys.argv, SHARDS)
    sys.exit(ClientGuiTest(build, shard).run(selected))
