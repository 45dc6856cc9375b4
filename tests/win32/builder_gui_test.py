#!/usr/bin/env python3
"""GUI tests of QuastorellBuilder.exe under Wine and Xvfb, driven only through
its windows, dialogs, pickers and message boxes.

  builder_gui_test.py BUILD_DIR [TEST ...]
"""
import calendar
import json
import os
import re
import shutil
import subprocess
import sys
import time
import zlib

from gui_harness import (winpath, SOURCE, Results, Wine, Xvfb, check_columns, check_fits,
                         fresh_dir, parse_args)

MAIN = "Internet Update erstellen"
PROJECT_DIALOG = "Projekt - Einstellungen"
FTP_DIALOG = "Konfiguration"
SOURCE_PICKER = "Bitte wählen Sie das Quellverzeichnis mit dem Projekt aus!"
TARGET_PICKER = "Bitte wählen Sie das Zielverzeichnis für die Updater-Dateien aus!"
PROGRAM_PICKER = "Bitte wählen Sie die ausführbare Datei aus!"
PASSWORD_DIALOG = "Signatur"

# The controls whose text must show whole, with the fonts the windows give
# them: (id, kind, face, points, weight[, text]).
A10B = ("Arial", 10, "bold")
A9B = ("Arial", 9, "bold")
A8B = ("Arial", 8, "bold")
GUI = ("system", 0, "normal")
MAIN_CONTROLS = [(54, "label") + A10B, (60, "label") + A10B, (62, "label") + A10B,
                 (57, "button") + A10B, (58, "button") + A10B,
                 (55, "field") + A10B + ("Ag",), (61, "field") + A10B + ("Ag",),
                 (63, "date") + A10B + (" 28.08.2026",)]
PROJECT_CONTROLS = ([(41, "label") + A10B] + [(cid, "label") + A9B for cid in (31, 34, 44, 46)] +
                    [(37, "check") + A9B, (49, "check") + GUI] +
                    [(cid, "frame") + A8B for cid in (39, 50)] +
                    [(cid, "button") + A10B for cid in (33, 36, 48)] + [(52, "button") + GUI] +
                    [(42, "field") + GUI + ("Ag",), (51, "field", "Consolas", 10, "bold", "Ag")] +
                    [(cid, "field", "Consolas", 10, "normal", "Ag") for cid in (32, 35, 38, 45, 47)])
# Fingerprints as ssh and the dialog write them: the field shows them whole.
PIN_A = "SHA256:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU"
PIN_B = "SHA256:ypeBEsobvcr6wjGzmiPcTaeG7/gUfE5yuYB3ha/uSLs"
FTP_CONTROLS = ([(cid, "frame") + A8B for cid in (18, 25, 91, 97)] +
                [(cid, "label") + GUI for cid in (19, 21, 23, 26, 28, 92, 94)] +
                [(cid, "button") + GUI for cid in (17, 96, 100)] +
                [(cid, "field") + GUI + ("Ag",) for cid in (20, 22, 27, 29, 93, 95)] +
                [(24, "entry") + GUI + ("65535",)] +
                [(98, "entry") + GUI + (pin,) for pin in (PIN_A, PIN_B)])
PLAIN_FTP_WARNING = ("FTP - Einstellungen|Mit FTP gehen Benutzername und Passwort "
                     "unverschlüsselt über das Netz: Wer die Verbindung mitliest, kann das Konto "
                     "übernehmen und das Update ersetzen. FTPS und SFTP übertragen sie "
                     "verschlüsselt.\\n\\nSollen die Einstellungen trotzdem mit FTP gespeichert "
                     "werden?|warning")
YES, NO = 6, 7


def scramble(password):
    """The stored form of an FTP password."""
    out = ""
    for c in password:
        o = ord(c)
        if "0" <= c <= "9":
            o += 65
        elif "A" <= c <= "J":
            o -= 17
        elif "K" <= c <= "Z" or "k" <= c <= "z":
            o -= 10
        elif "a" <= c <= "j":
            o -= 16
        out += chr(o)
    return out


def document(value):
    return json.dumps(value, separators=(", ", ": "), ensure_ascii=False)


# The cases in shards of about equal time, each run in its own Wine prefix
# and X server at the same time as the others. "rest" runs all others.
SHARDS = {
    "a": ("create_project", "dialog_keys", "keys_and_names"),
    "b": ("readable_96", "readable_144", "interrupted_generation", "changed_certificate"),
}


