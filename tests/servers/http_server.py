#!/usr/bin/env python3
"""Serves a folder over HTTP on 127.0.0.1, with paths that misbehave on purpose.

  /<path>                  the file, with Content-Length
  /nolength/<path>         the file without Content-Length; the connection closes at the end
  /status/<code>/<rest>    an error page with that status
  /truncate/<path>         announces the whole file, sends half of it, closes
  /slow/<path>             the file in small pieces with pauses
  /redirect/<path>         302 to /<path>
  /hangup/<path>           the file, then the connection closes unannounced
  /trickle/<path>          announces the whole file, then sends 2 bytes a second
  /stall/<path>            announces the whole file, sends half of it, then goes silent
  /silent/<rest>           reads the request and never answers
  /loop/<rest>             302 to itself, for ever
  /hops/<n>/<path>         n redirects in a row, the last one to /<path>
  /endless/<path>          the file (if any), then zeros for ever, without Content-Length
  /huge/<rest>             announces 100 MiB, then sends zeros
  /gzip/<path>             the file gzip-compressed, with Content-Encoding: gzip,
                           whatever the request accepts
  /partial/<path>          206 with the first half of the file and its Content-Range
  /short/<path>            the file without its last byte, without Content-Length;
                           the connection closes at the end
  /chunked/<path>          the file in chunks of 1,000 bytes (Transfer-Encoding:
                           chunked), with the final empty chunk
  /chunkcut/<path>         the same without the final chunk: the connection closes
  /chunkhalf/<path>        the first half of the file in chunks, then the
                           connection closes
  /chunkstall/<path>       the file in chunks, then silence without the final chunk
  /cutat/<p,q,...>/<path>  with an ETag and Last-Modified, and served in ranges (Range and
                           If-Range: 206 with the rest; 200 with all when If-Range does not
                           match): the body is cut (the connection closes) at the first of
                           p%, q%, ... of the file past the request's first byte
  /norange/<p>/<path>      announces the whole file with an ETag, ignores Range (200 with
                           all of it), and cuts at p% a request that asks for no range
  /headers                 the request's header lines as the body
  /identity-only/<path>    the file as it is when the request asks for identity
                           encoding (Accept-Encoding: identity), else gzip-compressed
                           with its Content-Encoding, as servers that compress do

Connections are kept open between requests (HTTP/1.1), except after the
paths that end a body by closing. Prints "PORT <n>" once it listens (port 0
picks a free one). Each --endless NAME serves /NAME as /endless/NAME does,
each --stall NAME as /stall/NAME does, each --cut P,Q:NAME as /cutat/P,Q/NAME does,
each --status CODE:NAME as /status/CODE/NAME does.
With --validators, a file served whole (also by /stall/ and /slow/) names its
version with an ETag and a Last-Modified; --ranges adds that a request for
"Range: bytes=N-" whose If-Range is that ETag (or that has none) gets 206
with the rest of the file, whole (a /stall/ file too). With --log, each request is appended to that file as
"<path> <status> <bytes sent>"; with --connections, each accepted connection
as one line "<client address>:<client port>", written before its first
request is read.
"""
import argparse
import gzip
import hashlib
import http.server
import os
import select
import sys
import threading
import time
import urllib.parse


