#!/usr/bin/env python3
"""Fault injection end to end: the real setup.exe under Wine against a
download server that answers wrongly, slowly, partly or not at all, and a
user who stops or kills the installer. Every case checks what the user sees
(red failure text or the launched client), the log, and the disk.

  test_faults.py --testenv DIR --bin DIR --client EXE --port N [-k PATTERN]
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "servers"))
sys.path.insert(0, os.path.join(HERE, "..", "fuzz"))
import faults  # noqa: E402
import harness  # noqa: E402
import make_seeds  # noqa: E402  (the byte-level zip builder)
import realservers  # noqa: E402
import testservers  # noqa: E402
import with_servers  # noqa: E402

ARGS = None
INSTALL_BUTTON = (272, 310)
CLOSE_BUTTON = (515, 16)
LIST_FAILED = "[CSetupDlg::Execute] download Setupconfig.txt failed"
EXIT_BAD_COMMAND_LINE, EXIT_LOG_UNWRITABLE, EXIT_DOWNLOAD_FAILED = 2, 3, 5
EXIT_PROXY_AUTH, EXIT_STOPPED = 11, 12
LIST_EMPTY = "[CSetupDlg::Execute]Setupconfig.txt no content"


class FaultTest(unittest.TestCase):
    def setUp(self):
        self.wine = harness.WineEnv(ARGS.testenv)
        self.root = tempfile.mkdtemp(prefix="faults_", dir=ARGS.testenv)
        self.server = self.start_server()
        for path in ("C:\\Tarvelo", "C:\\Tarvelo.new", "C:\\temp", "C:\\UnInstall Tarvelo"):
            harness.remove_path(self.wine.host_path(path))
        os.makedirs(self.wine.host_path("C:\\temp"), exist_ok=True)
        self.wine.reg("delete", faults.UNINSTALL_KEY, "/f")
        with open(ARGS.client, "rb") as f:
            self.client = f.read()
        self.serve("UnInstall.exe", self.client)
        self.procs = []

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=30)
        if self.server:
            self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def start_server(self):
        return testservers.DownloadServer(self.root, port=ARGS.port).start()

    # -- serving --------------------------------------------------------
    def serve(self, name, data):
        with open(os.path.join(self.root, name), "wb") as f:
            f.write(data)

    def serve_list(self, *lines):
        self.serve("orbsetup.txt", harness.setup_list_bytes(list(lines)))

    def serve_base(self):
        """A good package carrying the client."""
        self.serve("base.zip", harness.make_zip({"iKVTRemote.exe": self.client,
                                                "favicon.ico": b"\0\0\1\0"}))

    def requests(self, name):
        with self.server.lock:
            return self.server.counts.get(name, 0)

    def keep_earlier_install(self):
        os.makedirs(self.wine.host_path("C:\\Tarvelo"), exist_ok=True)
        keep = self.wine.host_path("C:\\Tarvelo\\keep.txt")
        with open(keep, "w") as f:
            f.write("keep")
        return keep

    # -- driving --------------------------------------------------------
    def start_and_click_install(self, bin_dir=None):
        self.proc = self.wine.start(os.path.join(bin_dir or ARGS.bin, "setup.exe"))
        self.procs.append(self.proc)
        self.wid = self.wine.wait_setup_window()
        self.wine.click(self.wid, *INSTALL_BUTTON)

    def wait_log(self, text, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.wine.read_log():
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.3)
        self.fail("log never said %r:\n%s" % (text, self.wine.read_log()))

    def answer_stop_question(self, key="Return", missing="no question before stopping"):
        question = faults.find_window(self.wine, "询问", 20)
        self.assertIsNotNone(question, missing)
        faults.press_key_on(self.wine, question, key)

    def cancel_asked_again(self):
        """The rejected entries are forgotten and asked for again: this user
        gives up."""
        again = faults.find_window(self.wine, with_servers.DIALOG_TITLE, 60)
        self.assertIsNotNone(again, "rejected credentials were not asked for again")
        faults.press_key_on(self.wine, again, "Escape")

    def wait_red_failure(self, timeout=30):
        deadline = time.time() + timeout
        while faults.red_status_pixels(self.wine, self.wid) <= 40:
            self.assertLess(time.time(), deadline, "no red failure text on the window")
            time.sleep(0.3)

    # -- outcomes -------------------------------------------------------
    def assert_failed_visibly(self, log_line, timeout=120):
        """The installation ended in failure: the log says why, the window
        shows red text and stays, nothing was registered or launched, and the
        close button then closes without asking."""
        self.wait_log(log_line, timeout)
        self.wait_red_failure()
        self.assertIsNone(self.proc.poll(), "the window must stay to show the failure")
        self.assertFalse(self.wine.client_started())
        self.assertIsNone(self.wine.reg_export(faults.UNINSTALL_KEY))
        # A question would hold the window open.
        self.wine.click(self.wid, *CLOSE_BUTTON)
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.fail("the close button did not close after a failure (asked: %s)"
                      % bool(faults.find_window(self.wine, "询问", 1)))

    def assert_completed(self, timeout=180, clean=True):
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.fail("did not complete: " + self.wine.read_log()[-3000:])
        self.assertTrue(self.wine.wait_client_started(), self.wine.read_log())
        self.assertIsNotNone(self.wine.reg_export(faults.UNINSTALL_KEY))
        if clean:
            log = self.wine.read_log()
            self.assertNotIn("[Error]", log.split("download orbsetup.txt sccuss")[-1])


class LocalFolders(FaultTest):
    def test_links_in_place_of_the_folders_are_refused_and_foreign_files_removed(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        victim = os.path.join(self.wine.drive_c, "victim")
        os.makedirs(victim, exist_ok=True)
        with open(os.path.join(victim, "system.dat"), "w") as f:
            f.write("keep")
        try:
            # A link in place of the install folder, then of the uninstaller's:
            # refused, nothing written, deleted or moved through either.
            for folder in ("C:\\Tarvelo", "C:\\UnInstall Tarvelo"):
                shutil.rmtree(self.wine.host_path(folder), ignore_errors=True)
                os.symlink(victim, self.wine.host_path(folder))
                self.start_and_click_install()
                self.assert_failed_visibly("[CSetupDlg::Execute] folder refused: " + folder)
                os.remove(self.wine.host_path(folder))
                self.assertEqual(["system.dat"], os.listdir(victim))
            # A link in place of C:\\temp, which any user may make: the log
            # is neither emptied nor written through it, and nothing installs.
            with open(os.path.join(victim, "log.txt"), "w") as f:
                f.write("keep")
            temp = self.wine.host_path("C:\\temp")
            harness.remove_path(temp)
            os.symlink(victim, temp)
            try:
                self.start_and_click_install()
                self.wait_red_failure(60)
                for name in ("log.txt", "system.dat"):
                    with open(os.path.join(victim, name)) as f:
                        self.assertEqual("keep", f.read(), name)
                self.proc.kill()
                self.proc.wait(timeout=30)
            finally:
                os.remove(temp)
                os.makedirs(temp)
        finally:
            shutil.rmtree(victim, ignore_errors=True)

        # What another user left in the uninstaller's folder is gone; only
        # the uninstaller of this run is there, and no staged package.
        os.makedirs(self.wine.host_path("C:\\UnInstall Tarvelo"), exist_ok=True)
        planted = self.wine.host_path("C:\\UnInstall Tarvelo\\version.dll")
        with open(planted, "w") as f:
            f.write("planted")
        self.start_and_click_install()
        self.assert_completed()
        self.assertEqual(["UnInstall.exe"],
                         os.listdir(self.wine.host_path("C:\\UnInstall Tarvelo")))


class SetupListFaults(FaultTest):
    def check_list_status(self, status):
        faults.rule(self.root, "orbsetup.txt", status=status)
        self.serve_list("base.zip;1;1")
        keep = self.keep_earlier_install()
        self.start_and_click_install()
        self.assert_failed_visibly(LIST_FAILED)
        log = self.wine.read_log()
        self.assertIn("status=%d" % status, log)
        self.assertTrue(os.path.exists(keep), "the earlier installation was touched")
        self.assertEqual(0, self.requests("base.zip"))

    def test_list_answered_404(self):
        self.check_list_status(404)

    def test_list_answered_500(self):
        self.check_list_status(500)

    def test_list_stalling_past_the_time_out_ends_in_failure(self):
        # The receive time-out is not honoured by every WinINet: the server
        # gives up after 25 s, and the installer must then report, not hang.
        self.serve_list("base.zip;1;1")
        faults.rule(self.root, "orbsetup.txt", close_after=6, stall=25)
        keep = self.keep_earlier_install()
        self.start_and_click_install()
        self.assert_failed_visibly(LIST_FAILED, timeout=150)
        self.assertTrue(os.path.exists(keep))

    def test_list_of_only_invalid_and_unsafe_lines(self):
        self.serve_list("..\\evil.zip;1;1", "../evil.zip;1;1", "C:evil.zip;1;1",
                        "sub/evil.zip;1;1", "a" * 32 + ";1;1", "evil.zip;1", "a;b;c;d",
                        "nul\u0001.zip;1;1", "evil.zip;1;" + "1" * 20,
                        "nul.zip;1;1", "COM1;1;1")
        keep = self.keep_earlier_install()
        self.start_and_click_install()
        self.assert_failed_visibly(LIST_EMPTY)
        self.assertTrue(os.path.exists(keep))
        self.assertEqual({"orbsetup.txt"}, set(self.server.counts))

    def test_list_larger_than_the_download_buffer_is_read_whole(self):
        self.serve_base()
        self.serve("tail.zip", harness.make_zip({"tail.txt": b"end of list"}))
        filler = ["# filler line %07d;;;;" % i for i in range(400000)]  # ~20 MiB
        self.serve_list("base.zip;1;1", *filler, "tail.zip;1;1")
        self.assertGreater(os.path.getsize(os.path.join(self.root, "orbsetup.txt")), 17825792)
        self.start_and_click_install()
        self.assert_completed(timeout=300)
        self.assertTrue(os.path.exists(self.wine.host_path("C:\\Tarvelo\\tail.txt")))


class PackageFaults(FaultTest):
    def check_package_fails(self, log_line, make_rules=None, data=None, attempts=5):
        self.serve_base()
        self.serve("bad.zip", data if data is not None else harness.make_zip({"b.txt": b"b" * 5000}))
        if make_rules:
            faults.rule(self.root, "bad.zip", **make_rules)
        self.serve("never.zip", harness.make_zip({"never.txt": b"n"}))
        self.serve_list("base.zip;1;1", "bad.zip;1;1", "never.zip;1;1")
        self.start_and_click_install()
        self.assert_failed_visibly(log_line, timeout=180)
        log = self.wine.read_log()
        # Logged retries before the last attempt gives up.
        for n in range(1, attempts):
            self.assertIn("[CSetupDlg::Execute] %d " % n, log)
        self.assertNotIn("[CSetupDlg::Execute] %d " % attempts, log)
        self.assertEqual(attempts, self.requests("bad.zip"))
        self.assertEqual(0, self.requests("never.zip"))
        # Nothing of the failed run is installed, not even the packages that
        # unpacked: they were built aside, and that is gone.
        for path in ("C:\\Tarvelo", "C:\\Tarvelo.new", "C:\\UnInstall Tarvelo\\UnInstall.exe"):
            self.assertFalse(os.path.exists(self.wine.host_path(path)), path)
        return log

    def test_package_answered_404(self):
        log = self.check_package_fails("[CSetupDlg::Execute] download bad.zip failed",
                                       data=b"", make_rules={"status": 404})
        self.assertIn("status=404", log)

    def test_package_answered_500(self):
        log = self.check_package_fails("[CSetupDlg::Execute] download bad.zip failed",
                                       make_rules={"status": 500})
        self.assertIn("status=500", log)

    def test_package_closed_mid_body_with_length(self):
        log = self.check_package_fails("[CSetupDlg::Execute] download bad.zip failed",
                                       make_rules={"close_after": 100})
        self.assertIn("incomplete size=100", log)

    def test_package_closed_mid_body_without_length(self):
        # Without a length the cut looks like a whole body: only the archive
        # can tell, and a package that does not unpack is not installed.
        self.check_package_fails("[CSetupDlg::Execute] extract bad.zip failed",
                                 make_rules={"close_after": 100, "no_length": 1})

    def test_package_that_is_not_a_zip(self):
        self.check_package_fails("[CSetupDlg::Execute] extract bad.zip failed",
                                 data=b"<html>this is not a zip</html>" * 10)

    def test_package_truncated(self):
        whole = harness.make_zip({"b.txt": os.urandom(20000)})
        self.check_package_fails("[CSetupDlg::Execute] extract bad.zip failed",
                                 data=whole[: len(whole) // 2])

    def test_package_with_a_wrong_crc(self):
        self.check_package_fails("[CSetupDlg::Execute] extract bad.zip failed",
                                 data=faults.stored_zip("b.txt", b"payload", crc=0x12345678))

    def test_hostile_package_writes_nothing_outside_and_fails(self):
        names = ["../evil1.txt", "..\\evil2.txt", "a/../../evil3.txt", "C:\\evil4.txt",
                 "/evil5.txt", "nul.txt", "COM1", "inside.txt"]
        data = make_seeds.build([make_seeds.entry(n, b"hostile") for n in names])
        drive_c = set(os.listdir(self.wine.drive_c))
        # It fails the same way every time: fetched once, not five times.
        log = self.check_package_fails("[CSetupDlg::Execute] extract bad.zip failed", data=data,
                                       attempts=1)
        self.assertIn('entry 0 "../evil1.txt" refused: name refused', log)
        # The installer makes its own folders; nothing else appears, and
        # what landed in the tree built aside went with it.
        self.assertEqual(drive_c, set(os.listdir(self.wine.drive_c)) - {"UnInstall Tarvelo"})
        found = glob.glob(os.path.join(self.wine.drive_c, "**", "evil*.txt"), recursive=True)
        found += glob.glob(os.path.join(os.getcwd(), "evil*.txt"))
        self.assertEqual([], found)

    def test_transient_faults_are_retried_and_the_install_completes(self):
        self.serve_base()
        self.serve("flaky.zip", harness.make_zip({"flaky.txt": b"arrived"}))
        faults.rule(self.root, "flaky.zip", fail_first=3)
        self.serve_list("base.zip;1;1", "flaky.zip;1;1")
        self.start_and_click_install()
        self.assert_completed(clean=False)
        log = self.wine.read_log()
        # WinINet may resend once by itself on a closed connection, so the
        # installer sees some, not all, of the three refusals.
        self.assertIn("[CSetupDlg::Execute] 1 download flaky.zip failed", log)
        self.assertGreaterEqual(self.requests("flaky.zip"), 4)
        self.assertIn("[CSetupDlg::Execute] download flaky.zip sccuss", log)
        self.assertTrue(os.path.exists(self.wine.host_path("C:\\Tarvelo\\flaky.txt")))

    def test_a_package_cut_at_60_percent_is_asked_for_from_there_or_whole_again(self):
        self.serve_base()
        packages = {"resumed.zip": "1", "whole.zip": "ignore"}
        data, payload = {}, {}
        for name, ranges in packages.items():
            payload[name] = os.urandom(400000)
            data[name] = harness.make_zip({name + ".bin": payload[name]})
            self.serve(name, data[name])
            faults.rule(self.root, name, ranges=ranges, cut_first=len(data[name]) * 6 // 10)
        self.serve_list("base.zip;1;1", "resumed.zip;1;1", "whole.zip;1;1")
        self.start_and_click_install()
        self.assert_completed(clean=False)
        log = self.wine.read_log()
        for name in packages:
            first, second = self.server.ranges[name]
            self.assertIsNone(first)
            # The next attempt, at the same server, asks for what is missing.
            held = int(second[len("bytes="):-1])
            self.assertTrue(0 < held <= len(data[name]) * 6 // 10, second)
            self.assertIn("fetch %s from http://127.0.0.1:%d, from byte %d" % (name, ARGS.port, held),
                          log)
            with open(self.wine.host_path("C:\\Tarvelo\\%s.bin" % name), "rb") as f:
                self.assertEqual(payload[name], f.read())
        self.assertIn("resumed at %d lpUrl=http://127.0.0.1:%d/EX/resumed.zip"
                      % (int(self.server.ranges["resumed.zip"][1][6:-1]), ARGS.port), log)
        self.assertIn("whole body again lpUrl=http://127.0.0.1:%d/EX/whole.zip" % ARGS.port, log)

class ProxyFaults(FaultTest):
    def setUp(self):
        super().setUp()
        self.proxy_log = os.path.join(self.root, "proxy.log")
        self.proxy = testservers.ProxyServer(self.server.port, with_servers.USER,
                                             with_servers.PASSWORD, self.proxy_log).start()
        faults.set_proxy(self.wine, self.proxy.port)
        self.stop_typist = threading.Event()
        self.typist = threading.Thread(target=with_servers.typist, daemon=True,
                                       args=(self.root, self.wine.env["DISPLAY"],
                                             self.stop_typist))
        self.typist.start()

    def tearDown(self):
        self.stop_typist.set()
        self.typist.join(timeout=10)
        faults.set_proxy(self.wine, None)
        self.proxy.stop()
        super().tearDown()

    def test_proxy_rejecting_credentials(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        with open(os.path.join(self.root, "xdo-request"), "w", encoding="utf-8") as f:
            f.write("tester\nwrong-password\nok\n")
        self.start_and_click_install()
        box = faults.find_window(self.wine, "提示", 60)
        self.assertIsNotNone(box, "no message about the rejected credentials")
        faults.press_key_on(self.wine, box)
        self.cancel_asked_again()
        self.assert_failed_visibly(LIST_FAILED)
        self.assertIn("check username and password failed", self.wine.read_log())
        with open(self.proxy_log, encoding="utf-8") as f:
            self.assertNotIn("forward", f.read())
        self.assertEqual(0, self.requests("orbsetup.txt"))

    def test_unattended_run_behind_a_proxy_ends_with_its_code_not_a_dialog(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        # No dialog can be answered: were one shown, the run would wait.
        proc = self.wine.start(os.path.join(ARGS.bin, "setup.exe"), "/S")
        self.procs.append(proc)
        self.assertEqual(EXIT_PROXY_AUTH, proc.wait(timeout=180))
        self.assertIn("check username and password cancle", self.wine.read_log())
        self.assertEqual(0, self.requests("orbsetup.txt"))

    def test_closing_while_the_proxy_dialog_is_open_never_deadlocks(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        self.start_and_click_install()
        self.assertIsNotNone(faults.find_window(self.wine, with_servers.DIALOG_TITLE, 60))
        self.wine.click(self.wid, *CLOSE_BUTTON)
        self.answer_stop_question()
        # The window is in its teardown wait; the worker's box must still show.
        with open(os.path.join(self.root, "xdo-request"), "w", encoding="utf-8") as f:
            f.write("tester\nwrong-password\nok\n")
        box = faults.find_window(self.wine, "提示", 60)
        self.assertIsNotNone(box, "no message about the rejected credentials")
        faults.press_key_on(self.wine, box)
        self.proc.wait(timeout=30)



class ManagedNetworks(FaultTest):
    """Unattended runs as a deployment agent starts them: the proxy named on
    the command line, and what the network did said in words."""

    def setUp(self):
        super().setUp()
        self.proxy_log = os.path.join(self.root, "proxy.log")
        self.proxy = testservers.ProxyServer(self.server.port, None, None,
                                             self.proxy_log).start()
        # The user's own settings name a proxy that is not there.
        faults.set_proxy(self.wine, 1)

    def tearDown(self):
        faults.set_proxy(self.wine, None)
        self.proxy.stop()
        super().tearDown()

    def run_silent(self, *args):
        proc = self.wine.start(os.path.join(ARGS.bin, "setup.exe"), "/S", *args)
        self.procs.append(proc)
        code = proc.wait(timeout=180)
        with open(proc.out_path, "rb") as f:
            return code, f.read().decode("utf-8", "replace")

    def test_proxy_switch_overrides_the_users_settings(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        code, out = self.run_silent("/PROXY=127.0.0.1:%d" % self.proxy.port)
        self.assertEqual(0, code, out)
        with open(self.proxy_log, encoding="utf-8") as f:
            forwarded = f.read()
        for name in ("orbsetup.txt", "base.zip", "UnInstall.exe"):
            self.assertIn("forward  /EX/" + name, forwarded)
        self.assertIn("proxy 127.0.0.1:%d (bypass: none), from the /PROXY switch"
                      % self.proxy.port, self.wine.read_log())

        # DIRECT past the dead proxy of the user's settings; a package slow
        # enough to show its progress on the way.
        self.serve("slow.zip", harness.make_zip({"noise.bin": os.urandom(3000)}))
        self.serve("slow.zip.rule", b"trickle=0.001\n")
        self.serve_list("base.zip;1;1", "slow.zip;1;1")
        before = self.requests("base.zip")
        code, out = self.run_silent("/PROXY=direct")
        self.assertEqual(0, code, out)
        self.assertEqual(before + 1, self.requests("base.zip"))
        self.assertRegex(out, r"slow\.zip: \d+ / \d+ KB, \d+ KB/s, \d+ s left")
        with open(self.proxy_log, encoding="utf-8") as f:
            self.assertEqual(forwarded, f.read())

        for bad in ("/PROXY=", "/PROXY=host", "/PROXY=host:0", "/PROXY=host:65536",
                    "/PROXY=a b:80", "/PROXY=http://host:80"):
            self.assertEqual(EXIT_BAD_COMMAND_LINE, self.run_silent(bad)[0], bad)

    def test_a_web_page_in_place_of_a_package_is_named_and_never_unpacked(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        self.assertEqual(0, self.run_silent("/PROXY=DIRECT")[0])
        page = b"<html><body>Please sign in to the network.</body></html>"
        self.serve("base.zip", page[:-7] + b" " * (11264 - len(page)) + page[-7:])
        self.serve("base.zip.rule", b"content_type=text/html; charset=utf-8\n")
        code, out = self.run_silent("/PROXY=DIRECT")
        self.assertEqual(EXIT_DOWNLOAD_FAILED, code, out)
        said = "the answer was a web page of 11264 bytes, not the file: a proxy or portal?"
        self.assertIn(said, self.wine.read_log())
        self.assertEqual(1, out.count(said), out)
        with open(self.wine.host_path("C:\\Tarvelo\\iKVTRemote.exe"), "rb") as f:
            self.assertEqual(self.client, f.read())
        self.assertEqual(["UnInstall.exe"],
                         os.listdir(self.wine.host_path("C:\\UnInstall Tarvelo")))



class RealServers(FaultTest):
    """nginx over HTTP and HTTPS and squid with Basic authentication, as a
    publisher would run them. HTTPS needs the build for https://localhost."""

    SQUID_PORT = 18475

    @classmethod
    def setUpClass(cls):
        cls.certs = realservers.Certs()
        wine = harness.WineEnv(ARGS.testenv)
        assert wine.run(ARGS.add_root_cert, harness.wine_path(cls.certs.trusted_der)) == 0, \
            "test authority not trusted"

    @classmethod
    def tearDownClass(cls):
        cls.certs.remove()

    def setUp(self):
        self.daemons = []
        super().setUp()

    def tearDown(self):
        for daemon in self.daemons:
            daemon.stop()
        faults.set_proxy(self.wine, None)
        super().tearDown()

    def start_server(self):
        # Read by nginx's unprivileged worker: a folder under /tmp.
        shutil.rmtree(self.root, ignore_errors=True)
        self.root = realservers.public_folder("served_")
        return None

    def serve(self, name, data):
        super().serve(name, data)
        os.chmod(os.path.join(self.root, name), 0o644)

    def nginx(self, port, **kwargs):
        self.daemons.append(realservers.Nginx(self.root, port, **kwargs).start())
        return self.daemons[-1]

    def run_again(self):
        """A fresh start: no log, no launched client, no registration."""
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
        harness.remove_path(self.wine.host_path("C:\\temp\\log.txt"))
        harness.remove_path(self.wine.host_path("C:\\temp\\client_started.txt"))
        self.wine.reg("delete", faults.UNINSTALL_KEY, "/f")

    def type_credentials(self, password):
        with open(os.path.join(self.root, "xdo-request"), "w", encoding="utf-8") as f:
            f.write("%s\n%s\nok\n" % (with_servers.USER, password))

    def test_installs_from_nginx_over_http_and_https(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        plain = self.nginx(ARGS.port)
        self.start_and_click_install()
        self.assert_completed()
        self.assertIn("GET /EX/base.zip", plain.requests())

        # Over HTTPS, with the list moved by a relative redirect.
        self.run_again()
        secure = self.nginx(ARGS.tls_port, cert=self.certs.server("good", "localhost"),
                            moved_list=True)
        self.start_and_click_install(ARGS.tls_bin)
        before = plain.requests()
        self.assert_completed()
        for path in ("/EX/orbsetup.txt", "/moved/orbsetup.txt", "/EX/base.zip",
                     "/EX/UnInstall.exe"):
            self.assertIn("GET %s " % path, secure.requests())
        self.assertEqual(before, plain.requests())

    def test_bad_certificates_and_a_downgrade_fail_visibly(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        cases = [
            (self.certs.server("stranger", "localhost", ca="stranger"), None,
             ("error=12045", "error=12057")),
            (self.certs.server("other", "other.example"), None, ("error=12038",)),
            (self.certs.server("good", "localhost"), "http://localhost:%d" % ARGS.port,
             ("refused: not HTTPS location=http://localhost:%d/EX/orbsetup.txt" % ARGS.port,)),
            # A redirect to itself: followed a bounded number of times.
            (self.certs.server("good", "localhost"), "https://localhost:%d" % ARGS.tls_port,
             ("too many redirects",)),
            # A 302 without a Location (passed on from a server that sends one).
            (self.certs.server("good", "localhost"), "upstream", ("no usable location",)),
        ]
        plain = self.nginx(ARGS.port)
        bare = testservers.DownloadServer(self.root).start()
        self.addCleanup(bare.stop)
        with open(os.path.join(self.root, "orbsetup.txt.rule"), "w") as f:
            f.write("status=302\n")
        for cert, redirect, expected in cases:
            with self.subTest(cert=os.path.basename(cert[0]), redirect=redirect):
                self.run_again()
                if redirect == "upstream":
                    secure = self.nginx(ARGS.tls_port, cert=cert, upstream=bare.port)
                else:
                    secure = self.nginx(ARGS.tls_port, cert=cert, redirect=redirect)
                self.start_and_click_install(ARGS.tls_bin)
                self.assert_failed_visibly(LIST_FAILED)
                errors = [line for line in self.wine.read_log().splitlines() if "[Error]" in line]
                self.assertTrue(any(e in line for line in errors for e in expected),
                                self.wine.read_log())
                secure.stop()
                self.daemons.remove(secure)
        self.assertEqual("", plain.requests(), "followed a redirect to plain HTTP")

    def test_squid_asks_once_and_installs_over_http_and_https(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        self.nginx(ARGS.port)
        self.nginx(ARGS.tls_port, cert=self.certs.server("good", "localhost"))
        squid = realservers.Squid(self.SQUID_PORT, with_servers.USER, with_servers.PASSWORD,
                                  [ARGS.tls_port])
        self.daemons.append(squid.start())
        faults.set_proxy(self.wine, self.SQUID_PORT)
        stop = threading.Event()
        threading.Thread(target=with_servers.typist, daemon=True,
                         args=(self.root, self.wine.env["DISPLAY"], stop)).start()
        self.addCleanup(stop.set)

        for bin_dir, seen in ((ARGS.bin, "GET http://127.0.0.1:%d/EX/base.zip" % ARGS.port),
                              (ARGS.tls_bin, "CONNECT localhost:%d" % ARGS.tls_port)):
            with self.subTest(seen=seen):
                self.run_again()
                self.type_credentials(with_servers.PASSWORD)
                self.start_and_click_install(bin_dir)
                self.assert_completed()
                # The typist answers one dialog: a second would stall the run.
                self.assertIn("check username and password success", self.wine.read_log())
                self.assertTrue(any(seen in line and with_servers.USER in line
                                    for line in squid.requests().splitlines()),
                                squid.requests())

        # Rejected on the tunnel: the same box, nothing installed.
        self.run_again()
        self.type_credentials("wrong-password")
        self.start_and_click_install(ARGS.tls_bin)
        box = faults.find_window(self.wine, "提示", 60)
        self.assertIsNotNone(box, "no message about the rejected credentials")
        faults.press_key_on(self.wine, box)
        self.cancel_asked_again()
        self.assert_failed_visibly(LIST_FAILED)
        self.assertIn("check username and password failed", self.wine.read_log())

class Interruptions(FaultTest):
    def serve_three(self):
        self.serve_base()
        self.serve("two.zip", harness.make_zip({"two/a.txt": b"2" * 300000}))
        self.serve("three.zip", harness.make_zip({"three.txt": b"3"}))
        self.serve_list("base.zip;1;1", "two.zip;1;1", "three.zip;1;1")

    def test_user_stops_mid_install(self):
        self.serve_three()
        self.start_and_click_install()
        self.wait_log("download base.zip sccuss", 60)
        # No failure text while all goes well: the red count means something.
        self.assertEqual(0, faults.red_status_pixels(self.wine, self.wid))
        self.wine.click(self.wid, *CLOSE_BUTTON)
        self.answer_stop_question()
        self.proc.wait(timeout=120)
        # The running entry may finish; nothing after the next check runs.
        self.assertEqual(0, self.requests("three.zip"))
        self.assertFalse(self.wine.client_started())
        self.assertIsNone(self.wine.reg_export(faults.UNINSTALL_KEY))
        self.assertNotIn("UnInstall.exe", self.wine.read_log())

    def test_a_stop_is_honoured_before_the_wipe_and_between_attempts(self):
        def confirm_stop():
            self.wine.click(self.wid, *CLOSE_BUTTON)
            self.answer_stop_question()
            self.proc.wait(timeout=120)

        # Stopped while the list downloads: the earlier installation stays.
        # The list's answer waits for the stop to be confirmed.
        keep = self.keep_earlier_install()
        self.serve_three()
        faults.rule(self.root, "orbsetup.txt", no_length=1, hold="stopped")
        self.start_and_click_install()
        deadline = time.time() + 60
        while self.requests("orbsetup.txt") == 0:
            self.assertLess(time.time(), deadline, "the list was never asked for")
            time.sleep(0.2)
        self.wine.click(self.wid, *CLOSE_BUTTON)
        self.answer_stop_question()
        self.serve("stopped", b"")
        self.proc.wait(timeout=120)
        self.assertTrue(os.path.exists(keep), "wiped after the stop")
        self.assertEqual(0, self.requests("base.zip"))

        # Stopped while a package keeps failing: no attempt after the stop.
        os.remove(os.path.join(self.root, "orbsetup.txt.rule"))
        self.serve("bad.zip", harness.make_zip({"b.txt": b"b" * 5000}))
        faults.rule(self.root, "bad.zip", close_after=100, stall=4)
        self.serve_list("base.zip;1;1", "bad.zip;1;1", "three.zip;1;1")
        self.start_and_click_install()
        self.wait_log("[CSetupDlg::Execute] 1 download bad.zip failed", 90)
        confirm_stop()
        self.assertLessEqual(self.requests("bad.zip"), 3)
        self.assertNotIn("[CSetupDlg::Execute] download bad.zip failed", self.wine.read_log())

    def post_close(self):
        """The taskbar's or the system menu's Close."""
        self.assertEqual(0, self.wine.run(ARGS.post_close, harness.SETUP_WINDOW_TEXT))

    def test_keys_and_the_system_close_take_the_close_buttons_path(self):
        self.serve_three()
        # Idle: Enter does nothing; the system's Close closes without asking.
        self.proc = self.wine.start(os.path.join(ARGS.bin, "setup.exe"))
        self.procs.append(self.proc)
        self.wid = self.wine.wait_setup_window()
        faults.press_key_on(self.wine, self.wid, "Return")
        time.sleep(1.5)
        self.assertIsNone(self.proc.poll(), "Enter ended the window")
        self.post_close()
        self.proc.wait(timeout=30)
        self.assertEqual(0, self.requests("orbsetup.txt"))

        # Installing: Escape asks; Cancel goes on; the system's Close asks
        # too, and OK stops.
        self.start_and_click_install()
        self.wait_log("download base.zip sccuss", 60)
        faults.press_key_on(self.wine, self.wid, "Escape")
        self.answer_stop_question("Escape", missing="Escape closed without asking")
        time.sleep(1)
        self.assertIsNone(self.proc.poll(), "Cancel stopped the installation")
        self.post_close()
        self.answer_stop_question(missing="the system's Close closed without asking")
        self.proc.wait(timeout=120)
        self.assertEqual(0, self.requests("three.zip"))
        self.assertFalse(self.wine.client_started())

    def test_the_client_waits_for_the_answer_to_the_stop_question(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        for answer, started in (("Escape", True), ("Return", False)):
            self.start_and_click_install()
            # Asked during the package's pause; answered once all is done.
            self.wine.click(self.wid, *CLOSE_BUTTON)
            question = faults.find_window(self.wine, "询问", 20)
            self.assertIsNotNone(question)
            self.wait_log("[CSetupDlg::WriteRegistry]", 90)
            time.sleep(2)
            self.assertFalse(self.wine.client_started(), "started while the question was open")
            self.assertIsNone(self.proc.poll())
            faults.press_key_on(self.wine, question, answer)
            self.proc.wait(timeout=30)
            # Every start is logged before the installer ends.
            self.assertEqual(started, "[CSetupDlg::OnTimer]" in self.wine.read_log(), answer)
            if started:
                self.assertTrue(self.wine.wait_client_started(), "the client did not start")
                os.remove(self.wine.host_path("C:\\temp\\client_started.txt"))

    def test_killed_mid_install_then_run_again_completes(self):
        self.serve_three()
        keep = self.keep_earlier_install()
        self.start_and_click_install()
        # Killed in the package's extraction (its pause comes first there).
        self.wait_log("download two.zip sccuss", 90)
        self.proc.kill()
        self.proc.wait(timeout=30)
        self.assertTrue(os.path.exists(keep), "the earlier installation was touched")
        self.assertFalse(os.path.exists(self.wine.host_path("C:\\Tarvelo\\iKVTRemote.exe")))
        # A half-written leftover of the killed run must not survive the next one.
        with open(self.wine.host_path("C:\\Tarvelo.new\\stale.txt"), "w") as f:
            f.write("half")
        self.start_and_click_install()
        self.assert_completed()
        tarvelo = self.wine.host_path("C:\\Tarvelo")
        self.assertFalse(os.path.exists(os.path.join(tarvelo, "stale.txt")))
        self.assertFalse(os.path.exists(keep), "the old release outlived the update")
        self.assertFalse(os.path.exists(self.wine.host_path("C:\\Tarvelo.new")))
        with open(os.path.join(tarvelo, "two", "a.txt"), "rb") as f:
            self.assertEqual(b"2" * 300000, f.read())
        self.assertTrue(os.path.exists(os.path.join(tarvelo, "three.txt")))
        self.assertEqual([], [n for n in os.listdir(self.wine.host_path("C:\\temp"))
                              if n.endswith(".zip")])


class Updates(FaultTest):
    """An update over a working installation: built aside, swapped in, and
    never leaving the user without the client they had."""

    def install_old_release(self):
        self.serve_base()
        self.serve_list("base.zip;1;1")
        self.start_and_click_install()
        self.assert_completed()
        os.remove(self.wine.host_path("C:\\temp\\client_started.txt"))
        marker = self.wine.host_path("C:\\Tarvelo\\old-release.txt")
        with open(marker, "w") as f:
            f.write("old")
        return marker

    def assert_old_installation_works(self, marker, entry):
        self.assertTrue(os.path.exists(marker), "the old installation was touched")
        with open(self.wine.host_path("C:\\UnInstall Tarvelo\\UnInstall.exe"), "rb") as f:
            self.assertEqual(self.client, f.read())
        self.assertEqual(entry, self.wine.reg_export(faults.UNINSTALL_KEY))
        self.assertFalse(os.path.exists(self.wine.host_path("C:\\Tarvelo.new")))
        self.assertEqual(["UnInstall.exe"],
                         os.listdir(self.wine.host_path("C:\\UnInstall Tarvelo")))
        # The old client still starts.
        client = self.wine.start(self.wine.host_path("C:\\Tarvelo\\iKVTRemote.exe"))
        self.procs.append(client)
        self.assertTrue(self.wine.wait_client_started(60), "the old client does not start")
        os.remove(self.wine.host_path("C:\\temp\\client_started.txt"))

    def test_a_failed_or_stopped_update_leaves_the_old_installation_working(self):
        marker = self.install_old_release()
        entry = self.wine.reg_export(faults.UNINSTALL_KEY)
        self.serve("two.zip", harness.make_zip({"two.txt": b"2"}))
        self.serve("UnInstall.exe", self.client + b"new")

        # The third package answers 404.
        self.serve_list("base.zip;1;1", "two.zip;1;1", "missing.zip;1;1")
        self.start_and_click_install()
        self.wait_log("[CSetupDlg::Execute] download missing.zip failed", 120)
        # The failure is logged before the run clears what it built aside:
        # wait for that (a kill before it is the killed-run cases' concern).
        aside = self.wine.host_path("C:\\Tarvelo.new")
        deadline = time.time() + 60
        while os.path.exists(aside) and time.time() < deadline:
            time.sleep(0.3)
        self.proc.kill()
        self.proc.wait(timeout=30)
        self.assert_old_installation_works(marker, entry)

        # A stop confirmed during the last package: nothing after it runs.
        self.serve("missing.zip", harness.make_zip({"late.txt": b"l" * 5000}))
        faults.rule(self.root, "missing.zip", close_after=2000, no_length=1, stall=6)
        self.start_and_click_install()
        self.wait_log("fetch missing.zip", 120)
        self.wine.click(self.wid, *CLOSE_BUTTON)
        self.answer_stop_question()
        self.assertEqual(EXIT_STOPPED, self.proc.wait(timeout=120))
        log = self.wine.read_log()
        self.assertNotIn("fetch UnInstall.exe", log)
        self.assertNotIn("[CSetupDlg::WriteRegistry]", log)
        self.assert_old_installation_works(marker, entry)

    def test_unattended_runs_say_how_they_went_by_exit_code(self):
        marker = self.install_old_release()
        entry = self.wine.reg_export(faults.UNINSTALL_KEY)
        setup = os.path.join(ARGS.bin, "setup.exe")

        def run(*args):
            proc = self.wine.start(setup, *args)
            self.procs.append(proc)
            # A box or a window would hold it: the time-out would end the case.
            code = proc.wait(timeout=180)
            with open(proc.out_path, "rb") as f:
                return code, f.read().decode("utf-8", "replace")

        # A package that answers 404 ends with its code; the old stays.
        self.serve_list("base.zip;1;1", "missing.zip;1;1")
        code, out = run("/S")
        self.assertEqual(EXIT_DOWNLOAD_FAILED, code, out)
        self.assertIn("base.zip: %d bytes, installed" % os.path.getsize(
            os.path.join(self.root, "base.zip")), out)
        self.assertIn("失败: 下载missing.zip失败", out)
        self.assertFalse(self.wine.client_started())
        self.assert_old_installation_works(marker, entry)

        # Refused command lines: nothing is fetched, and with /S no box.
        before = dict(self.server.counts)
        self.assertEqual(EXIT_BAD_COMMAND_LINE, run("/s", "/quiet")[0])
        self.assertIn("command line refused: /quiet", self.wine.read_log())
        self.assertEqual(EXIT_LOG_UNWRITABLE, run("-S", "/LOG=C:\\no\\such\\folder\\x.txt")[0])
        self.assertIn("/LOG=C:\\no\\such\\folder\\x.txt cannot be written", self.wine.read_log())
        # Without /S the refusal is said in a box.
        proc = self.wine.start(setup, "/LAUNCH=1")
        self.procs.append(proc)
        box = faults.find_window(self.wine, "提示", 60)
        self.assertIsNotNone(box, "no box about the refused switch")
        faults.press_key_on(self.wine, box)
        self.assertEqual(EXIT_BAD_COMMAND_LINE, proc.wait(timeout=60))
        self.assertEqual(before, self.server.counts)
        self.assert_old_installation_works(marker, entry)

    def test_killed_between_the_renames_the_next_run_undoes_it_and_completes(self):
        marker = self.install_old_release()
        # What a run killed after moving the old tree out and before moving
        # the new one in leaves: no C:\\Tarvelo, the record, both trees.
        un = self.wine.host_path("C:\\UnInstall Tarvelo")
        os.rename(self.wine.host_path("C:\\Tarvelo"), os.path.join(un, "Tarvelo.old"))
        os.makedirs(self.wine.host_path("C:\\Tarvelo.new"))
        with open(self.wine.host_path("C:\\Tarvelo.new\\half.txt"), "w") as f:
            f.write("new")
        with open(os.path.join(un, "swap.txt"), "w") as f:
            f.write("tarvelo-swap 1 0\n")
        self.serve("two.zip", harness.make_zip({"two.txt": b"2"}))
        self.serve_list("base.zip;1;1", "two.zip;1;1")
        self.start_and_click_install()
        self.wait_log("[CSetupDlg::SwapInstall] an unfinished update was undone", 60)
        self.assert_completed()
        tarvelo = self.wine.host_path("C:\\Tarvelo")
        self.assertEqual({"iKVTRemote.exe", "favicon.ico", "two.txt"}, set(os.listdir(tarvelo)))
        self.assertFalse(os.path.exists(marker))
        self.assertEqual(["UnInstall.exe"], os.listdir(un))

    def test_a_link_below_the_install_folder_is_removed_not_followed(self):
        self.install_old_release()
        victim = os.path.join(self.wine.drive_c, "victim")
        os.makedirs(victim, exist_ok=True)
        with open(os.path.join(victim, "system.dat"), "w") as f:
            f.write("keep")
        try:
            # A user (with modify rights there) links a folder of theirs out.
            os.symlink(victim, self.wine.host_path("C:\\Tarvelo\\data"))
            self.start_and_click_install()
            # Wine 8 cannot remove a folder's symbolic link (Windows removes a
            # junction or folder link as itself), so the old tree's removal
            # logs what it left; what matters is that it did not go through.
            self.assert_completed(clean=False)
            self.assertEqual(["system.dat"], os.listdir(victim))
            self.assertFalse(os.path.lexists(self.wine.host_path("C:\\Tarvelo\\data")))
        finally:
            shutil.rmtree(victim, ignore_errors=True)


if __name__ == "__main__":
    harness.run_suite(globals())
