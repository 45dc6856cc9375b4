#!/usr/bin/env python3
"""Serves a folder over HTTP on 127.0.0.1, with paths that misbehave on purpose.

  /<path>                  the file, with Content-Length
  /nolength/<path>         the file without Content-Length; the connection closes at the end
  /status/<code>/<rest>    an error page with that status
  /truncate/<path>         announces the whole file, sends half of it, closes
  /slow/<path>             the file in small pieces with pauses
  /redirect/<path>         302 to /<path>
  /hangup/<path>           the file, then the connection closes unannounced

Connections are kept open between requests (HTTP/1.1), except after the
paths that end a body by closing. Prints "PORT <n>" once it listens (port 0
picks a free one). With --log, each request is appended to that file as
"<path> <status> <bytes sent>"; with --connections, each accepted connection
as one line "<client address>:<client port>", written before its first
request is read.
"""
import argparse
import http.server
import os
import sys
import threading
import time
import urllib.parse


def make_handler(root, log_path, connections_path):
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

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
            self.send_response(status)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            self.record(status, len(body))

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            mode = ""
            for prefix in ("/nolength/", "/truncate/", "/slow/", "/redirect/", "/hangup/"):
                if path.startswith(prefix):
                    mode, path = prefix.strip("/"), path[len(prefix) - 1:]
                    break
            if path.startswith("/status/"):
                parts = path.split("/")
                return self.error_page(int(parts[2]))
            if mode == "redirect":
                self.send_response(302)
                self.send_header("Location", path)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return self.record(302, 0)
            data = self.local_file(path)
            if data is None:
                return self.error_page(404)
            self.send_response(200)
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
    args = ap.parse_args()
    class QuietServer(http.server.ThreadingHTTPServer):
        def handle_error(self, request, client_address):
            # Clients that hang up early are part of the tests.
            if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
                super().handle_error(request, client_address)

    server = QuietServer(("127.0.0.1", args.port), make_handler(args.root, args.log, args.connections))
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
