#!/usr/bin/env python3
"""Runs a command with the servers an end-to-end test needs, all on free 127.0.0.1 ports:
nginx serving a fresh web root, tinyproxy, and our fault server in control mode. The command
learns them from the environment:

  ORV_NGINX_PORT, ORV_WEBROOT (Unix path of the web root; /protected/ needs Basic
  authorization as orvane / s3cret:pass), ORV_PROXY_PORT, ORV_FAULT_SERVER_PORT.

With --tls, test certificates are made first (servers.make_test_certificates) and nginx also
serves the web root over TLS, one port per certificate, beside our TLS fault server
(tls_fault_server.py, with the localhost certificate):

  ORV_TLS_PORT (certificate for localhost from the test authority), ORV_TLS_OTHERHOST_PORT
  (for another host name), ORV_TLS_EXPIRED_PORT (dates in the past), ORV_TLS_UNTRUSTED_PORT
  (from an authority nobody trusts), ORV_TLS_CHAINED_PORT (from an intermediate authority,
  sent along), ORV_TLS_PARTIAL_PORT (the same without the intermediate), ORV_TLS_CA (Unix path of the test authority's
  certificate, PEM, which the test adds to the trusted roots itself), ORV_TLS_FAULT_PORT,
  ORV_TLS_OLD_PORT (the same fault server speaking nothing newer than TLS 1.1),
  ORV_TLS_RENEGOTIATE_PORT (openssl s_server -www with TLS 1.2: "GET /reneg" makes it ask
  for a new handshake). The fault server then also runs scripts over TLS with the localhost
  certificate (LISTEN_TLS).

Every server is stopped by its PID when the command ends (or this wrapper is stopped).

With --auth-proxy, a second tinyproxy asks for Basic credentials orvproxy / proxy-pass:
ORV_AUTH_PROXY_PORT.

usage: with_servers.py --workdir DIR [--lifetime SECONDS] [--tls] [--auth-proxy] -- COMMAND [ARGS...]
"""

import argparse
import os
import select
import shutil
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import servers  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--lifetime", default="900")
    ap.add_argument("--tls", action="store_true")
    ap.add_argument("--auth-proxy", action="store_true")
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        ap.error("no command")

    shutil.rmtree(args.workdir, ignore_errors=True)
    webroot = os.path.join(args.workdir, "www")
    os.makedirs(os.path.join(webroot, "protected"))
    os.chmod(args.workdir, 0o755)
    started = []
    fault = None
    tls_fault = None
    child = None

    def stop_all(*_):
        for proc in (child,):
            if proc and proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)
        for s in started:
            s.stop()
        for proc in (fault, tls_fault):
            if proc and proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)

    def on_signal(*_):
        stop_all()
        sys.exit(1)

    signal.signal(signal.SIGTERM, on_signal)
    try:
        tls_env = {}
        sites = None
        if args.tls:
            certs = servers.make_test_certificates(os.path.join(args.workdir, "certs"))
            sites = {name: files for name, files in certs.items() if name != "ca"}
            tls_env["ORV_TLS_CA"] = certs["ca"]
            tls_fault = subprocess.Popen(
                [sys.executable, os.path.join(HERE, "tls_fault_server.py"), "--watch-stdin",
                 "--cert", certs["localhost"][0], "--key", certs["localhost"][1],
                 "--lifetime", args.lifetime],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            ready, _, _ = select.select([tls_fault.stdout], [], [], 15)
            line = tls_fault.stdout.readline().decode().split() if ready else []
            if len(line) != 3 or line[0] != "PORT":
                print("with_servers: the TLS fault server did not start", file=sys.stderr)
                return 1
            tls_env["ORV_TLS_FAULT_PORT"], tls_env["ORV_TLS_OLD_PORT"] = line[1], line[2]
            renegotiate = servers.start_openssl_www(os.path.join(args.workdir, "s_server"),
                                                    *certs["localhost"])
            started.append(renegotiate)
            tls_env["ORV_TLS_RENEGOTIATE_PORT"] = str(renegotiate.port)
        nginx = servers.start_nginx(os.path.join(args.workdir, "nginx"), webroot,
                                    tls_sites=sites)
        started.append(nginx)
        for name, port in nginx.tls_ports.items():
            key = "ORV_TLS_PORT" if name == "localhost" else f"ORV_TLS_{name.upper()}_PORT"
            tls_env[key] = str(port)
        proxy = servers.start_tinyproxy(os.path.join(args.workdir, "tinyproxy"))
        started.append(proxy)
        if args.auth_proxy:
            auth = servers.start_tinyproxy(os.path.join(args.workdir, "tinyproxy-auth"),
                                           basic_auth=("orvproxy", "proxy-pass"))
            started.append(auth)
            tls_env["ORV_AUTH_PROXY_PORT"] = str(auth.port)
        # With certificates the fault server also runs its scripts over TLS (LISTEN_TLS).
        fault_tls = (["--cert", certs["localhost"][0], "--key", certs["localhost"][1]]
                     if args.tls else [])
        fault = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "fault_server.py"), "--control", "--watch-stdin",
             "--lifetime", args.lifetime] + fault_tls,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        ready, _, _ = select.select([fault.stdout], [], [], 15)
        line = fault.stdout.readline().decode().split() if ready else []
        if len(line) != 2 or line[0] != "PORT":
            print("with_servers: the fault server did not start", file=sys.stderr)
            return 1
        env = dict(os.environ, ORV_NGINX_PORT=str(nginx.port), ORV_PROXY_PORT=str(proxy.port),
                   ORV_FAULT_SERVER_PORT=line[1], ORV_WEBROOT=webroot, **tls_env)
        child = subprocess.Popen(command, env=env)
        return child.wait()
    finally:
        stop_all()


if __name__ == "__main__":
    sys.exit(main())
