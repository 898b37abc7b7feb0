#!/usr/bin/env python3
"""The publishing tool: what it writes, what it refuses, how it splits, and
that its copy of the installer's list rules reads lists as setup.exe does."""
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
sys.path.insert(0, TOOLS)
import publish  # noqa: E402
import setuplist  # noqa: E402


class PublishTestBase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="publish_")
        self.out = os.path.join(self.dir, "out")
        self.write("un/UnInstall.exe", b"MZ uninstaller")

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

    def run_tool(self, release):
        res = subprocess.run([sys.executable, os.path.join(TOOLS, "publish.py"), release,
                              "--out", self.out], capture_output=True, text=True, timeout=120)
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
        self.assertEqual(["UnInstall.exe", "client.zip", "orbsetup.txt"],
                         sorted(os.listdir(os.path.join(self.out, "EX"))))
        self.assertEqual(["EX"], os.listdir(self.out))

    def test_content_over_the_size_limit_is_split_across_packages(self):
        rnd = random.Random(7)
        self.write("client/iKVTRemote.exe", b"MZ")
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
    unittest.main(verbosity=2)
