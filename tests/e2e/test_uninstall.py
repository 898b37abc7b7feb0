#!/usr/bin/env python3
"""End-to-end: a release published with tools/publish.py, installed by the
real setup.exe, removed by the real UnInstall.exe, all under Wine.

  test_uninstall.py --testenv DIR --bin DIR --client EXE --running-client EXE
                    --port N [--shots DIR]
"""
import glob
import os
import re
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
import harness  # noqa: E402
import testservers  # noqa: E402

ARGS = None
INSTALL_BUTTON = (272, 310)
ENTRY_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvelo"
SESSION_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
# The uninstaller that cannot remove its own file renames it first and has
# that name deleted at the restart.
UNINSTALLER_ASIDE = re.compile(r"UnInstall Tarvelo[\\/]UnInstall\.exe\.\d+\.remove$")
CAPTION = "卸载塔维罗"
EXIT_DONE, EXIT_REFUSED, EXIT_CANCELLED, EXIT_CLIENT_RUNNING = 0, 1, 2, 3
EXIT_OTHER_INSTANCE = 5
SETUP_OTHER_INSTANCE = 9


class UninstallTest(unittest.TestCase):
    def setUp(self):
        self.wine = harness.WineEnv(ARGS.testenv)
        self.work = tempfile.mkdtemp(prefix="e2e_uninst_", dir=ARGS.testenv)
        self.procs = []
        self.server = None
        self.remove_installation_by_hand()

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=30)
        if self.server:
            self.server.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    # -- the prefix -------------------------------------------------------

    def programs_folder(self):
        return os.path.join(self.wine.drive_c, "ProgramData", "Microsoft", "Windows",
                            "Start Menu", "Programs", "塔维罗")

    def desktop_links(self):
        return glob.glob(os.path.join(self.wine.drive_c, "users", "*", "Desktop", "塔维罗.lnk"))

    def remove_installation_by_hand(self):
        """Earlier tests in this prefix may have installed; start clean."""
        for path in ("C:\\Tarvelo", "C:\\UnInstall Tarvelo", "C:\\temp"):
            harness.remove_path(self.wine.host_path(path))
        shutil.rmtree(self.programs_folder(), ignore_errors=True)
        for link in self.desktop_links():
            os.remove(link)
        self.wine.reg("delete", ENTRY_KEY, "/f")
        os.makedirs(self.wine.host_path("C:\\temp"), exist_ok=True)

    def snapshot(self):
        """Every file and folder a user would see, outside Wine's own folder
        and the temporary folders and the system's web cache. The desktop folder is a link into HOME,
        which is walked through it."""
        seen = set()
        temp_dirs = {os.path.normcase(self.wine.host_path("C:\\temp"))}
        temp_dirs |= set(glob.glob(os.path.join(self.wine.drive_c, "users", "*", "Temp")))
        temp_dirs |= set(glob.glob(os.path.join(self.wine.drive_c, "users", "*", "AppData",
                                                "Local", "Temp")))
        for dirpath, dirnames, filenames in os.walk(self.wine.drive_c, followlinks=True):
            rel = os.path.relpath(dirpath, self.wine.drive_c)
            if rel == "windows" or dirpath in temp_dirs or rel.startswith(".."):
                dirnames[:] = []
                continue
            dirnames[:] = [d for d in dirnames if not (rel == "." and d == "windows")]
            for name in dirnames + filenames:
                seen.add(os.path.join(rel, name))
            # WinINet's own cookie and cache store, which any download fills.
            dirnames[:] = [d for d in dirnames if not d.startswith("INet")]
        return seen

    def temp_copies(self):
        """The hand-over's copies: in folders of their own under the system's
        Temp folder, never in the user's."""
        in_user_temp = glob.glob(os.path.join(self.wine.drive_c, "users", "*", "AppData", "Local",
                                              "Temp", "UnInstall-Tarvelo-*.exe")) + \
            glob.glob(os.path.join(self.wine.drive_c, "users", "*", "Temp",
                                   "UnInstall-Tarvelo-*.exe"))
        self.assertEqual([], in_user_temp)
        return glob.glob(os.path.join(self.wine.drive_c, "windows", "temp",
                                      "Tarvelo-UnInstall-*", "UnInstall.exe"))

    def pending_deletions(self):
        """Paths in PendingFileRenameOperations (REG_MULTI_SZ, exported as
        hex(7))."""
        out = os.path.join(self.work, "session.reg")
        self.wine.reg("export", SESSION_KEY, harness.wine_path(out), "/y")
        if not os.path.exists(out):
            return []
        with open(out, "rb") as f:
            text = f.read().decode("utf-16")
        m = re.search(r'"PendingFileRenameOperations"=hex\(7\):((?:[0-9a-f,\\\s])*)', text)
        if not m:
            return []
        data = bytes(int(b, 16) for b in re.findall(r"[0-9a-f]{2}", m.group(1)))
        return [s for s in data.decode("utf-16-le").split("\0") if s]

    # -- publish and install ---------------------------------------------

    def publish_and_install(self, *switches):
        """With switches, setup.exe runs with them (no click) and its exit
        code and output are returned."""
        client = os.path.join(self.work, "release", "client")
        os.makedirs(os.path.join(client, "config"))
        shutil.copy(ARGS.client, os.path.join(client, "iKVTRemote.exe"))
        with open(os.path.join(client, "favicon.ico"), "wb") as f:
            f.write(b"\0\0\1\0")
        with open(os.path.join(client, "config", "ORB.System.config"), "w") as f:
            f.write("[Client]\r\nName=orb\r\n")
        docs = os.path.join(self.work, "release", "docs", "docs")
        os.makedirs(docs)
        readonly = os.path.join(docs, "readonly.txt")
        with open(readonly, "w") as f:
            f.write("read-only")
        os.chmod(readonly, 0o444)
        desc = os.path.join(self.work, "release", "release.json")
        with open(desc, "w") as f:
            f.write('{"packages": ['
                    '{"name": "client.zip", "kind": 1, "folders": ["client"]},'
                    '{"name": "docs.zip", "kind": 1, "folders": ["docs"]}]}')
        out = os.path.join(self.work, "server")
        res = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "publish.py"), desc,
                              "--out", out, "--uninstaller",
                              os.path.join(ARGS.bin, "UnInstall.exe")],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(0, res.returncode, res.stdout + res.stderr)
        self.server = testservers.DownloadServer(os.path.join(out, "EX"),
                                                 port=ARGS.port).start()

        if switches:
            return self.run_setup(*switches)
        proc = self.wine.start(os.path.join(ARGS.bin, "setup.exe"))
        self.procs.append(proc)
        wid = self.wine.wait_setup_window()
        self.wine.click(wid, *INSTALL_BUTTON)
        proc.wait(timeout=180)
        self.wine.wait_client_started()
        self.server.stop()
        self.server = None

        # What the uninstaller is to remove is really there.
        self.assert_installation_whole()

    def run_setup(self, *switches):
        """setup.exe with these switches, watched for any window it shows
        (a visible one would also hold the run until the time-out)."""
        proc = self.wine.start(os.path.join(ARGS.bin, "setup.exe"), *switches)
        self.procs.append(proc)
        shown = set()
        while proc.poll() is None:
            for title in (harness.SETUP_WINDOW_TEXT, "提示", "代理验证"):
                if self.wine.xdotool("search", "--all", "--onlyvisible", "--name", title,
                                     check=False).split():
                    shown.add(title)
            time.sleep(0.2)
        self.assertEqual(set(), shown, "an unattended run showed a window")
        with open(proc.out_path, "rb") as f:
            return proc.returncode, f.read().decode("utf-8", "replace")

    # -- the uninstaller --------------------------------------------------

    def start_uninstaller(self, argument):
        proc = self.wine.start(self.wine.host_path("C:\\UnInstall Tarvelo\\UnInstall.exe"),
                               argument)
        self.procs.append(proc)
        return proc

    def answer(self, key, shot=None, timeout=180, caption=CAPTION):
        """Presses a key in the uninstaller's message box (or another with
        that caption) once it shows. A
        window found while it is still being made may be gone before the key
        is sent: then look again. The key is a real one (XTEST) to the focused
        box: Wine takes a key sent to a window (XSendEvent) as held down when
        the box closes on the press, and the next boxes it opens then close
        by themselves."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            wid = self.wine.wait_window(caption, timeout=max(1, deadline - time.time()))
            time.sleep(0.5)
            if shot and ARGS.shots:
                os.makedirs(ARGS.shots, exist_ok=True)
                self.wine.screenshot(os.path.join(ARGS.shots, shot))
            try:
                self.wine.xdotool("windowfocus", "--sync", wid)
                self.wine.xdotool("key", key)
            except (RuntimeError, subprocess.TimeoutExpired):
                continue
            # A key lost on the way is pressed again.
            gone_by = min(deadline, time.time() + 15)
            while time.time() < gone_by:
                if wid not in self.wine.xdotool("search", "--all", "--onlyvisible", "--name",
                                                caption, check=False).split():
                    return
                time.sleep(0.2)
        self.fail("no message box took %s" % key)

    def assert_installation_whole(self):
        for path in ("C:\\Tarvelo\\iKVTRemote.exe", "C:\\Tarvelo\\docs\\readonly.txt"):
            self.assertTrue(os.path.exists(self.wine.host_path(path)), path)
        self.assertIsNotNone(self.wine.reg_export(ENTRY_KEY))
        for link in ("塔维罗.lnk", "卸载塔维罗.lnk"):
            self.assertTrue(os.path.exists(os.path.join(self.programs_folder(), link)), link)
        self.assertEqual(1, len(self.desktop_links()))
        self.assertTrue(os.path.exists(self.wine.host_path(
            "C:\\UnInstall Tarvelo\\UnInstall.exe")))

    def test_refusals_leave_the_installation_whole(self):
        copies_before = set(self.temp_copies())
        self.publish_and_install()

        # Cancel at the question.
        proc = self.start_uninstaller("C:\\Tarvelo")
        self.answer("Escape", shot="uninstall_question.png")
        self.assertEqual(EXIT_CANCELLED, proc.wait(timeout=60))
        self.assert_installation_whole()

        # A folder other than the recorded one, even an enclosing one.
        for argument in ("C:\\Other", "C:\\", "C:\\Tarvelo\\docs"):
            proc = self.start_uninstaller(argument)
            self.answer("Return")
            self.assertEqual(EXIT_REFUSED, proc.wait(timeout=60), argument)
        self.assert_installation_whole()

        # The client running, from wherever it was started.
        elsewhere = self.wine.host_path("C:\\temp\\running")
        os.makedirs(elsewhere, exist_ok=True)
        shutil.copy(ARGS.running_client, os.path.join(elsewhere, "iKVTRemote.exe"))
        client = self.wine.start_running_client(os.path.join(elsewhere, "iKVTRemote.exe"))
        self.procs.append(client)
        proc = self.start_uninstaller("C:\\Tarvelo")
        self.answer("Return")  # the question
        self.answer("Return", shot="uninstall_client_running.png")
        self.assertEqual(EXIT_CLIENT_RUNNING, proc.wait(timeout=60))
        client.kill()
        client.wait(timeout=30)
        self.assert_installation_whole()
        # Refused before the hand-over: no copy in the temporary folder.
        self.assertEqual(copies_before, set(self.temp_copies()))

        # A link in place of the install folder: nothing is deleted through it.
        tarvelo = self.wine.host_path("C:\\Tarvelo")
        elsewhere = os.path.abspath(os.path.join(self.work, "moved"))
        shutil.move(tarvelo, elsewhere)
        os.symlink(elsewhere, tarvelo)
        self.start_uninstaller("C:\\Tarvelo")
        self.answer("Return")  # the question
        self.answer("Return")  # files that cannot be deleted: the entry stays
        self.assertTrue(os.path.exists(os.path.join(elsewhere, "iKVTRemote.exe")))
        self.assertTrue(os.path.exists(os.path.join(elsewhere, "docs", "readonly.txt")))
        self.assertIsNotNone(self.wine.reg_export(ENTRY_KEY))

        # A link a user made below it (the folder is writable by Users):
        # removed as a link, or, as Wine cannot remove one, left with the
        # entry; never followed.
        os.remove(tarvelo)
        shutil.move(elsewhere, tarvelo)
        victim = os.path.join(self.work, "victim")
        os.makedirs(victim)
        with open(os.path.join(victim, "keep.txt"), "w") as f:
            f.write("keep")
        os.symlink(victim, os.path.join(tarvelo, "docs", "link"))
        self.start_uninstaller("C:\\Tarvelo")
        self.answer("Return")  # the question
        self.answer("Return")  # the link stayed under Wine: the entry stays
        self.assertEqual(["keep.txt"], os.listdir(victim))
        self.assertFalse(os.path.exists(os.path.join(tarvelo, "iKVTRemote.exe")))

    def test_one_installer_or_uninstaller_at_a_time(self):
        self.publish_and_install()
        setup = os.path.join(ARGS.bin, "setup.exe")
        first = self.wine.start(setup)
        self.procs.append(first)
        self.wine.wait_setup_window()
        log = self.wine.read_log()
        self.assertTrue(log)

        # A second installer hands over to the first and ends, its log kept.
        second = self.wine.start(setup)
        self.procs.append(second)
        self.assertEqual(SETUP_OTHER_INSTANCE, second.wait(timeout=60))
        self.assertIsNone(first.poll())
        self.assertEqual(log, self.wine.read_log())
        # The uninstaller refuses (Escape would cancel its question instead).
        proc = self.start_uninstaller("C:\\Tarvelo")
        self.answer("Escape")
        self.assertEqual(EXIT_OTHER_INSTANCE, proc.wait(timeout=60))
        first.kill()
        first.wait(timeout=30)

        # An installer started during an uninstallation says so and ends.
        proc = self.start_uninstaller("C:\\Tarvelo")
        self.wine.wait_window(CAPTION, timeout=60)  # its question holds the lock
        installer = self.wine.start(setup)
        self.procs.append(installer)
        self.answer("Return", caption="提示")
        self.assertEqual(SETUP_OTHER_INSTANCE, installer.wait(timeout=60))
        self.assertEqual(log, self.wine.read_log())
        self.answer("Escape")
        self.assertEqual(EXIT_CANCELLED, proc.wait(timeout=60))
        self.assert_installation_whole()

    def test_dlls_planted_beside_the_uninstaller_are_never_loaded(self):
        # Its copy runs from the temporary folder, where anyone may drop a
        # DLL; uxtheme.dll is one loaded at run time, once a box is shown.
        folder = self.wine.host_path("C:\\temp\\planted")
        os.makedirs(folder)
        shutil.copy(os.path.join(ARGS.bin, "UnInstall.exe"), folder)
        harness.plant_dll(ARGS.planted_dll, os.path.join(folder, "UnInstall.exe"),
                          ("uxtheme.dll",))
        self.assertTrue(harness.planted_dll_loads(self.wine, ARGS.dll_control, folder,
                                                  ("uxtheme.dll",),
                                                  "uxtheme=n,b"),
                        "this Wine does not load a DLL from a program's folder at all")
        # Wine prefers its own builtin DLLs; ask for files found on the
        # search path first, as Windows does.
        proc = self.wine.start(os.path.join(folder, "UnInstall.exe"),
                               dll_overrides="uxtheme=n,b")
        self.procs.append(proc)
        self.answer("Return")  # no folder argument: refused in a message box
        self.assertEqual(EXIT_REFUSED, proc.wait(timeout=60))
        mark = self.wine.host_path("C:\\temp\\planted_dll_loaded.txt")
        self.assertFalse(os.path.exists(mark))

    def test_unattended_install_update_and_removal(self):
        before = self.snapshot()
        log_copy = os.path.join(self.work, "copy.log")
        code, out = self.publish_and_install("/S", "/LOG=" + harness.wine_path(log_copy))
        self.assertEqual(0, code, out)
        # Every start of the client is logged before the installer ends.
        self.assertNotIn("[CSetupDlg::OnTimer]", self.wine.read_log(), "/S started the client")
        self.assert_installation_whole()
        self.assertIn("client.zip: ", out)
        self.assertIn("docs.zip: ", out)
        self.assertIn("exit code 0", out)
        with open(log_copy, "rb") as f:
            self.assertEqual(self.wine.read_log(), f.read().decode("utf-16-le"))
        entry = self.wine.reg_export(ENTRY_KEY)
        quiet = entry["QuietUninstallString"]
        self.assertEqual(entry["UninstallString"].replace('" "', '" /S "'), quiet)
        self.assertEqual(time.strftime("%Y%m%d"), entry["InstallDate"])
        self.assertEqual("2.0", entry["DisplayVersion"])

        # An update with /LAUNCH starts the client, the way the window does
        # (whether through a desktop shell depends on what earlier cases of
        # this prefix left running; e2e_install checks the token path).
        code, out = self.run_setup("/s", "-launch")
        self.assertEqual(0, code, out)
        self.assertIn("[CSetupDlg::OnTimer]", self.wine.read_log())
        self.assertTrue(self.wine.wait_client_started(), self.wine.read_log())
        with open(self.wine.host_path("C:\\temp\\client_started.txt"), "rb") as f:
            self.assertIn("cwd=C:\\Tarvelo", f.read().decode("utf-16-le"))
        self.server.stop()
        self.server = None

        # The quiet uninstall string removes it all, asking nothing.
        exe, *arguments = [a or b for a, b in re.findall(r'"([^"]*)"|(\S+)', quiet)]
        self.assertEqual(["/S", "C:\\Tarvelo"], arguments)
        proc = self.wine.start(self.wine.host_path(exe), *arguments)
        self.procs.append(proc)
        self.assertEqual(EXIT_DONE, proc.wait(timeout=120))
        self.assertIsNone(self.wine.reg_export(ENTRY_KEY))
        self.assertFalse(os.path.exists(self.wine.host_path("C:\\Tarvelo")))
        # It ran from its own folder without handing over: that goes at
        # restart, under a name of its own.
        pending = self.pending_deletions()
        self.assertFalse(any(p.endswith("UnInstall Tarvelo\\UnInstall.exe") for p in pending),
                         pending)
        self.assertTrue(any(UNINSTALLER_ASIDE.search(p) for p in pending), pending)
        self.assertTrue(any(p.endswith("UnInstall Tarvelo") for p in pending), pending)
        left = self.snapshot() - before
        self.assertEqual(2, len(left), left)
        self.assertIn(os.path.join(".", "UnInstall Tarvelo"), left)
        self.assertTrue(any(UNINSTALLER_ASIDE.search(p) for p in left), left)

        # Installed again before that restart: the restart must not take
        # the new installation's uninstaller or its folder.
        self.server = testservers.DownloadServer(os.path.join(self.work, "server", "EX"),
                                                 port=ARGS.port).start()
        code, out = self.run_setup("/S")
        self.assertEqual(0, code, out)
        self.assertTrue(os.path.exists(self.wine.host_path("C:\\UnInstall Tarvelo\\UnInstall.exe")))
        pending = self.pending_deletions()
        self.assertFalse(any(p.endswith("UnInstall Tarvelo")
                             or p.endswith("UnInstall Tarvelo\\UnInstall.exe")
                             for p in pending), pending)

    def test_without_a_place_for_its_copy_it_removes_all_but_itself(self):
        before = self.snapshot()
        self.publish_and_install()
        # Earlier cases' deletions at restart are not this one's.
        self.wine.reg("delete", SESSION_KEY, "/v", "PendingFileRenameOperations", "/f")
        # No system Temp folder: no copy can take over.
        temp = os.path.join(self.wine.drive_c, "windows", "temp")
        aside = temp + ".aside"
        os.rename(temp, aside)
        try:
            proc = self.start_uninstaller("C:\\Tarvelo")
            self.answer("Return")  # the question
            self.answer("Return")  # done
            self.assertEqual(EXIT_DONE, proc.wait(timeout=60))
        finally:
            harness.remove_path(temp)
            os.rename(aside, temp)
        self.assertIsNone(self.wine.reg_export(ENTRY_KEY))
        # It (under a name of its own) and its folder, nothing else, wait
        # for the restart.
        pending = self.pending_deletions()
        self.assertTrue(any(UNINSTALLER_ASIDE.search(p) for p in pending), pending)
        self.assertTrue(any(p.endswith("UnInstall Tarvelo") for p in pending), pending)
        left = self.snapshot() - before
        self.assertEqual(2, len(left), left)
        self.assertIn(os.path.join(".", "UnInstall Tarvelo"), left)
        self.assertTrue(any(UNINSTALLER_ASIDE.search(p) for p in left), left)

    def test_publish_install_uninstall_leaves_only_the_log(self):
        before = self.snapshot()
        copies_before = set(self.temp_copies())
        self.publish_and_install()
        # What an installer killed mid-package leaves staged goes too.
        staged = self.wine.host_path("C:\\UnInstall Tarvelo\\packages")
        os.makedirs(staged)
        with open(os.path.join(staged, "client.zip"), "wb") as f:
            f.write(b"PK")

        # A link where earlier releases put it, on the user's own desktop.
        public = [link for link in self.desktop_links() if os.sep + "Public" + os.sep in link]
        self.assertEqual(1, len(public))
        own = glob.glob(os.path.join(self.wine.drive_c, "users", "*", "Desktop"))
        own = [d for d in own if os.sep + "Public" + os.sep not in d + os.sep]
        shutil.copy(public[0], own[0])
        self.assertEqual(2, len(self.desktop_links()))

        # The argument in another slash form and case is still the folder.
        proc = self.start_uninstaller("c:/tarvelo/")
        self.answer("Return")
        self.assertEqual(EXIT_DONE, proc.wait(timeout=60))
        # The copy in the temporary folder finishes the job and says so.
        self.answer("Return", shot="uninstall_done.png")
        deadline = time.time() + 120
        while os.path.exists(self.wine.host_path("C:\\UnInstall Tarvelo")) and \
                time.time() < deadline:
            time.sleep(0.3)

        self.assertIsNone(self.wine.reg_export(ENTRY_KEY))
        self.assertEqual([], self.desktop_links())
        self.assertFalse(os.path.exists(self.programs_folder()))
        after = self.snapshot()
        self.assertEqual(set(), after - before, "left behind")
        self.assertEqual(set(), before - after, "removed what was not ours")
        # The log stays; the temporary copy goes at the next restart.
        self.assertTrue(os.path.exists(self.wine.host_path("C:\\temp\\log.txt")))
        copies = sorted(set(self.temp_copies()) - copies_before)
        self.assertEqual(1, len(copies))
        pending = self.pending_deletions()
        folder = os.path.basename(os.path.dirname(copies[0]))
        self.assertTrue(any(p.endswith(folder + "\\UnInstall.exe") for p in pending), pending)
        self.assertTrue(any(p.endswith(folder) for p in pending), pending)


if __name__ == "__main__":
    harness.run_suite(globals())
