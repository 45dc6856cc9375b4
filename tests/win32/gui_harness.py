"""Shared pieces of the GUI tests under Wine: a private X server, the local
web server, Wine processes and the UI test driver."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "servers"))


class Xvfb:
    """An X server on a free display, for as long as the tests run."""

    def __init__(self):
        for n in range(90, 140):
            if os.path.exists("/tmp/.X%d-lock" % n):
                continue
            self.proc = subprocess.Popen(
                ["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(100):
                if os.path.exists("/tmp/.X11-unix/X%d" % n) or self.proc.poll() is not None:
                    break
                time.sleep(0.05)
            if self.proc.poll() is None:
                self.display = ":%d" % n
                return
        raise RuntimeError("no X display")

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class WebServer:
    def __init__(self, root, connections=None):
        """connections: a file that gets a line for each accepted connection."""
        self.connections_log = connections
        extra = ["--connections", connections] if connections else []
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(SOURCE, "tests", "servers", "http_server.py"),
             "--root", root] + extra, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        self.port = int(line.split()[1])
        self.url = "http://127.0.0.1:%d/" % self.port

    def connections(self):
        """Connections accepted so far."""
        try:
            with open(self.connections_log, encoding="utf-8") as f:
                return len(f.readlines())
        except (OSError, TypeError):
            return 0

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class Wine:
    """Runs Windows programs of the build in its Wine prefix."""

    def __init__(self, build, display):
        self.build = build
        self.run_sh = os.path.join(build, "wine-run.sh")
        self.bin = os.path.join(build, "bin")
        self.display = display

    def env(self, lang, extra=None):
        e = dict(os.environ)
        e["DISPLAY"] = self.display
        e["LC_ALL"] = lang
        e["LANG"] = lang
        e.setdefault("TZ", "Europe/Berlin")
        e.update(extra or {})
        return e

    def start(self, exe, args=(), cwd=None, lang="de_DE.UTF-8", extra_env=None):
        return subprocess.Popen([self.run_sh, exe] + list(args), cwd=cwd,
                                env=self.env(lang, extra_env),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def driver(self, *args, timeout=60):
        # Output goes through a file, not a pipe: Wine's background processes
        # inherit the pipe and would keep it open long after the driver ended.
        with tempfile.TemporaryFile() as out:
            r = subprocess.run([self.run_sh, os.path.join(self.bin, "ui_driver.exe")] + list(args),
                               env=self.env("C.UTF-8"), stdout=out, stderr=subprocess.DEVNULL,
                               timeout=timeout)
            out.seek(0)
            text = out.read().decode("utf-8", "replace").replace("\r", "").rstrip("\n")
        return r.returncode, text

    def wait_idle(self, timeout=60):
        env = dict(os.environ, WINEPREFIX=os.path.join(self.build, "wineprefix"))
        try:
            subprocess.run(["wineserver", "-w"], env=env, timeout=timeout)
        except subprocess.TimeoutExpired:
            # A program a failed test left running must not hold the run.
            subprocess.run(["wineserver", "-k"], env=env)


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.current = ""

    def check(self, cond, what):
        if not cond:
            print("  FAIL [%s]: %s" % (self.current, what), flush=True)
            self.failure = True

    def eq(self, got, want, what):
        self.check(got == want, "%s: got %r, want %r" % (what, got, want))

    def run(self, name, fn):
        self.current = name
        self.failure = False
        print("[ RUN  ] %s" % name, flush=True)
        try:
            fn()
        except Exception as e:  # a broken step fails the test, not the run
            self.check(False, "exception %r" % e)
        if self.failure:
            self.failed += 1
            print("[ FAIL ] %s" % name, flush=True)
        else:
            self.passed += 1
            print("[  OK  ] %s" % name, flush=True)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0


def winpath(path):
    """A Unix path as Wine's drive Z: shows it."""
    return "Z:" + path.replace("/", "\\")


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path
