#!/usr/bin/env python3
"""Runs a command with the servers an end-to-end test needs, all on free 127.0.0.1 ports:
nginx serving a fresh web root, tinyproxy, and our fault server in control mode. The command
learns them from the environment:

  ORV_NGINX_PORT, ORV_WEBROOT (Unix path of the web root; /protected/ needs Basic
  authorization as orvane / s3cret:pass), ORV_PROXY_PORT, ORV_FAULT_SERVER_PORT.

Every server is stopped by its PID when the command ends (or this wrapper is stopped).

usage: with_servers.py --workdir DIR [--lifetime SECONDS] -- COMMAND [ARGS...]
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
    child = None

    def stop_all(*_):
        for proc in (child,):
            if proc and proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)
        for s in started:
            s.stop()
        if fault and fault.poll() is None:
            os.kill(fault.pid, signal.SIGTERM)

    def on_signal(*_):
        stop_all()
        sys.exit(1)

    signal.signal(signal.SIGTERM, on_signal)
    try:
        nginx = servers.start_nginx(os.path.join(args.workdir, "nginx"), webroot)
        started.append(nginx)
        proxy = servers.start_tinyproxy(os.path.join(args.workdir, "tinyproxy"))
        started.append(proxy)
        fault = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "fault_server.py"), "--control", "--watch-stdin",
             "--lifetime", args.lifetime],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        ready, _, _ = select.select([fault.stdout], [], [], 15)
        line = fault.stdout.readline().decode().split() if ready else []
        if len(line) != 2 or line[0] != "PORT":
            print("with_servers: the fault server did not start", file=sys.stderr)
            return 1
        env = dict(os.environ, ORV_NGINX_PORT=str(nginx.port), ORV_PROXY_PORT=str(proxy.port),
                   ORV_FAULT_SERVER_PORT=line[1], ORV_WEBROOT=webroot)
        child = subprocess.Popen(command, env=env)
        return child.wait()
    finally:
        stop_all()


if __name__ == "__main__":
    sys.exit(main())
