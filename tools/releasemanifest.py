#!/usr/bin/env python3
"""The release manifest, EX/manifest.txt: every file setup.exe fetches, with
its size and SHA-256, under a serial and an expiry time, signed with the
release key (ECDSA P-256). setup.exe parses it with the same rules as
parse_manifest here; when either changes, change the other.

  tarvelo-release 1
  serial N
  expires N                      (Unix time, UTC)
  file NAME SIZE SHA256          (one a file: orbsetup.txt, each package followed
                                 by its entry index if it has one, UnInstall.exe)
  sig HEX                        (r||s over SHA-256 of every byte before this line)

  releasemanifest.py pubkey-hex PUB.pem

prints the release public key as the 128 hex digits of X||Y that the build
compiles into setup.exe. Only that command and the reader run without
python3-cryptography: the build calls it on machines that may lack it.
"""
import argparse
import base64
import hashlib
import os
import re
import sys

MAGIC = b"tarvelo-release 1"
MAX_MANIFEST_BYTES = 262144
MAX_LINE_BYTES = 200            # with its LF
MAX_FILES = 2048
MAX_FILE_BYTES = 536870912
MAX_NUMBER = 2**63 - 1
FIELDS = {b"serial": 2, b"expires": 2, b"file": 4, b"sig": 2}
FILE_NAME = re.compile(rb"[A-Za-z0-9._-]{1,31}")
DECIMAL = re.compile(rb"[1-9][0-9]{0,18}")
SHA256_HEX = re.compile(rb"[0-9a-f]{64}")
SIG_HEX = re.compile(rb"[0-9a-f]{128}")
PRINTABLE = re.compile(rb"[ -~]+")
# SubjectPublicKeyInfo of an uncompressed P-256 point: everything but X||Y.
SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
PASSWORD_VARIABLE = "SETUP_RELEASE_KEY_PASSWORD"


def _number(word, top, what):
    if not DECIMAL.fullmatch(word) or int(word) > top:
        raise ValueError("%s %r is not a decimal number from 1 to %d"
                         % (what, word.decode(), top))
    return int(word)


def parse_manifest(data):
    """The manifest's fields as a dict (serial, expires, files as
    [(name, size, sha256 hex)], signature as 64 bytes or None, body: the
    signed bytes). Raises ValueError on anything setup.exe would refuse."""
    if len(data) > MAX_MANIFEST_BYTES:
        raise ValueError("longer than %d bytes" % MAX_MANIFEST_BYTES)
    if b"\r" in data:
        raise ValueError("contains CR: lines end with LF alone")
    if not data.endswith(b"\n"):
        raise ValueError("does not end with a line feed")
    serial = expires = signature = None
    files, seen = [], set()
    for n, line in enumerate(data[:-1].split(b"\n"), 1):
        if len(line) + 1 > MAX_LINE_BYTES:
            raise ValueError("line %d: longer than %d bytes" % (n, MAX_LINE_BYTES))
        if not line:
            raise ValueError("line %d: blank" % n)
        if not PRINTABLE.fullmatch(line):
            raise ValueError("line %d: a byte that is not printable ASCII" % n)
        if line != line.strip(b" ") or b"  " in line:
            raise ValueError("line %d: stray space" % n)
        if n == 1:
            if line != MAGIC:
                raise ValueError("line 1: not %r" % MAGIC.decode())
            continue
        words = line.split(b" ")
        key = words[0]
        if key not in FIELDS:
            raise ValueError("line %d: unknown key word %r" % (n, key.decode()))
        if len(words) != FIELDS[key]:
            raise ValueError("line %d: %s with %d fields, not %d"
                             % (n, key.decode(), len(words), FIELDS[key]))
        if signature is not None:
            raise ValueError("line %d: follows the sig line, which must be last" % n)
        place = {2: b"serial", 3: b"expires"}.get(n)
        if key != place and (place or key in (b"serial", b"expires")):
            raise ValueError("line %d: %s out of place (line 2 is serial, line 3 expires)"
                             % (n, key.decode()))
        if key == b"serial":
            serial = _number(words[1], MAX_NUMBER, "serial")
        elif key == b"expires":
            expires = _number(words[1], MAX_NUMBER, "expires")
        elif key == b"file":
            name, size, digest = words[1:]
            if not FILE_NAME.fullmatch(name):
                raise ValueError("line %d: file name %r: 1 to 31 of A-Z a-z 0-9 . _ -"
                                 % (n, name.decode()))
            if name.lower() in seen:
                raise ValueError("line %d: %s listed twice (names ignore case)"
                                 % (n, name.decode()))
            seen.add(name.lower())
            size = _number(size, MAX_FILE_BYTES, "size")
            if not SHA256_HEX.fullmatch(digest):
                raise ValueError("line %d: SHA-256 is not 64 lower-case hex digits" % n)
            files.append((name.decode(), size, digest.decode()))
            if len(files) > MAX_FILES:
                raise ValueError("more than %d files" % MAX_FILES)
        else:
            if not SIG_HEX.fullmatch(words[1]):
                raise ValueError("line %d: signature is not 128 lower-case hex digits" % n)
            signature = bytes.fromhex(words[1].decode())
    if expires is None:
        raise ValueError("no serial and expires lines")
    if not files:
        raise ValueError("lists no files")
    body = data[:data.rindex(b"\nsig ") + 1] if signature else data
    return {"serial": serial, "expires": expires, "files": files,
            "signature": signature, "body": body}


