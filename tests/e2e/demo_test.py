#!/usr/bin/env python3
"""The demo host's automatic update cycle against nginx (run under with_servers.py): the
publisher's file made by orvinfo.exe, the package OrvaneDemoSetup.exe, OrvaneDemo.exe /auto.
Checks the printed cycle, the downloaded package and its own report, and saves a screenshot
of the demo window while it holds after the cycle."""

import argparse
import os
import shutil
import subprocess
import sys
import threading
import time


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--screenshots", required=True)
    args = ap.parse_args()
    webroot = os.environ["ORV_WEBROOT"]
    port = os.environ["ORV_NGINX_PORT"]
    downloads = os.path.join(os.path.dirname(webroot), "downloads")
    os.makedirs(downloads, exist_ok=True)
    os.makedirs(args.screenshots, exist_ok=True)

    package = os.path.join(webroot, "demo-setup.exe")
    shutil.copy(os.path.join(args.bin, "OrvaneDemoSetup.exe"), package)
    make = subprocess.run(
        [args.wine_run, os.path.join(args.bin, "orvinfo.exe"), "make", "--name", "Orvane Demo",
         "--version", "2.0.0", "--date", "12/07/2026", "--comments", "Demo update",
         "--package", winpath(package), "-o", winpath(os.path.join(webroot, "update.orv"))],
        capture_output=True, text=True, timeout=60)
    if make.returncode != 0:
        print("orvinfo make failed:", make.stderr)
        return 1

    demo = subprocess.Popen(
        [args.wine_run, os.path.join(args.bin, "OrvaneDemo.exe"), "/auto", "/host", "127.0.0.1",
         "/port", port, "/folder", winpath(downloads), "/hold", "3000"],
        stdout=subprocess.PIPE, text=True, errors="replace")
    killer = threading.Timer(120, demo.kill)
    killer.start()
    lines = []
    for line in demo.stdout:
        line = line.rstrip("\r\n")
        lines.append(line)
        if not line.startswith("ReceivingUpdate"):
            print(line)
        if line == "update cycle complete":
            time.sleep(1)
            subprocess.run(["import", "-window", "root",
                            os.path.join(args.screenshots, "demo-host.png")], timeout=30)
    status = demo.wait()
    killer.cancel()

    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    expect(status == 0, f"exit status {status}")
    expect(lines.count("HttpStatus 200 OK") == 2, "one HttpStatus 200 for the check, one for the package")
    expect("  Name:        Orvane Demo" in lines, "the record's name")
    expect("  Version:     2.0.0." in lines, "the record's version")
    expect(any(l.startswith("CompareVersion(") and l.endswith("the update is newer") for l in lines),
           "the comparison with the demo's own version 1.5.0.3")
    progress = [l for l in lines if l.startswith("ReceivingUpdate")]
    expect(progress and "percent=100" in progress[-1], "progress reaching 100 percent")
    expect("UpdateReceived" in lines, "UpdateReceived")
    expect(any(l.startswith("package says: Orvane demo package 2.0.0: installed") for l in lines),
           "the package's own report")
    with open(package, "rb") as a, open(os.path.join(downloads, "demo-setup.exe"), "rb") as b:
        expect(a.read() == b.read(), "the downloaded package equals the served one")
    for f in failures:
        print("FAIL:", f)
    print(f"{len(progress)} progress lines")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
