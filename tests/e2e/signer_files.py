#!/usr/bin/env python3
"""Publishes Authenticode-signed packages for tests/e2e/signer_test.cpp, then runs it. The
certificates are made by the openssl command line and the packages signed by osslsigncode,
neither of them ours. Runs inside tests/tools/with_servers.py (it needs ORV_WEBROOT).

A test authority (ORV_SIGNER_CA, a Unix path: the program trusts it for its run) issues the
code-signing certificates of "Orvane Test Publisher" and "Other Test Publisher"; a second
authority nobody trusts issues one more "Orvane Test Publisher". Folders of the web root, each
with update.orv (the six fields) and the package pkg.exe:
  good/       signed by Orvane Test Publisher        other/      by Other Test Publisher
  unsigned/   not signed                             untrusted/  by the untrusted authority's
  tampered/   good/'s package, one byte changed      large/      --large signed by the publisher

usage: signer_files.py --work DIR --small PE --large PE -- COMMAND [ARGS...]
"""
import argparse
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
from signed_test import openssl, scramble  # noqa: E402

PUBLISHER = "Orvane Test Publisher"


def authority(work, name, file):
    key, cert = os.path.join(work, file + ".key"), os.path.join(work, file + ".pem")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
            "-days", "30", "-subj", "/CN=" + name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, cert


def signer(work, name, ca, file):
    key, csr = os.path.join(work, file + ".key"), os.path.join(work, file + ".csr")
    cert, ext = os.path.join(work, file + ".pem"), os.path.join(work, file + ".ext")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
            "-subj", "/CN=" + name)
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", csr, "-CA", ca[1], "-CAkey", ca[0], "-CAcreateserial",
            "-days", "30", "-extfile", ext, "-out", cert)
    return key, cert, ca[1]


def sign(identity, source, out):
    # Options osslsigncode 2.5 has: the leaf, its authority beside it, SHA-256.
    key, cert, ca = identity
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-ac", ca, "-key", key,
                    "-h", "sha256", "-n", "Orvane test package", "-in", source, "-out", out],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)


def publish(webroot, folder, make):
    path = os.path.join(webroot, folder)
    os.makedirs(path, exist_ok=True)
    package = os.path.join(path, "pkg.exe")
    if os.path.exists(package):
        os.remove(package)
    make(package)
    size = os.path.getsize(package)
    six = b"Signer App|2.0.0.1|07/04/2003|Signed package|pkg.exe|" + str(size).encode()
    with open(os.path.join(path, "update.orv"), "wb") as f:
        f.write(scramble(six))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--small", required=True)
    ap.add_argument("--large", required=True)
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    webroot = os.environ["ORV_WEBROOT"]
    work = args.work
    os.makedirs(work, exist_ok=True)

    trusted = authority(work, "Orvane Test Signing Authority", "ca")
    stranger = authority(work, "Untrusted Test Authority", "stranger")
    publisher = signer(work, PUBLISHER, trusted, "publisher")
    other = signer(work, "Other Test Publisher", trusted, "other")
    impostor = signer(work, PUBLISHER, stranger, "impostor")

    def tampered(out):
        sign(publisher, args.small, out)
        with open(out, "r+b") as f:
            data = bytearray(f.read())
            # The first section's data (PointerToRawData of the first section header), which
            # the signature covers.
            pe = struct.unpack_from("<I", data, 0x3C)[0]
            optional = struct.unpack_from("<H", data, pe + 20)[0]
            at = struct.unpack_from("<I", data, pe + 24 + optional + 20)[0]
            data[at] ^= 0xFF
            f.seek(0)
            f.write(data)

    publish(webroot, "good", lambda out: sign(publisher, args.small, out))
    publish(webroot, "other", lambda out: sign(other, args.small, out))
    publish(webroot, "unsigned", lambda out: open(out, "wb").write(open(args.small, "rb").read()))
    publish(webroot, "untrusted", lambda out: sign(impostor, args.small, out))
    publish(webroot, "tampered", tampered)
    publish(webroot, "large", lambda out: sign(publisher, args.large, out))

    env = dict(os.environ, ORV_SIGNER_CA=trusted[1])
    return subprocess.run(command, env=env, timeout=600).returncode


if __name__ == "__main__":
    sys.exit(main())
