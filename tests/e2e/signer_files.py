#!/usr/bin/env python3
"""Signs packages for signer_test.cpp (openssl certificates, osslsigncode 2.5 options) into
the web root's folders (update.orv, pkg.exe), then runs COMMAND with ORV_SIGNER_CA, the trusted
authority. usage: signer_files.py --work DIR --small PE --large PE -- COMMAND [ARGS...]"""
import argparse
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
from signed_test import openssl, scramble  # noqa: E402


def certificate(work, file, name, ca=None):
    key, pem = os.path.join(work, file + ".key"), os.path.join(work, file + ".pem")
    usage = ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign"] if ca is None \
        else ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature",
              "extendedKeyUsage=codeSigning"]
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
            "-days", "30", "-subj", "/CN=" + name, *(["-CA", ca[1], "-CAkey", ca[0]] if ca else []),
            *[a for u in usage for a in ("-addext", u)])
    return key, pem, ca[1] if ca else None


def sign(identity, source, out, flip=False):
    if identity is None:  # unsigned
        return shutil.copyfile(source, out)
    subprocess.run(["osslsigncode", "sign", "-certs", identity[1], "-ac", identity[2], "-key",
                    identity[0], "-h", "sha256", "-in", source, "-out", out],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    if flip:  # one byte of the first section, which the signature covers
        data = bytearray(open(out, "rb").read())
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        header = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
        data[struct.unpack_from("<I", data, header + 20)[0]] ^= 0xFF
        open(out, "wb").write(data)


def main():
    ap = argparse.ArgumentParser()
    [ap.add_argument(option, required=True) for option in ("--work", "--small", "--large")]
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    # Authorities named for this run alone: another test program beside it in the prefix
    # trusts an authority of its own.
    tag = os.urandom(4).hex()
    ca = certificate(args.work, "ca", "Orvane Test Signing Authority " + tag)
    stranger = certificate(args.work, "stranger", "Untrusted Test Authority " + tag)
    publisher = certificate(args.work, "publisher", "Orvane Test Publisher", ca)
    cases = {"good": (publisher, args.small), "large": (publisher, args.large),
             "other": (certificate(args.work, "other", "Other Test Publisher", ca), args.small),
             "untrusted": (certificate(args.work, "impostor", "Orvane Test Publisher", stranger),
                           args.small),
             "unsigned": (None, args.small), "tampered": (publisher, args.small)}
    for folder, (identity, source) in cases.items():
        path = os.path.join(os.environ["ORV_WEBROOT"], folder)
        os.makedirs(path, exist_ok=True)
        sign(identity, source, os.path.join(path, "pkg.exe"), folder == "tampered")
        size = os.path.getsize(os.path.join(path, "pkg.exe"))
        with open(os.path.join(path, "update.orv"), "wb") as f:
            f.write(scramble(b"Signer App|2.0.0.1|07/04/2003|Signed|pkg.exe|%d" % size))
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    return subprocess.run(command, env=dict(os.environ, ORV_SIGNER_CA=ca[1]), timeout=600).returncode


if __name__ == "__main__":
    sys.exit(main())
