#!/usr/bin/env python3
"""Publishes signed update information for tests/e2e/signed_test.cpp, then runs it. Everything
is signed by the openssl command line (its DER signatures converted to r||s), an
implementation we did not write, so each signed case is also a cross-check of the control's
verification. Runs inside tests/tools/with_servers.py (it needs ORV_WEBROOT).

Keys go to the program as one-line publisher keys: ORV_KEY_A and ORV_KEY_B (P-256),
ORV_KEY_P384 (a P-384 key, which the control must refuse). Folders of the web root, each with
update.orv and the package pkg.bin (PACKAGE_SIZE bytes):
  signed/    signed by key A           changed/   signed by A, then one byte of field 1 changed
  other/     signed by key B           unsigned/  the six fields only
  digest/    field 7 only, no field 8  badsig/    field 8 malformed
  fresh/, expired/, badexpiry/, forged/: signed/ with a signed expiry a year on, in 2020, on
  30 Feb, and fresh/'s moved a thousand years on after signing
  trailing/  the six fields and a "|"     seventh/  the six fields and a seventh piece "x"
  tagged/    fresh/ with tagged fields after field 10, signed by A over all before it;
  retagged/  tagged/ with its list of mirrors changed after signing; untagged/ fresh/ with
  tagged fields and no signature after them

usage: signed_files.py --work DIR -- COMMAND [ARGS...]
"""
import argparse
import base64
import hashlib
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "cli"))
from signed_test import der_to_raw, openssl, scramble  # noqa: E402

PACKAGE_SIZE = 300000
PACKAGE = bytes((i * 7 + i // 251) & 0xFF for i in range(PACKAGE_SIZE))
SIX = b"Signed App|2.0.0.1|07/04/2003|Signed release|pkg.bin|" + str(PACKAGE_SIZE).encode()


def make_key(work, name, curve):
    key = os.path.join(work, name + ".key")
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve, "-out", key)
    der = openssl("pkey", "-in", key, "-pubout", "-outform", "DER")
    return key, base64.b64encode(der).decode()


def sign(key, seven):
    der = openssl("dgst", "-sha256", "-sign", key, data=seven)
    return seven + b"|p256:" + base64.b64encode(der_to_raw(der))


def publish(webroot, folder, plain):
    path = os.path.join(webroot, folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "update.orv"), "wb") as f:
        f.write(scramble(plain))
    with open(os.path.join(path, "pkg.bin"), "wb") as f:
        f.write(PACKAGE)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    webroot = os.environ["ORV_WEBROOT"]
    os.makedirs(args.work, exist_ok=True)

    key_a, pub_a = make_key(args.work, "a", "P-256")
    key_b, pub_b = make_key(args.work, "b", "P-256")
    _, pub_p384 = make_key(args.work, "c", "P-384")
    seven = SIX + b"|sha256:" + hashlib.sha256(PACKAGE).hexdigest().encode()
    signed = sign(key_a, seven)
    publish(webroot, "signed", signed)
    publish(webroot, "changed", b"Signed Apq" + signed[len(b"Signed App"):])
    publish(webroot, "other", sign(key_b, seven))
    publish(webroot, "unsigned", SIX)
    publish(webroot, "digest", seven)
    publish(webroot, "trailing", SIX + b"|")
    publish(webroot, "seventh", SIX + b"|x")
    publish(webroot, "badsig", seven + b"|p256:" + b"A" * 87 + b"=")
    def until(when):  # fields 9 and 10 after field 8
        return sign(key_a, signed + b"|expires:" + when.encode())
    year = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 365 * 86400))
    publish(webroot, "fresh", until(year))
    publish(webroot, "expired", until("2020-01-01T00:00:00Z"))
    publish(webroot, "forged", until(year).replace(b"|expires:2", b"|expires:3"))
    publish(webroot, "badexpiry", until("2027-02-30T00:00:00Z"))
    tags = b"|urls:https://mirror.test/pkg.bin|rollout:10|future:x"
    tagged = sign(key_a, until(year) + tags)
    publish(webroot, "tagged", tagged)
    publish(webroot, "retagged", tagged.replace(b"//mirror.test", b"//other.test"))
    publish(webroot, "untagged", until(year) + tags)

    env = dict(os.environ, ORV_KEY_A=pub_a, ORV_KEY_B=pub_b, ORV_KEY_P384=pub_p384)
    return subprocess.run(command, env=env, timeout=600).returncode


if __name__ == "__main__":
    sys.exit(main())
