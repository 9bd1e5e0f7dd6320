#!/usr/bin/env python3
"""The samples of the release package run against nginx (under with_servers.py): the C++ hosts,
built from the unpacked release zip with the commands its README.txt gives (the compiler line
of each, and the CMake line that builds both); update_host walks the cycle, downloads the
package byte for byte and starts it, ends at once when the package is missing, and stops at
once with the control's description when a call fails, as offer_update does; the VBScript
client configures the control, starts a check and reads a file's version, and tells a refused
port without claiming a started check."""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import time
import zipfile


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(command, timeout=120):
    try:
        done = subprocess.run(command, capture_output=True, text=True, errors="replace",
                              timeout=timeout)
    except subprocess.TimeoutExpired as e:
        # Reported as a failure of its own (status None), not as the end of the whole test.
        done = subprocess.CompletedProcess(command, None, e.stdout or "", e.stderr or "")
        if isinstance(done.stdout, bytes):
            done.stdout = done.stdout.decode(errors="replace")
        if isinstance(done.stderr, bytes):
            done.stderr = done.stderr.decode(errors="replace")
    print("$", " ".join(command[1:]))
    print(done.stdout.replace("\r\n", "\n"), end="")
    print(done.stderr, end="", file=sys.stderr)
    return done


def unpack_package(source, build, work):
    """Writes the release zip and unpacks it; returns its top folder."""
    shutil.rmtree(work, ignore_errors=True)
    subprocess.run([sys.executable, os.path.join(source, "tools", "package", "make_package.py"),
                    "--source", source, "--win32", build, "--dist", work], check=True,
                   stdout=subprocess.DEVNULL)
    (zip_name,) = [n for n in os.listdir(work) if n.endswith("-windows.zip")]
    with zipfile.ZipFile(os.path.join(work, zip_name)) as z:
        z.extractall(os.path.join(work, "unpacked"))
    (top,) = os.listdir(os.path.join(work, "unpacked"))
    return os.path.join(work, "unpacked", top)


def readme_builds(top, start, part, shell=False):
    """Runs the one line of README.txt that starts with `start` and holds `part` in the
    package's top folder; whether there was one and it succeeded."""
    with open(os.path.join(top, "README.txt"), encoding="utf-8") as f:
        lines = [line.strip() for line in f if line.startswith(start) and part in line]
    print("$", *lines)
    return len(lines) == 1 and subprocess.run(lines[0] if shell else shlex.split(lines[0]),
                                              shell=shell, cwd=top, timeout=300).returncode == 0


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

    top = unpack_package(args.source, args.build, os.path.join(os.path.dirname(webroot), "package"))
    # Each sample by its compiler line, and both by the CMake line for MinGW-w64.
    update_host, offer_update = (os.path.join(top, e) for e in ("update_host.exe", "offer_update.exe"))
    if not (readme_builds(top, "i686-w64-mingw32-g++ ", "cpp-host/") and
            readme_builds(top, "i686-w64-mingw32-g++ ", "dialog-host/")):
        print("FAIL: the C++ samples do not build from the release package")
        return 1
    if not (readme_builds(top, "cmake -S samples/cpp-host", "i686-w64-mingw32-g++", shell=True) and
            all(os.path.isfile(os.path.join(top, "build-sample", e))
                for e in ("update_host.exe", "offer_update.exe"))):
        failures.append("README.txt's CMake line does not build both samples")

    host = run([args.wine_run, update_host, "127.0.0.1", port, "/",
                winpath(downloads), winpath(os.path.join(args.bin, "OrvaneDemo.exe"))])
    out = host.stdout.replace("\r\n", "\n")
    if host.returncode != 0:
        failures.append(f"update_host exit status {host.returncode}")
    for expected in ("CheckUpdate: 0", "HttpStatus 200 OK", "InfoReceived: Sample 3.0.0.1",
                     "CompareVersion: 1", "ReceiveUpdate: 0", "UpdateReceived", "RunUpdate: "):
        if expected not in out:
            failures.append(f"update_host printed no '{expected}'")
    with open(package, "rb") as a:
        target = os.path.join(downloads, "sample-setup.exe")
        if not os.path.exists(target) or open(target, "rb").read() != a.read():
            failures.append("the downloaded package differs from the served one")
    # RunUpdate started the package, which leaves a line next to itself.
    installed = os.path.join(downloads, "installed.txt")
    for _ in range(100):
        if os.path.exists(installed):
            break
        time.sleep(0.1)
    if not os.path.exists(installed) or "installed with /quiet" not in open(installed).read():
        failures.append("update_host did not start the package with RunUpdate")

    # Update information whose package is missing: the download's HttpStatus 404 is the last
    # event, and the host's loop gets the quit its handler posted at once.
    missing = os.path.join(webroot, "nopackage")
    os.makedirs(missing, exist_ok=True)
    shutil.copy(os.path.join(webroot, "update.orv"), missing)
    empty = os.path.join(os.path.dirname(webroot), "sample-empty")  # a new target
    shutil.rmtree(empty, ignore_errors=True)
    os.makedirs(empty)
    started = time.monotonic()
    host = run([args.wine_run, update_host, "127.0.0.1", port, "/nopackage/",
                winpath(empty), winpath(os.path.join(args.bin, "OrvaneDemo.exe"))], timeout=30)
    took = time.monotonic() - started
    print(f"update_host without the package ended after {took:.1f} s")
    if host.returncode != 1 or "HttpStatus 404" not in host.stdout or took > 5:
        failures.append(f"update_host without the package: status {host.returncode} after "
                        f"{took:.1f} s (1 within 5 s expected)")

    # A port out of range: CheckUpdate fails, the sample says why and does not wait.
    refused = run([args.wine_run, update_host, "127.0.0.1", "40000", "/", winpath(downloads)],
                  timeout=30)
    if refused.returncode != 1 or "RemotePort must be between 0 and 32767" not in refused.stderr:
        failures.append("update_host did not report the refused port with its description")
    refused = run([args.wine_run, offer_update, "127.0.0.1", "40000", "/"], timeout=30)
    if refused.returncode != 20 or "RemotePort must be between 0 and 32767" not in refused.stderr:
        failures.append("offer_update did not report the refused port with its description")

    script = run([args.wine_run, "cscript", "//nologo",
                  winpath(os.path.join(args.samples, "vbscript", "update_check.vbs")),
                  "127.0.0.1", port, "/", "C:\\windows\\system32\\kernel32.dll"])
    out = script.stdout.replace("\r\n", "\n")
    if script.returncode != 0:
        failures.append(f"update_check.vbs exit status {script.returncode}")
    for expected in ("run-time error 6", "CheckUpdate: 0", "GetFileVersion: 0"):
        if expected not in out:
            failures.append(f"update_check.vbs printed no '{expected}'")
    # Given the refused port itself, the script stops at the run-time error.
    script = run([args.wine_run, "cscript", "//nologo",
                  winpath(os.path.join(args.samples, "vbscript", "update_check.vbs")),
                  "127.0.0.1", "40000", "/"])
    if script.returncode != 1 or "the check has started" in script.stdout:
        failures.append("update_check.vbs with port 40000 claimed a started check")

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
