#!/usr/bin/python3
"""FTPS and SFTP servers on 127.0.0.1 for the builder's upload tests.

  secure_server.py start INFO   starts them in the background and writes INFO
  secure_server.py stop INFO    stops them and removes what they used
  secure_server.py run INFO     as start, then waits in the foreground

vsftpd speaks FTPS: explicit TLS ("AUTH TLS"), required for the login and
every data connection, with a self-signed certificate made here. It runs as
the user who starts it and takes anonymous logins only (login "ftp", any
password), with full rights below its root: local logins would need an
account of the machine. Every other login is refused.

OpenSSH's sshd, run with a configuration of its own on a free port, speaks
SFTP only, for the user who starts it, with a key pair made here: a
passphrase-protected private key the builder logs in with (passphrase
"geheim"). Its home folder for SFTP is the root folder below.

INFO holds, one a line: the FTPS port, the SFTP port, the root folder both
serve, the SHA-256 of the certificate's public key and of the SSH host key
(each as "SHA256:<base64>"), the login of the SSH user, the private and
public key files, vsftpd's transfer log (one line per file received,
with its byte count), the work folder, the servers' process ids, and the
port of a web server (tests/servers/http_server.py) over the same root.
"""
import base64
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PASSPHRASE = "geheim"
HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pin_of_der(der):
    return "SHA256:" + base64.b64encode(hashlib.sha256(der).digest()).decode().rstrip("=")


def run(*args, **kwargs):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   **kwargs)


def wait_port(port, proc, name):
    deadline = time.time() + 20
    while time.time() < deadline:
        if proc.poll() is not None:
            raise SystemExit("%s did not start" % name)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("%s did not start in time" % name)


def start(info):
    stop(info)
    work = tempfile.mkdtemp(prefix="quasto-secure-")
    root = os.path.join(work, "root")
    os.mkdir(root)
    os.chmod(root, 0o755)

    # The certificate, and the pin of its public key.
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "cert.key")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
        "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert)
    spki = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-pubkey"], check=True,
                          capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=spki,
                         check=True, capture_output=True).stdout
    cert_pin = pin_of_der(der)

    ftps_port = free_port()
    xferlog = os.path.join(work, "xfer.log")
    conf = os.path.join(work, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
            "listen_port=%d" % ftps_port, "background=NO", "run_as_launching_user=YES",
            "anonymous_enable=YES", "local_enable=NO", "no_anon_password=YES",
            "anon_root=" + root, "write_enable=YES", "anon_upload_enable=YES",
            "anon_mkdir_write_enable=YES", "anon_other_write_enable=YES",
            "anon_world_readable_only=NO", "anon_umask=022",
            "ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
            "force_anon_data_ssl=YES", "force_local_logins_ssl=YES",
            "force_local_data_ssl=YES", "ssl_tlsv1=YES", "ssl_sslv2=NO", "ssl_sslv3=NO",
            "require_ssl_reuse=NO", "rsa_cert_file=" + cert, "rsa_private_key_file=" + key,
            "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
            "xferlog_enable=YES", "xferlog_std_format=YES", "xferlog_file=" + xferlog,
            "dual_log_enable=NO", "use_localtime=NO", "pasv_address=127.0.0.1",
            "connect_from_port_20=NO", "hide_ids=YES", "utf8_filesystem=YES", ""]))
    vsftpd = subprocess.Popen(["/usr/sbin/vsftpd", conf], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)

    # sshd: a host key, a user key with a passphrase, and only SFTP.
    host_key = os.path.join(work, "host_rsa")
    run("ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-N", "", "-m", "PEM", "-f", host_key)
    user_key = os.path.join(work, "user_rsa")
    run("ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-N", PASSPHRASE, "-m", "PEM",
        "-f", user_key)
    authorized = os.path.join(work, "authorized_keys")
    shutil.copy(user_key + ".pub", authorized)
    blob = base64.b64decode(open(host_key + ".pub").read().split()[1])
    host_pin = pin_of_der(blob)
    sftp_port = free_port()
    user = os.environ.get("USER") or subprocess.run(["id", "-un"], capture_output=True,
                                                     text=True).stdout.strip()
    sshd_conf = os.path.join(work, "sshd_config")
    with open(sshd_conf, "w") as f:
        f.write("\n".join([
            "ListenAddress 127.0.0.1", "Port %d" % sftp_port, "HostKey " + host_key,
            "PidFile " + os.path.join(work, "sshd.pid"), "AuthorizedKeysFile " + authorized,
            "StrictModes no", "PasswordAuthentication no", "KbdInteractiveAuthentication no",
            "PubkeyAuthentication yes", "PermitRootLogin prohibit-password", "UsePAM no",
            "AllowUsers " + user, "Subsystem sftp internal-sftp",
            "ForceCommand internal-sftp -d " + root, "AllowTcpForwarding no",
            "X11Forwarding no", "PrintMotd no", "LogLevel ERROR",
            # libssh2 1.10 (Debian's, and the one built for Windows) signs
            # and checks RSA keys with SHA-1 only, which sshd no longer
            # offers unasked. The key exchange is sshd's default.
            "HostKeyAlgorithms rsa-sha2-256,rsa-sha2-512,ssh-rsa",
            "PubkeyAcceptedAlgorithms rsa-sha2-256,rsa-sha2-512,ssh-rsa", ""]))
    if os.geteuid() == 0:
        os.makedirs("/run/sshd", exist_ok=True)  # privilege separation, as root
    sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", sshd_conf],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(work, "sshd.log"), "w"),
                            start_new_session=True)
    # A web server over the same root, so that what was published can be
    # fetched by a client as an installation would.
    http_port = free_port()
    http = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "http_server.py"),
                             "--root", root, "--port", str(http_port)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        wait_port(ftps_port, vsftpd, "vsftpd")
        wait_port(sftp_port, sshd, "sshd")
        wait_port(http_port, http, "http_server.py")
    except SystemExit:
        for p in (vsftpd, sshd, http):
            if p.poll() is None:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)
        raise
    tmp = info + ".tmp"
    with open(tmp, "w") as f:
        f.write("\n".join([str(ftps_port), str(sftp_port), root, cert_pin, host_pin, user,
                           user_key, user_key + ".pub", xferlog, work,
                           "%d %d %d" % (vsftpd.pid, sshd.pid, http.pid), str(http_port), ""]))
    os.replace(tmp, info)
    print(open(info).read().strip())
    return 0


def stop(info):
    try:
        lines = open(info).read().split("\n")
    except FileNotFoundError:
        return 0
    try:
        for pid in lines[10].split():
            try:
                os.killpg(int(pid), signal.SIGTERM)
            except ProcessLookupError:
                pass
    except (ValueError, IndexError):
        pass
    os.remove(info)
    if len(lines) > 9 and os.path.basename(lines[9]).startswith("quasto-secure-"):
        shutil.rmtree(lines[9], ignore_errors=True)
    return 0


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop", "run"):
        print(__doc__, file=sys.stderr)
        return 2
    info = os.path.abspath(sys.argv[2])
    if sys.argv[1] == "stop":
        return stop(info)
    status = start(info)
    if sys.argv[1] == "run" and status == 0:
        try:
            signal.pause()
        finally:
            stop(info)
    return status


if __name__ == "__main__":
    sys.exit(main())
