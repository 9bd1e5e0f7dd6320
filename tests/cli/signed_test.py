#!/usr/bin/env python3
"""Signed update information checked against an implementation we did not write: the openssl
command line. Keys, digests and signatures made by either side must pass the other's check.

usage: signed_test.py ORVINFO [--runner WINE_RUN] [--native NATIVE_ORVINFO]

ORVINFO is the program under test. With --runner it is the Windows build, run under Wine;
when --native names a built Linux orvinfo, keys and files of each build must pass the other's.
"""
import base64
import hashlib
import json
import os
import stat
import struct
import subprocess
import sys
import unittest

from cli_support import Folder, parse_args, run

ARGS = None
SIX = b"Editor|2.1.0.|07/04/2003|Fixes the print preview.|edsetup.exe|524288"
PACKAGE = bytes(range(256)) * 2048  # 524288 bytes


# --- The file codec, written afresh from the format: a 24-bit generator re-seeded with -4729.

def mask(n):
    bits = struct.unpack("<I", struct.pack("<f", -4729.0))[0]
    state = (bits + (bits >> 24)) & 0xFFFFFF
    state = (state * 0x43FD43FD + 0xC39EC3) & 0xFFFFFF  # the re-seeding call's own value
    out = bytearray()
    for _ in range(n):
        state = (state * 0x43FD43FD + 0xC39EC3) & 0xFFFFFF
        out.append(state >> 16)
    return bytes(out)


def scramble(data):
    return bytes(a ^ b for a, b in zip(data, mask(len(data))))


# --- openssl command line ----------------------------------------------------------------

def openssl(*args, data=None):
    done = subprocess.run(["openssl", *args], input=data, capture_output=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError(f"openssl {' '.join(args)}: {done.stderr.decode(errors='replace')}")
    return done.stdout


def der_integers(der):
    """The two INTEGERs of a DER SEQUENCE { r, s } as their content bytes."""
    assert der[0] == 0x30, der.hex()
    at = 2 if der[1] < 0x80 else 2 + (der[1] & 0x7F)
    values = []
    for _ in range(2):
        assert der[at] == 0x02
        n = der[at + 1]
        values.append(der[at + 2:at + 2 + n])
        at += 2 + n
    assert at == len(der)
    return values


def der_to_raw(der):
    """DER r and s (31 to 33 bytes each: a sign byte added, leading zeros dropped) to r||s."""
    raw = b""
    for value in der_integers(der):
        value = value.lstrip(b"\0")
        assert len(value) <= 32
        raw += value.rjust(32, b"\0")
    return raw


def der_integer(value):
    value = value.lstrip(b"\0") or b"\0"
    if value[0] & 0x80:
        value = b"\0" + value
    return b"\x02" + bytes([len(value)]) + value


def raw_to_der(raw):
    body = der_integer(raw[:32]) + der_integer(raw[32:])
    return b"\x30" + bytes([len(body)]) + body


def run_text(program, args, cwd, runner=None):
    """run(), with what the program printed as text."""
    status, out, err = run(program, args, cwd, runner)
    return status, out.decode("utf-8", "replace"), err


def programs():
    """(program, runner) of every orvinfo there is: the one under test, the Linux one."""
    found = [(ARGS.orvinfo, ARGS.runner)]
    if ARGS.native and os.path.exists(ARGS.native):
        found.append((ARGS.native, None))
    return found


def pem(label, der):
    text = base64.b64encode(der)
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return b"\n".join([b"-----BEGIN " + label + b"-----", *lines, b"-----END " + label + b"-----",
                       b""])


def pem_der(text):
    return base64.b64decode(b"".join(text.splitlines()[1:-1]))


class OpensslKey:
    """A P-256 key made by the openssl command line."""

    def __init__(self, folder, name):
        self.key = folder.file(name + ".key")
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                self.key)
        self.pem = folder.file(name + ".pem")
        openssl("pkey", "-in", self.key, "-pubout", "-out", self.pem)
        self.line = base64.b64encode(openssl("pkey", "-in", self.key, "-pubout", "-outform",
                                             "DER")).decode()
        self.pub = folder.put(name + ".pub", (self.line + "\n").encode())

    def sign_der(self, message):
        return openssl("dgst", "-sha256", "-sign", self.key, data=message)


