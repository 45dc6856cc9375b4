#!/usr/bin/python3
"""FTP server on 127.0.0.1 for the builder's upload tests (pyftpdlib).

  ftp_server.py start INFO   starts the server in the background and writes
                             INFO: port, root folder, process id and the path
                             of its log, one a line
  ftp_server.py stop INFO    stops the server named in INFO
  ftp_server.py run INFO     runs in the foreground

Users (password "geheim" for each):
  quasto    full rights in the root folder
  readonly  may log in, list and change directories, but not store
  halb      full rights, but the server keeps only the first half of every
            file it receives, and says the transfer is complete
  abbruch   full rights, but the server ends the connection right after it
            confirmed a change into a directory named "kappen"
Every other login is refused.

The log (INFO + ".log") has a line per command that creates, stores,
renames or deletes, and per finished or broken-off transfer: the command and
the path it works on in the server's file system, tab-separated, for
example "STOR\t/tmp/quasto-ftp-x/demo/Quastorell.uif.~qup".
"""
import os
import shutil
import signal
import sys
import tempfile
import time

PASSWORD = "geheim"


def serve(info):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    root = tempfile.mkdtemp(prefix="quasto-ftp-")
    auth = DummyAuthorizer()
    auth.add_user("quasto", PASSWORD, root, perm="elradfmwMT")
    auth.add_user("readonly", PASSWORD, root, perm="elr")
    auth.add_user("halb", PASSWORD, root, perm="elradfmwMT")
    auth.add_user("abbruch", PASSWORD, root, perm="elradfmwMT")

    log = open(info + ".log", "a", encoding="utf-8", errors="backslashreplace", buffering=1)

    class Handler(FTPHandler):
        authorizer = auth
        passive_ports = None
        permit_foreign_addresses = False

        def process_command(self, cmd, *args, **kwargs):
            if cmd in ("MKD", "STOR", "RNFR", "RNTO", "DELE"):
                log.write("%s\t%s\n" % (cmd, args[0] if args else ""))
            return super().process_command(cmd, *args, **kwargs)

        def ftp_CWD(self, path):
            result = super().ftp_CWD(path)
            if self.username == "abbruch" and os.path.basename(path.rstrip("/")) == "kappen":
                self.close_when_done()
            return result

        def on_file_received(self, file):
            log.write("RECEIVED\t%s\n" % file)
            if self.username == "halb":
                os.truncate(file, os.path.getsize(file) // 2)

        def on_incomplete_file_received(self, file):
            log.write("INCOMPLETE\t%s\n" % file)

    Handler.encoding = "utf-8"
    server = FTPServer(("127.0.0.1", 0), Handler)
    server.max_cons = 64
    port = server.socket.getsockname()[1]
    tmp = info + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n%s\n%d\n%s\n" % (port, root, os.getpid(), info + ".log"))
    os.replace(tmp, info)
    signal.signal(signal.SIGTERM, lambda *_: server.close_all())
    server.serve_forever(handle_exit=True)


def start(info):
    for stale in (info, info + ".log"):
        try:
            os.remove(stale)
        except FileNotFoundError:
            pass
    pid = os.fork()
    if pid == 0:
        os.setsid()
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        try:
            serve(info)
        finally:
            os._exit(0)
    # The first start on a new machine imports pyftpdlib cold: wait for as
    # long as the server lives rather than for a time that may run out.
    while not os.path.exists(info):
        if os.waitpid(pid, os.WNOHANG)[0] == pid:
            print("FTP server did not start", file=sys.stderr)
            return 1
        time.sleep(0.05)
    print(open(info).read().strip())
    return 0


def stop(info):
    try:
        lines = open(info).read().split("\n")
    except FileNotFoundError:
        return 0
    try:
        os.kill(int(lines[2]), signal.SIGTERM)
    except (ProcessLookupError, ValueError, IndexError):
        pass
    os.remove(info)
    try:
        os.remove(info + ".log")
    except FileNotFoundError:
        pass
    if len(lines) > 1 and os.path.basename(lines[1]).startswith("quasto-ftp-"):
        shutil.rmtree(lines[1], ignore_errors=True)
    return 0


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop", "run"):
        print(__doc__, file=sys.stderr)
        return 2
    info = os.path.abspath(sys.argv[2])
    if sys.argv[1] == "start":
        return start(info)
    if sys.argv[1] == "stop":
        return stop(info)
    serve(info)
    return 0


if __name__ == "__main__":
    sys.exit(main())
