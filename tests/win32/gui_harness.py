"""Shared pieces of the GUI tests under Wine: a private X server, the local
web server, Wine processes and the UI test driver."""
import os
import shutil
import signal
import socket
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
            # The first start on a new machine compiles the keymap and reads
            # the fonts, which may take a while: wait for as long as the
            # server lives, it ends on its own when it cannot start.
            while not os.path.exists("/tmp/.X11-unix/X%d" % n) and self.proc.poll() is None:
                time.sleep(0.05)
            if self.proc.poll() is None:
                self.display = ":%d" % n
                return
        raise RuntimeError("no X display: Xvfb did not start on :90 to :139")

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class WebServer:
    def __init__(self, root, connections=None, extra_args=()):
        """connections: a file that gets a line for each accepted connection;
        extra_args: more of the server's options (--stall NAME)."""
        self.connections_log = connections
        extra = (["--connections", connections] if connections else []) + list(extra_args)
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


# nginx as one process (a stop ends all of it, and it reads the test's files
# as the user who runs the test), its access log tab-separated with the
# headers as sent; its small send buffer keeps what it counts as sent close
# to what reached a client that broke a transfer off.
NGINX_CONF = """daemon off;
master_process off;
error_log {prefix}/error.log;
pid {prefix}/nginx.pid;
worker_shutdown_timeout 5s;
events {{ worker_connections 64; }}
http {{
    log_format quasto escape=none
        '$status\t$request_method\t$request_uri\t$http_range\t$http_if_range\t$body_bytes_sent\t$sent_http_etag\t$sent_http_last_modified';
    access_log {prefix}/access.log quasto;
    client_body_temp_path {prefix}/tmp;
    proxy_temp_path {prefix}/tmp;
    fastcgi_temp_path {prefix}/tmp;
    uwsgi_temp_path {prefix}/tmp;
    scgi_temp_path {prefix}/tmp;
    default_type application/octet-stream;
    send_timeout 10s;
    server {{
        listen 127.0.0.1:{port} sndbuf=16k;
        root {root};
        {directives}
    }}
}}
"""


def nginx_binary():
    """The nginx program, None when it is not installed."""
    for path in ("/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"):
        if os.access(path, os.X_OK):
            return path
    return None


class Nginx:
    """nginx serving a folder on a free port of 127.0.0.1."""

    def __init__(self, root, directives=""):
        self.prefix = tempfile.mkdtemp(prefix="quasto-nginx-")
        os.makedirs(os.path.join(self.prefix, "tmp"))
        conf = os.path.join(self.prefix, "nginx.conf")
        self.proc = None
        for _ in range(5):  # another program may take the free port first
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                self.port = s.getsockname()[1]
            with open(conf, "w") as f:
                f.write(NGINX_CONF.format(prefix=self.prefix, port=self.port, root=root,
                                          directives=directives))
            self.proc = subprocess.Popen(
                [nginx_binary(), "-p", self.prefix, "-c", conf, "-e",
                 os.path.join(self.prefix, "error.log")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while self.proc.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    self.url = "http://127.0.0.1:%d/" % self.port
                    return
                except OSError:
                    time.sleep(0.02)
        raise RuntimeError("nginx did not start")

    def requests(self, uri=None):
        """The logged requests (of `uri`, as requested), each a dict; headers
        not sent are ""."""
        out = []
        with open(os.path.join(self.prefix, "access.log"), encoding="latin-1") as f:
            for line in f:
                v = ["" if x == "-" else x for x in line.rstrip("\n").split("\t")]
                if len(v) != 8:
                    continue
                r = dict(zip(("status", "method", "uri", "range", "if_range", "bytes", "etag",
                              "last_modified"), v))
                r["status"], r["bytes"] = int(r["status"]), int(r["bytes"])
                if uri is None or r["uri"] == uri:
                    out.append(r)
        return out

    def stop(self):
        """Stops it, finishing what it sends; the log stays readable."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def remove(self):
        self.stop()
        shutil.rmtree(self.prefix, ignore_errors=True)


class Relay:
    """tests/servers/cutting_relay.py in front of a local server's port."""

    def __init__(self, port, args):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(SOURCE, "tests", "servers", "cutting_relay.py"),
             "--to", str(port)] + list(args), stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline().split()[1])
        self.url = "http://127.0.0.1:%d/" % self.port

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
        self.prefix = os.environ.get("QUASTO_WINEPREFIX") or os.path.join(build, "wineprefix")
        prepare_prefix(build)

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

    def driver(self, *args, timeout=60, lang="C.UTF-8"):
        # Output goes through a file, not a pipe: Wine's background processes
        # inherit the pipe and would keep it open long after the driver ended.
        # `lang` also reaches the programs the driver spawns.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            r = subprocess.run([self.run_sh, os.path.join(self.bin, "ui_driver.exe")] + list(args),
                               env=self.env(lang), stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            text = out.read().decode("utf-8", "replace").replace("\r", "").rstrip("\n")
            if r.returncode == WINE_RUN_UNPREPARED:
                err.seek(0)
                raise RuntimeError(err.read().decode("utf-8", "replace").strip())
        return r.returncode, text

    def set_dpi(self, dpi):
        """The screen's DPI for the programs started from now on."""
        with tempfile.TemporaryFile() as out:
            subprocess.run([self.run_sh, "reg", "add", r"HKCU\Control Panel\Desktop", "/v",
                            "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"],
                           env=self.env("C.UTF-8"), stdout=out, stderr=subprocess.DEVNULL,
                           timeout=60)
        self.wait_idle()

    def wait_idle(self, timeout=60):
        env = dict(os.environ, WINEPREFIX=self.prefix)
        try:
            subprocess.run(["wineserver", "-w"], env=env, timeout=timeout)
        except subprocess.TimeoutExpired:
            # A program a failed test left running must not hold the run.
            subprocess.run(["wineserver", "-k"], env=env)


