#!/usr/bin/env python3
"""The publishing tool: what it writes, what it refuses, how it splits, how
it signs, the package manager's manifest it writes for setup.exe, and that
its copies of the installer's list and manifest rules read them as setup.exe
does.

  test_publish.py [SETUP.exe] [unittest arguments]

SETUP.exe: the shipped setup.exe (CTest gives it; default
build/win32/bin/setup.exe, as scripts/build makes it)."""
import hashlib
import http.client
import io
import json
import os
import random
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
import zlib
from unittest import mock

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
TOOLS = os.path.join(ROOT, "tools")
sys.path[:0] = [TOOLS, os.path.join(ROOT, "tests"), os.path.join(ROOT, "tests", "servers")]
import entryindex  # noqa: E402
import peimage  # noqa: E402
import publish  # noqa: E402
import releasemanifest  # noqa: E402
import setuplist  # noqa: E402
import testservers  # noqa: E402

PASSWORD = "SETUP_RELEASE_KEY_PASSWORD"
SETUP_EXE = next((a for a in sys.argv[1:] if a.endswith(".exe")),
                 os.path.join(ROOT, "build", "win32", "bin", "setup.exe"))


class PublishTestBase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="publish_")
        self.out = os.path.join(self.dir, "out")
        self.write("un/UnInstall.exe", b"MZ uninstaller")
        # The tools read the key's password from here; none leaks in from outside.
        env = mock.patch.dict(os.environ)
        env.start()
        self.addCleanup(env.stop)
        for name in (PASSWORD, PASSWORD + "_VAR"):
            os.environ.pop(name, None)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, rel, data, mtime=None):
        path = os.path.join(self.dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        if mtime:
            os.utime(path, (mtime, mtime))
        return path

    def release(self, packages, **extra):
        desc = {"uninstaller": "un/UnInstall.exe", "packages": packages}
        desc.update(extra)
        path = os.path.join(self.dir, "release.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(desc, f, ensure_ascii=False)
        return path

    def run_tool(self, release, *args, env=None):
        res = subprocess.run([sys.executable, os.path.join(TOOLS, "publish.py"), release,
                              "--out", self.out, *args], capture_output=True, text=True,
                             timeout=120, env=dict(os.environ, **(env or {})))
        return res.returncode, res.stdout + res.stderr

    def keygen(self, folder, env=None):
        # umask 0: only the modes the tool creates its files with keep others out.
        res = subprocess.run([sys.executable, os.path.join(TOOLS, "publish.py"), "keygen",
                              folder], capture_output=True, text=True, timeout=60,
                             env=dict(os.environ, **(env or {})), preexec_fn=lambda: os.umask(0))
        return res.returncode, res.stdout + res.stderr

    def ex(self, name):
        return os.path.join(self.out, "EX", name)

    def read_ex(self, name):
        with open(self.ex(name), "rb") as f:
            return f.read()


class PublishOutputTest(PublishTestBase):
    def test_release_becomes_list_zips_and_uninstaller_that_read_back(self):
        stamp = 1600000000
        self.write("client/iKVTRemote.exe", b"MZ client", stamp)
        self.write("client/config/ORB.System.config", "[Client]\r\n", stamp + 10)
        ro = self.write("client/data/readonly.dat", b"\x00\x01", stamp + 20)
        os.chmod(ro, 0o444)
        self.write("client/说明/文档.txt", "中文", stamp)
        self.write("yahei/ui/font.ini", "Font=yahei", stamp)
        code, out = self.run_tool(self.release([
            {"name": "client.zip", "kind": 1, "value": 7, "folders": ["client"]},
            {"name": "ui-yahei.zip", "kind": 2, "folders": ["yahei"]},
        ]))
        self.assertEqual(0, code, out)

        with open(self.ex("orbsetup.txt"), "rb") as f:
            data = f.read()
        self.assertEqual(b"\xff\xfe" + "client.zip;7;1\r\nui-yahei.zip;1;2\r\n"
                         .encode("utf-16-le"), data)
        with open(self.ex("UnInstall.exe"), "rb") as f:
            self.assertEqual(b"MZ uninstaller", f.read())

        with open(self.ex("client.zip"), "rb") as f:
            raw = f.read()
        z = zipfile.ZipFile(io.BytesIO(raw))
        names = [i.filename for i in z.infolist()]
        self.assertEqual(["config/ORB.System.config", "data/readonly.dat", "iKVTRemote.exe",
                          "说明/文档.txt"], names)
        # Non-ASCII names go out as UTF-8 with the flag that says so.
        self.assertEqual([False, False, False, True],
                         [bool(i.flag_bits & 0x800) for i in z.infolist()])
        for info in z.infolist():
            self.assertEqual(zipfile.ZIP_DEFLATED, info.compress_type)
            nlen, xlen = struct.unpack_from("<HH", raw, info.header_offset + 26)
            extra = raw[info.header_offset + 30 + nlen:][:xlen]
            mtime = int(os.stat(os.path.join(self.dir, "client", info.filename)).st_mtime)
            self.assertEqual({"write": mtime, "access": mtime, "creation": mtime},
                             setuplist.ut_times(extra), info.filename)
            attrs = setuplist.entry_attributes(info.create_system << 8, info.external_attr)
            self.assertEqual(0x21 if info.filename.endswith("readonly.dat") else 0x20, attrs,
                             info.filename)
        self.assertEqual(b"MZ client", z.read("iKVTRemote.exe"))

    def test_republishing_replaces_the_whole_folder(self):
        self.write("client/iKVTRemote.exe", b"MZ")
        self.write("extra/a.txt", "a")
        code, out = self.run_tool(self.release([
            {"name": "client.zip", "kind": 1, "folders": ["client"]},
            {"name": "extra.zip", "kind": 1, "folders": ["extra"]}]))
        self.assertEqual(0, code, out)
        code, out = self.run_tool(self.release([
            {"name": "client.zip", "kind": 1, "folders": ["client"]}]))
        self.assertEqual(0, code, out)
        self.assertEqual(["UnInstall.exe", "client.idx", "client.zip", "manifest.txt",
                          "orbsetup.txt"],
                         sorted(os.listdir(os.path.join(self.out, "EX"))))
        self.assertEqual(["EX"], os.listdir(self.out))

    def test_content_over_the_size_limit_is_split_across_packages(self):
        rnd = random.Random(7)
        self.write("client/iKVTRemote.exe", b"MZ")
        client = {"name": "client.zip", "kind": 1, "folders": ["client"]}
        # By default a package holds at most 16 MiB, so that it arrives in
        # setup.exe's first download block (17 MiB) without a copy.
        mib16 = 16 * 1024 * 1024
        self.write("fits/a.bin", os.urandom(mib16 - 64 * 1024))
        self.write("over/a.bin", os.urandom(mib16))
        publish.publish(self.release([client, {"name": "fits.zip", "kind": 1,
                                               "folders": ["fits"]}]), self.out)
        self.assertLessEqual(os.path.getsize(self.ex("fits.zip")), mib16)
        with self.assertRaises(publish.Refused) as cm:
            publish.publish(self.release([client, {"name": "over.zip", "kind": 1,
                                                   "folders": ["over"]}]), self.out)
        self.assertIn("a.bin alone packs to", str(cm.exception))

        for n in range(5):
            self.write("big/f%d.bin" % n, bytes(rnd.getrandbits(8) for _ in range(3000)))
        old = publish.MAX_PACKAGE_BYTES
        publish.MAX_PACKAGE_BYTES = 7000
        try:
            packages = publish.publish(self.release([
                {"name": "client.zip", "kind": 1, "folders": ["client"]},
                {"name": "big.zip", "kind": 3, "value": 2, "folders": ["big"]}]), self.out)
            self.assertEqual(["client.zip", "big.zip", "big-2.zip", "big-3.zip"],
                             [p.name for p in packages])
            entries, message = setuplist.validate_setup_list(self.read_ex("orbsetup.txt"))
            self.assertIsNone(message)
            self.assertEqual([("big.zip", 2, 3), ("big-2.zip", 2, 3), ("big-3.zip", 2, 3)],
                             entries[1:])
            seen = []
            for name in ("big.zip", "big-2.zip", "big-3.zip"):
                self.assertLessEqual(os.path.getsize(self.ex(name)), 7000)
                seen += zipfile.ZipFile(self.ex(name)).namelist()
            self.assertEqual(["f%d.bin" % n for n in range(5)], seen)

            # One file that cannot fit any package is refused, not split.
            self.write("huge/h.bin", bytes(rnd.getrandbits(8) for _ in range(8000)))
            with self.assertRaises(publish.Refused) as cm:
                publish.publish(self.release([
                    {"name": "client.zip", "kind": 1, "folders": ["client"]},
                    {"name": "huge.zip", "kind": 1, "folders": ["huge"]}]), self.out)
            self.assertIn("h.bin alone packs to", str(cm.exception))

            # The measurement switch sets the limit in MiB.
            for n in range(3):
                self.write("mib/m%d.bin" % n, os.urandom(700 * 1024))
            desc = self.release([{"name": "client.zip", "kind": 1, "folders": ["client"]},
                                 {"name": "mib.zip", "kind": 1, "folders": ["mib"]}])
            self.assertEqual(0, publish.main([desc, "--out", self.out, "--package-limit", "1"]))
            entries, _ = setuplist.validate_setup_list(self.read_ex("orbsetup.txt"))
            self.assertEqual(["mib.zip", "mib-2.zip", "mib-3.zip"], [e[0] for e in entries[1:]])
        finally:
            publish.MAX_PACKAGE_BYTES = old


class PublishRefusalTest(PublishTestBase):
    def test_each_release_setup_exe_would_mishandle_is_refused_with_its_reason(self):
        self.write("client/iKVTRemote.exe", b"MZ")
        self.write("docs/readme.txt", "x")
        os.makedirs(os.path.join(self.dir, "empty"))
        self.write("ctl/a\x01.txt", "x")
        self.write("dot/notes./a.txt", "x")
        self.write("short/PROGRA~1/a.txt", "x")
        self.write("case/A.txt", "x")
        self.write("case/a.txt", "y")
        client = {"name": "client.zip", "kind": 1, "folders": ["client"]}
        cases = [
            ("32 characters", [client, {"name": "a" * 28 + ".zip", "kind": 1,
                                        "folders": ["docs"]}], "at most 31"),
            ("unsafe name", [client, {"name": "../x.zip", "kind": 1, "folders": ["docs"]}],
             "only letters"),
            ("space in name", [client, {"name": "my docs.zip", "kind": 1,
                                        "folders": ["docs"]}], "only letters"),
            ("reserved name", [client, {"name": "orbsetup.txt", "kind": 1,
                                        "folders": ["docs"]}], "taken"),
            ("manifest's name", [client, {"name": "Manifest.TXT", "kind": 1,
                                          "folders": ["docs"]}], "taken"),
            ("empty package", [client, {"name": "e.zip", "kind": 1, "folders": ["empty"]}],
             "is empty"),
            ("never-installed kind", [client, {"name": "d.zip", "kind": 7,
                                               "folders": ["docs"]}], "never installs"),
            ("no packages", [], "list empty"),
            ("duplicate name", [client, dict(client)], "used twice"),
            ("control character", [client, {"name": "c.zip", "kind": 1, "folders": ["ctl"]}],
             "control"),
            ("trailing dot", [client, {"name": "d.zip", "kind": 1, "folders": ["dot"]}],
             "ends in a dot"),
            ("short name", [client, {"name": "s.zip", "kind": 1, "folders": ["short"]}],
             "short name"),
            ("case clash", [client, {"name": "c.zip", "kind": 1, "folders": ["case"]}],
             "one file on Windows"),
            ("no client everywhere", [{"name": "c.zip", "kind": 2, "folders": ["client"]},
                                      {"name": "d.zip", "kind": 1, "folders": ["docs"]}],
             "iKVTRemote.exe"),
            ("missing folder", [client, {"name": "m.zip", "kind": 1, "folders": ["nope"]}],
             "does not exist"),
        ]
        # A good release first: refusals must leave it served as it was.
        code, out = self.run_tool(self.release([client]))
        self.assertEqual(0, code, out)
        before = self.read_ex("orbsetup.txt")
        for label, packages, reason in cases:
            with self.subTest(label):
                code, out = self.run_tool(self.release(packages))
                self.assertEqual(1, code, out)
                self.assertIn("refused", out)
                self.assertIn(reason, out)
                self.assertEqual(before, self.read_ex("orbsetup.txt"))

        code, out = self.run_tool(self.release([client], uninstaller="un/missing.exe"))
        self.assertEqual(1, code)
        self.assertIn("no uninstaller", out)

    def test_package_over_what_setup_exe_unpacks_is_refused(self):
        self.write("client/iKVTRemote.exe", b"MZ")
        for n in range(3):
            self.write("many/f%d.txt" % n, b"x" * 40)
        client = {"name": "client.zip", "kind": 1, "folders": ["client"]}
        many = {"name": "many.zip", "kind": 1, "folders": ["many"]}
        for entries, unpacked, refused in ((2, 120, True), (3, 119, True), (3, 120, False)):
            with self.subTest(entries=entries, unpacked=unpacked), \
                    mock.patch.object(publish, "MAX_PACKAGE_ENTRIES", entries), \
                    mock.patch.object(publish, "MAX_UNPACKED_BYTES", unpacked):
                if not refused:
                    publish.publish(self.release([client, many]), self.out)
                    continue
                with self.assertRaises(publish.Refused) as cm:
                    publish.publish(self.release([client, many]), self.out)
                self.assertIn("package many.zip: 3 entries and 120 bytes unpacked",
                              str(cm.exception))


class ManifestTest(PublishTestBase):
    def test_signed_manifest_lists_every_fetched_file_and_any_changed_byte_fails(self):
        self.write("client/iKVTRemote.exe", b"MZ client")
        self.write("docs/a.txt", "a")
        private, public = publish.keygen(os.path.join(self.dir, "keys"))
        packages = publish.publish(self.release([
            {"name": "client.zip", "kind": 1, "folders": ["client"]},
            {"name": "docs.zip", "kind": 2, "folders": ["docs"]}]), self.out,
            sign_key=private, valid_days=3)
        data = self.read_ex("manifest.txt")
        raw = releasemanifest.public_key_raw(public)
        manifest = releasemanifest.verify_manifest(data, raw)
        self.assertTrue(data.startswith(b"tarvelo-release 1\nserial %d\nexpires %d\n"
                                        % (manifest["serial"], manifest["expires"])))
        self.assertAlmostEqual(time.time() + 3 * 86400, manifest["expires"], delta=60)
        self.assertEqual(["orbsetup.txt", "client.zip", "client.idx", "docs.zip", "docs.idx",
                          "UnInstall.exe"], [name for name, _, _ in manifest["files"]])
        for name, size, digest in manifest["files"]:
            content = self.read_ex(name)
            self.assertEqual((len(content), hashlib.sha256(content).hexdigest()),
                             (size, digest), name)

        # The build reads the public key without python3-cryptography (-S).
        res = subprocess.run([sys.executable, "-S", os.path.join(TOOLS, "releasemanifest.py"),
                              "pubkey-hex", public], capture_output=True, text=True, timeout=60)
        self.assertEqual(raw.hex() + "\n", res.stdout, res.stderr)

        def flip(at):
            return data[:at] + (b"0" if data[at:at + 1] != b"0" else b"1") + data[at + 1:]
        sig_at = data.rindex(b"\nsig ") + 5
        body_changed = flip(sig_at - 6)      # UnInstall.exe's SHA-256, last digit
        for label, changed in (("body", body_changed), ("signature", flip(sig_at + 9))):
            with self.subTest(label):
                releasemanifest.parse_manifest(changed)
                with self.assertRaisesRegex(ValueError, "does not verify"):
                    releasemanifest.verify_manifest(changed, raw)

        # Not saying what was written, or signed by another key: read back refuses it.
        key = releasemanifest.load_private_key(private)
        other = releasemanifest.load_private_key(publish.keygen(os.path.join(self.dir, "o"))[0])
        body = data[:sig_at - 4]
        docs = body.index(b"file docs.zip")
        for tampered, signer, problem in (
                (body_changed[:sig_at - 4], key, "UnInstall.exe is not the file"),
                (body[:docs] + body[body.index(b"\n", docs) + 1:], key, "manifest.txt lists"),
                (body, other, "does not verify")):
            with self.subTest(problem):
                with open(self.ex("manifest.txt"), "wb") as f:
                    f.write(releasemanifest.sign_manifest(tampered, signer))
                problems = publish.read_back(os.path.join(self.out, "EX"), packages,
                                             os.path.join(self.dir, "un/UnInstall.exe"),
                                             key.public_key())
                self.assertEqual(1, len(problems), problems)
                self.assertIn(problem, problems[0])

    def test_serial_grows_with_each_publication_into_the_same_folder(self):
        self.write("client/iKVTRemote.exe", b"MZ")
        release = self.release([{"name": "client.zip", "kind": 1, "folders": ["client"]}])
        code, out = self.run_tool(release)
        self.assertEqual(0, code, out)
        self.assertIn("the release is unsigned", out)
        first = releasemanifest.parse_manifest(self.read_ex("manifest.txt"))
        self.assertIsNone(first["signature"])
        # Again within the same second, then with the clock put back an hour.
        for n, now in enumerate((first["serial"], first["serial"] - 3600), 1):
            with mock.patch.object(publish.time, "time", return_value=now + 0.5):
                publish.publish(release, self.out)
            manifest = releasemanifest.parse_manifest(self.read_ex("manifest.txt"))
            self.assertEqual((first["serial"] + n, now + 30 * 86400),
                             (manifest["serial"], manifest["expires"]))


class ReleaseKeyTest(PublishTestBase):
    def test_keygen_makes_an_owner_only_key_and_never_overwrites_or_serves_one(self):
        keys = os.path.join(self.dir, "keys")
        code, out = self.keygen(keys)
        self.assertEqual(0, code, out)
        private = os.path.join(keys, "release-key.pem")
        public = os.path.join(keys, "release-key.pub.pem")
        self.assertEqual((0o700, 0o600, 0o644),
                         tuple(stat.S_IMODE(os.stat(p).st_mode) for p in (keys, private, public)))

        with open(private, "rb") as f:
            before = f.read()
        code, out = self.keygen(keys)
        self.assertEqual(1, code, out)
        self.assertIn("exists already", out)
        with open(private, "rb") as f:
            self.assertEqual(before, f.read())

        os.makedirs(os.path.join(self.out, "EX"))
        for folder in (self.out, os.path.join(self.out, "keys", "new"),
                       os.path.join(self.dir, "new", "EX")):
            with self.subTest(folder):
                code, out = self.keygen(folder)
                self.assertEqual(1, code, out)
                self.assertIn("release folder", out)
                self.assertFalse(os.path.exists(os.path.join(folder, "release-key.pem")))

    def test_signing_refuses_a_key_the_server_would_hand_out_or_installers_cannot_use(self):
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        self.write("client/iKVTRemote.exe", b"MZ")
        release = self.release([{"name": "client.zip", "kind": 1, "folders": ["client"]}])
        keys = os.path.join(self.dir, "keys")
        self.assertEqual(0, self.keygen(keys, {PASSWORD: "pw"})[0])
        private = os.path.join(keys, "release-key.pem")
        # A CI secret under its own name, pointed at.
        code, out = self.run_tool(release, "--sign-key", private,
                                  env={PASSWORD + "_VAR": "CI_SECRET", "CI_SECRET": "pw"})
        self.assertEqual(0, code, out)
        before = self.read_ex("manifest.txt")

        copied, linked = os.path.join(self.out, "k.pem"), os.path.join(self.out, "link.pem")
        shutil.copy(private, copied)
        os.symlink(private, linked)
        p384 = self.write("p384.pem", ec.generate_private_key(ec.SECP384R1()).private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
        for label, key, password, reason in (
                ("copy inside --out", copied, "pw", "inside"),
                ("link inside --out", linked, "pw", "inside"),
                ("wrong password", private, "nope", "wrong password"),
                ("no password", private, None, "encrypted"),
                ("P-384 key", p384, None, "P-256")):
            with self.subTest(label):
                code, out = self.run_tool(release, "--sign-key", key,
                                          env={PASSWORD: password} if password else None)
                self.assertEqual(1, code, out)
                self.assertIn(reason, out)
                self.assertEqual(before, self.read_ex("manifest.txt"))


class WingetManifestTest(PublishTestBase):
    # What YAML could misread: quotes, a backslash, '#', ':', non-ASCII.
    URL = "https://downloads.example.com:8443/塔维罗/setup.exe?x='1'&y=\"2\"\\#a:b"

    def setup_copy(self, name, patch=None):
        if not os.path.isfile(SETUP_EXE):
            self.fail("no %s: build it (scripts/build) or give its path" % SETUP_EXE)
        with open(SETUP_EXE, "rb") as f:
            data = bytearray(f.read())
        if patch:
            patch(data)
        return self.write("setup/%s/setup.exe" % name, bytes(data))

    def publish_with(self, *args):
        self.write("client/iKVTRemote.exe", b"MZ")
        return self.run_tool(self.release([{"name": "client.zip", "kind": 1,
                                            "folders": ["client"]}]), *args)

    def test_manifest_installs_setup_exe_and_maps_its_uninstall_entry_and_exit_codes(self):
        # Another ProductVersion than FileVersion: the version is this file's.
        def product_version(data):
            at = data.index("ProductVersion".encode("utf-16-le"))
            at = data.index("2.0.0.0".encode("utf-16-le"), at)
            data[at:at + 14] = "2.0.7.1".encode("utf-16-le")
        setup = self.setup_copy("version", product_version)
        code, out = self.publish_with("--setup", setup, "--setup-url", self.URL)
        self.assertEqual(0, code, out)
        with open(os.path.join(self.out, "tarvelo.winget.yaml"), encoding="utf-8") as f:
            manifest = yaml.safe_load(f)

        image = peimage.Image(setup)
        strings = peimage.version_strings(image.resource(peimage.RT_VERSION))
        self.assertEqual("2.0.7.1", strings["ProductVersion"])
        # What setup.exe's Uninstall entry says (install/Registration.cpp).
        with open(os.path.join(ROOT, "install", "Registration.cpp"), encoding="utf-8") as f:
            registration = f.read()
        values = dict((name, value) for value, name in re.findall(
            r'FormatInto\(szData, L"([^"%]*)"\)\)\s*SetStringValue\(appKey\.Get\(\), L"(\w+)"',
            registration))
        subkey = re.search(r'RegCreateKeyW\(uninstallKey\.Get\(\), L"(\w+)"', registration)[1]
        with open(setup, "rb") as f:
            sha256 = hashlib.sha256(f.read()).hexdigest().upper()

        self.assertEqual(("singleton", "Tarvelo.Tarvelo", "2.0.7.1", "zh-CN"),
                         (manifest["ManifestType"], manifest["PackageIdentifier"],
                          manifest["PackageVersion"], manifest["PackageLocale"]))
        self.assertEqual((values["Publisher"], values["DisplayName"]),
                         (manifest["Publisher"], manifest["PackageName"]))
        installer, = manifest["Installers"]
        self.assertEqual(peimage.I386, image.machine)
        self.assertEqual({"Architecture": "x86", "InstallerType": "exe", "Scope": "machine",
                          "ElevationRequirement": "elevatesSelf", "InstallerUrl": self.URL,
                          "InstallerSha256": sha256, "ProductCode": subkey,
                          "InstallerSwitches": {"Silent": "/S", "SilentWithProgress": "/S"}},
                         {k: installer[k] for k in installer
                          if k not in ("ExpectedReturnCodes", "AppsAndFeaturesEntries")})
        self.assertEqual([{"DisplayName": values["DisplayName"],
                           "Publisher": values["Publisher"],
                           "DisplayVersion": values["DisplayVersion"], "ProductCode": subkey}],
                         installer["AppsAndFeaturesEntries"])

        # Every failure code of setup.exe, by its number in the header, and
        # nothing else.
        with open(os.path.join(ROOT, "support", "ExitCodes.h"), encoding="utf-8") as f:
            enum = re.search(r"enum SetupExitCode \{(.*?)\};", f.read(), re.S)[1]
        codes = {name: int(n) for name, n in re.findall(r"(k\w+) = (\d+)", enum)}
        responses = {"kSetupBadCommandLine": "invalidParameter",
                     "kSetupLogUnwritable": "invalidParameter",
                     "kSetupListFailed": "noNetwork", "kSetupDownloadFailed": "noNetwork",
                     "kSetupDiskFull": "diskFull", "kSetupOtherInstance": "installInProgress",
                     "kSetupClientRunning": "packageInUse", "kSetupStopped": "cancelledByUser",
                     "kSetupUnpackFailed": "contactSupport",
                     "kSetupReleaseRefused": "contactSupport",
                     "kSetupProxyAuth": "contactSupport", "kSetupFailed": "contactSupport"}
        self.assertEqual(0, codes.pop("kSetupOk"))
        self.assertEqual({codes[name]: responses[name] for name in codes},
                         {e["InstallerReturnCode"]: e["ReturnResponse"]
                          for e in installer["ExpectedReturnCodes"]})
        self.assertEqual(len(codes), len(installer["ExpectedReturnCodes"]))

    def test_setup_that_is_no_x86_program_with_a_version_is_refused(self):
        # The 32-bit header: the resource table's entry, and the machine.
        def no_resources(data):
            struct.pack_into("<I", data, struct.unpack_from("<I", data, 0x3C)[0] + 136, 0)

        def x86_64(data):
            struct.pack_into("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4,
                             peimage.AMD64)

        text = self.write("setup/readme.txt", "MZ, but no program")
        bare, amd64 = self.setup_copy("bare", no_resources), self.setup_copy("amd64", x86_64)
        for label, setup, url, status, reason in (
                ("not a program", text, self.URL, 1, "not a Windows program"),
                ("no version", bare, self.URL, 1, "no version resource"),
                ("x86-64", amd64, self.URL, 1, "not a 32-bit x86 program"),
                ("not a web URL", self.setup_copy("ftp"), "ftp://example.com/setup.exe", 1,
                 "--setup-url"),
                ("no URL", self.setup_copy("no-url"), None, 2, "go together")):
            with self.subTest(label):
                code, out = self.publish_with("--setup", setup,
                                              *(["--setup-url", url] if url else []))
                self.assertEqual(status, code, out)
                self.assertIn(reason, out)
                self.assertFalse(os.path.exists(self.out), out)


class EntryIndexTest(PublishTestBase):
    def entries(self, out, package):
        """{name: (index entry, the bytes of its range)} of a published package."""
        with open(os.path.join(out, "EX", package), "rb") as f:
            raw = f.read()
        with open(os.path.join(out, "EX", package[:-4] + ".idx"), "rb") as f:
            entries = entryindex.read_index(f.read(), len(raw))
        return {e.name: (e, raw[e.offset:e.offset + e.length]) for e in entries}

    def test_each_range_alone_unpacks_to_its_file_and_the_manifest_covers_each_index(self):
        self.write("client/iKVTRemote.exe", b"MZ" + os.urandom(3000), 1600000000)
        self.write("client/说明/read me.txt", "说明 " * 300, 1600000011)
        os.chmod(self.write("client/ro.dat", b"\0" * 5000, 1600000020), 0o444)
        self.write("docs/a.txt", "a")
        self.write("other/b.txt", "b")
        code, out = self.run_tool(self.release([
            {"name": "client.zip", "kind": 1, "folders": ["client"]},
            {"name": "docs.ZIP", "kind": 1, "folders": ["docs"]},
            {"name": "docs.idx", "kind": 1, "folders": ["other"]}]))
        self.assertEqual(0, code, out)
        self.assertIn("docs.ZIP gets no entry index", out)
        names = [n for n, _, _ in releasemanifest.parse_manifest(
            self.read_ex("manifest.txt"))["files"]]
        self.assertEqual(["orbsetup.txt", "client.zip", "client.idx", "docs.ZIP", "docs.idx",
                          "UnInstall.exe"], names)
        with zipfile.ZipFile(self.ex("docs.idx")) as z:
            self.assertEqual(["b.txt"], z.namelist())    # the package, not an index

        entries = self.entries(self.out, "client.zip")
        self.assertEqual(["iKVTRemote.exe", "ro.dat", "说明/read me.txt"], list(entries))
        for name, (entry, chunk) in entries.items():
            host = os.path.join(self.dir, "client", name)
            with open(host, "rb") as f:
                content = f.read()
            st = os.stat(host)
            # What an installer does with the fetched range alone.
            _, _, flags, method, _, _, _, _, _, nlen, xlen = struct.unpack_from(
                "<IHHHHHIIIHH", chunk)
            self.assertEqual(name.encode(), chunk[30:30 + nlen])
            data = chunk[30 + nlen + xlen:30 + nlen + xlen + entry.csize]
            self.assertEqual(content, zlib.decompress(data, -15) if method == 8 else data)
            self.assertEqual((method, len(content), "%08x" % zlib.crc32(content),
                              int(st.st_mtime), 0x20 if st.st_mode & stat.S_IWUSR else 0x21,
                              hashlib.sha256(content).hexdigest()),
                             (entry.method, entry.usize, entry.crc32, entry.mtime,
                              entry.attrs, entry.sha256), name)

        # The read-back compares each index with its zip.
        index = self.read_ex("client.idx").replace(b" 1600000020 ", b" 1600000021 ")
        with open(self.ex("client.idx"), "wb") as f:
            f.write(index)
        packages = publish.load_release(os.path.join(self.dir, "release.json"), {}, None)[0]
        publish.add_indexes(packages)
        problems = publish.read_back(os.path.join(self.out, "EX"), packages,
                                     os.path.join(self.dir, "un/UnInstall.exe"))
        self.assertTrue(any(p.startswith("client.idx: entry ro.dat") for p in problems),
                        problems)

    def test_unchanged_files_keep_their_exact_entries_when_others_change(self):
        rnd = random.Random(34)
        for n in range(5):
            self.write("client/f%d.bin" % n, bytes(rnd.getrandbits(8) for _ in range(2000)),
                       1600000000 + n)
        self.write("client/iKVTRemote.exe", b"MZ", 1600000001)
        release = self.release([{"name": "client.zip", "kind": 1, "folders": ["client"]}])
        # Published from machines in other time zones, as CI and a desk may be.
        self.assertEqual(0, self.run_tool(release, env={"TZ": "UTC"})[0])
        before = self.entries(self.out, "client.zip")
        self.write("client/f1.bin", b"changed and longer" * 200, 1700000000)
        code, out = self.run_tool(release, env={"TZ": "CST-8"})
        self.assertEqual(0, code, out)
        after = self.entries(self.out, "client.zip")
        self.assertNotEqual(before["f1.bin"][0].offset + before["f1.bin"][0].length,
                            after["f1.bin"][0].offset + after["f1.bin"][0].length)
        for name in before:
            with self.subTest(name):
                self.assertEqual(name != "f1.bin", before[name][1] == after[name][1])


class IndexRulesTest(unittest.TestCase):
    H = "ab" * 32

    def index(self, entries, size=1000, count=None, cd=None):
        """An index of ENTRIES [(length, name, method, csize, usize)], tiled
        from 0; the directory right after them unless CD says."""
        lines, offset = ["tarvelo-index 1", None], 0
        for length, name, method, csize, usize in entries:
            lines.append("entry %d %d %d %d %d 0badf00d 1600000000 32 %s %s"
                         % (offset, length, method, csize, usize, self.H, name))
            offset += length
        lines[1] = "package %d %d %d" % (size, len(entries) if count is None else count,
                                         offset if cd is None else cd)
        return "".join(line + "\n" for line in lines).encode("utf-8")

    def test_reader_refuses_every_index_setup_exe_refuses(self):
        good = [(100, "iKVTRemote.exe", 8, 40, 100), (60, "说明/read me.txt", 0, 10, 10),
                (30 + 5, "data/", 0, 0, 0)]
        entries = entryindex.read_index(self.index(good), 1000)
        self.assertEqual([(0, 100, 8, "iKVTRemote.exe"), (100, 60, 0, "说明/read me.txt"),
                          (160, 35, 0, "data/")],
                         [(e.offset, e.length, e.method, e.name) for e in entries])
        text = self.index(good)

        def named(name, length=100):
            return self.index([(length, name, 0, 1, 1)] + good[1:])
        for label, data, reason in (
                ("other magic", text.replace(b"index 1", b"index 2"), "line 1"),
                ("CR", text.replace(b"\n", b"\r\n"), "CR"),
                ("no final LF", text[:-1], "line feed"),
                ("two spaces", text.replace(b" 8 ", b"  8 "), "method|number"),
                ("manifest's size differs", self.index(good, size=999), "999"),
                ("directory past the end", self.index(good, cd=1001), "past"),
                ("entries short of the directory", self.index(good, cd=200), "directory"),
                ("count higher", self.index(good, count=4), "count"),
                ("count 0", self.index([], count=0), "no entries"),
                ("count over 20000", self.index(good, count=20001), "count"),
                ("overlap", text.replace(b"entry 100 60", b"entry 90 70"), "offset"),
                ("out of order", self.index(good[1:2] + good[:1] + good[2:]).replace(
                    b"entry 0 60", b"entry 100 60").replace(b"entry 60 100", b"entry 0 100"),
                 "offset"),
                ("length short of the data", self.index([(70, "a.bin", 8, 40, 100)]),
                 "length"),
                ("method 12", text.replace(b" 8 40 ", b" 12 40 "), "method"),
                ("stored sizes differ", text.replace(b" 0 10 10 ", b" 0 10 11 "), "method"),
                ("folder with content", text.replace(b" 0 0 0 ", b" 0 1 1 "), "folder"),
                ("leading zero", text.replace(b" 1600000000 ", b" 01600000000 ", 1), "time"),
                ("size of 2**32", text.replace(b" 8 40 100 ", b" 8 40 4294967296 "), "size"),
                ("upper-case CRC", text.replace(b"0badf00d", b"0BADF00D", 1), "CRC"),
                ("short SHA-256", text.replace(self.H.encode(), b"ab", 1), "SHA|11"),
                ("attributes 64", text.replace(b" 32 ", b" 64 ", 1), "attributes"),
                ("parent", named("a/../../evil.txt"), "name"),
                ("dots and space", named("a/.. /evil.txt"), "name"),
                ("absolute", named("/etc/x"), "name"),
                ("backslash", named("a\\b.txt"), "name"),
                ("device", named("sub/NUL.txt"), "name"),
                ("stream", named("a.txt:x"), "name"),
                ("short-name shape", named("PROGRA~1/x"), "name"),
                ("trailing dot", named("a./x"), "name"),
                ("dot component", named("a/./x"), "name"),
                ("empty name", named(""), "name"),
                ("260 bytes", named("n" * 251 + "文文文", 400), "259"),
                ("not UTF-8", named("a").replace(b" a\n", b" \xff\n"), "UTF-8"),
                ("same name in other case", text.replace("说明/read me.txt".encode(),
                                                         b"IKVTREMOTE.EXE"), "twice"),
                ("line of 513 bytes", named("n" * 420, 500), "512"),
                ("over 4 MiB", text + b"x" * 4194304, "4194304")):
            with self.subTest(label):
                with self.assertRaisesRegex(ValueError, reason):
                    entryindex.read_index(data, 1000)


class TestServerRangesTest(unittest.TestCase):
    def test_single_ranges_are_answered_exactly_ignored_or_lied_about_and_bytes_counted(self):
        root = tempfile.mkdtemp(prefix="ranges_")
        self.addCleanup(shutil.rmtree, root, True)
        body = bytes(range(256)) * 4
        with open(os.path.join(root, "p.zip"), "wb") as f:
            f.write(body)
        server = testservers.DownloadServer(root, rules={"ranges": "1"}).start()
        self.addCleanup(server.stop)

        def get(rng, **rules):
            server.rules = dict({"ranges": "1"}, **rules)
            conn = http.client.HTTPConnection(testservers.LOOPBACK, server.port, timeout=30)
            conn.request("GET", "/EX/p.zip", headers={"Range": rng})
            resp = conn.getresponse()
            data = resp.read()
            conn.close()
            return resp.status, resp.getheader("Content-Range"), data

        self.assertEqual((206, "bytes 100-199/1024", body[100:200]), get("bytes=100-199"))
        self.assertEqual((206, "bytes 1000-1023/1024", body[1000:]), get("bytes=1000-2000"))
        self.assertEqual((416, "bytes */1024", b""), get("bytes=1024-2000"))
        whole = (200, None, body)
        self.assertEqual(whole, get("bytes=0-9,20-29"))
        self.assertEqual(whole, get("bytes=100-199", ranges="ignore"))
        self.assertEqual(whole, get("bytes=100-"))      # a resume needs If-Range, as before
        self.assertEqual((206, "bytes 100-199/1024", body[104:204]),
                         get("bytes=100-199", range_shift="4"))
        self.assertEqual((206, "bytes 100-199/1024", body[100:198]),
                         get("bytes=100-199", range_extra="-2"))
        self.assertEqual(100 + 24 + 0 + 3 * 1024 + 100 + 98, server.sent["p.zip"])
        self.assertEqual([206, 206, 416, 200, 200, 200, 206, 206],
                         [status for status, _, _ in server.answers["p.zip"]])


class ManifestRulesTest(unittest.TestCase):
    def test_reader_refuses_every_manifest_setup_exe_refuses(self):
        h = "ab" * 32
        good = ("tarvelo-release 1\nserial 5\nexpires 1700000000\n"
                "file orbsetup.txt 10 %s\nfile a.zip 536870912 %s\n" % (h, h))
        sig = "sig %s\n" % ("cd" * 64)
        self.assertEqual([("orbsetup.txt", 10, h), ("a.zip", 536870912, h)],
                         releasemanifest.parse_manifest(good.encode())["files"])
        self.assertEqual(good.encode(),
                         releasemanifest.parse_manifest((good + sig).encode())["body"])
        many = "".join("file f%d 1 %s\n" % (n, h) for n in range(2047))
        for label, text, reason in (
                ("CR line ends", good.replace("\n", "\r\n"), "CR"),
                ("no final LF", good[:-1], "line feed"),
                ("blank line", good + "\n", "blank"),
                ("trailing space", good.replace("serial 5", "serial 5 "), "space"),
                ("field missing", good.replace(" 10 ", " "), "fields"),
                ("field extra", good.replace("serial 5", "serial 5 6"), "fields"),
                ("same name in other case", good.replace("a.zip", "ORBSETUP.TXT"), "twice"),
                ("name with a slash", good.replace("a.zip", "x/a.zip"), "file name"),
                ("bad hex", good.replace(h, "g" + h[1:], 1), "hex"),
                ("upper-case hex", good.replace(h, h.upper(), 1), "hex"),
                ("short signature", good + sig[:-3] + "\n", "128"),
                ("size 0", good.replace(" 10 ", " 0 "), "size"),
                ("size over the limit", good.replace("536870912", "536870913"), "size"),
                ("leading zero", good.replace("serial 5", "serial 05"), "serial"),
                ("serial of 2**63", good.replace("serial 5", "serial %d" % 2**63), "serial"),
                ("unknown key word", good + "note hi\n", "unknown"),
                ("sig not last", good + sig + "file b.zip 1 %s\n" % h, "last"),
                ("expires before serial", good.replace("serial 5\nexpires 1700000000",
                                                       "expires 1700000000\nserial 5"), "place"),
                ("2049 files", good + many, "2048")):
            with self.subTest(label):
                with self.assertRaisesRegex(ValueError, reason):
                    releasemanifest.parse_manifest(text.encode())
        # The publisher writes nothing the reader refuses.
        with self.assertRaisesRegex(ValueError, "twice"):
            releasemanifest.write_manifest(1, 2, [("a.zip", b"x"), ("A.ZIP", b"y")])


class SetupListRulesTest(unittest.TestCase):
    """The installer's documented readings of odd lists; a divergence here
    means the publisher's read-back no longer checks what setup.exe does."""

    def test_lists_read_as_the_installer_reads_them(self):
        def read(text):
            return setuplist.validate_setup_list(b"\xff\xfe" + text.encode("utf-16-le"))

        self.assertEqual(([("a", 1, 1), ("b", 2, 3)], None), read("a;1;1\r\n\r\nb;2;3\r\n"))
        self.assertEqual(([("n", 1, 1), ("m", 1, 1)], None), read("n;1;1;\r\nm;;1;1\r\n"))
        self.assertEqual(([("x", 12, 0)], None), read("x;12abc;x\r\n"))
        self.assertEqual(([("s", 2147483647, 7)], None), read("s;99999999999;7"))
        self.assertEqual((None, setuplist.LIST_EMPTY), read("only;two\r\na;b;c;d\r\n"))
        self.assertEqual((None, setuplist.LIST_EMPTY), read("a;1;1\nb;1;1\n"))
        self.assertEqual((None, setuplist.LIST_EMPTY), read("\r"))
        self.assertEqual((None, setuplist.LIST_EMPTY), read("%s;1;1\r\n" % ("n" * 32)))
        self.assertEqual((None, setuplist.LIST_EMPTY), read("a/b;1;1\r\n"))
        self.assertEqual((None, setuplist.DOWNLOAD_FAILED),
                         setuplist.validate_setup_list(b"\xff\xfe"))
        big = b"\xff\xfe" + b"a\0" * 10
        self.assertEqual((None, setuplist.DOWNLOAD_FAILED),
                         setuplist.validate_setup_list(big, buffer_size=len(big)))

    def test_entry_names_and_times_as_the_reader_takes_them(self):
        for stored, taken in (("C:\\data\\a.txt", "data\\a.txt"), ("/etc/x", "etc/x"),
                              ("\\\\srv\\a", "srv\\a"), ("a/../b.txt", "b.txt"),
                              ("x/y/../z", "z"), ("plain.txt", "plain.txt"),
                              ("./a/b", "a/b"), ("./", "")):
            self.assertEqual(taken, setuplist.sanitise_entry_name(stored))
        other = b"XY" + struct.pack("<H", 3) + b"abc"
        ut = b"UT" + struct.pack("<HBi", 5, 1, 1234)
        self.assertEqual({"write": 1234}, setuplist.ut_times(other + ut))
        # A block too short for its flagged times yields none of them.
        self.assertEqual({}, setuplist.ut_times(b"UT" + struct.pack("<HB", 1, 1) + b"\0" * 4))
        self.assertEqual(0x30, setuplist.entry_attributes(3 << 8, 0x41ED0000))
        self.assertEqual(0x23, setuplist.entry_attributes(0, 0x23))
        self.assertEqual(0x20, setuplist.entry_attributes(3 << 8, 0))  # no mode: writable

        # Name encodings, in the reader's order.
        utf8, gbk = "文档.txt".encode("utf-8"), "文档.txt".encode("gbk")
        field = struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, zlib.crc32(gbk)) + utf8
        stale = struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, 0) + utf8
        self.assertEqual("文档.txt", setuplist.decode_entry_name(0x800, 0, utf8))
        self.assertIsNone(setuplist.decode_entry_name(0x800, 0, gbk))  # flagged, not UTF-8
        self.assertEqual("文档.txt", setuplist.decode_entry_name(0, 0, gbk, field))
        self.assertIsNone(setuplist.decode_entry_name(0, 0, gbk, stale))  # field of another name
        self.assertEqual("文档.txt", setuplist.decode_entry_name(0, 3 << 8, utf8))
        self.assertIsNone(setuplist.decode_entry_name(0, 0, utf8))  # the ANSI code page's


if __name__ == "__main__":
    unittest.main(argv=[a for a in sys.argv if not a.endswith(".exe")], verbosity=2)