def verify_manifest(data, public_key):
    """parse_manifest's dict when DATA is signed by PUBLIC_KEY (a P-256
    public key object, or its 64 bytes X||Y); raises ValueError otherwise."""
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, utils
    manifest = parse_manifest(data)
    if manifest["signature"] is None:
        raise ValueError("not signed")
    if isinstance(public_key, (bytes, bytearray)):
        public_key = ec.EllipticCurvePublicKey.from_encoded_point(
            ec.SECP256R1(), b"\x04" + bytes(public_key))
    if not isinstance(public_key, ec.EllipticCurvePublicKey) or \
            public_key.curve.name != "secp256r1":
        raise ValueError("the key is not an EC P-256 public key")
    sig = manifest["signature"]
    der = utils.encode_dss_signature(int.from_bytes(sig[:32], "big"),
                                     int.from_bytes(sig[32:], "big"))
    try:
        public_key.verify(der, manifest["body"], ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        raise ValueError("the signature does not verify with this key") from None
    return manifest


def sign_manifest(body, private_key):
    """BODY with its sig line appended. Checks nothing of BODY, so tests can
    sign manifests that only the format rules refuse."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, utils
    if not isinstance(private_key, ec.EllipticCurvePrivateKey) or \
            private_key.curve.name != "secp256r1":
        raise ValueError("the key is not an EC P-256 private key")
    # setup.exe takes r||s as they come, not DER.
    r, s = utils.decode_dss_signature(private_key.sign(body, ec.ECDSA(hashes.SHA256())))
    return body + b"sig " + (r.to_bytes(32, "big") + s.to_bytes(32, "big")).hex().encode() + b"\n"


def write_manifest(serial, expires, files, private_key=None):
    """The manifest's bytes; FILES is [(name, content bytes or (size, sha256
    hex))] in the order setup.exe fetches them. Raises ValueError for
    anything parse_manifest would refuse."""
    lines = [MAGIC.decode(), "serial %d" % serial, "expires %d" % expires]
    for name, content in files:
        if isinstance(content, (bytes, bytearray)):
            size, digest = len(content), hashlib.sha256(content).hexdigest()
        else:
            size, digest = content
        lines.append("file %s %d %s" % (name, size, digest))
    data = "".join(line + "\n" for line in lines).encode("ascii")
    if private_key is not None:
        data = sign_manifest(data, private_key)
    parse_manifest(data)
    return data


def key_password():
    """The release key's password as bytes, None when none is set. Only ever
    from the environment: publishing runs unattended, and a password on the
    command line shows in every process listing."""
    name = PASSWORD_VARIABLE
    if name not in os.environ:
        if name + "_VAR" not in os.environ:
            return None
        name = os.environ[PASSWORD_VARIABLE + "_VAR"]
        if name not in os.environ:
            raise ValueError("%s_VAR names %s, which is not set" % (PASSWORD_VARIABLE, name))
    if not os.environ[name]:
        raise ValueError("%s is empty" % name)
    return os.fsencode(os.environ[name])


def load_private_key(path):
    """The release private key from its PEM file; ValueError with the reason
    when it cannot be used."""
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.serialization import load_pem_private_key
    from cryptography.exceptions import UnsupportedAlgorithm
    password = key_password()
    try:
        with open(path, "rb") as f:
            pem = f.read()
    except OSError as e:
        raise ValueError("cannot read it: %s" % e.strerror) from None
    try:
        key = load_pem_private_key(pem, password)
    except TypeError:
        raise ValueError("it is encrypted: set %s" % PASSWORD_VARIABLE if password is None
                         else "it is not encrypted, yet a password is set") from None
    except (ValueError, UnsupportedAlgorithm):
        raise ValueError("wrong password, or not a PEM private key" if password
                         else "not a PEM private key") from None
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise ValueError("not an EC P-256 private key")
    return key


def public_key_raw(path):
    """X||Y (64 bytes) of the P-256 public key in a SubjectPublicKeyInfo PEM."""
    with open(path, "rb") as f:
        text = f.read().decode("ascii")
    begin, end = "-----BEGIN PUBLIC KEY-----", "-----END PUBLIC KEY-----"
    start = text.find(begin)
    stop = text.find(end, start)
    if start < 0 or stop < 0:
        raise ValueError("%s: no PEM public key" % path)
    der = base64.b64decode("".join(text[start + len(begin):stop].split()), validate=True)
    if len(der) != len(SPKI_PREFIX) + 65 or not der.startswith(SPKI_PREFIX + b"\x04"):
        raise ValueError("%s: not an EC P-256 public key" % path)
    return der[len(SPKI_PREFIX) + 1:]


def main(argv=None):
    parser = argparse.ArgumentParser(description="The release manifest's helpers.")
    commands = parser.add_subparsers(dest="command", required=True)
    hexcmd = commands.add_parser("pubkey-hex", help="print a P-256 public key (PEM) as the "
                                 "128 hex digits of X||Y that setup.exe is built with")
    hexcmd.add_argument("pub", metavar="PUB.pem")
    args = parser.parse_args(argv)
    try:
        print(public_key_raw(args.pub).hex())
    except (OSError, ValueError) as e:
        print("releasemanifest: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