def signed_text(key, six=SIX, package=PACKAGE):
    """Fields 1-8 signed by the openssl command line."""
    seven = six + b"|sha256:" + hashlib.sha256(package).hexdigest().encode()
    raw = der_to_raw(key.sign_der(seven))
    return seven + b"|p256:" + base64.b64encode(raw)


def with_expiry(key, text, when):  # fields 1-8, then 9 and 10 signed by openssl
    nine = text + b"|expires:" + when
    return nine + b"|p256:" + base64.b64encode(der_to_raw(key.sign_der(nine)))


class Signed(unittest.TestCase):
    def setUp(self):
        self.dir = Folder("orv_signed_")
        self.dir.put("edsetup.exe", PACKAGE)
        self.key = OpensslKey(self.dir, "pub")

    def tearDown(self):
        self.dir.close()

    def orvinfo(self, *args):
        return run_text(ARGS.orvinfo, list(args), self.dir.path, ARGS.runner)

    def verify(self, name, key="pub.pub", *more):
        return self.orvinfo("verify", "--key", key, name, *more)

    def test_openssl_signed_file_verifies(self):
        # Keep signing until r or s is a short number, which DER writes in 31 bytes or fewer
        # and r||s pads with a leading zero; every file on the way must pass as well.
        checked = 0
        short = None
        for attempt in range(2000):
            text = signed_text(self.key, SIX.replace(b"Editor", b"Editor %d" % attempt))
            if any(len(v.lstrip(b"\0")) < 32 for v in der_integers(
                    raw_to_der(base64.b64decode(text.rsplit(b"|p256:", 1)[1])))):
                short = text
                break
            if checked < 3:
                self.dir.put("update.orv", scramble(text))
                status, out, err = self.verify("update.orv", "pub.pub", "--package",
                                               "edsetup.exe")
                self.assertEqual((status, err), (0, ""), text)
                self.assertEqual(out, "Signature: valid (key 1)\nPackage: matches the digest\n")
                checked += 1
        self.assertIsNotNone(short, "no signature with a short r or s in 2000 tries")
        self.dir.put("update.orv", scramble(short))
        status, _, err = self.verify("update.orv")
        self.assertEqual((status, err), (0, ""), short)

    def test_uppercase_digest_from_another_writer_verifies(self):
        seven = SIX + b"|sha256:" + hashlib.sha256(PACKAGE).hexdigest().upper().encode()
        raw = der_to_raw(self.key.sign_der(seven))
        self.dir.put("update.orv", scramble(seven + b"|p256:" + base64.b64encode(raw)))
        status, _, err = self.verify("update.orv", "pub.pub", "--package", "edsetup.exe")
        self.assertEqual((status, err), (0, ""))

    def test_what_fails_says_why(self):
        other = OpensslKey(self.dir, "other")
        text = signed_text(self.key)
        self.dir.put("good.orv", scramble(text))
        changed = bytearray(text)
        changed[3] ^= 0x20  # "Editor" -> "EdiTor"
        self.dir.put("changed.orv", scramble(bytes(changed)))
        self.dir.put("unsigned.orv", scramble(SIX))
        self.dir.put("digest_only.orv", scramble(text.rsplit(b"|", 1)[0]))
        self.dir.put("bad_base64.orv", scramble(text[:-3] + b"!=="))
        self.dir.put("bad_digest.orv", scramble(SIX + b"|sha256:00|" + text.rsplit(b"|", 1)[1]))
        self.dir.put("not_package.exe", PACKAGE[:-1] + b"x")
        self.dir.put("p384.pub", base64.b64encode(openssl(
            "pkey", "-pubout", "-outform", "DER", data=openssl(
                "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384"))) + b"\n")
        cases = [
            (("changed.orv",), "not by the publisher's key"),
            (("good.orv", "other.pub"), "not by the publisher's key"),
            (("unsigned.orv",), "is not signed"),
            (("digest_only.orv",), "is not signed"),
            (("bad_base64.orv",), "field 8"),
            (("bad_digest.orv",), "field 7"),
            (("good.orv", "pub.pub", "--package", "not_package.exe"), "does not match"),
            (("good.orv", "p384.pub"), "P-256"),
            (("good.orv", "missing.pub"), "cannot read"),
        ]
        for args, reason in cases:
            with self.subTest(args=args):
                status, out, err = self.verify(*args)
                self.assertEqual(status, 1, err)
                self.assertEqual(out if "--package" not in args else "", "")
                self.assertIn(reason, err)
                self.assertTrue(err.startswith("orvinfo: ") and err.count("\n") == 1, err)
        # Key rotation: any key of a ";"-separated list may have signed.
        self.dir.put("both.pub", (other.line + ";" + self.key.line + "\n").encode())
        status, out, err = self.verify("good.orv", "both.pub")
        self.assertEqual((status, out, err), (0, "Signature: valid (key 2)\n", ""))

    def test_verify_checks_the_signed_expiry(self):
        text = signed_text(self.key)
        fresh = with_expiry(self.key, text, b"2099-01-31T00:00:00Z")
        for plain, status, said in (
                (fresh, 0, "Signature: valid (key 1)\nExpires: 2099-01-31T00:00:00Z\n"),
                (with_expiry(self.key, text, b"2020-01-01T00:00:00Z"), 1, "expired at 2020-"),
                (fresh.replace(b"2099-01-31", b"2099-12-31"), 1, "field 10"),  # forged
                (with_expiry(self.key, text, b"2099-02-29T00:00:00Z"), 1, "(field 9) is malformed"),
                (text + b"|expires:2099-01-31T00:00:00Z", 1, "there is no field 10")):
            with self.subTest(said=said):
                self.dir.put("update.orv", scramble(plain))
                got, out, err = self.verify("update.orv")
                self.assertEqual(got, status, err)
                self.assertIn(said, out if status == 0 else err)
        self.dir.put("update.orv", scramble(fresh))
        self.assertIn('"Expires":"2099-01-31T00:00:00Z","ExpirySignature":"present"}',
                      self.orvinfo("show", "update.orv", "--json")[1])

    def test_show_tells_digest_and_signature(self):
        text = signed_text(self.key)
        self.dir.put("update.orv", scramble(text))
        status, out, _ = self.orvinfo("show", "update.orv")
        self.assertEqual(status, 0)
        digest = hashlib.sha256(PACKAGE).hexdigest()
        self.assertTrue(out.endswith(f"PackageSize: 524288\nPackageDigest: sha256:{digest}\n"
                                     "Signature: present\n"), out)
        self.dir.put("plain.orv", scramble(SIX))
        self.assertTrue(self.orvinfo("show", "plain.orv")[1].endswith("PackageSize: 524288\n"))
        # A piece after the sixth that is no field is ignored: six fields, not signed.
        for extra in (b"|", b"|x"):
            self.dir.put("extra.orv", scramble(SIX + extra))
            self.assertTrue(self.orvinfo("show", "extra.orv")[1].endswith("PackageSize: 524288\n"))
            self.assertIn("is not signed", self.verify("extra.orv")[2])

    def test_make_with_digest(self):
        args = ["make", "--name", "Editor", "--version", "2.1.0", "--date", "07/04/2003",
                "--comments", "Fixes the print preview.", "--package", "edsetup.exe"]
        self.assertEqual(self.orvinfo(*args, "-o", "plain.orv")[0], 0)
        self.assertEqual(scramble(self.dir.read("plain.orv")), SIX)
        status, _, err = self.orvinfo(*args, "--digest", "-o", "digest.orv")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(scramble(self.dir.read("digest.orv")),
                         SIX + b"|sha256:" + hashlib.sha256(PACKAGE).hexdigest().encode())

    def test_the_length_limit_holds_for_the_whole_text(self):
        # Six fields 10 characters short of the limit fit; with field 7 they do not.
        fixed = len(b"Editor|2.1.0.|07/04/2003||edsetup.exe|524288")
        self.dir.put("notes.txt", b"c" * (32767 - 10 - fixed))
        args = ["make", "--name", "Editor", "--version", "2.1.0", "--date", "07/04/2003",
                "--comments-file", "notes.txt", "--package", "edsetup.exe"]
        self.assertEqual(self.orvinfo(*args, "-o", "fits.orv")[0], 0)
        self.assertEqual(len(self.dir.read("fits.orv")), 32757)
        status, _, err = self.orvinfo(*args, "--digest", "-o", "long.orv")
        self.assertEqual(status, 1)
        self.assertIn(f"would be {32757 + 1 + 7 + 64} characters long; at most 32767 fit", err)
        self.assertFalse(os.path.exists(self.dir.file("long.orv")))

    def test_foreign_and_broken_key_files_are_refused(self):
        ec = openssl("ec", "-in", self.key.key, "-outform", "DER")  # ECPrivateKey, curve inside
        mine = pem_der(self.dir.read("pub.key"))
        other = pem_der(openssl("genpkey", "-algorithm", "EC", "-pkeyopt",
                                "ec_paramgen_curve:P-256"))
        cases = [  # name, key file, reason; True: the Windows build's own stricter check
            ("p384", openssl("genpkey", "-algorithm", "EC", "-pkeyopt",
                             "ec_paramgen_curve:P-384"), "P-256 key", False),
            ("encrypted", openssl("pkey", "-in", self.key.key, "-aes128", "-passout", "pass:x"),
             "encrypted", False),
            ("encrypted_ec", openssl("ec", "-in", self.key.key, "-aes128", "-passout",
                                     "pass:x"), "encrypted", False),
            ("garbage", bytes(range(256)), "PEM private key", False),
            ("public", self.dir.read("pub.pem"), "PEM private key", False),
            ("no_point", pem(b"EC PRIVATE KEY", b"\x30\x31" + ec[2:51]), "no public key", True),
            ("foreign_point", pem(b"PRIVATE KEY", mine[:-64] + other[-64:]), "does not belong",
             True),
        ]
        self.dir.put("plain.orv", scramble(SIX))
        for name, text, reason, windows_only in cases:
            if windows_only and not ARGS.runner:
                continue
            self.dir.put(name + ".key", text)
            for args in (["make", "--name", "E", "--version", "1.0.0", "--package", "edsetup.exe",
                          "--sign", name + ".key", "-o", "new.orv"],
                         ["sign", "--key", name + ".key", "--package", "edsetup.exe",
                          "plain.orv"]):
                with self.subTest(key=name, command=args[0]):
                    status, out, err = self.orvinfo(*args)
                    self.assertEqual((status, out), (1, ""), err)
                    self.assertIn(reason, err)
                    self.assertFalse(os.path.exists(self.dir.file("new.orv")))
                    self.assertEqual(scramble(self.dir.read("plain.orv")), SIX)


