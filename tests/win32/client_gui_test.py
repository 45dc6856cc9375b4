#!/usr/bin/env python3
"""GUI tests of Quastorell.exe under Wine and Xvfb, driven only through its
window and message boxes, against a real local web server.

  client_gui_test.py BUILD_DIR
"""
import calendar
import hashlib
import json
import os
import shutil
import sys
import time

from gui_harness import winpath, SOURCE, Results, WebServer, Wine, Xvfb, fresh_dir
from update_set import UpdateSet

NEW = calendar.timegm((2025, 8, 9, 10, 11, 12))
OLD_MTIME = calendar.timegm((2020, 1, 1, 0, 0, 0))
TITLE = "Demo 2.0 (07.12.2026)"
CAPTION = " " + TITLE
GERMAN = "de_DE.UTF-8"
ENGLISH = "en_US.UTF-8"


class ClientGuiTest:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.work = fresh_dir(os.path.join(self.build, "gui-tests", "client"))
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
        proc = self.start(base)
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Auswertung abgeschlossen.")[0], 0,
             "analysis finished")
        r.eq(self.text(4), "50", "count")
        self.wine.driver("click", CAPTION, "10")
        r.eq(self.wine.driver("wait-text", CAPTION, "7", "Aktualisierung komplett.")[0], 0,
             "update finished")
        self.wine.driver("close", CAPTION)
        r.check(self.ended(proc), "client ends")
        for i in range(50):
            r.eq(self.read(base, "lib/f%02d.dll" % i), b"new %d " % i * (i * 40 + 1),
                 "f%02d.dll replaced" % i)
        used = self.web.connections() - before
        print("  connections for the manifest and 50 files: %d" % used, flush=True)
        r.check(1 <= used <= 2, "one session reuses its connection: %d connections" % used)

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
            for _ in range(100):
                marker = self.read(prog, "restarted.txt")
                if marker:
                    break
                time.sleep(0.1)
            want = b"[%s]\r\n" % (args[0].encode() if args and not folder_arg else
                                 b"x" if folder_arg else b"")
            r.eq(marker, want, "restart with %r" % (args,))

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

    def run(self, only=()):
        try:
            for name in ("full_update", "url_errors", "mutex_held", "program_running",
                         "corrupt_download", "content_decides", "many_files", "restart",
                         "languages"):
                if not only or name in only:
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
    only = sys.argv[2:]
    sys.exit(ClientGuiTest(sys.argv[1]).run(only))
