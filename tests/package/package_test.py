#!/usr/bin/env python3
"""The release zip: written from this build (and the 64-bit control of the win64 build when
that is built), unpacked, its list as expected, SHA256SUMS verified, every binary in it a
PE file of its folder's machine that imports system libraries only, the control's manifest of
each folder for that folder's machine, and the changelog naming the package's release."""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import zipfile

EXPECTED = {
    "LICENSE", "README.txt", "SHA256SUMS", "CHANGELOG.md",
    "x86/OrvaneCtl.ocx", "x86/OrvaneCtl.tlb", "x86/OrvaneCtl.manifest",
    "include/OrvaneControl.h", "include/OrvaneControl_i.c", "include/dispids.h",
    "maker/OrvaneMaker.exe", "maker/orvane.chm", "tools/orvinfo.exe", "docs/OrvaneCtl.chm",
    "docs/guide/README.md", "docs/guide/reference.md", "docs/guide/update-cycle.md", "docs/guide/update-dialog.md",
    "docs/guide/update-file.md", "docs/guide/publishing.md", "docs/guide/security.md",
    "docs/guide/troubleshooting.md", "docs/guide/installing.md", "docs/guide/state-diagram.svg",
    "samples/cpp-host/update_host.cpp", "samples/cpp-host/CMakeLists.txt",
    "samples/dialog-host/offer_update.cpp",
    "samples/vbscript/update_check.vbs", "samples/vbscript/update_events.vbs",
} | {f"docs/screenshots/dialog-{page}-{lang}.png" for lang in ("en", "de")
     for page in ("checking", "offer", "progress", "newest", "failure-404", "failure-digest",
                  "handoff-failed", "critical", "minversion", "notinfo", "unreachable")}
EXPECTED |= {f"docs/screenshots/dialog-offer-{lang}.png" for lang in ("fr", "ja", "zh-CN")}
EXPECTED |= {f"docs/screenshots/dialog-notes-{lang}.png" for lang in ("en", "de", "ja")}
EXPECTED |= {f"docs/screenshots/maker-publishing{shot}.png" for shot in ("", "-confirm", "-opened")}
X64 = {"x64/OrvaneCtl.ocx", "x64/OrvaneCtl.tlb", "x64/OrvaneCtl.manifest"}
BINARIES = (".ocx", ".exe", ".dll")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--win32", required=True)
    ap.add_argument("--win64", help="the win64 build; its control is packed when it is built")
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    dist = os.path.join(args.work, "dist")
    expected = set(EXPECTED)
    win64 = []
    if args.win64 and os.path.isfile(os.path.join(args.win64, "bin", "OrvaneCtl.ocx")):
        win64 = ["--win64", args.win64]
        expected |= X64
    else:
        print("no 64-bit build: the package is checked without x64/")
    subprocess.run([sys.executable, os.path.join(args.source, "tools", "package",
                                                 "make_package.py"),
                    "--source", args.source, "--win32", args.win32, *win64, "--dist", dist],
                   check=True)
    zips = [n for n in os.listdir(dist) if n.endswith("-windows.zip")]
    if len(zips) != 1:
        print("FAIL: expected one windows zip, found", zips)
        return 1
    unpacked = os.path.join(args.work, "unpacked")
    with zipfile.ZipFile(os.path.join(dist, zips[0])) as z:
        z.extractall(unpacked)
    (top,) = os.listdir(unpacked)
    root = os.path.join(unpacked, top)
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))

    failures = []
    extra = found - expected
    if extra or expected - found:
        failures.append(f"list differs: missing {sorted(expected - found)}, extra {sorted(extra)}")
    listed = {}
    with open(os.path.join(root, "SHA256SUMS"), encoding="ascii") as f:
        for line in f:
            digest, name = line.rstrip("\n").split("  ", 1)
            listed[name] = digest
    if set(listed) != found - {"SHA256SUMS"}:
        failures.append("SHA256SUMS does not list exactly the package's other files")
    for name, digest in listed.items():
        with open(os.path.join(root, name), "rb") as f:
            if hashlib.sha256(f.read()).hexdigest() != digest:
                failures.append(f"SHA256SUMS does not match {name}")
    with open(os.path.join(root, "include", "OrvaneControl.h"), encoding="utf-8") as f:
        if os.path.abspath(args.source) in f.readline():
            failures.append("include/OrvaneControl.h names the build machine's path")
    version = top.split("-", 1)[1]  # orvane-VERSION
    if "\n## " + ".".join(version.split(".")[:2]) + "\n" not in open(
            os.path.join(root, "CHANGELOG.md"), encoding="utf-8").read():
        failures.append(f"CHANGELOG.md has no section for the release of {version}")
    stamp = re.compile(re.escape("FileVersion".encode("utf-16-le")) + b"(?:\0\0)+" +
                       re.escape(version.encode("utf-16-le")))
    for name in sorted(f for f in found if f.endswith(BINARIES) and "/OrvaneDemo" not in f):
        with open(os.path.join(root, name), "rb") as f:
            if not stamp.search(f.read()):
                failures.append(f"{name}'s version resource does not say {version}")
    for folder, arch in (("x86", "x86"), ("x64", "amd64")):
        if f"{folder}/OrvaneCtl.ocx" in found and (
                f'name="OrvaneCtl" version="{version}" processorArchitecture="{arch}"' not in
                open(os.path.join(root, folder, "OrvaneCtl.manifest"), encoding="utf-8").read()):
            failures.append(f"{folder}/OrvaneCtl.manifest is not the {arch} control's")
    # check_imports.py expects x86-64 in the x64 folder and 32-bit Intel everywhere else.
    binaries = sorted(os.path.join(root, f) for f in found if f.endswith(BINARIES))
    check = subprocess.run([sys.executable, os.path.join(args.source, "tests", "com",
                                                         "check_imports.py")] + binaries)
    if check.returncode != 0 or len(binaries) < 3:
        failures.append("a binary is not a PE file importing system libraries only")
    for f in failures:
        print("FAIL:", f)
    print(f"{zips[0]}: {len(found)} files checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
