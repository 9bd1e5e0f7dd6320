#!/usr/bin/env python3
"""The samples of the release package run against nginx (under with_servers.py): the C++ host,
built from the unpacked release zip with the one command its README.txt gives, walks the cycle
and downloads the package byte for byte, and stops at once with the control's description when
a call fails; the VBScript client configures the control, starts a check and reads a file's
version."""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import zipfile


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(command, timeout=120):
    done = subprocess.run(command, capture_output=True, text=True, errors="replace",
                          timeout=timeout)
    print("$", " ".join(command[1:]))
    print(done.stdout.replace("\r\n", "\n"), end="")
    print(done.stderr, end="", file=sys.stderr)
    return done


def build_from_package(source, build, work):
    """Writes the release zip, unpacks it and runs README.txt's build command in its top
    folder; returns the built update_host.exe, or None."""
    shutil.rmtree(work, ignore_errors=True)
    subprocess.run([sys.executable, os.path.join(source, "tools", "package", "make_package.py"),
                    "--source", source, "--win32", build, "--dist", work], check=True,
                   stdout=subprocess.DEVNULL)
    (zip_name,) = [n for n in os.listdir(work) if n.endswith("-windows.zip")]
    with zipfile.ZipFile(os.path.join(work, zip_name)) as z:
        z.extractall(os.path.join(work, "unpacked"))
    (top,) = os.listdir(os.path.join(work, "unpacked"))
    top = os.path.join(work, "unpacked", top)
    with open(os.path.join(top, "README.txt"), encoding="utf-8") as f:
        commands = [line for line in f
                    if line.startswith("i686-w64-mingw32-g++ ") and "cpp-host/" in line]
    if len(commands) != 1:
        print("FAIL: README.txt holds no single i686-w64-mingw32-g++ line for cpp-host")
        return None
    print("$", commands[0].strip())
    built = subprocess.run(shlex.split(commands[0]), cwd=top, timeout=300)
    exe = os.path.join(top, "update_host.exe")
    return exe if built.returncode == 0 and os.path.isfile(exe) else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--samples", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--build", required=True)
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

    update_host = build_from_package(args.source, args.build,
                                     os.path.join(os.path.dirname(webroot), "package"))
    if not update_host:
        print("FAIL: the C++ sample does not build from the release package")
        return 1
    host = run([args.wine_run, update_host, "127.0.0.1", port, "/",
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

    # A port out of range: CheckUpdate fails, the sample says why and does not wait.
    refused = run([args.wine_run, update_host, "127.0.0.1", "40000", "/", winpath(downloads)],
                  timeout=30)
    if refused.returncode != 1 or "RemotePort must be between 0 and 32767" not in refused.stderr:
        failures.append("update_host did not report the refused port with its description")

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
