#!/usr/bin/env python3
"""Real web servers for tests and the demo, each started on a free 127.0.0.1 port with a
configuration in a folder of the caller's, and stopped by its PID.

  nginx   serves a web root; /protected/ asks for HTTP Basic authorization
          (user and password given by the caller, stored with `openssl passwd -apr1`);
          optionally also over TLS, one port per certificate (make_test_certificates).
  tinyproxy  an HTTP proxy that only accepts clients from 127.0.0.1.

Used as a module (start_nginx, start_tinyproxy, stop) and by with_servers.py.
"""

import os
import random
import shutil
import signal
import socket
import subprocess
import time

HOST = "127.0.0.1"


def free_port():
    """A free port from 20000 to 32767: the control takes ports as 16-bit signed numbers, and
    the system's own ephemeral ports lie above that range."""
    rng = random.Random()
    for _ in range(200):
        port = rng.randint(20000, 32767)
        with socket.socket() as s:
            try:
                s.bind((HOST, port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port from 20000 to 32767")


def wait_listening(port, proc, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            with socket.create_connection((HOST, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Server:
    def __init__(self, name, proc, port, workdir):
        self.name, self.proc, self.port, self.workdir = name, proc, port, workdir

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(5)


def start_nginx(workdir, webroot, user="orvane", password="s3cret:pass", tls_sites=None,
                tls_ciphers=None):
    """Starts nginx serving `webroot`; returns a Server. Files under webroot/protected/ need
    Basic authorization with `user` and `password`. `tls_sites` ({name: (certificate file,
    key file)}) adds one HTTPS port per site serving the same root; the Server's tls_ports
    maps each name to its port. `tls_ciphers` (an OpenSSL cipher list) makes those ports
    choose their TLS 1.2 cipher from it, in its order, whatever the client prefers."""
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    os.makedirs(workdir, exist_ok=True)
    htpasswd = os.path.join(workdir, "htpasswd")
    hashed = subprocess.run(["openssl", "passwd", "-apr1", password], check=True,
                            capture_output=True, text=True).stdout.strip()
    with open(htpasswd, "w") as f:
        f.write(f"{user}:{hashed}\n")
    port = free_port()
    tls_ports = {}
    tls_servers = ""
    ciphers = (f"\n        ssl_ciphers {tls_ciphers};\n        ssl_prefer_server_ciphers on;"
               if tls_ciphers else "")
    for name, (cert, key) in (tls_sites or {}).items():
        tls_ports[name] = free_port()
        while tls_ports[name] == port or list(tls_ports.values()).count(tls_ports[name]) > 1:
            tls_ports[name] = free_port()
        tls_servers += f"""
    server {{
        listen {HOST}:{tls_ports[name]} ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_protocols TLSv1.2 TLSv1.3;{ciphers}
        root {webroot};
        location /to-plain/ {{
            return 302 http://{HOST}:{port}/;
        }}
        location /protected/ {{
            auth_basic "Orvane";
            auth_basic_user_file {htpasswd};
        }}
    }}"""
    conf = os.path.join(workdir, "nginx.conf")
    temp = os.path.join(workdir, "temp")
    os.makedirs(temp, exist_ok=True)
    with open(conf, "w") as f:
        f.write(f"""
daemon off;
master_process off;
worker_processes 1;
user root;
pid {workdir}/nginx.pid;
error_log {workdir}/error.log warn;
events {{ worker_connections 256; }}
http {{
    access_log {workdir}/access.log;
    default_type application/octet-stream;
    client_body_temp_path {temp}/body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
    sendfile on;
    server {{
        listen {HOST}:{port};
        root {webroot};
        location /protected/ {{
            auth_basic "Orvane";
            auth_basic_user_file {htpasswd};
        }}
    }}{tls_servers}
}}
""")
    proc = subprocess.Popen([nginx, "-c", conf, "-p", workdir], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(workdir, "stderr.log"), "w"))
    server = Server("nginx", proc, port, workdir)
    server.tls_ports = tls_ports
    if not all(wait_listening(p, proc) for p in [port] + list(tls_ports.values())):
        server.stop()
        raise RuntimeError("nginx did not start; see " + workdir)
    return server


def _openssl(*args, cwd=None):
    subprocess.run(["openssl", *args], check=True, cwd=cwd, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _make_ca(folder, name, parent=None):
    """A certificate authority with an `openssl ca` database in `folder`: self-signed, or an
    intermediate one issued by the authority in folder `parent`."""
    os.makedirs(os.path.join(folder, "issued"), exist_ok=True)
    cert, key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca.key")
    if parent is None:
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                 "-days", "3650", "-subj", f"/CN={name}",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    else:
        csr, ext = os.path.join(folder, "ca.csr"), os.path.join(folder, "ca.ext")
        with open(ext, "w") as f:
            f.write("basicConstraints = critical, CA:TRUE\n"
                    "keyUsage = critical, keyCertSign, cRLSign\n")
        _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                 "-subj", f"/CN={name}")
        _openssl("ca", "-batch", "-config", os.path.join(parent, "ca.cnf"), "-in", csr,
                 "-out", cert, "-days", "3650", "-extfile", ext, "-notext")
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write(f"{random.randint(0x1000, 0xFFFFFF):08X}\n")
    with open(os.path.join(folder, "ca.cnf"), "w") as f:
        f.write(f"""[ ca ]
default_ca = test_ca
[ test_ca ]
database = {folder}/index.txt
new_certs_dir = {folder}/issued
serial = {folder}/serial
certificate = {cert}
private_key = {key}
default_md = sha256
policy = any
unique_subject = no
email_in_dn = no
[ any ]
commonName = supplied
""")
    return folder


def _issue(ca_folder, out_folder, name, dns_name, start, end):
    """A server certificate for `dns_name` from the authority in `ca_folder`, valid from
    `start` to `end` (YYYYMMDDHHMMSSZ); returns (certificate file, key file)."""
    key = os.path.join(out_folder, name + ".key")
    csr = os.path.join(out_folder, name + ".csr")
    cert = os.path.join(out_folder, name + ".pem")
    ext = os.path.join(out_folder, name + ".ext")
    with open(ext, "w") as f:
        f.write("basicConstraints = critical, CA:FALSE\n"
                "keyUsage = critical, digitalSignature, keyEncipherment\n"
                "extendedKeyUsage = serverAuth\n"
                f"subjectAltName = DNS:{dns_name}\n")
    _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
             "-subj", f"/CN={dns_name}")
    _openssl("ca", "-batch", "-config", os.path.join(ca_folder, "ca.cnf"), "-in", csr,
             "-out", cert, "-startdate", start, "-enddate", end, "-extfile", ext, "-notext")
    return cert, key


def make_test_certificates(folder):
    """Test certificates made with the openssl command line in `folder`:
      ca          the test authority (ca/ca.pem), which a test adds to the trusted roots
      localhost   a server certificate for localhost from the test authority
      otherhost   one for another host name (other.invalid) from the test authority
      expired     one for localhost from the test authority whose dates lie in the past
      untrusted   one for localhost from a second authority that nobody trusts
      chained     one for localhost from an intermediate authority of the test authority,
                  served with the intermediate
      partial     the same without the intermediate: the chain stops short of the root
    Returns {name: (certificate file, key file)} for the server certificates and
    "ca" -> the authority's certificate file (PEM)."""
    os.makedirs(folder, exist_ok=True)
    # The authorities' names are this call's own: test programs that run side by side in one
    # prefix each trust their own authority, and a chain must never be built up to another
    # program's authority of the same name.
    tag = os.urandom(4).hex()
    ca = _make_ca(os.path.join(folder, "ca"), "Orvane Test CA " + tag)
    other_ca = _make_ca(os.path.join(folder, "untrusted-ca"), "Orvane Untrusted Test CA " + tag)
    start = time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() - 86400))
    end = time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + 365 * 86400))
    sites = {
        "localhost": _issue(ca, folder, "localhost", "localhost", start, end),
        "otherhost": _issue(ca, folder, "otherhost", "other.invalid", start, end),
        "expired": _issue(ca, folder, "expired", "localhost", "20200101000000Z",
                          "20210101000000Z"),
        "untrusted": _issue(other_ca, folder, "untrusted", "localhost", start, end),
    }
    intermediate = _make_ca(os.path.join(folder, "intermediate"),
                            "Orvane Test Intermediate " + tag, parent=ca)
    leaf, key = _issue(intermediate, folder, "partial", "localhost", start, end)
    sites["partial"] = (leaf, key)
    chain = os.path.join(folder, "chained.pem")
    with open(chain, "w") as out, open(leaf) as a, open(os.path.join(intermediate, "ca.pem")) as b:
        out.write(a.read() + b.read())
    sites["chained"] = (chain, key)
    sites["ca"] = os.path.join(ca, "ca.pem")
    return sites