# wine-run.sh's status when the prefix was not made first.
WINE_RUN_UNPREPARED = 125


def prepare_prefix(build):
    """Makes the Wine prefix, when it is not made yet, before anything is
    timed: on a new machine this takes longer than any wait of a test."""
    r = subprocess.run([os.path.join(build, "wine-run.sh"), "--prepare"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        raise RuntimeError("the Wine prefix could not be made: " +
                           (r.stderr.strip().splitlines() or ["wine-run.sh failed"])[-1])


# Room a control needs beside its text at 96 DPI: a button's edges, a check
# box's box, the inset of a frame's caption.
MARGIN = {"label": 0, "button": 6, "check": 16, "frame": 16, "entry": 4}
SM_CXVSCROLL = 2


def check_fits(wine, r, caption, controls, dpi):
    """Checks that each control shows its whole text: the text measured in
    the font the program gives the control against the control's client
    area. `controls`: (id, kind, face, points, "bold"|"normal"[, text]);
    kind "field" checks the height only, "entry" an edit field's content
    inside its margins, "date" leaves room for the drop-down button."""
    scale = dpi / 96.0
    button = int(wine.driver("metric", str(SM_CXVSCROLL))[1] or 0)
    for cid, kind, face, points, weight, *text in controls:
        rc, out = wine.driver("fit", caption, str(cid), face, str(points), weight, *text)
        if rc != 0:
            r.check(False, "%s control %s: cannot be measured" % (caption, cid))
            continue
        tw, th, cw, ch = (int(v) for v in out.split())
        if kind == "field":
            need = 0
        elif kind == "date":
            need = tw + button + round(4 * scale)
        else:
            need = tw + round(MARGIN[kind] * scale)
        r.check(need <= cw and th <= ch,
                "%s control %s at %d DPI: needs %dx%d, has %dx%d" % (caption, cid, dpi, need, th,
                                                                       cw, ch))


def check_columns(wine, r, caption, cid, texts, face, points, weight, dpi):
    """Checks that the list's columns lie within its client area (with its
    scroll bar) and that each is wide enough for its header and cells;
    `texts` holds the texts of each column."""
    out = wine.driver("columns", caption, str(cid))[1].split()
    widths, client = [int(v) for v in out[:-2]], int(out[-2])
    r.check(sum(widths) <= client, "%s list %s at %d DPI: columns %r exceed its width %d" %
            (caption, cid, dpi, widths, client))
    for col, width in enumerate(widths):
        unique = sorted(set(texts[col]))
        lines = wine.driver("fit", caption, str(cid), face, str(points), weight,
                            *unique)[1].splitlines()
        r.check(len(lines) == len(unique), "%s list %s: %d of %d texts measured" %
                (caption, cid, len(lines), len(unique)))
        for text, line in zip(unique, lines):
            tw = int(line.split()[0])
            r.check(tw + round(12 * dpi / 96.0) <= width, "%s list %s at %d DPI: %r needs %d, "
                    "column %d has %d" % (caption, cid, dpi, text, tw, col, width))


def parse_args(argv, shards):
    """`SCRIPT BUILD [--shard NAME] [CASE...]`: the build folder, the shard's
    name ("" when not sharded) and a filter for the cases to run. `shards`
    names the cases of each shard but the last, which takes every case the
    others do not name, so a new case never goes unrun."""
    build, rest = argv[1], argv[2:]
    shard = ""
    if rest[:1] == ["--shard"]:
        shard, rest = rest[1], rest[2:]
        named = {case for cases in shards.values() for case in cases}
        if shard in shards:
            wanted = set(shards[shard])
        elif shard == "rest":
            wanted = None
        else:
            raise SystemExit("unknown shard %r: %s or rest" % (shard, ", ".join(shards)))
    only = set(rest)

    def selected(case):
        if shard and (case not in wanted if wanted is not None else case in named):
            return False
        return not only or case in only
    return build, shard, selected


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
        started = time.time()
        try:
            fn()
        except Exception as e:  # a broken step fails the test, not the run
            self.check(False, "exception %r" % e)
        took = " (%.1f s)" % (time.time() - started)
        if self.failure:
            self.failed += 1
            print("[ FAIL ] %s%s" % (name, took), flush=True)
        else:
            self.passed += 1
            print("[  OK  ] %s%s" % (name, took), flush=True)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        if self.passed + self.failed == 0:
            print("no test case was selected")
            return 1
        return 1 if self.failed else 0


def winpath(path):
    """A Unix path as Wine's drive Z: shows it."""
    return "Z:" + path.replace("/", "\\")


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path
