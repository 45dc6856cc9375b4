#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 in front of an HTTP server, that breaks chosen responses.

  cutting_relay.py --to PORT [--cut N:PATH]... [--stall N:PATH]...

Each client connection gets a connection of its own to 127.0.0.1:PORT, and
the bytes go through unchanged both ways, but for these:

  --cut N:PATH     the next response to a request for /PATH that is not yet
                   cut is cut after N bytes of its body: the client gets its
                   headers and those N bytes, then both connections close.
                   Given twice for a path, the first two responses are cut,
                   each at its own N.
  --stall N:PATH   the same, but the connections stay open and nothing more
                   is passed on: the server's rest is never read.

PATH is the request's path without its leading "/"; it and the request's
are compared with their percent-encoding undone. Responses are told apart by their Content-Length; after a body
without one the relay passes everything on and cuts no more on that
connection. Its socket buffers to the server are small, so a server's count
of bytes sent is close to what reached the client. Prints "PORT <n>" once it
listens.
"""
import argparse
import socket
import sys
import threading
import urllib.parse

# Small buffers towards the server: what the server counts as sent, beyond
# what the relay passed on, stays within them.
UPSTREAM_BUFFER = 16384
READ_SIZE = 8192


class Faults:
    """The cuts still to make, shared by all connections."""

    def __init__(self, cuts, stalls):
        self.lock = threading.Lock()
        self.pending = {}
        for spec, stall in [(c, False) for c in cuts] + [(s, True) for s in stalls]:
            after, path = spec.split(":", 1)
            self.pending.setdefault(urllib.parse.unquote(path), []).append((int(after), stall))

    def take(self, path):
        """The cut for the next response to `path`, (after, stall), or None."""
        with self.lock:
            queue = self.pending.get(urllib.parse.unquote(path.lstrip("/")))
            return queue.pop(0) if queue else None


def headers_end(buf):
    at = buf.find(b"\r\n\r\n")
    return -1 if at < 0 else at + 4


def header_value(head, name):
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name:
            return value.strip()
    return None


class Connection:
    def __init__(self, client, upstream_port, faults):
        self.client = client
        self.faults = faults
        self.upstream = socket.socket()
        self.upstream.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, UPSTREAM_BUFFER)
        self.upstream.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, UPSTREAM_BUFFER)
        self.upstream.connect(("127.0.0.1", upstream_port))
        # The requests sent, oldest first, whose responses are still to come:
        # (method, path).
        self.requests = []
        self.requests_changed = threading.Condition()
        self.closed = False

    def run(self):
        threading.Thread(target=self.requests_up, daemon=True).start()
        try:
            self.responses_down()
        finally:
            self.close()

    def close(self):
        with self.requests_changed:
            self.closed = True
            self.requests_changed.notify_all()
        for s in (self.client, self.upstream):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def requests_up(self):
        """Passes requests on, noting each one's method and path."""
        buf = b""
        try:
            while True:
                data = self.client.recv(READ_SIZE)
                if not data:
                    break
                buf += data
                while True:
                    end = headers_end(buf)
                    if end < 0:
                        break
                    head = buf[:end]
                    length = int(header_value(head, b"content-length") or 0)
                    if len(buf) < end + length:
                        break
                    parts = head.split(b"\r\n", 1)[0].split(b" ")
                    with self.requests_changed:
                        self.requests.append((parts[0], parts[1].decode("latin-1")
                                              if len(parts) > 1 else ""))
                        self.requests_changed.notify_all()
                    buf = buf[end + length:]
                self.upstream.sendall(data)
        except OSError:
            pass
        try:
            self.upstream.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def next_request(self):
        with self.requests_changed:
            while not self.requests and not self.closed:
                self.requests_changed.wait()
            return self.requests.pop(0) if self.requests else (b"", "")

    def responses_down(self):
        """Passes responses on, cutting those the faults name."""
        buf = b""
        while True:
            end = headers_end(buf)
            if end < 0:
                data = self.upstream.recv(READ_SIZE)
                if not data:
                    return
                buf += data
                continue
            head = buf[:end]
            buf = buf[end:]
            status = int(head.split(b" ", 2)[1])
            if 100 <= status < 200:
                self.client.sendall(head)
                continue
            method, path = self.next_request()
            length = header_value(head, b"content-length")
            if method == b"HEAD" or status in (204, 304):
                length = b"0"
            if length is None:
                # No telling where it ends: everything else goes through.
                self.client.sendall(head + buf)
                while True:
                    data = self.upstream.recv(READ_SIZE)
                    if not data:
                        return
                    self.client.sendall(data)
            fault = self.faults.take(path.split("?", 1)[0])
            buf = self.relay_body(head, buf, int(length), fault)
            if buf is None:
                return

    def relay_body(self, head, buf, length, fault):
        """Sends one response on; returns what came after its body, or None
        when it was cut or the server closed."""
        self.client.sendall(head)
        limit = length if fault is None else min(length, fault[0])
        sent = 0
        while sent < limit:
            if not buf:
                buf = self.upstream.recv(READ_SIZE)
                if not buf:
                    return None
            take = min(len(buf), limit - sent)
            self.client.sendall(buf[:take])
            sent += take
            buf = buf[take:]
        if limit < length:
            if fault[1]:
                # Holds both connections until the client goes.
                while self.client.recv(READ_SIZE):
                    pass
            return None
        return buf


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--to", type=int, required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--cut", action="append", default=[])
    ap.add_argument("--stall", action="append", default=[])
    args = ap.parse_args()
    faults = Faults(args.cut, args.stall)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            connection = Connection(client, args.to, faults)
        except OSError:
            client.close()
            continue
        threading.Thread(target=connection.run, daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
