#!/usr/bin/env python3
"""Real web servers for tests and the demo, each started on a free 127.0.0.1 port with a
configuration in a folder of the caller's, and stopped by its PID.

  nginx   serves a web root; /protected/ asks for HTTP Basic authorization
          (user and password given by the caller, stored with `openssl passwd -apr1`).
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


def start_nginx(workdir, webroot, user="orvane", password="s3cret:pass"):
    """Starts nginx serving `webroot`; returns a Server. Files under webroot/protected/ need
    Basic authorization with `user` and `password`."""
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    os.makedirs(workdir, exist_ok=True)
    htpasswd = os.path.join(workdir, "htpasswd")
    hashed = subprocess.run(["openssl", "passwd", "-apr1", password], check=True,
                            capture_output=True, text=True).stdout.strip()
    with open(htpasswd, "w") as f:
        f.write(f"{user}:{hashed}\n")
    port = free_port()
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
    }}
}}
""")
    proc = subprocess.Popen([nginx, "-c", conf, "-p", workdir], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(workdir, "stderr.log"), "w"))
    if not wait_listening(port, proc):
        Server("nginx", proc, port, workdir).stop()
        raise RuntimeError("nginx did not start; see " + workdir)
    return Server("nginx", proc, port, workdir)


def start_tinyproxy(workdir):
    """Starts tinyproxy in the foreground; returns a Server."""
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
