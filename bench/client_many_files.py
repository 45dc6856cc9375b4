#!/usr/bin/python3
"""Client benchmark of many small files: the console client updates an
installation from a local nginx, set against curl fetching the same payloads
(one process, the URL list in a config file) plus one `xz -d` process
decoding them, in the same run. Counts the connections nginx accepted for
the client.

  client_many_files.py BIN_DIR [--files 2000,5000] [--rounds 2] [--keep]

Each number of files (comma-separated) is an update set and a measure of
its own, with its own lines.

BIN_DIR holds quastorell and quastorell-builder of an optimised build. The
update set is made by the builder from slices of real program files.
"""
import argparse
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

PROGRAM_FOLDERS = ["/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/x86_64-linux-gnu"]

NGINX_CONF = """
worker_processes 1;
daemon off;
error_log {prefix}/error.log;
pid {prefix}/nginx.pid;
events {{ worker_connections 64; }}
http {{
    # $connection is nginx's serial number of the connection a request came on.
    log_format conn '$connection $request_uri $status';
    access_log {prefix}/access.log conn;
    client_body_temp_path {prefix}/tmp;
    proxy_temp_path {prefix}/tmp;
    fastcgi_temp_path {prefix}/tmp;
    uwsgi_temp_path {prefix}/tmp;
    scgi_temp_path {prefix}/tmp;
    default_type application/octet-stream;
    # The default of 1,000 requests a connection would cut an update of
    # 2,000 files into three connections; a server may allow more.
    keepalive_requests 100000;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def program_slices(count):
    files = []
    for folder in PROGRAM_FOLDERS:
        if os.path.isdir(folder):
            files = sorted(os.path.join(folder, n) for n in os.listdir(folder))
            files = [f for f in files if os.path.isfile(f) and os.path.getsize(f) > 4096]
            if files:
                break
    for i in range(count):
        with open(files[i % len(files)], "rb") as fh:
            fh.seek((i * 7919) % 4096)
            yield fh.read(1024 + (i * 2654435761) % 15360)


def timed(cmd, **kw):
    start = time.monotonic()
    subprocess.run(cmd, check=True, **kw)
    return time.monotonic() - start


def connections(log, first_line):
    with open(log) as f:
        lines = f.readlines()[first_line:]
    return len({line.split()[0] for line in lines}), len(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bin")
    ap.add_argument("--files", default="2000,5000")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    bin_dir = os.path.abspath(args.bin)
    for tool in ("nginx", "curl", "xz"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            sys.exit("%s is missing" % tool)
    nginx_exe = shutil.which("nginx") or "/usr/sbin/nginx"
    for count in (int(n) for n in args.files.split(",")):
        measure(count, args, bin_dir, nginx_exe)


def measure(files, args, bin_dir, nginx_exe):
    work = tempfile.mkdtemp(prefix="quasto-bench-many-")
    os.chmod(work, 0o755)  # nginx's worker reads the site as another user
    nginx = None
    try:
        # The release and its update set, made by the builder.
        src = os.path.join(work, "release")
        for i, data in enumerate(program_slices(files)):
            path = os.path.join(src, "m%02d" % (i % 20), "f%04d.dll" % i)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        base = os.path.join(work, "base")
        site = os.path.join(work, "site")
        builder = os.path.join(bin_dir, "quastorell-builder")
        subprocess.run([builder, "--base", base, "new", "Many", "--source", src, "--target",
                        site], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([builder, "--base", base, "generate", "Many"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.copy(os.path.join(base, "Projects", "Many", "Quastorell.uif"), site)

        # The same payloads for xz: the .lzma container wants the content's
        # length after the five property bytes.
        packed = sorted(n for n in os.listdir(site) if n.endswith(".uzf"))
        ref_site = os.path.join(site, "ref")
        os.makedirs(ref_site)
        stored = 0
        for n in packed:
            with open(os.path.join(site, n), "rb") as f:
                blob = f.read()
            payload_len, content_len = struct.unpack("<dd", blob[:16])
            if payload_len == 0:
                stored += 1
                continue
            with open(os.path.join(ref_site, n[:-4] + ".lzma"), "wb") as f:
                f.write(blob[16:21] + struct.pack("<Q", int(content_len)) + blob[21:])
        for dp, dns, fns in os.walk(work):
            for d in dns:
                os.chmod(os.path.join(dp, d), 0o755)
            for n in fns:
                os.chmod(os.path.join(dp, n), 0o644)

        port = free_port()
        prefix = os.path.join(work, "nginx")
        os.makedirs(os.path.join(prefix, "tmp"))
        conf = os.path.join(prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(prefix=prefix, port=port, root=site))
        nginx = subprocess.Popen([nginx_exe, "-p", prefix, "-c", conf],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        url = "http://127.0.0.1:%d/" % port
        # Wait for as long as nginx lives: its first start may be slow.
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if nginx.poll() is not None:
                    sys.exit("nginx did not start (status %d)" % nginx.returncode)
                time.sleep(0.05)
        access = os.path.join(prefix, "access.log")

        refs = sorted(os.listdir(ref_site))
        curl_cfg = os.path.join(work, "curl.cfg")
        dl = os.path.join(work, "dl")
        with open(curl_cfg, "w") as f:
            for n in refs:
                f.write('url = "%sref/%s"\noutput = "%s/%s"\n' % (url, n, dl, n))

        def reference():
            shutil.rmtree(dl, ignore_errors=True)
            os.makedirs(dl)
            start = time.monotonic()
            subprocess.run(["curl", "-s", "-f", "-g", "-K", curl_cfg], check=True)
            subprocess.run(["xz", "-d", "--format=lzma", "-f"] +
                           [os.path.join(dl, n) for n in refs], check=True)
            return time.monotonic() - start

        install = os.path.join(work, "install")

        def client():
            shutil.rmtree(install, ignore_errors=True)
            os.makedirs(os.path.join(install, "Quasto"))
            shutil.copy(os.path.join(bin_dir, "quastorell"), install)
            with open(os.path.join(install, "Quasto", "Quastorell.ucf"), "w") as f:
                f.write('{"ProgInfo": "Bench", "ProgExe": "", "Restart": 0, "Mutex": "", '
                        '"URL": "%s"}' % url)
            with open(access) as f:
                first = len(f.readlines())
            wall = timed([os.path.join(install, "quastorell"), "--unattended"],
                         stdout=subprocess.DEVNULL)
            time.sleep(0.2)  # nginx writes its log line after the response
            return wall, connections(access, first)

        refs_t, client_t, conns = [], [], []
        for _ in range(args.rounds):
            refs_t.append(reference())
            wall, c = client()
            client_t.append(wall)
            conns.append(c)

        # The client's result equals the release.
        same = all(open(os.path.join(src, rel), "rb").read() ==
                   open(os.path.join(install, rel), "rb").read()
                   for rel in (os.path.relpath(os.path.join(dp, n), src)
                               for dp, _, ns in os.walk(src) for n in ns))
        if not same:
            sys.exit("the client's installation differs from the release")

        r, c = min(refs_t), min(client_t)
        print("files %d:" % files)
        print("set:      %d files (%d stored, not in the reference), %.1f MB packed; best of %d" %
              (len(packed), stored,
               sum(os.path.getsize(os.path.join(site, n)) for n in packed) / 1e6, args.rounds))
        print("times:    quastorell %.2f s, curl -K + xz -d %.2f s" % (c, r))
        print("ratio quastorell / (curl + xz -d): %.3f (target <= 1.3)" % (c / r))
        worst = max(conns)
        print("connections for the client's update: %d for %d requests (target <= 2)" %
              (worst[0], worst[1]))
    finally:
        if nginx is not None:
            nginx.send_signal(signal.SIGQUIT)
            try:
                nginx.wait(timeout=10)
            except subprocess.TimeoutExpired:
                nginx.kill()
        if args.keep:
            print("kept:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
