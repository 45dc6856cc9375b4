#!/usr/bin/python3
"""FTP servers on 127.0.0.1 that misbehave on purpose, one port each, for the
builder's upload tests.

  ftp_fault_server.py start INFO   starts them in the background and writes
                                   INFO: a line "MODE PORT" per server, then
                                   "pid PID"
  ftp_fault_server.py stop INFO    stops them

Modes:
  endless   the greeting is a multi-line reply that never ends ("220-...")
  trickle   the greeting arrives one byte every 20 seconds
  silent    accepts the connection and never says anything
  echo      refuses every login with a reply that repeats the command it
            got, the password included
"""
import os
import signal
import socket
import socketserver
import sys
import threading
import time


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        mode = self.server.mode
        try:
            if mode == "endless":
                line = b"220-" + b"x" * 70 + b"\r\n"
                while True:
                    self.request.sendall(line * 64)
            elif mode == "trickle":
                for b in b"220 Hallo\r\n":
                    self.request.sendall(bytes([b]))
                    time.sleep(20)
                self.request.recv(1024)
            elif mode == "echo":
                self.request.sendall(b"220 Hallo\r\n")
                for line in self.request.makefile("rb"):
                    command = line.rstrip(b"\r\n")
                    if command.upper().startswith(b"USER "):
                        self.request.sendall(b"331 Password required.\r\n")
                    elif command.upper().startswith(b"PASS "):
                        self.request.sendall(b"530 Login incorrect: " + command + b"\r\n")
                    elif command.upper() == b"QUIT":
                        self.request.sendall(b"221 Bye.\r\n")
                        break
                    else:
                        self.request.sendall(b"500 Unknown command: " + command + b"\r\n")
            else:
                while self.request.recv(1024):
                    pass
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def serve(info):
    servers = []
    for mode in ("endless", "trickle", "silent", "echo"):
        s = Server(("127.0.0.1", 0), Handler)
        s.mode = mode
        servers.append(s)
        threading.Thread(target=s.serve_forever, daemon=True).start()
    tmp = info + ".tmp"
    with open(tmp, "w") as f:
        for s in servers:
            f.write("%s %d\n" % (s.mode, s.server_address[1]))
        f.write("pid %d\n" % os.getpid())
    os.replace(tmp, info)
    signal.sigwait([signal.SIGTERM])


def start(info):
    try:
        os.remove(info)
    except FileNotFoundError:
        pass
    pid = os.fork()
    if pid == 0:
        os.setsid()
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM])
        try:
            serve(info)
        finally:
            os._exit(0)
    while not os.path.exists(info):
        if os.waitpid(pid, os.WNOHANG)[0] == pid:
            print("FTP fault server did not start", file=sys.stderr)
            return 1
        time.sleep(0.05)
    print(open(info).read().strip())
    return 0


def stop(info):
    try:
        lines = open(info).read().split("\n")
    except FileNotFoundError:
        return 0
    for line in lines:
        if line.startswith("pid "):
            try:
                os.kill(int(line.split()[1]), signal.SIGTERM)
            except (ProcessLookupError, ValueError):
                pass
    os.remove(info)
    return 0


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        return 2
    info = os.path.abspath(sys.argv[2])
    return start(info) if sys.argv[1] == "start" else stop(info)


if __name__ == "__main__":
    sys.exit(main())
