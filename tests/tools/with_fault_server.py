#!/usr/bin/env python3
"""Runs a command with a fault server of its own.

Starts tests/tools/fault_server.py in control mode on a free 127.0.0.1 port, passes that
port to the command in the environment variable ORV_FAULT_SERVER_PORT, runs the command and
stops the server by its PID afterwards. The server also ends by itself when this wrapper
dies (its standard input is a pipe from here) or after its lifetime.

usage: with_fault_server.py [--lifetime SECONDS] -- COMMAND [ARGS...]
"""

import os
import select
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    argv = sys.argv[1:]
    lifetime = "300"
    if argv[:1] == ["--lifetime"]:
        lifetime, argv = argv[1], argv[2:]
    if argv[:1] == ["--"]:
        argv = argv[1:]
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2

    server = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "fault_server.py"), "--control", "--watch-stdin",
         "--lifetime", lifetime],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    child = None

    def stop_all(*_):
        for proc in (child, server):
            if proc and proc.poll() is None:
                os.kill(proc.pid, signal.SIGTERM)
        sys.exit(1)

    signal.signal(signal.SIGTERM, stop_all)
    try:
        ready, _, _ = select.select([server.stdout], [], [], 15)
        line = server.stdout.readline().decode().split() if ready else []
        if len(line) != 2 or line[0] != "PORT":
            print("with_fault_server: the fault server did not start", file=sys.stderr)
            return 1
        env = dict(os.environ, ORV_FAULT_SERVER_PORT=line[1])
        child = subprocess.Popen(argv, env=env)
        return child.wait()
    finally:
        if server.poll() is None:
            os.kill(server.pid, signal.SIGTERM)
            try:
                server.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(server.pid, signal.SIGKILL)
                server.wait()


if __name__ == "__main__":
    sys.exit(main())