def start_openssl_www(workdir, cert, key):
    """Starts the openssl command line's TLS 1.2 test server (`s_server -www`), which answers
    "GET /reneg" by asking the client for a new handshake first; returns a Server."""
    os.makedirs(workdir, exist_ok=True)
    port = free_port()
    proc = subprocess.Popen(["openssl", "s_server", "-accept", f"{HOST}:{port}", "-tls1_2",
                             "-cert", cert, "-key", key, "-www", "-quiet"],
                            cwd=workdir, stdin=subprocess.DEVNULL,
                            stdout=open(os.path.join(workdir, "stdout.log"), "w"),
                            stderr=subprocess.STDOUT)
    if not wait_listening(port, proc):
        Server("openssl", proc, port, workdir).stop()
        raise RuntimeError("openssl s_server did not start; see " + workdir)
    return Server("openssl", proc, port, workdir)


def start_tinyproxy(workdir, basic_auth=None):
    """Starts tinyproxy in the foreground; returns a Server. `basic_auth` (user, password)
    makes it ask every client for those credentials (no ":" in the password)."""
    tinyproxy = shutil.which("tinyproxy") or "/usr/bin/tinyproxy"
    os.makedirs(workdir, exist_ok=True)
    port = free_port()
    conf = os.path.join(workdir, "tinyproxy.conf")
    with open(conf, "w") as f:
        f.write(f"""
User nobody
Group nogroup
Port {port}
Listen {HOST}
Timeout 60
MaxClients 100
Allow {HOST}
LogLevel Notice
LogFile "{workdir}/tinyproxy.log"
PidFile "{workdir}/tinyproxy.pid"
DisableViaHeader Yes
""")
        if basic_auth:
            f.write("BasicAuth %s %s\n" % basic_auth)
    os.chmod(workdir, 0o777)
    proc = subprocess.Popen([tinyproxy, "-d", "-c", conf], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(workdir, "stderr.log"), "w"))
    if not wait_listening(port, proc):
        Server("tinyproxy", proc, port, workdir).stop()
        raise RuntimeError("tinyproxy did not start; see " + workdir)
    return Server("tinyproxy", proc, port, workdir)


def main():
    """`servers.py nginx --workdir D --webroot W` or `servers.py tinyproxy --workdir D`:
    starts the server, prints "PORT <n>", and stops it when this process gets SIGTERM or
    SIGINT, or after --lifetime seconds."""
    import argparse
    import sys

    ap = argparse.ArgumentParser()
    ap.add_argument("server", choices=["nginx", "tinyproxy"])
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--webroot")
    ap.add_argument("--lifetime", type=float, default=3600)
    args = ap.parse_args()
    if args.server == "nginx":
        if not args.webroot:
            ap.error("nginx needs --webroot")
        server = start_nginx(args.workdir, os.path.abspath(args.webroot))
    else:
        server = start_tinyproxy(args.workdir)
    print(f"PORT {server.port}", flush=True)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    deadline = time.monotonic() + args.lifetime
    try:
        while not stopping and time.monotonic() < deadline and server.proc.poll() is None:
            time.sleep(0.1)
    finally:
        server.stop()
    sys.exit(0)


if __name__ == "__main__":
    main()
