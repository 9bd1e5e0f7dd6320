#!/usr/bin/env python3
"""The samples of the release package run against nginx (under with_servers.py): the C++ host
walks the cycle and downloads the package byte for byte; the VBScript client configures the
control, starts a check and reads a file's version."""

import argparse
import os
import shutil
import subprocess
import sys


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(command, timeout=120):
    done = subprocess.run(command, capture_output=True, text=True, errors="replace",
                          timeout=timeout)
    print("$", " ".join(command[1:]))
    print(done.stdout.replace("\r\n", "\n"), end="")
    print(done.stderr, end="", file=sys.stderr)
    return done


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--samples", required=True)
    args = ap.parse_args()
    webroot = os.environ["ORV_WEBROOT"]
    port = os.environ["ORV_NGINX_PORT"]
    downloads = os.path.join(os.path.dirname(webroot), "sample-downloads")
    os.makedirs(downloads, exist_ok=True)
    failures = []

    # The publisher's side: a package and its update information.
    package = os.path.join(webroot, "sample-setup.exe")
    shutil.copy(os.path.join(args.bin, "OrvaneDemoSetup.exe"), package)
    make = run([args.wine_run, os.path.join(args.bin, "orvinfo.exe"), "make", "--name", "Sample",
                "--version", "3.0.0.1", "--package", winpath(package),
                "-o", winpath(os.path.join(webroot, "update.orv"))])
    if make.returncode != 0:
        print("FAIL: orvinfo make")
        return 1

    host = run([args.wine_run, os.path.join(args.bin, "update_host.exe"), "127.0.0.1", port, "/",
                winpath(downloads), winpath(os.path.join(args.bin, "OrvaneDemo.exe"))])
    out = host.stdout.replace("\r\n", "\n")
    if host.returncode != 0:
        failures.append(f"update_host exit status {host.returncode}")
    for expected in ("CheckUpdate: 0", "HttpStatus 200 OK", "InfoReceived: Sample 3.0.0.1",
                     "CompareVersion: 1", "ReceiveUpdate: 0", "UpdateReceived"):
        if expected not in out:
            failures.append(f"update_host printed no '{expected}'")
    with open(package, "rb") as a:
        target = os.path.join(downloads, "sample-setup.exe")
        if not os.path.exists(target) or open(target, "rb").read() != a.read():
            failures.append("the downloaded package differs from the served one")

    script = run([args.wine_run, "cscript", "//nologo",
                  winpath(os.path.join(args.samples, "vbscript", "update_check.vbs")),
                  "127.0.0.1", port, "/", "C:\\windows\\system32\\kernel32.dll"])
    out = script.stdout.replace("\r\n", "\n")
    if script.returncode != 0:
        failures.append(f"update_check.vbs exit status {script.returncode}")
    for expected in ("run-time error 6", "CheckUpdate: 0", "GetFileVersion: 0"):
        if expected not in out:
            failures.append(f"update_check.vbs printed no '{expected}'")

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
