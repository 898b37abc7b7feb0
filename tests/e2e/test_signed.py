#!/usr/bin/env python3
"""End-to-end: releases published and signed with tools/publish.py, installed
by a setup.exe built with the test key and three loopback mirrors
(--signed-bin, --signed-ports). What was changed on the way, replayed,
expired or left out of the manifest is refused, with nothing unverified
installed and nothing registered; a dead and a hostile mirror cost attempts.
"""
import filecmp
import glob
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "servers"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import faults  # noqa: E402
import harness  # noqa: E402
import releasemanifest  # noqa: E402
import testservers  # noqa: E402

ARGS = None
INSTALL_BUTTON = (272, 310)
REFUSED = "[CSetupDlg::Execute] release refused"
EXIT_RELEASE_REFUSED = 8


def flip(ex, name, offset):
    """Changes one bit of a served file: what a hostile mirror might do."""
    with open(os.path.join(ex, name), "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 1]))


class SignedReleaseTest(unittest.TestCase):
    def setUp(self):
        self.wine = harness.WineEnv(ARGS.testenv)
        self.work = tempfile.mkdtemp(prefix="e2e_signed_", dir=ARGS.testenv)
        self.servers, self.procs = [], []
        self.clean_machine()
        with open(ARGS.client, "rb") as f:
            self.client = f.read()

    def tearDown(self):
        self.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def stop(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=30)
        for server in self.servers:
            server.stop()
        self.servers, self.procs = [], []

    def clean_machine(self):
        for path in ("C:\\Tarvelo", "C:\\Tarvelo.new", "C:\\UnInstall Tarvelo", "C:\\temp"):
            harness.remove_path(self.wine.host_path(path))
        os.makedirs(self.wine.host_path("C:\\temp"))
        self.wine.reg("delete", faults.UNINSTALL_KEY, "/f")
        self.wine.reg("delete", faults.FLOOR_KEY, "/f")
        for link in self.desktop_links():
            os.remove(link)

    def desktop_links(self):
        return glob.glob(os.path.join(self.wine.drive_c, "users", "*", "Desktop", "塔维罗.lnk"))

    # -- publishing and serving ------------------------------------------

    def publish(self, name, clock=None, src=None):
        """A signed release in its own folder; clock shifts the publisher's
        time (faketime), so its serial and expiry lie in the past. src: a
        folder with its own release.json instead of the usual one."""
        src = src or os.path.join(self.work, "src")
        if not os.path.isdir(src):
            os.makedirs(os.path.join(src, "client", "config"))
            shutil.copy(ARGS.client, os.path.join(src, "client", "iKVTRemote.exe"))
            with open(os.path.join(src, "client", "config", "ORB.System.config"), "w") as f:
                f.write("[Client]\r\nName=orb\r\n")
            os.makedirs(os.path.join(src, "docs", "docs"))
            with open(os.path.join(src, "docs", "docs", "readme.txt"), "w") as f:
                f.write("readme " * 200)
            with open(os.path.join(src, "release.json"), "w") as f:
                f.write('{"packages": [{"name": "client.zip", "kind": 1, "folders": ["client"]},'
                        '{"name": "docs.zip", "kind": 1, "folders": ["docs"]}]}')
        out = os.path.join(self.work, name)
        cmd = [sys.executable, os.path.join(ROOT, "tools", "publish.py"),
               os.path.join(src, "release.json"), "--out", out,
               "--uninstaller", os.path.join(ARGS.bin, "UnInstall.exe"),
               "--sign-key", ARGS.sign_key]
        if clock:
            cmd = ["faketime", "-f", clock] + cmd
        res = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
        self.assertEqual(0, res.returncode, res.stdout + res.stderr)
        return os.path.join(out, "EX")

    def copy_release(self, ex, name):
        copy = os.path.join(self.work, name)
        shutil.copytree(ex, copy)
        return copy

    def serve(self, ex, mirror, **rules):
        self.servers.append(testservers.DownloadServer(ex, port=ARGS.signed_ports[mirror],
                                                       rules=rules).start())

    # -- running ----------------------------------------------------------

    def run_setup(self):
        proc = self.wine.start(os.path.join(ARGS.signed_bin, "setup.exe"))
        self.procs.append(proc)
        wid = self.wine.wait_setup_window()
        self.wine.click(wid, *INSTALL_BUTTON)
        return proc

    def wait_log(self, proc, text, timeout=180):
        deadline = time.time() + timeout
        while time.time() < deadline:
            log = self.wine.read_log()
            if text in log:
                return log
            if proc.poll() is not None:
                break
            time.sleep(0.3)
        self.fail("log never said %r:\n%s" % (text, self.wine.read_log()))

    def assert_installed(self, proc):
        proc.wait(timeout=240)
        self.assertTrue(self.wine.wait_client_started(), self.wine.read_log())
        with open(self.wine.host_path("C:\\Tarvelo\\docs\\readme.txt")) as f:
            self.assertEqual("readme " * 200, f.read())
        self.assertIsNotNone(self.wine.reg_export(faults.UNINSTALL_KEY))

    def assert_refused(self, proc, line, registered=False):
        """Refused with that log line and the visible failure: nothing
        registered or started by this run, no uninstaller written."""
        log = self.wait_log(proc, line)
        time.sleep(1)
        self.assertIsNone(proc.poll(), "the window must stay to show the failure")
        self.assertFalse(self.wine.client_started(), log)
        self.assertEqual(registered, self.wine.reg_export(faults.UNINSTALL_KEY) is not None)
        if not registered:
            self.assertEqual([], self.desktop_links())
            self.assertFalse(os.path.exists(
                self.wine.host_path("C:\\UnInstall Tarvelo\\UnInstall.exe")))
        self.stop()
        return log

    # -- the cases --------------------------------------------------------

    def test_a_dead_and_a_hostile_mirror_cost_attempts_not_the_installation(self):
        good = self.publish("good")
        bad = self.copy_release(good, "bad")
        flip(bad, "docs.zip", 40)
        # Mirror 0 refuses connections (nothing listens there).
        self.serve(bad, 1)
        self.serve(good, 2)
        self.assert_installed(self.run_setup())
        log = self.wine.read_log()
        order = ["fetch manifest.txt from http://127.0.0.1:%d" % ARGS.signed_ports[0],
                 "fetch manifest.txt from http://127.0.0.1:%d" % ARGS.signed_ports[1],
                 "verified",
                 "fetch docs.zip from http://127.0.0.1:%d" % ARGS.signed_ports[1],
                 "docs.zip refused: size=",
                 "fetch docs.zip from http://127.0.0.1:%d" % ARGS.signed_ports[2],
                 "ReleaseSerial"]
        positions = [log.find(text) for text in order]
        self.assertNotIn(-1, positions, log)
        self.assertEqual(sorted(positions), positions, log)

    def test_a_mirror_that_drops_every_answer_loses_its_turn(self):
        good = self.publish("good")
        dropping = self.copy_release(good, "dropping")
        # One byte of docs.zip, then the connection closes, every time: the
        # byte gained would have kept the first mirror's turn for good.
        faults.rule(dropping, "docs.zip", close_after=1, ranges="1")
        self.serve(dropping, 0)
        self.serve(good, 1)
        self.assert_installed(self.run_setup())
        log = self.wine.read_log()
        first = "fetch docs.zip from http://127.0.0.1:%d" % ARGS.signed_ports[0]
        self.assertEqual(1, log.count(first), log)
        self.assertIn("fetch docs.zip from http://127.0.0.1:%d" % ARGS.signed_ports[1], log)

    def test_what_was_changed_on_the_way_is_refused(self):
        good = self.publish("good")
        with open(os.path.join(good, "manifest.txt"), "rb") as f:
            manifest = releasemanifest.parse_manifest(f.read())
        uninstaller_size = os.path.getsize(os.path.join(good, "UnInstall.exe"))

        def longer(ex):
            # No length header: the body runs on past what the manifest says.
            with open(os.path.join(ex, "client.zip"), "ab") as f:
                f.write(b"\0" * 300000)
            faults.rule(ex, "client.zip", no_length=1)

        def swapped_uninstaller(ex):
            shutil.copy(ARGS.client, os.path.join(ex, "UnInstall.exe"))

        def unlisted_entry(ex):
            # A list and manifest the key signed, yet the list names a file
            # the manifest does not: mix-and-match.
            with open(os.path.join(ex, "orbsetup.txt"), "ab") as f:
                f.write("extra.zip;1;1\r\n".encode("utf-16-le"))
            shutil.copy(os.path.join(ex, "client.zip"), os.path.join(ex, "extra.zip"))
            with open(os.path.join(ex, "orbsetup.txt"), "rb") as f:
                listed = f.read()
            files = [(n, listed if n == "orbsetup.txt" else (size, digest))
                     for n, size, digest in manifest["files"]]
            key = releasemanifest.load_private_key(ARGS.sign_key)
            with open(os.path.join(ex, "manifest.txt"), "wb") as f:
                f.write(releasemanifest.write_manifest(manifest["serial"], manifest["expires"],
                                                       files, key))

        def huge_release(ex):
            # A release (signed) far larger than any disk: refused before the
            # first package, naming both figures.
            names = ["big%04d.zip" % i for i in range(1000)]
            with open(os.path.join(ex, "orbsetup.txt"), "ab") as f:
                f.write("".join("%s;1;1\r\n" % n for n in names).encode("utf-16-le"))
            with open(os.path.join(ex, "orbsetup.txt"), "rb") as f:
                listed = f.read()
            files = [(n, listed if n == "orbsetup.txt" else (size, digest))
                     for n, size, digest in manifest["files"]]
            files[1:1] = [(n, (releasemanifest.MAX_FILE_BYTES, "0" * 64)) for n in names]
            key = releasemanifest.load_private_key(ARGS.sign_key)
            with open(os.path.join(ex, "manifest.txt"), "wb") as f:
                f.write(releasemanifest.write_manifest(manifest["serial"], manifest["expires"],
                                                       files, key))

        cases = [
            ("disk", huge_release, "not enough disk space on C:\\: free="),
            ("package", lambda ex: flip(ex, "client.zip", 60),
             "[CSetupDlg::Execute] download client.zip failed"),
            ("list", lambda ex: flip(ex, "orbsetup.txt", 4), REFUSED),
            ("manifest", lambda ex: flip(ex, "manifest.txt", 30), REFUSED),
            ("longer", longer, "[CSetupDlg::Execute] download client.zip failed"),
            ("uninstaller", swapped_uninstaller, "UnInstall.exe not installed"),
            ("unlisted", unlisted_entry, "extra.zip refused: listed, but not in the release"),
        ]
        for name, change, line in cases:
            with self.subTest(name):
                self.stop()  # a failed case may have left its server
                self.clean_machine()
                ex = self.copy_release(good, name)
                change(ex)
                self.serve(ex, 0)
                log = self.assert_refused(self.run_setup(), line)
                # Nothing of it is installed: what was built aside is gone.
                for path in ("C:\\Tarvelo", "C:\\Tarvelo.new"):
                    self.assertFalse(os.path.exists(self.wine.host_path(path)), log)
                if name == "uninstaller":
                    self.assertIn("too long length=%d limit=%d lpUrl=http://127.0.0.1:%d/EX/"
                                  "UnInstall.exe" % (len(self.client), uninstaller_size,
                                                     ARGS.signed_ports[0]), log)
                if name == "longer":
                    self.assertIn("longer than", log)

    def test_a_run_after_a_failure_downloads_only_what_is_missing(self):
        good = self.publish("good")
        part = self.copy_release(good, "part")
        os.remove(os.path.join(part, "docs.zip"))
        self.serve(part, 0)
        self.assert_refused(self.run_setup(), "[CSetupDlg::Execute] download docs.zip failed")
        shutil.copy(os.path.join(good, "docs.zip"), os.path.join(part, "docs.zip"))
        self.serve(part, 0)
        self.assert_installed(self.run_setup())
        # client.zip came from the staging folder, verified again.
        self.assertEqual({"manifest.txt": 1, "orbsetup.txt": 1, "docs.zip": 1,
                          "UnInstall.exe": 1}, self.servers[0].counts)
        self.assertIn("client.zip verified in the staging folder", self.wine.read_log())
        self.assertEqual(["UnInstall.exe"],
                         os.listdir(self.wine.host_path("C:\\UnInstall Tarvelo")))

    def test_a_layout_installs_without_a_network_and_only_as_signed(self):
        good = self.publish("good")
        self.serve(good, 0)
        setup = os.path.join(ARGS.signed_bin, "setup.exe")

        def run(*args):
            proc = self.wine.start(setup, *args)
            self.procs.append(proc)
            return proc.wait(timeout=240)

        layout = os.path.join(self.work, "layout")
        self.assertEqual(0, run("/LAYOUT=" + harness.wine_path(layout)), self.wine.read_log())
        self.assertEqual(sorted(os.listdir(good)), sorted(os.listdir(layout)))
        for name in os.listdir(good):
            self.assertTrue(filecmp.cmp(os.path.join(good, name), os.path.join(layout, name),
                                        shallow=False), name)
        self.assertFalse(os.path.exists(self.wine.host_path("C:\\Tarvelo")))
        self.stop()  # no server from here on

        # One changed byte and the signed build installs nothing of it.
        changed = self.copy_release(layout, "changed")
        flip(changed, "docs.zip", 60)
        self.assertEqual(EXIT_RELEASE_REFUSED, run("/S", "/SOURCE=" + harness.wine_path(changed)))
        self.assertIn("docs.zip refused: size=", self.wine.read_log())
        self.assertIsNone(self.wine.reg_export(faults.UNINSTALL_KEY))

        self.assertEqual(0, run("/S", "/SOURCE=" + harness.wine_path(layout)), self.wine.read_log())
        # client.zip was verified in the staging folder the refused run left.
        self.assertIn("read docs.zip from " + harness.wine_path(layout), self.wine.read_log())
        with open(self.wine.host_path("C:\\Tarvelo\\docs\\readme.txt")) as f:
            self.assertEqual("readme " * 200, f.read())
        self.assertIsNotNone(self.wine.reg_export(faults.UNINSTALL_KEY))

    def test_updates_fetch_only_the_files_that_changed(self):
        src = os.path.join(self.work, "upd")
        os.makedirs(os.path.join(src, "client"))
        os.makedirs(os.path.join(src, "data", "data"))
        shutil.copy(ARGS.client, os.path.join(src, "client", "iKVTRemote.exe"))
        with open(os.path.join(src, "release.json"), "w") as f:
            f.write('{"packages": [{"name": "client.zip", "kind": 1, "folders": ["client"]},'
                    '{"name": "data.zip", "kind": 1, "folders": ["data"]}]}')
        rng = random.Random(34)

        def write(n):
            path = os.path.join(src, "data", "data", "f%02d.bin" % n)
            with open(path, "wb") as f:
                f.write(rng.randbytes(20000))
            os.utime(path, (1700000000 + n, 1700000000 + n))

        def expected():
            tree = {"iKVTRemote.exe": self.client}
            for n in range(20):
                with open(os.path.join(src, "data", "data", "f%02d.bin" % n), "rb") as f:
                    tree["data/f%02d.bin" % n] = f.read()
            return tree

        def installed():
            root = self.wine.host_path("C:\\Tarvelo")
            tree = {}
            for folder, _, files in os.walk(root):
                for name in files:
                    rel = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                    if rel != "config/ORB.System.config":  # the installer's own
                        with open(os.path.join(folder, name), "rb") as f:
                            tree[rel] = f.read()
            return tree

        def install(ex, **rules):
            self.stop()
            harness.remove_path(self.wine.host_path("C:\\temp\\client_started.txt"))
            self.serve(ex, 0, **rules)
            proc = self.run_setup()
            proc.wait(timeout=240)
            log = self.wine.read_log()
            self.assertTrue(self.wine.wait_client_started(), log)
            self.assertEqual(expected(), installed(), log)
            # Every file has the time the full extraction gives it.
            for n in (3, 7, 9):
                self.assertEqual(1700000000 + n, int(os.stat(self.wine.host_path(
                    "C:\\Tarvelo\\data\\f%02d.bin" % n)).st_mtime))
            return log, self.servers[0]

        for n in range(20):
            write(n)
        log, server = install(self.publish("a", src=src), ranges="1")
        self.assertIn("data.zip fetched whole", log)

        with self.subTest("repair"):
            log, server = install(self.publish("a2", src=src), ranges="1")
            self.assertEqual({"manifest.txt", "orbsetup.txt", "client.idx", "data.idx"},
                             set(server.counts), log)
            self.assertIn("data.zip: 20 entries reused, 0 fetched by range", log)
            self.assertIn("UnInstall.exe is the release's: copied", log)

        with self.subTest("one file changed, two damaged on disk"):
            write(7)
            # One in each half of the package's bytes: each copied and checked on its own.
            for n in (3, 16):
                with open(self.wine.host_path("C:\\Tarvelo\\data\\f%02d.bin" % n), "r+b") as f:
                    f.write(b"damaged")
            log, server = install(self.publish("b", src=src), ranges="1")
            self.assertNotIn("client.zip", server.counts, log)
            self.assertEqual(3, len(server.ranges["data.zip"]), log)
            self.assertTrue(all(r.startswith("bytes=") and "," not in r
                                for r in server.ranges["data.zip"]), server.ranges)
            self.assertLess(server.sent["data.zip"], 3 * 20000 + 600, log)
            self.assertIn("data.zip: 17 entries reused, 3 fetched by range in 3 requests", log)

        with self.subTest("a server that ignores Range"):
            write(12)
            log, server = install(self.publish("c", src=src), ranges="ignore")
            self.assertIn("not fetched as a range: fetched whole", log)
            self.assertIn("data.zip fetched whole", log)

        with self.subTest("an index that lies about an offset"):
            write(15)
            ex = self.publish("d", src=src)
            with open(os.path.join(ex, "data.idx"), "rb") as f:
                lines = f.read().split(b"\n")
            at = [i for i, line in enumerate(lines) if line.endswith(b" data/f15.bin")][0]
            for i, delta in ((at - 1, (0, 1)), (at, (1, -1))):
                fields = lines[i].split(b" ")
                fields[1] = b"%d" % (int(fields[1]) + delta[0])
                fields[2] = b"%d" % (int(fields[2]) + delta[1])
                lines[i] = b" ".join(fields)
            index = b"\n".join(lines)
            with open(os.path.join(ex, "data.idx"), "wb") as f:
                f.write(index)
            with open(os.path.join(ex, "manifest.txt"), "rb") as f:
                manifest = releasemanifest.parse_manifest(f.read())
            files = [(n, index if n == "data.idx" else (size, digest))
                     for n, size, digest in manifest["files"]]
            with open(os.path.join(ex, "manifest.txt"), "wb") as f:
                f.write(releasemanifest.write_manifest(
                    manifest["serial"], manifest["expires"], files,
                    releasemanifest.load_private_key(ARGS.sign_key)))
            log, server = install(ex, ranges="1")
            self.assertIn('data.zip entry "data/f15.bin" refused: local header', log)
            self.assertIn("data.zip fetched whole", log)

    def test_replayed_and_expired_releases_are_refused(self):
        older = self.publish("older", clock="-2d")
        expired = self.publish("expired", clock="-40d")
        newer = self.publish("newer")
        self.serve(newer, 0)
        self.assert_installed(self.run_setup())
        self.stop()
        os.remove(self.wine.host_path("C:\\temp\\client_started.txt"))
        for ex, why in ((older, "older than the installed release"), (expired, "expired")):
            with self.subTest(why):
                self.stop()
                self.serve(ex, 0)
                log = self.assert_refused(self.run_setup(), REFUSED, registered=True)
                self.assertIn("manifest.txt refused: " + why, log)
                # The installation that was there is as it was.
                self.assertTrue(os.path.exists(self.wine.host_path("C:\\Tarvelo\\iKVTRemote.exe")))
                self.assertTrue(os.path.exists(
                    self.wine.host_path("C:\\UnInstall Tarvelo\\UnInstall.exe")))
        # Uninstalling takes the entry and its serial, not the floor: the
        # older release, still valid, stays refused on a clean machine.
        self.stop()
        proc = self.wine.start(self.wine.host_path("C:\\UnInstall Tarvelo\\UnInstall.exe"), "/S",
                               "C:\\Tarvelo")
        self.procs.append(proc)
        self.assertEqual(0, proc.wait(timeout=120))
        self.assertIsNone(self.wine.reg_export(faults.UNINSTALL_KEY))
        self.serve(older, 0)
        log = self.assert_refused(self.run_setup(), REFUSED)
        self.assertIn("manifest.txt refused: older than the installed release", log)


if __name__ == "__main__":
    harness.run_suite(globals())
