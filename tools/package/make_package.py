#!/usr/bin/env python3
"""Writes the release package from built trees: DIST/orvane-VERSION-windows.zip (the control
library of each bitness with its type library and its assembly manifest for registration-free
use, the changelog, the C/C++ header, GUID and dispatch-id files,
the maker with its help, the control's reference, orvinfo.exe, the samples, the guide, the
licence and SHA256SUMS) and DIST/orvinfo-VERSION-linux-x86_64.tar.gz. Prints what it wrote.

usage: make_package.py --source DIR --win32 BUILD [--win64 BUILD] [--linux-orvinfo FILE] --dist DIR
(without --linux-orvinfo only the Windows zip is written)
"""
import argparse
import hashlib
import io
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile


def project_version(source):
    with open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8") as f:
        m = re.search(r"project\(Orvane VERSION ([0-9.]+)", f.read())
    if not m:
        sys.exit("make_package: no project version in CMakeLists.txt")
    return m.group(1)


def windows_files(source, win32, win64):
    """(name in the package, path on disk) for the Windows package, in a fixed order."""
    gen32 = os.path.join(win32, "control", "gen")
    files = [
        ("LICENSE", os.path.join(source, "LICENSE")),
        ("README.txt", os.path.join(source, "tools", "package", "README.txt")),
        ("CHANGELOG.md", os.path.join(source, "docs", "CHANGELOG.md")),
        ("x86/OrvaneCtl.ocx", os.path.join(win32, "bin", "OrvaneCtl.ocx")),
        ("x86/OrvaneCtl.tlb", os.path.join(gen32, "OrvaneControl.tlb")),
        ("x86/OrvaneCtl.manifest", os.path.join(gen32, "OrvaneCtl.manifest")),
    ]
    if win64:
        gen64 = os.path.join(win64, "control", "gen")
        files += [("x64/OrvaneCtl.ocx", os.path.join(win64, "bin", "OrvaneCtl.ocx")),
                  ("x64/OrvaneCtl.tlb", os.path.join(gen64, "OrvaneControl.tlb")),
                  ("x64/OrvaneCtl.manifest", os.path.join(gen64, "OrvaneCtl.manifest"))]
    files += [
        ("include/OrvaneControl.h", os.path.join(gen32, "control", "OrvaneControl.h")),
        ("include/OrvaneControl_i.c", os.path.join(gen32, "OrvaneControl_i.c")),
        ("include/dispids.h", os.path.join(source, "control", "dispids.h")),
        ("maker/OrvaneMaker.exe", os.path.join(win32, "bin", "OrvaneMaker.exe")),
        ("maker/orvane.chm", os.path.join(win32, "bin", "orvane.chm")),
        ("tools/orvinfo.exe", os.path.join(win32, "bin", "orvinfo.exe")),
        ("docs/OrvaneCtl.chm", os.path.join(win32, "bin", "OrvaneCtl.chm")),
    ]
    guide = os.path.join(source, "docs", "guide")
    shots = set()
    for name in sorted(os.listdir(guide)):
        files.append((f"docs/guide/{name}", os.path.join(guide, name)))
        if name.endswith(".md"):
            with open(os.path.join(guide, name), encoding="utf-8") as f:
                shots.update(re.findall(r"\]\(\.\./screenshots/([\w.-]+)\)", f.read()))
    # The screenshots the guide shows, where its links find them.
    for shot in sorted(shots):
        files.append((f"docs/screenshots/{shot}", os.path.join(source, "docs", "screenshots", shot)))
    samples = os.path.join(source, "samples")
    for root, _, names in sorted(os.walk(samples)):
        for name in sorted(names):
            if root == samples and name == "CMakeLists.txt":
                continue  # builds the samples inside this project's tree only
            path = os.path.join(root, name)
            files.append(("samples/" + os.path.relpath(path, samples).replace(os.sep, "/"), path))
    return files


def shipped_bytes(name, disk):
    """The file's bytes as shipped: Windows binaries without their debugging information (the
    build keeps it for the tests' crash reports), stripped by the tool of their architecture."""
    if not name.endswith((".ocx", ".exe", ".dll")):
        with open(disk, "rb") as f:
            return f.read()
    strip = "x86_64-w64-mingw32-strip" if name.startswith("x64/") else "i686-w64-mingw32-strip"
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "stripped")
        subprocess.run([strip, "--strip-debug", "-o", out, disk], check=True)
        with open(out, "rb") as f:
            return f.read()


def write_zip(path, top, files):
    sums = []
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, disk in files:
            data = shipped_bytes(name, disk)
            info = zipfile.ZipInfo(f"{top}/{name}", date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, data)
            sums.append(f"{hashlib.sha256(data).hexdigest()}  {name}\n")
        z.writestr(zipfile.ZipInfo(f"{top}/SHA256SUMS", date_time=(2026, 1, 1, 0, 0, 0)),
                   "".join(sums))


def write_tar(path, top, files):
    with tarfile.open(path, "w:gz") as t:
        for name, disk, mode in files:
            with open(disk, "rb") as f:
                data = f.read()
            info = tarfile.TarInfo(f"{top}/{name}")
            info.size = len(data)
            info.mode = mode
            info.mtime = 1767225600
            t.addfile(info, io.BytesIO(data))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--win32", required=True)
    ap.add_argument("--win64")
    ap.add_argument("--linux-orvinfo")
    ap.add_argument("--dist", required=True)
    args = ap.parse_args()
    version = project_version(args.source)
    os.makedirs(args.dist, exist_ok=True)

    files = windows_files(args.source, args.win32, args.win64)
    missing = [disk for _, disk in files if not os.path.isfile(disk)]
    if args.linux_orvinfo and not os.path.isfile(args.linux_orvinfo):
        missing.append(args.linux_orvinfo)
    if missing:
        sys.exit("make_package: not built: " + " ".join(missing))

    top = f"orvane-{version}"
    zip_path = os.path.join(args.dist, f"{top}-windows.zip")
    write_zip(zip_path, top, files)
    print(f"{zip_path}: {len(files) + 1} files, {os.path.getsize(zip_path)} bytes")

    if not args.linux_orvinfo:
        return 0
    tar_path = os.path.join(args.dist, f"orvinfo-{version}-linux-x86_64.tar.gz")
    write_tar(tar_path, f"orvinfo-{version}",
              [("orvinfo", args.linux_orvinfo, 0o755),
               ("LICENSE", os.path.join(args.source, "LICENSE"), 0o644),
               ("publishing.md", os.path.join(args.source, "docs", "guide", "publishing.md"),
                0o644)])
    print(f"{tar_path}: orvinfo, LICENSE, publishing.md, {os.path.getsize(tar_path)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