class BuilderGuiTest:
    def __init__(self, build, shard=""):
        self.build = os.path.abspath(build)
        self.work = fresh_dir(os.path.join(self.build, "gui-tests",
                                           "builder-" + shard if shard else "builder"))
        self.artifacts = os.path.join(self.build, "artifacts")
        self.x = Xvfb()
        self.wine = Wine(self.build, self.x.display)
        self.r = Results()
        self.ftp_info = os.path.join(self.work, "ftp.info")
        self.ftp = None
        self.secure_info = os.path.join(self.work, "secure.info")
        self.secure = None
        # Wine learns its drives when its server starts: drive Q: must exist
        # before the first program runs, later tests only point it elsewhere.
        self.wine.wait_idle()
        self.drive(self.work)

    # A builder installation: the program with the client files it copies.
    def install(self, name):
        base = fresh_dir(os.path.join(self.work, name))
        for f in ("QuastorellBuilder.exe", "Quastorell.exe", "Quastorell.lng"):
            shutil.copy(os.path.join(self.wine.bin, f), base)
        return base

    def start(self, base):
        proc = self.wine.start(os.path.join(base, "QuastorellBuilder.exe"), cwd=base)
        rc, _ = self.wine.driver("find", MAIN, "30000")
        self.r.check(rc == 0, "main window appears")
        return proc

    def d(self, *args):
        return self.wine.driver(*[str(a) for a in args])

    def text(self, caption, cid):
        return self.d("text", caption, cid)[1]

    def msgbox(self):
        rc, out = self.d("msgbox", "30000")
        self.r.check(rc == 0, "a message box appears")
        return out

    def until(self, cond, seconds=10):
        end = time.time() + seconds
        while time.time() < end:
            if cond():
                return True
            time.sleep(0.2)
        return False

    def ended(self, proc, timeout=30):
        try:
            proc.wait(timeout=timeout)
            return True
        except Exception:
            proc.kill()
            return False

    def close(self, proc):
        self.d("close", MAIN)
        self.r.check(self.ended(proc), "builder ends after its close box")

    def read(self, path):
        try:
            with open(path, "rb") as f:
                return f.read().decode("utf-8")
        except OSError:
            return None

    def shot(self, name):
        time.sleep(0.5)
        self.x.screenshot(os.path.join(self.artifacts, name))

    def rows(self):
        out = self.d("rows", MAIN, 56)[1]
        return [line.split("|") for line in out.splitlines() if line]

    # A project as the builder would have left it, opened by recent slot 1.
    def write_project(self, base, name, rules=(), ftp_dir="demo"):
        projects = os.path.join(base, "Projects")
        os.makedirs(os.path.join(projects, name), exist_ok=True)
        with open(os.path.join(projects, name + ".upf"), "w") as f:
            f.write(document({"Titel": name, "Version": "1.0", "Date": 0, "Source": "Q:\\src\\",
                              "Target": "", "FTPUpload": 1, "FTPDir": ftp_dir}))
        with open(os.path.join(projects, name, "Quastorell.ucf"), "w") as f:
            f.write(document({"ProgInfo": "", "ProgExe": "", "Restart": 0, "Mutex": "",
                              "URL": "http://127.0.0.1/demo/"}))
        manifest = {}
        for key, flags in dict(rules).items():
            path, _, file = key.rpartition("\\")
            manifest[key] = {"Path": path + "\\" if path else "", "Name": file, "Type": "F",
                             "Flags": flags}
        with open(os.path.join(projects, name, "Quastorell.uif"), "w") as f:
            f.write(document(manifest))
        with open(os.path.join(base, "Quastorell.reg"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<Registry><Intern><Last>'
                    '<Project1>%s</Project1></Last></Intern></Registry>\n' % name)

    def ftp_server(self):
        if not self.ftp:
            subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tests", "servers",
                            "ftp_server.py"), "start", self.ftp_info], stdout=subprocess.DEVNULL)
            self.ftp = self.ftp_info
        port, root = open(self.ftp_info).read().split("\n")[:2]
        return port, root

    # vsftpd with TLS required, with a certificate of its own, and sshd with
    # a host key of its own and a user key with a passphrase; both serve one
    # root folder. Returns what its info file says (see secure_server.py).
    def secure_server(self):
        if not self.secure:
            subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tests", "servers",
                            "secure_server.py"), "start", self.secure_info],
                           stdout=subprocess.DEVNULL)
            self.secure = self.secure_info
        lines = open(self.secure_info).read().split("\n")
        return {"ftps_port": int(lines[0]), "sftp_port": int(lines[1]), "root": lines[2],
                "cert_pin": lines[3], "host_pin": lines[4], "ssh_user": lines[5],
                "user_key": "Z:" + lines[6].replace("/", "\\")}

    def source_tree(self, base, files):
        src = os.path.join(base, "src")
        for rel, size in files:
            path = os.path.join(src, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(os.urandom(size))
        return src

    # --- the tests -----------------------------------------------------------

    def empty_start(self):
        r = self.r
        base = self.install("empty")
        proc = self.start(base)
        r.eq(self.d("client", MAIN)[1], "510 429", "inner size")
        for cid in (55, 61):
            r.eq(self.text(MAIN, cid), "", "field %d empty" % cid)
        r.eq(self.rows(), [], "file list empty")
        # Wine keeps menus inside their process, so the recent items are
        # checked by what they do: an empty slot opens nothing.
        for item in (7, 8, 9):
            self.d("menu", MAIN, item)
        time.sleep(0.5)
        r.eq(self.text(MAIN, 55), "", "empty recent slots open no project")
        r.eq(self.text(MAIN, 57), "Erstellen", "button 57")
        r.eq(self.text(MAIN, 58), "Hochladen", "button 58")
        r.eq(self.d("enabled", MAIN, 58)[1], "0", "upload disabled")
        r.eq(self.d("rect", MAIN, 56)[1], "5 40 500 335", "list geometry")
        r.eq(self.d("rect", MAIN, 63)[1], "394 5 96 22", "date control inside container 53")
        self.d("menu", MAIN, 4)
        r.eq(self.msgbox(), "Projekt konfigurieren|Es ist kein Projekt geöffnet.|warning",
             "menu 4 without project")
        r.eq(self.d("find", PROJECT_DIALOG, "500")[0], 1, "no dialog opens")
        self.shot("builder-empty.png")
        rect = self.d("rect", MAIN)[1]
        self.close(proc)
        win = self.read(os.path.join(base, "Quastorell.win")) or ""
        x, y = rect.split()[:2]
        r.check(re.search(r'<Window ID="1" X="%s" Y="%s" Width="510" Hight="\d+" State="0"/>'
                          % (x, y), win), "layout file holds window 1: %r" % win)
        r.check(os.path.exists(os.path.join(base, "Quastorell.reg")), "settings store written")
        r.check(os.path.exists(os.path.join(base, "Quastorell.cfg")), "FTP settings written")

    # The project's folders on a drive of their own: the folder picker walks
    # its tree to the start folder, and a short path keeps that walk short.
    def drive(self, base):
        link = os.path.join(self.wine.prefix, "dosdevices", "q:")
        if os.path.islink(link):
            os.unlink(link)
        os.symlink(base, link)
        return lambda path: "Q:" + path[len(base):].replace("/", "\\")

    def create_project(self):
        r = self.r
        base = self.install("create")
        src = self.source_tree(base, [("app.exe", 3000), ("data/info.txt", 500)])
        target = fresh_dir(os.path.join(base, "out"))
        winpath = self.drive(base)
        # The pickers start at the folders remembered last; answering them with
        # OK chooses those.
        with open(os.path.join(base, "Quastorell.reg"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<Registry><Intern><Last>'
                    '<Source>%s\\</Source><Target>%s\\</Target></Last></Intern></Registry>\n'
                    % (winpath(src), winpath(target)))
        proc = self.start(base)
        self.d("menu", MAIN, 2)
        r.eq(self.d("find", PROJECT_DIALOG, "20000")[0], 0, "project dialog opens")
        self.d("click", PROJECT_DIALOG, 52)
        r.eq(self.msgbox(), "Projekt - Einstellungen|Die Eingaben sind unvollständig!|warning",
             "empty fields refused")
        self.d("set-text", PROJECT_DIALOG, 42, "Demo")
        self.d("click", PROJECT_DIALOG, 33)
        r.eq(self.d("pick", SOURCE_PICKER)[0], 0, "source picker answered")
        r.eq(self.d("wait-text", PROJECT_DIALOG, 32, winpath(src) + "\\")[0], 0, "source field")
        self.d("click", PROJECT_DIALOG, 36)
        r.eq(self.d("pick", TARGET_PICKER)[0], 0, "target picker answered")
        r.eq(self.d("wait-text", PROJECT_DIALOG, 35, winpath(target) + "\\")[0], 0,
             "target field")
        r.eq(self.d("enabled", PROJECT_DIALOG, 38)[1], "0", "FTP directory off")
        self.d("toggle", PROJECT_DIALOG, 37)
        time.sleep(0.3)
        r.eq(self.d("enabled", PROJECT_DIALOG, 38)[1], "1", "FTP directory on with its box")
        self.d("set-text", PROJECT_DIALOG, 38, "demo")
        self.d("set-text", PROJECT_DIALOG, 45, "http://127.0.0.1/demo/")
        self.d("click", PROJECT_DIALOG, 48)
        r.eq(self.d("pick", PROGRAM_PICKER, winpath(os.path.join(src, "app.exe")))[0], 0,
             "program picker answered")
        r.eq(self.d("wait-text", PROJECT_DIALOG, 47, "app.exe")[0], 0, "program relative")
        self.shot("builder-project-dialog.png")
        self.d("click", PROJECT_DIALOG, 52)
        r.eq(self.d("gone", PROJECT_DIALOG, "10000")[0], 0, "dialog closes on apply")
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project name shown")
        rows = sorted(self.rows())
        r.eq([(row[0], row[1], row[2]) for row in rows if row[1]],
             [("1", "app.exe", ""), ("1", "info.txt", "data\\")], "new files checked")
        r.eq(self.d("enabled", MAIN, 58)[1], "0", "upload still disabled")

        self.d("click", MAIN, 57)
        r.eq(self.msgbox(),
             "Projekt erstellen|Es wurden 2 Updater-Dateien erstellt bzw. aktualisiert."
             "|information", "generation message")
        r.check(self.until(lambda: self.d("enabled", MAIN, 58)[1] == "1"),
                "upload enabled after generation")
        r.check(os.path.exists(os.path.join(target, "app[exe].uzf")), "packed file written")
        r.check(os.path.exists(os.path.join(target, "Quasto", "Quastorell.ucf")),
                "client configuration in the set")
        r.check(os.path.exists(os.path.join(target, "Quastorell.exe")), "client in the set")
        self.shot("builder-main-project.png")

        self.d("set-text", MAIN, 61, "2.5")
        self.close(proc)
        upf = self.read(os.path.join(base, "Projects", "Demo.upf")) or ""
        r.check('"Version": "2.5"' in upf, "closing writes the shown version: %r" % upf)
        try:
            project = json.loads(upf)
            client = json.loads(self.read(os.path.join(base, "Projects", "Demo",
                                                       "Quastorell.ucf")) or "{}")
        except ValueError:
            project, client = {}, {}
        r.eq([project.get(k) for k in ("Titel", "Source", "Target", "FTPUpload", "FTPDir")],
             ["Demo", "Q:\\src\\", "Q:\\out\\", 1, "demo"], "project document")
        # The date control's value: today's local date.
        today = calendar.timegm(time.localtime()[:3] + (0, 0, 0))
        r.check(today <= project.get("Date", 0) < today + 86400, "project date is today")
        r.eq([client.get(k) for k in ("ProgExe", "URL", "Restart", "Mutex")],
             ["app.exe", "http://127.0.0.1/demo/", 0, ""], "client configuration")
        r.check(os.path.exists(os.path.join(base, "Projects", "Demo", "Quastorell.uif")),
                "manifest written")
        reg = self.read(os.path.join(base, "Quastorell.reg")) or ""
        r.check("<Project1>Demo</Project1>" in reg, "recent project stored: %r" % reg)

        # Restart: the recent list and the window's place come back.
        with open(os.path.join(base, "Quastorell.win"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<Registry>\n'
                    '  <Window ID="1" X="40" Y="30" Width="510" Hight="520" State="0"/>\n'
                    '</Registry>\n')
        # Enough new data that generating it takes a while.
        for i in range(8):
            with open(os.path.join(src, "big%d.bin" % i), "wb") as f:
                f.write(os.urandom(1500000))
        proc = self.start(base)
        r.eq(self.d("rect", MAIN)[1].split()[:2], ["40", "30"], "position restored")
        inner_before = self.d("client", MAIN)[1].split()
        r.eq(inner_before[0], "510", "width restored")
        # Resize: the buttons move down, the list and its first column stretch.
        b57 = [int(v) for v in self.d("rect", MAIN, 57)[1].split()]
        l56 = [int(v) for v in self.d("rect", MAIN, 56)[1].split()]
        outer = [int(v) for v in self.d("rect", MAIN)[1].split()]
        self.d("place", MAIN, outer[0], outer[1], outer[2], outer[3] + 60)
        time.sleep(0.5)
        b57n = [int(v) for v in self.d("rect", MAIN, 57)[1].split()]
        l56n = [int(v) for v in self.d("rect", MAIN, 56)[1].split()]
        r.eq(b57n, [b57[0], b57[1] + 60, b57[2], b57[3]], "button 57 moves with the bottom")
        r.eq(l56n, [l56[0], l56[1], l56[2], l56[3] + 60], "list grows")
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "recent project opens")
        r.eq(self.text(MAIN, 61), "2.5", "version read back")
        self.rules()
        self.busy_generation_and_upload(src)
        outer = self.d("rect", MAIN)[1]
        self.close(proc)
        win = self.read(os.path.join(base, "Quastorell.win")) or ""
        x, y, w, h = outer.split()
        r.check('X="%s" Y="%s" Width="510"' % (x, y) in win, "new place saved: %r" % win)

    # Menu commands 10 to 13 set the selected row's rule; with no row
    # selected they do nothing.
    def rules(self):
        r = self.r
        self.d("menu", MAIN, 13)
        time.sleep(0.3)
        r.check(all(row[3] == "-----" for row in self.rows()), "no row selected, no rule set")
        self.d("select", MAIN, 56, 1)
        for cid, label in ((11, "IfNotExist"), (12, "NoUpdate"), (13, "Delete"), (10, "-----")):
            self.d("menu", MAIN, cid)
            r.check(self.until(lambda: self.rows()[1][3] == label, 5),
                    "menu %d shows %s" % (cid, label))
        r.eq(self.rows()[0][3], "-----", "other rows unchanged")
        # The popup menu shows over a row, not over the empty area below.
        self.d("rclick", MAIN, 56, 40, 300)
        r.eq(self.d("popup", "1500")[1], "0", "no popup menu without a selected row")
        self.d("rclick", MAIN, 56, 40, 30)
        r.eq(self.d("popup", "5000")[1], "1", "popup menu over a selected row")
        time.sleep(0.5)

    # A close request during a generation is dropped; the progress window
    # shows meanwhile. Then the set goes to a real FTP server.
    def busy_generation_and_upload(self, src):
        r = self.r
        r.eq(len([row for row in self.rows() if row[0] == "1"]), 8, "new files checked")
        self.d("click", MAIN, 57)
        r.eq(self.d("find", "Erzeuge .....", "20000")[0], 0, "progress window appears")
        self.shot("builder-progress.png")
        self.d("close", MAIN)
        r.eq(self.msgbox(), "Projekt erstellen|Es wurden 8 Updater-Dateien erstellt bzw. "
             "aktualisiert.|information", "generation ends")
        r.eq(self.d("find", MAIN, "2000")[0], 0, "close during generation dropped")
        r.eq(self.d("gone", "Erzeuge .....", "5000")[0], 0, "progress window closed")

        # The project's directory on the server does not exist yet: the
        # upload creates it.
        port, root = self.ftp_server()
        self.d("menu", MAIN, 5)
        r.eq(self.d("find", FTP_DIALOG, "20000")[0], 0, "FTP dialog opens")
        for cid, value in ((20, "127.0.0.1"), (24, port), (27, "quasto"), (29, "geheim")):
            self.d("set-text", FTP_DIALOG, cid, value)
        self.d("click", FTP_DIALOG, 17)
        # The local server speaks plain FTP only: saved despite the warning.
        r.eq(self.d("msgbox", "30000", YES)[1], PLAIN_FTP_WARNING, "plain FTP warned about")
        r.eq(self.d("gone", FTP_DIALOG, "10000")[0], 0, "FTP dialog applied")
        self.d("click", MAIN, 58)
        uif = os.path.join(root, "demo", "Quastorell.uif")
        r.check(self.until(lambda: os.path.exists(uif), 60), "manifest uploaded")
        time.sleep(1)
        sent = sorted(os.listdir(os.path.join(root, "demo")))
        r.check("app[exe].uzf" in sent and "big7[bin].uzf" in sent and
                "{data}info[txt].uzf" in sent, "packed files uploaded: %r" % sent)

    # Escape and Enter in the main window run no menu command; "Neue
    # Projekt" refuses the name of an existing project and overwrites nothing.
    def keys_and_names(self):
        r = self.r
        base = self.install("keys")
        self.source_tree(base, [("app.exe", 300), ("data/info.txt", 50)])
        self.drive(base)
        self.write_project(base, "Demo", {"data\\info.txt": 4})
        proc = self.start(base)
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens")
        rows = self.rows()
        self.d("select", MAIN, 56, 0)
        for cid, key in ((56, "ESCAPE"), (56, "RETURN"), (61, "ESCAPE"), (61, "RETURN")):
            self.d("key", MAIN, cid, key)
        r.eq(self.d("find", PROJECT_DIALOG, "2000")[0], 1, "no project dialog after Escape")
        r.eq(self.text(MAIN, 55), "Demo", "the project stays open")
        r.eq(self.rows(), rows, "the list is unchanged")

        self.d("menu", MAIN, 2)
        r.eq(self.d("find", PROJECT_DIALOG, "20000")[0], 0, "project dialog opens")
        # Closing the open project wrote its documents: nothing may change now.
        docs = [os.path.join(base, "Projects", n) for n in
                ("Demo.upf", os.path.join("Demo", "Quastorell.ucf"),
                 os.path.join("Demo", "Quastorell.uif"))]
        before = [self.read(p) for p in docs]
        r.check('"Flags": 4' in (before[2] or ""), "the rule is in the manifest: %r" % before[2])
        self.d("set-text", PROJECT_DIALOG, 42, "demo")
        self.d("set-text", PROJECT_DIALOG, 32, "Q:\\other\\")
        self.d("click", PROJECT_DIALOG, 52)
        r.eq(self.msgbox(), "Projekt - Einstellungen|Ein Projekt mit dem Namen \"demo\" existiert "
             "bereits. Bitte wählen Sie einen anderen Namen!|warning", "existing name refused")
        r.eq(self.d("find", PROJECT_DIALOG, "2000")[0], 0, "the dialog stays open")
        self.d("close", PROJECT_DIALOG)
        r.eq(self.d("gone", PROJECT_DIALOG, "10000")[0], 0, "dialog closed")
        r.eq(self.text(MAIN, 55), "", "no project open")
        self.close(proc)
        r.eq([self.read(p) for p in docs], before, "the existing project is untouched")

    # Escape cancels and Enter confirms in the project and FTP dialogs, as in
    # every Windows dialog (the main window stays as it is: keys_and_names).
    def dialog_keys(self):
        r = self.r
        base = self.install("dialogkeys")
        self.source_tree(base, [("app.exe", 300)])
        self.drive(base)
        self.write_project(base, "Demo")
        ucf = os.path.join(base, "Projects", "Demo", "Quastorell.ucf")
        proc = self.start(base)
        self.d("menu", MAIN, 2)
        r.eq(self.d("find", PROJECT_DIALOG, "20000")[0], 0, "project dialog opens")
        self.d("set-text", PROJECT_DIALOG, 42, "Neu")
        self.d("set-text", PROJECT_DIALOG, 32, "Q:\\src\\")
        self.d("key", PROJECT_DIALOG, 42, "ESCAPE")
        r.eq(self.d("gone", PROJECT_DIALOG, "10000")[0], 0, "Escape closes the new project's dialog")
        r.eq(self.text(MAIN, 55), "", "no project was made")
        r.check(not os.path.exists(os.path.join(base, "Projects", "Neu.upf")), "nothing written")

        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens")
        self.d("menu", MAIN, 4)
        r.eq(self.d("find", PROJECT_DIALOG, "20000")[0], 0, "project dialog opens")
        self.d("set-text", PROJECT_DIALOG, 45, "http://127.0.0.1/neu/")
        self.d("key", PROJECT_DIALOG, 45, "RETURN")
        r.eq(self.d("gone", PROJECT_DIALOG, "10000")[0], 0, "Enter applies and closes")
        r.check(self.until(lambda: '"URL": "http://127.0.0.1/neu/"' in (self.read(ucf) or "")),
                "the applied URL is written: %r" % self.read(ucf))
        self.d("menu", MAIN, 4)
        r.eq(self.d("find", PROJECT_DIALOG, "20000")[0], 0, "project dialog opens again")
        self.d("set-text", PROJECT_DIALOG, 45, "http://verworfen/")
        self.d("key", PROJECT_DIALOG, 45, "ESCAPE")
        r.eq(self.d("gone", PROJECT_DIALOG, "10000")[0], 0, "Escape closes without applying")
        self.d("menu", MAIN, 4)
        r.eq(self.d("find", PROJECT_DIALOG, "20000")[0], 0, "project dialog opens a third time")
        r.eq(self.text(PROJECT_DIALOG, 45), "http://127.0.0.1/neu/", "the dropped URL is gone")
        self.d("set-text", PROJECT_DIALOG, 42, "")
        self.d("key", PROJECT_DIALOG, 42, "RETURN")
        r.eq(self.msgbox(), "Projekt - Einstellungen|Die Eingaben sind unvollständig!|warning",
             "Enter checks the fields as the button does")
        r.eq(self.d("find", PROJECT_DIALOG, "2000")[0], 0, "the dialog stays open")
        self.d("key", PROJECT_DIALOG, 45, "ESCAPE")
        r.eq(self.d("gone", PROJECT_DIALOG, "10000")[0], 0, "Escape closes it")

        self.d("menu", MAIN, 5)
        r.eq(self.d("find", FTP_DIALOG, "20000")[0], 0, "FTP dialog opens")
        self.d("set-text", FTP_DIALOG, 20, "ftp.neu")
        self.d("key", FTP_DIALOG, 20, "RETURN")
        r.eq(self.d("gone", FTP_DIALOG, "10000")[0], 0, "Enter applies the FTP settings")
        self.d("menu", MAIN, 5)
        r.eq(self.d("find", FTP_DIALOG, "20000")[0], 0, "FTP dialog opens again")
        r.eq(self.text(FTP_DIALOG, 20), "ftp.neu", "applied")
        self.d("set-text", FTP_DIALOG, 20, "verworfen")
        self.d("key", FTP_DIALOG, 20, "ESCAPE")
        r.eq(self.d("gone", FTP_DIALOG, "10000")[0], 0, "Escape closes the FTP dialog")
        self.d("menu", MAIN, 5)
        r.eq(self.d("find", FTP_DIALOG, "20000")[0], 0, "FTP dialog opens a third time")
        r.eq(self.text(FTP_DIALOG, 20), "ftp.neu", "the dropped server is gone")
        self.d("set-text", FTP_DIALOG, 24, "")
        self.d("key", FTP_DIALOG, 24, "RETURN")
        r.eq(self.msgbox(), "FTP - Einstellungen|Die Eingaben sind unvollständig!|warning",
             "Enter checks the FTP fields")
        self.d("key", FTP_DIALOG, 20, "ESCAPE")
        r.eq(self.d("gone", FTP_DIALOG, "10000")[0], 0, "Escape closes it")
        r.eq(self.text(MAIN, 55), "Demo", "the project stays open throughout")
        self.close(proc)
        cfg = self.read(os.path.join(base, "Quastorell.cfg")) or ""
        r.check('"Server": "ftp.neu"' in cfg, "FTP settings of the Enter: %r" % cfg)
        r.check('"URL": "http://127.0.0.1/neu/"' in (self.read(ucf) or ""), "URL kept at the close")

    # While the window has a project open, the command line leaves it alone:
    # it says which program holds it, ends with status 4 and changes nothing,
    # and the window's close writes back nothing the command line did.
    def lock_with_command_line(self):
        r = self.r
        base = self.install("lock")
        src = self.source_tree(base, [("app.exe", 3000), ("data/info.txt", 500)])
        self.drive(base)
        self.write_project(base, "Demo")

        def files():
            out = {}
            for top in ("Projects", "Upload"):
                for root, _, names in os.walk(os.path.join(base, top)):
                    for n in names:
                        if n not in ("Quastorell.lock", "Quastorell.owner", "Quastorell.hash"):
                            p = os.path.join(root, n)
                            out[os.path.relpath(p, base)] = open(p, "rb").read()
            return out

        proc = self.start(base)
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens")
        before = files()
        for args in (("generate", "Demo", "--version", "2.0"), ("rule", "Demo", "app.exe", "Delete"),
                     ("status", "Demo")):
            out = self.cli(base, *args)
            r.eq(out.returncode, 4, "%s refused: %s" % (args[0], out.stdout + out.stderr))
            r.check('[Fehler] Projekt öffnen: Das Projekt "Demo" wird gerade von einem anderen '
                    'Programm bearbeitet: QuastorellBuilder.exe (Prozess ' in out.stderr,
                    "%s names the window: %r" % (args[0], out.stderr))
        r.eq(files(), before, "nothing changed")
        self.close(proc)
        out = self.cli(base, "generate", "Demo", "--version", "2.0")
        r.eq(out.returncode, 0, "once the window is closed: " + out.stdout + out.stderr)
        out = self.cli(base, "rule", "Demo", "data/info.txt", "IfNotExist")
        r.eq(out.returncode, 0, "and a rule: " + out.stdout + out.stderr)
        after = files()
        # The window opens it again and closes: the command line's work stays.
        proc = self.start(base)
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens again")
        r.eq(self.text(MAIN, 61), "2.0", "the version the command line generated")
        self.close(proc)
        manifest = json.loads(self.read(os.path.join(base, "Projects", "Demo", "Quastorell.uif")))
        r.eq(manifest.get("data\\info.txt", {}).get("Flags"), 2, "the rule stays")
        r.eq(manifest.get("app.exe", {}).get("Version"), "2.0", "the generated version stays")
        r.check(after.keys() <= files().keys(), "no file of the command line's is lost")

    # A generation cut short after its journal of renames: the window's next
    # open of the project completes it before it reads anything, and removes
    # what killed runs left.
    def interrupted_generation(self):
        r = self.r
        base = self.install("interrupted")
        self.source_tree(base, [("app.exe", 3000)])
        qpath = self.drive(base)
        self.write_project(base, "Demo")
        out = self.cli(base, "generate", "Demo", "--version", "1.0")
        r.eq(out.returncode, 0, "version 1: " + out.stdout + out.stderr)
        target = os.path.join(base, "Upload", "Demo")
        project = os.path.join(base, "Projects", "Demo")
        # The staged files of version 2 and the journal that lists their renames.
        new_pack = b"\0" * 8 + b"\0\0\0\0\0\0\x10\x40" + b"new!"
        with open(os.path.join(target, "~qgen.t.0"), "wb") as f:
            f.write(new_pack)
        manifest = json.loads(self.read(os.path.join(project, "Quastorell.uif")))
        manifest["app.exe"]["Version"] = "2.0"
        with open(os.path.join(project, "~qgen.t.1"), "w") as f:
            f.write(document(manifest))
        for leftover in (os.path.join(target, "app[exe].uzf.part"),
                         os.path.join(project, "Quastorell.uif.tmp~x1")):
            with open(leftover, "w") as f:
                f.write("left by a killed run")

        def part(steps):
            text = "Quastorell journal 1\ncommit\n" + "".join(
                "place\t%s\t%s\t%s.old\t\n" % (path, staged, staged) for path, staged in steps)
            return text + "end\t%08x\n" % zlib.crc32(text.encode("utf-8"))
        text = ("Quastorell generation 1\ntarget\t%s\\\n" % qpath(target) +
                part([("app[exe].uzf", "~qgen.t.0")]) +
                part([("Demo\\Quastorell.uif", "Demo\\~qgen.t.1")]))
        text += "end\t%08x\n" % zlib.crc32(text.encode("utf-8"))
        with open(os.path.join(project, "Quastorell.journal"), "w", newline="") as f:
            f.write(text)

        proc = self.start(base)
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens")
        with open(os.path.join(target, "app[exe].uzf"), "rb") as f:
            r.eq(f.read(), new_pack, "the packed file of the new set is in place")
        r.eq(json.loads(self.read(os.path.join(project, "Quastorell.uif")))["app.exe"]["Version"],
             "2.0", "the manifest of the new set is in place")
        left = sorted(n for d in (target, project) for n in os.listdir(d)
                      if "~qgen" in n or ".part" in n or ".tmp~" in n or n.endswith(".journal"))
        r.eq(left, [], "no journal, temporary or leftover")
        self.close(proc)

    # Damaged settings files are kept as ".bad" and the window opens: a
    # settings store nested 200,000 levels deep once crashed every start.
    # A damaged project document stops its open and is never written over.
    def damaged_documents(self):
        r = self.r
        base = self.install("damaged")
        self.source_tree(base, [("app.exe", 300)])
        # The program lies in the folder drive Q: names, and so do its files.
        qpath = self.drive(base)
        self.write_project(base, "Demo", {"app.exe": 2})
        deep = "<Registry>" * 200000
        with open(os.path.join(base, "Quastorell.reg"), "w") as f:
            f.write(deep)
        with open(os.path.join(base, "Quastorell.win"), "w") as f:
            f.write('<Registry><Window ID="1"')
        proc = self.start(base)
        shown = sorted([self.msgbox(), self.msgbox()])
        for name, text in zip(("Quastorell.reg", "Quastorell.win"), shown):
            r.eq(text, 'Einstellungen|Die Datei "%s" ist beschädigt und wurde nicht gelesen.\\nSie '
                 'bleibt als "%s.bad" erhalten; an ihrer Stelle wird eine neue angelegt.|warning'
                 % (qpath(os.path.join(base, name)), name), name)
        r.eq(self.d("find", MAIN, "5000")[0], 0, "the window is there")
        uif = os.path.join(base, "Projects", "Demo", "Quastorell.uif")
        good = self.read(uif)
        with open(uif, "w") as f:
            f.write(good[:-1])
        # Recent slot 1 is gone with the settings store: the project is opened
        # through the file dialog.
        self.d("menu", MAIN, 3)
        r.eq(self.d("pick", "Bitte Projekt zum Laden auswählen",
                    winpath(os.path.join(base, "Projects", "Demo.upf")))[0], 0, "project picked")
        r.eq(self.msgbox(), 'Projekt öffnen|Die Datei "%s" des Projekts "Demo" ist beschädigt und '
             'kann nicht gelesen werden.\\nDas Projekt wird nicht geöffnet; die Datei bleibt '
             'unverändert.|error' % qpath(uif), "the damaged manifest is named")
        r.eq(self.text(MAIN, 55), "", "no project open")
        self.close(proc)
        r.eq(self.read(uif), good[:-1], "the damaged manifest is kept as it is")
        r.eq(self.read(os.path.join(base, "Quastorell.reg.bad")), deep, "the store is kept as .bad")
        r.check("<Project>Demo.upf</Project>" in (self.read(os.path.join(base, "Quastorell.reg"))
                                                   or ""), "a new store is written")

    # Files generated before a restart can be sent without generating again;
    # a file that left the release is listed as removed and can take Delete.
    def upload_after_restart(self):
        r = self.r
        base = self.install("pending")
        src = self.source_tree(base, [("app.exe", 3000), ("old.txt", 20)])
        self.drive(base)
        self.write_project(base, "Demo", ftp_dir="neu/demo")
        port, root = self.ftp_server()
        with open(os.path.join(base, "Quastorell.cfg"), "w") as f:
            f.write(document({"Server": "127.0.0.1", "Port": int(port), "StartDir": "",
                              "Login": "quasto", "Password": scramble("geheim")}))
        proc = self.start(base)
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens")
        self.d("click", MAIN, 57)
        r.eq(self.msgbox(), "Projekt erstellen|Es wurden 2 Updater-Dateien erstellt bzw. "
             "aktualisiert.|information", "generated")
        self.close(proc)

        os.remove(os.path.join(src, "old.txt"))
        proc = self.start(base)
        r.eq(self.d("enabled", MAIN, 58)[1], "0", "upload disabled at start")
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens again")
        r.check(self.until(lambda: self.d("enabled", MAIN, 58)[1] == "1"),
                "Hochladen enabled while uploads are pending")
        rows = self.rows()
        r.eq(sorted(row[:2] for row in rows), [["0", "app.exe"], ["0", "old.txt (entfernt)"]],
             "the removed file is listed, unchecked")
        removed = [row[1] for row in rows].index("old.txt (entfernt)")
        self.d("select", MAIN, 56, removed)
        self.d("menu", MAIN, 12)
        time.sleep(0.5)
        r.eq(self.rows()[removed][3], "-----", "NoUpdate does not fit a removed file")
        self.d("menu", MAIN, 13)
        r.check(self.until(lambda: self.rows()[removed][3] == "Delete", 5),
                "Delete on the removed file")
        self.shot("builder-removed-file.png")
        self.d("click", MAIN, 58)
        uif = os.path.join(root, "neu", "demo", "Quastorell.uif")
        r.check(self.until(lambda: os.path.exists(uif), 60), "manifest uploaded into a new folder")
        time.sleep(1)
        try:
            sent = json.loads(self.read(uif) or "{}")
        except ValueError:
            sent = {}
        r.eq(sorted(sent), ["app.exe", "old.txt"], "server manifest entries")
        r.eq((sent.get("old.txt", {}).get("Flags"), sent.get("old.txt", {}).get("Pack")),
             (4, ""), "the removed file goes as Delete without a packed file")
        r.eq(sorted(os.listdir(os.path.dirname(uif))), ["Quastorell.uif", "app[exe].uzf"],
             "packed file sent, no temporary file left")
        self.close(proc)

    # A server that shows another key than the stored one gets nothing, and
    # the window says why; the stored fingerprint stays.
    def changed_certificate(self):
        r = self.r
        srv = self.secure_server()
        ftps_port, root, host_pin = srv["ftps_port"], srv["root"], srv["host_pin"]
        cert_pin = srv["cert_pin"]
        base = self.install("changed")
        self.source_tree(base, [("app.exe", 2000)])
        self.drive(base)
        self.write_project(base, "Demo")
        start_dir = "gui-%d" % os.getpid()
        with open(os.path.join(base, "Quastorell.cfg"), "w") as f:
            f.write(document({"Server": "127.0.0.1", "Port": ftps_port, "StartDir": start_dir,
                              "Login": "ftp", "Password": scramble("beliebig"),
                              "Protocol": "FTPS", "Fingerprint": host_pin}))
        proc = self.generate_and_upload(base)
        caption, text, icon = (self.msgbox().split("|") + ["", ""])[:3]
        r.eq((caption, icon), ("Projekt upload", "error"), "the upload is refused")
        r.check(text.startswith('Der Server "127.0.0.1" weist sich mit einem anderen Schlüssel '
                                'aus als dem gespeicherten.') and
                ("gespeichert: " + host_pin) in text and
                ("jetzt: " + cert_pin + "\\n") in text and
                text.endswith("Es wurde nichts hochgeladen."),
                "the message says the key changed: %r" % text)
        r.check(not os.path.exists(os.path.join(root, start_dir)), "nothing reached the server")
        self.close(proc)
        cfg = self.read(os.path.join(base, "Quastorell.cfg")) or ""
        r.check('"Fingerprint": "%s"' % host_pin in cfg, "the stored fingerprint stays: %r" % cfg)

    # Starts the builder in `base`, opens the project "Demo", generates it
    # and presses "Hochladen"; the builder's process.
    def generate_and_upload(self, base):
        r = self.r
        proc = self.start(base)
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens")
        self.d("click", MAIN, 57)
        r.eq(self.msgbox().split("|")[0], "Projekt erstellen", "generated")
        r.check(self.until(lambda: self.d("enabled", MAIN, 58)[1] == "1"), "Hochladen enabled")
        self.d("click", MAIN, 58)
        return proc

    # "Hochladen" over a secure protocol, from generation to the files on
    # the server: the project's manifest and each packed file it names, byte
    # for byte, and nothing else (no temporary name left). `ask`: the text
    # the first-key question must hold, answered "Ja".
    def secure_publication(self, name, settings, ask=None):
        r = self.r
        srv = self.secure_server()
        base = self.install(name)
        self.source_tree(base, [("app.exe", 3000), ("Grüße/ä b.dat", 700)])
        self.drive(base)
        self.write_project(base, "Demo")
        start_dir = "gui-%s-%d" % (name, os.getpid())
        with open(os.path.join(base, "Quastorell.cfg"), "w") as f:
            f.write(document(dict({"Server": "127.0.0.1", "StartDir": start_dir}, **settings)))
        proc = self.generate_and_upload(base)
        if ask is not None:
            caption, text = (self.d("msgbox", "60000", YES)[1].split("|") + [""])[:2]
            r.eq(caption, "Projekt upload", "the first key is asked about")
            r.check(all(part in text for part in ask), "the question: %r" % text)
        remote = os.path.join(srv["root"], start_dir, "demo")
        uif = os.path.join(remote, "Quastorell.uif")
        r.check(self.until(lambda: os.path.exists(uif), 60), "manifest uploaded")
        r.eq(self.d("gone", "Upload .....", "30000")[0], 0, "the upload ends")
        self.close(proc)
        project = os.path.join(base, "Projects", "Demo", "Quastorell.uif")
        with open(project, "rb") as f:
            want = {"Quastorell.uif": f.read()}
        for entry in json.loads(want["Quastorell.uif"]).values():
            if entry.get("Pack"):
                with open(os.path.join(base, "Upload", "Demo", entry["Pack"]), "rb") as f:
                    want[entry["Pack"]] = f.read()
        got = {}
        for folder, _, files in os.walk(remote):
            for n in files:
                with open(os.path.join(folder, n), "rb") as f:
                    got[os.path.relpath(os.path.join(folder, n), remote)] = f.read()
        r.eq(sorted(got), sorted(want), "the files on the server")
        r.check(got == want, "the server holds what was generated, byte for byte")
        return base, srv

    def ftps_publication(self):
        srv = self.secure_server()
        self.secure_publication("ftps", {"Port": srv["ftps_port"], "Login": "ftp",
                                         "Password": scramble("beliebig"), "Protocol": "FTPS",
                                         "Fingerprint": srv["cert_pin"]})

    # A first SFTP connection: the window shows the server's fingerprint and
    # publishes once "Ja" accepts it, which stores the key for the next time.
    def sftp_publication(self):
        srv = self.secure_server()
        base, _ = self.secure_publication(
            "sftp", {"Port": srv["sftp_port"], "Login": srv["ssh_user"],
                     "Password": scramble("geheim"), "Protocol": "SFTP",
                     "KeyFile": srv["user_key"]},
            ask=('Der SFTP-Server "127.0.0.1" ist noch unbekannt.', srv["host_pin"]))
        cfg = self.read(os.path.join(base, "Quastorell.cfg")) or ""
        self.r.check('"Fingerprint": "%s"' % srv["host_pin"] in cfg,
                     "the accepted key is stored: %r" % cfg)

    # What a release may hold but must not publish is listed unchecked with
    # its reason, takes no rule and is never packed: links out of the folder
    # (made on the host, as Wine sees a user's links), a loop, a FIFO. A
    # device name is no project name.
    def refused_entries(self):
        r = self.r
        base = self.install("hostile")
        src = self.source_tree(base, [("app.exe", 300)])
        outside = os.path.join(base, "outside")
        os.makedirs(outside)
        with open(os.path.join(outside, "secret.txt"), "w") as f:
            f.write("secret outside the release")
        os.symlink(os.path.join(outside, "secret.txt"), os.path.join(src, "passwd"))
        os.symlink(outside, os.path.join(src, "link_out"))
        os.symlink(".", os.path.join(src, "self"))
        os.mkfifo(os.path.join(src, "pipe"))
        self.drive(base)
        self.write_project(base, "Demo")
        proc = self.start(base)
        self.d("menu", MAIN, 7)
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens")
        why = "Verknüpfung führt aus dem Quellverzeichnis hinaus"
        listed = {
            "passwd": why, "link_out": why,
            "self": "Verknüpfung auf einen Ordner darüber (Schleife)",
            "pipe": "keine gewöhnliche Datei (FIFO, Socket oder Gerät)"}
        rows = self.rows()
        r.eq(sorted(row[:2] for row in rows),
             sorted([["1", "app.exe"]] + [["0", "%s (nicht veröffentlicht: %s)" % item]
                                          for item in listed.items()]),
             "refused entries listed unchecked, with their reason")
        refused = [row[1] for row in rows].index("passwd (nicht veröffentlicht: %s)" % why)
        self.d("select", MAIN, 56, refused)
        self.d("menu", MAIN, 13)
        time.sleep(0.5)
        r.eq(self.rows()[refused][3], "-----", "no rule for what is not published")
        self.shot("builder-refused-entries.png")
        self.d("click", MAIN, 57)
        box = self.msgbox()
        r.check(box.startswith("Projekt erstellen|Es wurden 1 Updater-Dateien erstellt bzw. "
                               "aktualisiert.\\n\\n4 Dateien wurden nicht veröffentlicht:") and
                box.endswith("|error"), "the generation names what it did not publish: %r" % box)
        target = os.path.join(base, "Upload", "Demo")
        r.eq(sorted(f for f in os.listdir(target) if f.endswith(".uzf")), ["app[exe].uzf"],
             "only the release's own file is packed")

        self.d("menu", MAIN, 2)
        r.eq(self.d("find", PROJECT_DIALOG, "20000")[0], 0, "project dialog opens")
        self.d("set-text", PROJECT_DIALOG, 42, "CON")
        self.d("set-text", PROJECT_DIALOG, 32, "Q:\\src\\")
        self.d("click", PROJECT_DIALOG, 52)
        r.eq(self.msgbox(), "Projekt - Einstellungen|\"CON\" ist unter Windows ein Gerätename und "
             "kann kein Projektname sein.|warning", "a device name is refused")
        r.eq(self.d("find", PROJECT_DIALOG, "2000")[0], 0, "the dialog stays open")
        self.d("close", PROJECT_DIALOG)
        r.eq(self.d("gone", PROJECT_DIALOG, "10000")[0], 0, "dialog closed")
        self.close(proc)
        r.eq(sorted(os.listdir(os.path.join(base, "Projects"))), ["Demo", "Demo.upf"],
             "no project named after a device")

    # Every label, button and column shows its whole text, at the DPI given
    # and with Arial's metrics; the geometry follows the DPI.
    def readable(self, dpi):
        r = self.r
        scaled = lambda v: (v * dpi + 48) // 96
        base = self.install("dpi%d" % dpi)
        files = [("lang/de/text.xml", 100)] + [("data/file%02d.bin" % i, 10) for i in range(40)]
        self.source_tree(base, files)
        self.drive(base)
        self.write_project(base, "Demo", {"lang\\de\\text.xml": 2})
        if dpi != 96:
            self.wine.set_dpi(dpi)
        try:
            proc = self.start(base)
            r.eq(self.d("dpi")[1], str(dpi), "screen DPI")
            r.eq(self.d("client", MAIN)[1], "%d %d" % (scaled(510), scaled(429)),
                 "inner size follows the DPI")
            r.eq(self.d("rect", MAIN, 56)[1], "%d %d %d %d" % tuple(scaled(v) for v in
                                                              (5, 40, 500, 335)), "list geometry")
            self.d("menu", MAIN, 7)
            r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project opens")
            check_fits(self.wine, r, MAIN, MAIN_CONTROLS, dpi)
            rows = self.rows()
            r.check(len(rows) == 41 and ["1", "text.xml", "lang\\de\\", "IfNotExist"] in rows,
                    "rows: %r" % rows[:3])
            r.eq(self.d("columns", MAIN, 56)[1].split()[-1], "1", "the list scrolls")
            check_columns(self.wine, r, MAIN, 56, [["Datei"] + [row[1] for row in rows],
                                                   ["Verzeichnis"] + [row[2] for row in rows],
                                                   ["Optionen"] + [row[3] for row in rows]],
                          "Arial", 10, "bold", dpi)
            self.shot("builder-main-%ddpi.png" % dpi)
            self.d("menu", MAIN, 4)
            r.eq(self.d("find", PROJECT_DIALOG, "20000")[0], 0, "project dialog opens")
            r.eq(self.d("client", PROJECT_DIALOG)[1], "%d %d" % (scaled(330), scaled(435)),
                 "dialog size follows the DPI")
            check_fits(self.wine, r, PROJECT_DIALOG, PROJECT_CONTROLS, dpi)
            self.shot("builder-project-dialog-%ddpi.png" % dpi)
            self.d("close", PROJECT_DIALOG)
            r.eq(self.d("gone", PROJECT_DIALOG, "10000")[0], 0, "project dialog closed")
            self.d("menu", MAIN, 5)
            r.eq(self.d("find", FTP_DIALOG, "20000")[0], 0, "FTP dialog opens")
            check_fits(self.wine, r, FTP_DIALOG, FTP_CONTROLS, dpi)
            self.shot("builder-ftp-dialog-%ddpi.png" % dpi)
            self.d("close", FTP_DIALOG)
            r.eq(self.d("gone", FTP_DIALOG, "10000")[0], 0, "FTP dialog closed")
            self.close(proc)
        finally:
            if dpi != 96:
                self.wine.set_dpi(96)

    def ftp_dialog(self):
        r = self.r
        base = self.install("ftp")
        cfg_path = os.path.join(base, "Quastorell.cfg")
        proc = self.start(base)
        self.d("menu", MAIN, 5)
        r.eq(self.d("find", FTP_DIALOG, "20000")[0], 0, "FTP dialog opens")
        r.eq(self.text(FTP_DIALOG, 24), "21", "port proposed")
        r.eq(self.text(FTP_DIALOG, 93), "FTP", "plain FTP until told otherwise")
        r.eq([self.d("enabled", FTP_DIALOG, cid)[1] for cid in (95, 96, 98, 100)],
             ["0", "0", "0", "0"], "no key file and no fingerprint for plain FTP")
        self.d("set-text", FTP_DIALOG, 24, "")
        self.d("click", FTP_DIALOG, 17)
        r.eq(self.msgbox(), "FTP - Einstellungen|Die Eingaben sind unvollständig!|warning",
             "empty server and port refused")
        self.d("set-text", FTP_DIALOG, 20, "127.0.0.1")
        self.d("set-text", FTP_DIALOG, 24, "2121")
        self.d("set-text", FTP_DIALOG, 27, "quasto")
        self.d("set-text", FTP_DIALOG, 29, "geheim")
        self.shot("builder-ftp-dialog.png")
        self.d("click", FTP_DIALOG, 17)
        r.eq(self.d("msgbox", "30000", NO)[1], PLAIN_FTP_WARNING,
             "a password over plain FTP is warned about")
        r.eq(self.d("find", FTP_DIALOG, "2000")[0], 0, "No: the dialog stays open")

        # SFTP: the port follows the protocol, key file and fingerprint open up.
        self.d("set-text", FTP_DIALOG, 24, "21")
        self.d("choose", FTP_DIALOG, 93, 2)
        r.check(self.until(lambda: self.text(FTP_DIALOG, 24) == "22"),
                "the FTP port becomes the SFTP one: %r" % self.text(FTP_DIALOG, 24))
        r.eq([self.d("enabled", FTP_DIALOG, cid)[1] for cid in (95, 96, 98, 100)],
             ["1", "1", "1", "1"], "key file and fingerprint for SFTP")
        self.d("set-text", FTP_DIALOG, 98, PIN_B)
        self.d("click", FTP_DIALOG, 100)
        r.check(self.until(lambda: self.text(FTP_DIALOG, 98) == ""), "the pin is removed")
        self.d("set-text", FTP_DIALOG, 98, "SHA256:zu kurz")
        self.d("click", FTP_DIALOG, 17)
        r.eq(self.msgbox().split("|")[2], "warning", "a malformed fingerprint is refused")
        self.d("set-text", FTP_DIALOG, 98, PIN_A)
        self.d("set-text", FTP_DIALOG, 95, "Q:\\keys\\id_ed25519")
        self.shot("builder-ftp-dialog-sftp.png")
        self.d("click", FTP_DIALOG, 17)
        r.eq(self.d("gone", FTP_DIALOG, "10000")[0], 0, "SFTP applies without a question")
        self.close(proc)
        cfg = self.read(cfg_path) or ""
        r.check('"Server": "127.0.0.1"' in cfg and '"Port": 22' in cfg and
                '"Protocol": "SFTP"' in cfg and '"Fingerprint": "%s"' % PIN_A in cfg and
                '"KeyFile": "Q:\\\\keys\\\\id_ed25519"' in cfg,
                "FTP settings saved: %r" % cfg)
        r.check("geheim" not in cfg, "password not stored in plain text")

        # The stored settings show again; back to plain FTP the pin of the
        # SFTP server goes, and "Yes" saves despite the warning.
        proc = self.start(base)
        self.d("menu", MAIN, 5)
        r.eq(self.d("find", FTP_DIALOG, "20000")[0], 0, "FTP dialog opens again")
        r.eq([self.text(FTP_DIALOG, cid) for cid in (93, 24, 98, 95, 29)],
             ["SFTP", "22", PIN_A, "Q:\\keys\\id_ed25519", "geheim"], "the stored settings")
        self.d("choose", FTP_DIALOG, 93, 0)
        r.check(self.until(lambda: self.text(FTP_DIALOG, 24) == "21"), "back to the FTP port")
        self.d("key", FTP_DIALOG, 20, "RETURN")
        r.eq(self.d("msgbox", "30000", YES)[1], PLAIN_FTP_WARNING, "Enter asks the same")
        r.eq(self.d("gone", FTP_DIALOG, "10000")[0], 0, "Yes: saved as plain FTP")
        self.close(proc)
        cfg = self.read(cfg_path) or ""
        r.check('"Port": 21' in cfg and '"Protocol"' not in cfg and '"Fingerprint"' not in cfg,
                "plain FTP written as older builders wrote it: %r" % cfg)

    def cli(self, base, *args, stdin=""):
        """The Windows command-line builder on the same base folder."""
        return subprocess.run([self.wine.run_sh, os.path.join(self.wine.bin, "quastorell-builder.exe"),
                               "--base", winpath(base)] + list(args), input=stdin,
                              capture_output=True, text=True, env=self.wine.env("C.UTF-8"),
                              timeout=120)

    def signed_generation(self):
        r = self.r
        base = self.install("signed")
        src = self.source_tree(base, [("app.exe", 2000)])
        out = self.cli(base, "keygen", "--password-stdin", stdin="geheim\n")
        r.eq(out.returncode, 0, "encrypted key made: " + out.stdout + out.stderr)
        out = self.cli(base, "new", "Demo", "--source", winpath(src), "--url", "http://x/")
        r.eq(out.returncode, 0, "project made: " + out.stdout + out.stderr)
        proc = self.start(base)
        self.d("menu", MAIN, 7)  # the recent project
        r.eq(self.d("wait-text", MAIN, 55, "Demo")[0], 0, "project open")

        self.d("click", MAIN, 57)
        r.eq(self.d("find", PASSWORD_DIALOG, "20000")[0], 0, "the key's password is asked")
        self.d("set-text", PASSWORD_DIALOG, 83, "falsch")
        self.shot("builder-password-dialog.png")
        self.d("click", PASSWORD_DIALOG, 1)
        r.eq(self.msgbox(), "Projekt erstellen|Das Passwort des Schlüssels ist falsch.|error",
             "a wrong password stops the generation")
        target = os.path.join(base, "Upload", "Demo")
        r.check(not os.path.exists(os.path.join(target, "app[exe].uzf")), "nothing packed")

        self.d("click", MAIN, 57)
        r.eq(self.d("find", PASSWORD_DIALOG, "20000")[0], 0, "asked again")
        self.d("set-text", PASSWORD_DIALOG, 83, "geheim")
        self.d("click", PASSWORD_DIALOG, 1)
        r.eq(self.msgbox(),
             "Projekt erstellen|Es wurden 1 Updater-Dateien erstellt bzw. aktualisiert."
             "|information", "generation message")
        manifest = os.path.join(target, "Quastorell.uif")
        r.check(os.path.exists(manifest + ".minisig"), "signature in the update set")
        r.check(os.path.exists(os.path.join(target, "Quasto", "Quastorell.pub")),
                "public key in the update set")
        if shutil.which("minisign"):
            v = subprocess.run(["minisign", "-V", "-m", manifest, "-p",
                                os.path.join(base, "Quastorell.pub")], capture_output=True)
            r.eq(v.returncode, 0, "minisign verifies the manifest")
        self.close(proc)

    def run(self, selected=lambda case: True):
        try:
            tests = [(name, getattr(self, name)) for name in
                     ("empty_start", "create_project", "ftp_dialog", "keys_and_names",
                      "dialog_keys", "lock_with_command_line", "interrupted_generation",
                      "damaged_documents",
                      "upload_after_restart", "signed_generation")]
            tests += [("readable_%d" % dpi, lambda dpi=dpi: self.readable(dpi)) for dpi in (96, 144)]
            tests.append(("refused_entries", self.refused_entries))
            tests.append(("changed_certificate", self.changed_certificate))
            tests.append(("ftps_publication", self.ftps_publication))
            tests.append(("sftp_publication", self.sftp_publication))
            for name, test in tests:
                if selected(name):
                    self.r.run(name, test)
        finally:
            if self.ftp:
                subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tests", "servers",
                                "ftp_server.py"), "stop", self.ftp_info])
            if self.secure:
                subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tests", "servers",
                                "secure_server.py"), "stop", self.secure_info])
            self.wine.wait_idle()
            link = os.path.join(self.wine.prefix, "dosdevices", "q:")
            if os.path.islink(link):
                os.unlink(link)
            self.x.stop()
        return self.r.finish()


if __name__ == "__main__":
    os.environ.setdefault("TZ", "Europe/Berlin")
    time.tzset()
    build, shard, selected = parse_args(sys.argv, SHARDS)
    sys.exit(BuilderGuiTest(build, shard).run(selected))