def make_handler(root, log_path, connections_path, endless=(), stall=(), cut=(),
                 validators=False, ranges=False, statuses=()):
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # Headers and body go out in separate writes: with Nagle's algorithm
        # the body waits for the client's delayed acknowledgement, 40 ms a
        # request, which the clients would be blamed for.
        disable_nagle_algorithm = True

        def setup(self):
            super().setup()
            if connections_path:
                with lock, open(connections_path, "a", encoding="utf-8") as f:
                    f.write("%s:%d\n" % self.client_address[:2])

        def log_message(self, fmt, *args):  # keep stderr quiet
            pass

        def record(self, status, sent):
            if not log_path:
                return
            with lock, open(log_path, "a", encoding="utf-8") as f:
                f.write("%s %d %d\n" % (self.path, status, sent))

        def local_file(self, rel):
            rel = urllib.parse.unquote(rel, encoding="utf-8", errors="strict")
            full = os.path.realpath(os.path.join(root, rel.lstrip("/")))
            if not full.startswith(os.path.realpath(root) + os.sep) or not os.path.isfile(full):
                return None
            with open(full, "rb") as f:
                return f.read()

        def error_page(self, status):
            body = ("<html><body>Error %d</body></html>" % status).encode()
            if status in (204, 304):
                body = b""  # these answers never have a body
            self.send_response(status)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            self.record(status, len(body))

        def redirect(self, location):
            # Logged before the answer goes out, so a client that stops at it
            # finds it counted.
            self.record(302, 0)
            self.send_response(302)
            self.send_header("Location", location)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def wait_for_hangup(self, seconds=600):
            """Holds the connection, sending nothing, until the client closes it."""
            end = time.time() + seconds
            while time.time() < end:
                readable, _, _ = select.select([self.connection], [], [], 1.0)
                if readable:
                    try:
                        if not self.connection.recv(4096):
                            break
                    except OSError:
                        break
            self.close_connection = True

        def zeros(self, data, length):
            """Sends data, then zeros up to length bytes (None: for ever)."""
            chunk = bytes(65536)
            sent = 0
            try:
                self.wfile.write(data)
                sent = len(data)
                while length is None or sent < length:
                    piece = chunk if length is None else chunk[: min(len(chunk), length - sent)]
                    self.wfile.write(piece)
                    sent += len(piece)
            except OSError:
                pass
            self.close_connection = True
            self.record(200, sent)

        def chunks(self, data, mode):
            """The body in chunks; "chunkcut" leaves out the final empty chunk,
            "chunkhalf" stops half-way; both then close the connection."""
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Transfer-Encoding", "chunked")
            if mode in ("chunkcut", "chunkhalf"):
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            if mode == "chunkhalf":
                data = data[: len(data) // 2]
            try:
                for i in range(0, len(data), 1000):
                    piece = data[i : i + 1000]
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                if mode == "chunked":
                    self.wfile.write(b"0\r\n\r\n")
                self.wfile.flush()
            except OSError:
                pass
            self.record(200, len(data))
            if mode == "chunkstall":
                self.wait_for_hangup()

        def cut_ranges(self, path):
            """/cutat/ and /norange/: see the module's description."""
            _, kind, cuts, rest = path.split("/", 3)
            data = self.local_file("/" + rest)
            if data is None:
                return self.error_page(404)
            etag = '"%s"' % hashlib.sha256(data).hexdigest()[:16]
            first = 0
            asked = self.headers.get("Range") or ""
            if asked.startswith("bytes=") and asked.endswith("-") and kind == "cutat":
                condition = self.headers.get("If-Range")
                if condition is None or condition == etag:
                    first = int(asked[len("bytes="):-1])
            ends = [len(data) * int(c) // 100 for c in cuts.split(",")]
            if kind == "norange" and asked:
                ends = []
            end = next((e for e in ends if e > first), len(data))
            self.send_response(206 if first > 0 else 200)
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", self.date_time_string(0))
            self.send_header("Accept-Ranges", "bytes" if kind == "cutat" else "none")
            if first > 0:
                self.send_header("Content-Range",
                                 "bytes %d-%d/%d" % (first, len(data) - 1, len(data)))
            self.send_header("Content-Length", str(len(data) - first))
            if end < len(data):
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            self.wfile.write(data[first:end])
            self.wfile.flush()
            return self.record(206 if first > 0 else 200, end - first)

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            mode = ""
            if urllib.parse.unquote(path.lstrip("/")) in endless:
                path = "/endless" + path
            if urllib.parse.unquote(path.lstrip("/")) in stall:
                path = "/stall" + path
            for cuts, name in (c.split(":", 1) for c in cut):
                if urllib.parse.unquote(path.lstrip("/")) == name:
                    path = "/cutat/" + cuts + path
            for code, name in (c.split(":", 1) for c in statuses):
                if urllib.parse.unquote(path.lstrip("/")) == name:
                    path = "/status/" + code + path
            if path.startswith("/endless/"):
                data = self.local_file(path[len("/endless"):]) or b""
                self.send_response(200)
                self.send_header("Connection", "close")
                self.end_headers()
                return self.zeros(data, None)
            if path.startswith("/huge/"):
                self.send_response(200)
                self.send_header("Content-Length", str(100 << 20))
                self.end_headers()
                return self.zeros(b"", 100 << 20)
            for prefix in ("/nolength/", "/truncate/", "/slow/", "/redirect/", "/hangup/",
                           "/trickle/", "/stall/", "/gzip/", "/partial/", "/short/", "/chunked/",
                           "/chunkcut/", "/chunkhalf/", "/chunkstall/", "/identity-only/"):
                if path.startswith(prefix):
                    mode, path = prefix.strip("/"), path[len(prefix) - 1:]
                    break
            if path == "/headers":
                body = str(self.headers).encode("latin-1")
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                return self.record(200, len(body))
            if path.startswith("/status/"):
                parts = path.split("/")
                return self.error_page(int(parts[2]))
            if path.startswith("/silent/"):
                self.record(0, 0)
                return self.wait_for_hangup()
            if path.startswith("/loop/"):
                return self.redirect(path)
            if path.startswith("/cutat/") or path.startswith("/norange/"):
                return self.cut_ranges(path)
            if path.startswith("/hops/"):
                parts = path.split("/", 3)
                n = int(parts[2])
                rest = parts[3] if len(parts) > 3 else ""
                return self.redirect("/hops/%d/%s" % (n - 1, rest) if n > 1 else "/" + rest)
            if mode == "redirect":
                return self.redirect(path)
            data = self.local_file(path)
            if data is None:
                return self.error_page(404)
            if mode in ("chunked", "chunkcut", "chunkhalf", "chunkstall"):
                return self.chunks(data, mode)
            if mode == "identity-only":
                asked = (self.headers.get("Accept-Encoding") or "").strip().lower()
                mode = "" if asked == "identity" else "gzip"
            if mode == "gzip":
                data = gzip.compress(data)
            if mode == "partial":
                half = data[: len(data) // 2]
                self.send_response(206)
                self.send_header("Content-Range", "bytes 0-%d/%d" % (len(half) - 1, len(data)))
                self.send_header("Content-Length", str(len(half)))
                self.end_headers()
                self.wfile.write(half)
                return self.record(206, len(half))
            if mode == "short":
                data = data[:-1]
                mode = "nolength"
            named = (validators or ranges) and mode in ("", "stall", "slow")
            etag = '"%s"' % hashlib.sha256(data).hexdigest()[:16]
            asked = self.headers.get("Range") or ""
            if (named and ranges and asked.startswith("bytes=") and asked.endswith("-")
                    and self.headers.get("If-Range") in (None, etag)):
                first = int(asked[len("bytes="):-1])
                if 0 < first < len(data):
                    self.send_response(206)
                    self.send_header("ETag", etag)
                    self.send_header("Last-Modified", self.date_time_string(0))
                    self.send_header("Content-Range",
                                     "bytes %d-%d/%d" % (first, len(data) - 1, len(data)))
                    self.send_header("Content-Length", str(len(data) - first))
                    self.end_headers()
                    self.wfile.write(data[first:])
                    return self.record(206, len(data) - first)
            self.send_response(200)
            if named:
                self.send_header("ETag", etag)
                self.send_header("Last-Modified", self.date_time_string(0))
            if mode == "gzip":
                self.send_header("Content-Encoding", "gzip")
            self.send_header("Content-Type", "application/octet-stream")
            if mode != "nolength":
                self.send_header("Content-Length", str(len(data)))
            if mode in ("nolength", "truncate"):
                # Only the end of the connection ends these bodies.
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            if mode == "truncate":
                data = data[: len(data) // 2]
            if mode == "trickle":
                try:
                    for i in range(len(data)):
                        self.wfile.write(data[i : i + 1])
                        self.wfile.flush()
                        time.sleep(0.5)
                except OSError:
                    pass
                self.close_connection = True
                return self.record(200, 0)
            if mode == "stall":
                self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
                self.record(200, len(data) // 2)
                return self.wait_for_hangup()
            if mode == "slow":
                step = max(1, len(data) // 8)
                for i in range(0, len(data), step):
                    self.wfile.write(data[i : i + step])
                    self.wfile.flush()
                    time.sleep(0.05)
            else:
                self.wfile.write(data)
            self.record(200, len(data))
            if mode == "hangup":
                self.close_connection = True

    return Handler


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--log")
    ap.add_argument("--connections")
    ap.add_argument("--endless", action="append", default=[])
    ap.add_argument("--stall", action="append", default=[])
    ap.add_argument("--cut", action="append", default=[])
    ap.add_argument("--status", action="append", default=[])
    ap.add_argument("--validators", action="store_true")
    ap.add_argument("--ranges", action="store_true")
    args = ap.parse_args()
    class QuietServer(http.server.ThreadingHTTPServer):
        def handle_error(self, request, client_address):
            # Clients that hang up early are part of the tests.
            if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
                super().handle_error(request, client_address)

    handler = make_handler(args.root, args.log, args.connections, tuple(args.endless),
                           tuple(args.stall), tuple(args.cut), args.validators, args.ranges,
                           tuple(args.status))
    server = QuietServer(("127.0.0.1", args.port), handler)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