class SignedByOrvinfo(unittest.TestCase):
    """Keys and signatures of every orvinfo there is, checked by the openssl command line and
    by every orvinfo."""

    def setUp(self):
        self.dir = Folder("orv_signed_")
        self.dir.put("edsetup.exe", PACKAGE)

    def tearDown(self):
        self.dir.close()

    def sign_tool(self, *args):
        return run_text(self.signer[0], list(args), self.dir.path, self.signer[1])

    def assert_signed(self, name, public_der):
        """`name` holds fields 1-6, the package's digest and a signature that openssl and
        every orvinfo take as the key's."""
        self.dir.put("release.pem", openssl("pkey", "-pubin", "-inform", "DER", data=public_der))
        self.dir.put("release.pub", base64.b64encode(public_der) + b"\n")
        plain = scramble(self.dir.read(name))
        fields = plain.split(b"|")
        self.assertEqual(len(fields), 8, plain)
        self.assertEqual(b"|".join(fields[:6]), SIX)
        self.assertEqual(fields[6], b"sha256:" + hashlib.sha256(PACKAGE).hexdigest().encode())
        raw = base64.b64decode(fields[7][len(b"p256:"):], validate=True)
        self.assertEqual(len(raw), 64)
        self.dir.put("message", plain.rsplit(b"|", 1)[0])
        self.dir.put("signature.der", raw_to_der(raw))
        self.assertEqual(openssl("dgst", "-sha256", "-verify", self.dir.file("release.pem"),
                                 "-signature", self.dir.file("signature.der"),
                                 self.dir.file("message")), b"Verified OK\n")
        for program, runner in programs():
            status, out, err = run_text(program, ["verify", "--key", "release.pub", name,
                                                  "--package", "edsetup.exe"],
                                        self.dir.path, runner)
            self.assertEqual((status, err), (0, ""), (name, program))

    def test_keys_files_and_signatures_pass_openssl(self):
        for self.signer in programs():
            with self.subTest(signer=self.signer[0]):
                self.keys_files_and_signatures_pass_openssl()
            self.tearDown()
            self.setUp()

    def keys_files_and_signatures_pass_openssl(self):
        status, out, err = self.sign_tool("keygen", "-o", "release")
        self.assertEqual((status, err), (0, ""))
        key_pem = self.dir.read("release.key")
        # Byte for byte the file openssl writes for the same key.
        self.assertEqual(openssl("pkey", "-in", self.dir.file("release.key")), key_pem)
        if not self.signer[1]:
            self.assertEqual(stat.S_IMODE(os.stat(self.dir.file("release.key")).st_mode), 0o600)
        line = self.dir.read("release.pub")
        self.assertEqual(line.count(b"\n"), 1)
        self.assertEqual(out.encode(), line)
        der = base64.b64decode(line.rstrip(b"\n"), validate=True)
        self.assertIn(b"ASN1 OID: prime256v1", openssl("pkey", "-pubin", "-inform", "DER",
                                                       "-text_pub", "-noout", data=der))
        # The public key is the private key's.
        self.assertEqual(openssl("pkey", "-in", self.dir.file("release.key"), "-pubout",
                                 "-outform", "DER"), der)
        # A second keygen to the same name keeps the first key.
        self.assertEqual(self.sign_tool("keygen", "-o", "release")[0], 1)
        self.assertEqual(self.dir.read("release.key"), key_pem)

        args = ["make", "--name", "Editor", "--version", "2.1.0", "--date", "07/04/2003",
                "--comments", "Fixes the print preview.", "--package", "edsetup.exe"]
        self.assertEqual(self.sign_tool(*args, "--sign", "release.key", "-o", "made.orv")[0], 0)
        self.assertEqual(self.sign_tool(*args, "-o", "later.orv")[0], 0)
        status, _, err = self.sign_tool("sign", "--key", "release.key", "--package",
                                        "edsetup.exe", "later.orv")
        self.assertEqual((status, err), (0, ""))
        # Signing again replaces fields 7 and 8 rather than adding to them.
        self.assertEqual(self.sign_tool("sign", "--key", "release.key", "--package",
                                        "edsetup.exe", "later.orv")[0], 0)
        # A file that describes another package, or no update information, stays as it is.
        self.dir.put("other.exe", PACKAGE[:-1])
        self.dir.put("short.orv", scramble(b"Editor|2.1.0.|07/04/2003"))
        before = self.dir.read("later.orv")
        for package, name, reason in (("other.exe", "later.orv", "describes another package"),
                                      ("edsetup.exe", "short.orv", "fewer than six fields"),
                                      ("missing.exe", "later.orv", "cannot read")):
            status, _, err = self.sign_tool("sign", "--key", "release.key", "--package", package,
                                            name)
            self.assertEqual(status, 1, err)
            self.assertIn(reason, err)
        self.assertEqual(self.dir.read("later.orv"), before)
        self.assertEqual(scramble(self.dir.read("short.orv")), b"Editor|2.1.0.|07/04/2003")

        # --expires adds fields 9 and 10: field 10 signs fields 1-9, as openssl confirms.
        self.dir.put("release.pem", openssl("pkey", "-pubin", "-inform", "DER", data=der))
        for step, when in (([*args, "--sign", "release.key", "--expires", "2099-01-31T00:00:00Z",
                             "-o", "exp.orv"], "2099-01-31T00:00:00Z"),
                           (["sign", "--key", "release.key", "--package", "edsetup.exe",
                             "--expires", "30d", "exp.orv"], "")):
            self.assertEqual(self.sign_tool(*step)[0], 0)
            fields = scramble(self.dir.read("exp.orv")).split(b"|")
            self.dir.put("message", b"|".join(fields[:9]))
            self.dir.put("signature.der", raw_to_der(base64.b64decode(fields[9][5:])))
            self.assertEqual(openssl("dgst", "-sha256", "-verify", self.dir.file("release.pem"),
                                     "-signature", self.dir.file("signature.der"),
                                     self.dir.file("message")), b"Verified OK\n")
            out = run_text(ARGS.orvinfo, ["verify", "--key", "release.pub", "exp.orv"],
                           self.dir.path, ARGS.runner)[1]
            self.assertRegex(out, "\nExpires: " + (when or r"\d{4}-\d\d-\d\dT[\d:]{8}Z") + "\n")
        for name in ("made.orv", "later.orv"):
            self.assert_signed(name, der)

    def test_release_policy_is_signed_by_the_last_field(self):
        key = OpensslKey(self.dir, "release")
        self.dir.put("notes.md", "# 2.2\n\n* Überprüfung, обновление, 更新\n".encode())
        make = ["make", "--name", "Editor", "--version", "2.2.0", "--date", "07/04/2003",
                "--package", "edsetup.exe", "--sign", "release.key", "--expires", "3650d",
                "--urls", "https://a.test/e.exe http://b.test/e.exe", "--critical=2.0",
                "--min-version", "1.5", "--rollout", "10", "--args", "/quiet /norestart",
                "--notes-file", "notes.md", "--tag", "future:x y", "-o", "tagged.orv"]
        expected = {"urls": "https://a.test/e.exe http://b.test/e.exe", "critical": "2.0",
                    "minversion": "1.5", "rollout": "10", "args": "/quiet /norestart",
                    "notes": "# 2.2\n\n* Überprüfung, обновление, 更新\n", "future": "x y"}

        def verified(message, field):
            self.dir.put("message", message)
            self.dir.put("signature.der", raw_to_der(base64.b64decode(field[5:])))
            return openssl("dgst", "-sha256", "-verify", key.pem, "-signature",
                           self.dir.file("signature.der"), self.dir.file("message"))

        for self.signer in programs():
            with self.subTest(signer=self.signer[0]):
                self.assertEqual(self.sign_tool(*make)[1:], ("", ""))
                plain = scramble(self.dir.read("tagged.orv"))
                fields = plain.split(b"|")
                self.assertEqual(len(fields), 18, plain)
                # Fields 8 and 10 sign what they always signed; the last signs all before it.
                for end in (7, 9, 17):
                    self.assertEqual(verified(b"|".join(fields[:end]), fields[end]),
                                     b"Verified OK\n")
                for program, runner in programs():
                    status, out, err = run_text(program, ["verify", "--key", "release.pub",
                                                          "tagged.orv"], self.dir.path, runner)
                    self.assertEqual((status, err), (0, ""), program)
                    self.assertIn("Tagged fields: 7, signed\n", out)
                    shown = json.loads(run_text(program, ["show", "--json", "tagged.orv"],
                                                self.dir.path, runner)[1])
                    self.assertEqual((shown["Tags"], shown["TagSignature"]),
                                     (expected, "present"))
                # Signing again changes what an option names and keeps the rest.
                self.assertEqual(self.sign_tool("sign", "--key", "release.key", "--package",
                                                "edsetup.exe", "--expires", "30d", "--rollout",
                                                "50", "tagged.orv")[0], 0)
                shown = json.loads(self.sign_tool("show", "--json", "tagged.orv")[1])
                self.assertEqual(shown["Tags"], {**expected, "rollout": "50"})
                # A list of mirrors changed after signing fails in every build.
                plain = scramble(self.dir.read("tagged.orv"))
                self.dir.put("changed.orv", scramble(plain.replace(b"https://a.test",
                                                                   b"https://x.test")))
                for program, runner in programs():
                    status, _, err = run_text(program, ["verify", "--key", "release.pub",
                                                        "changed.orv"], self.dir.path, runner)
                    self.assertEqual(status, 1, program)
                    self.assertIn("the tagged fields (last field)", err)

    def test_keys_of_every_maker_sign_in_every_build(self):
        key = OpensslKey(self.dir, "openssl")
        ec = openssl("ec", "-in", key.key, "-outform", "DER")
        public = pem_der(self.dir.read("openssl.pem"))
        # Key file: its public key. Other writers name the curve inside ECPrivateKey, alone
        # (EC PRIVATE KEY) or within PKCS#8 (inside.key).
        keys = {"openssl.key": public, "ec.key": public, "inside.key": public}
        self.dir.put("ec.key", pem(b"EC PRIVATE KEY", ec))
        body = pem_der(self.dir.read("openssl.key"))[3:27] + b"\x04" + bytes([len(ec)]) + ec
        self.dir.put("inside.key", pem(b"PRIVATE KEY", b"\x30\x81" + bytes([len(body)]) + body))
        for n, (program, runner) in enumerate(programs()):
            self.assertEqual(run(program, ["keygen", "-o", f"made{n}"], self.dir.path, runner)[0],
                             0)
            keys[f"made{n}.key"] = base64.b64decode(self.dir.read(f"made{n}.pub"))
        self.dir.put("plain.orv", scramble(SIX))
        for self.signer in programs():
            for name, public_der in keys.items():
                with self.subTest(signer=self.signer[0], key=name):
                    self.dir.put("signed.orv", self.dir.read("plain.orv"))
                    status, _, err = self.sign_tool("sign", "--key", name, "--package",
                                                    "edsetup.exe", "signed.orv")
                    self.assertEqual((status, err), (0, ""))
                    self.assertEqual(self.sign_tool("make", "--name", "Editor", "--version",
                                                    "2.1.0", "--date", "07/04/2003", "--comments",
                                                    "Fixes the print preview.", "--package",
                                                    "edsetup.exe", "--sign", name, "-o",
                                                    "made.orv")[0], 0)
                    for signed in ("signed.orv", "made.orv"):
                        self.assert_signed(signed, public_der)


def main():
    global ARGS
    ARGS = parse_args()
    if not os.path.exists(ARGS.orvinfo):
        print(f"{ARGS.orvinfo} is not built")
        return 1
    suite = unittest.TestSuite()
    for case in (Signed, SignedByOrvinfo):
        suite.addTests(unittest.defaultTestLoader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
