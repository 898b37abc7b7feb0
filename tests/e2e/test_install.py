#!/usr/bin/env python3
"""End-to-end: the real setup.exe under Wine against a loopback download
server, driven with the mouse on the test display.

  test_install.py --testenv DIR --bin DIR --client EXE --running-client EXE
                  --planted-dll DLL --port N [--shots DIR]
"""
import glob
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "servers"))
import faults  # noqa: E402
import harness  # noqa: E402
import peimage  # noqa: E402
import testservers  # noqa: E402

ARGS = None
INSTALL_BUTTON = (272, 310)
CLOSE_BUTTON = (515, 16)



class InstallerTest(unittest.TestCase):
    def setUp(self):
        self.wine = harness.WineEnv(ARGS.testenv)
        self.root = tempfile.mkdtemp(prefix="e2e_", dir=ARGS.testenv)
        self.ex = self.root  # served as /EX/
        self.server = testservers.DownloadServer(self.root, port=ARGS.port).start()
        for path in ("C:\\Tarvelo", "C:\\temp"):
            shutil.rmtree(self.wine.host_path(path), ignore_errors=True)
        os.makedirs(self.wine.host_path("C:\\temp"), exist_ok=True)
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)
        self.server.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def serve(self, name, data):
        with open(os.path.join(self.ex, name), "wb") as f:
            f.write(data)

    def start_setup(self, scale=1):
        self.proc = self.wine.start(os.path.join(ARGS.bin, "setup.exe"))
        return self.wine.wait_setup_window(scale=scale)

    def shot(self, name):
        if ARGS.shots:
            os.makedirs(ARGS.shots, exist_ok=True)
            self.wine.screenshot(os.path.join(ARGS.shots, name))

    def wait_exit(self, timeout):
        self.proc.wait(timeout=timeout)

    def wait_log(self, text, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.wine.read_log():
                return
            time.sleep(0.3)
        self.fail("log never said %r:\n%s" % (text, self.wine.read_log()))

    def test_complete_install_registers_and_launches_the_client(self):
        with open(ARGS.client, "rb") as f:
            client = f.read()
        self.serve("base.zip", harness.make_zip({
            "iKVTRemote.exe": client,
            "favicon.ico": b"\0\0\1\0",
            "config/ORB.System.config": "[Client]\r\nName=orb\r\n",
        }))
        self.serve("extra.zip", harness.make_zip({"data/readme.txt": "说明"}))
        self.serve("UnInstall.exe", client)
        # Kind 2 needs a font this prefix lacks: listed, never fetched.
        self.serve("orbsetup.txt", harness.setup_list_bytes(
            ["base.zip;1;1", "fontonly.zip;1;2", "extra.zip;1;1"]))
        # An earlier installation is wiped first.
        os.makedirs(self.wine.host_path("C:\\Tarvelo"), exist_ok=True)
        with open(self.wine.host_path("C:\\Tarvelo\\stale.txt"), "w") as f:
            f.write("old")

        wid = self.start_setup()
        self.shot("idle.png")
        self.wine.click(wid, *INSTALL_BUTTON)
        time.sleep(2)
        self.shot("installing.png")
        self.wait_exit(180)

        started = self.wine.host_path("C:\\temp\\client_started.txt")
        self.assertTrue(self.wine.wait_client_started(), self.wine.read_log())
        with open(started, "rb") as f:
            record = f.read().decode("utf-16-le")
        self.assertIn("cwd=C:\\Tarvelo", record)
        # No desktop shell here: the fallback's token has no administrator rights.
        self.assertIn("admin=0", record)

        tarvelo = self.wine.host_path("C:\\Tarvelo")
        self.assertFalse(os.path.exists(os.path.join(tarvelo, "stale.txt")))
        with open(os.path.join(tarvelo, "data", "readme.txt"), encoding="utf-8") as f:
            self.assertEqual("说明", f.read())
        with open(os.path.join(tarvelo, "config", "ORB.System.config"), "rb") as f:
            config = f.read()
        config = config.decode("utf-16") if config[:2] == b"\xff\xfe" else config.decode()
        self.assertIn("Name=orb", config)
        self.assertIn("Version=2", config)
        uninstaller = self.wine.host_path("C:\\UnInstall Tarvelo\\UnInstall.exe")
        with open(uninstaller, "rb") as f:
            self.assertEqual(client, f.read())
        # Staged packages and their folder are gone; the uninstaller is alone.
        self.assertEqual(["UnInstall.exe"],
                         os.listdir(self.wine.host_path("C:\\UnInstall Tarvelo")))
        # Wine keeps no access list: it turns the one a program sets into
        # Unix modes (Administrators' entry gives the group write, a list
        # without Everyone leaves others nothing). So this shows that a list
        # was set on each, not which; C:\temp, made here without one, is 755.
        def mode(path):
            return os.stat(self.wine.host_path(path)).st_mode & 0o777
        self.assertEqual(0o755, mode("C:\\temp"))
        for folder in ("C:\\Tarvelo", "C:\\UnInstall Tarvelo"):
            self.assertTrue(mode(folder) & 0o020, (folder, oct(mode(folder))))
        self.assertEqual(0, mode("C:\\UnInstall Tarvelo\\UnInstall.exe") & 0o007)

        log = self.wine.read_log()
        order = ["[CSetupDlg::GetDestPath] setuppath=C:\\Tarvelo UnInstallPath=C:\\UnInstall Tarvelo",
                 "[CSetupDlg::Execute] release not verified: this build has no release key",
                 "[CSetupDlg::Execute] download orbsetup.txt sccuss",
                 "[CSetupDlg::Execute] download base.zip sccuss",
                 "[CSetupDlg::Execute] download extra.zip sccuss",
                 "[CSetupDlg::DownloadUninstallFile] Download UnInstall.exe seccuss",
                 "[CSetupDlg::WriteRegistry] UninstallString",
                 # No desktop shell under the test display to start it as the
                 # user: started as before, and said so.
                 "[CSetupDlg::OnTimer] no desktop shell: C:\\Tarvelo\\iKVTRemote.exe"]
        positions = [log.find(line) for line in order]
        self.assertNotIn(-1, positions, log)
        self.assertEqual(sorted(positions), positions, log)
        self.assertNotIn("fontonly.zip", log)

        values = self.wine.reg_export(
            "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvelo")
        self.assertIsNotNone(values)
        self.assertIn("UninstallString", values)
        self.assertIn("UnInstall.exe", values["UninstallString"])

        programs = os.path.join(self.wine.drive_c, "ProgramData", "Microsoft", "Windows",
                                "Start Menu", "Programs", "塔维罗")
        self.assertTrue(os.path.exists(os.path.join(programs, "塔维罗.lnk")), programs)
        self.assertTrue(os.path.exists(os.path.join(programs, "卸载塔维罗.lnk")))
        # On the all-users desktop only, never the elevated account's own.
        desktop = glob.glob(os.path.join(self.wine.drive_c, "users", "*", "Desktop", "塔维罗.lnk"))
        self.assertEqual([os.path.join(self.wine.drive_c, "users", "Public", "Desktop",
                                       "塔维罗.lnk")], desktop)

    def test_a_running_client_blocks_the_install_until_it_ends(self):
        with open(ARGS.client, "rb") as f:
            client = f.read()
        self.serve("base.zip", harness.make_zip({"iKVTRemote.exe": client}))
        self.serve("UnInstall.exe", client)
        self.serve("orbsetup.txt", harness.setup_list_bytes(["base.zip;1;1"]))
        # Another copy of the client, started from another folder.
        running = self.wine.start_running_client(ARGS.running_client)
        try:
            wid = self.start_setup()
            self.wine.click(wid, *INSTALL_BUTTON)
            box = self.wine.wait_window("^提示$", timeout=30)
            self.shot("client_running.png")
            self.wine.xdotool("windowfocus", "--sync", box)
            self.wine.xdotool("key", "Return")
            time.sleep(2)
            self.assertNotIn("orbsetup", self.wine.read_log())
            self.assertIsNone(self.proc.poll())
        finally:
            running.kill()
            running.wait(timeout=30)
        time.sleep(1)
        # Once the client is gone, the same click installs.
        self.wine.click(wid, *INSTALL_BUTTON)
        self.wait_exit(120)
        self.assertIn("[CSetupDlg::Execute] download base.zip sccuss", self.wine.read_log())

    def test_dlls_planted_beside_setup_are_never_loaded(self):
        # The download folder a user runs setup.exe from may hold anything.
        downloads = os.path.join(self.root, "Downloads")
        os.makedirs(downloads)
        shutil.copy(os.path.join(ARGS.bin, "setup.exe"), downloads)
        harness.plant_dll(ARGS.planted_dll, os.path.join(downloads, "setup.exe"),
                          ("gdiplus.dll", "wininet.dll"))
        mark = self.wine.host_path("C:\\temp\\planted_dll_loaded.txt")
        self.serve("orbsetup.txt", harness.setup_list_bytes(["a;b"]))
        self.assertTrue(harness.planted_dll_loads(self.wine, ARGS.dll_control, downloads,
                                                  ("gdiplus.dll", "wininet.dll"),
                                                  "gdiplus,wininet=n,b"),
                        "this Wine does not load a DLL from a program's folder at all")

        # Wine prefers its own builtin DLLs; ask for files found on the
        # search path first, as Windows does for these.
        self.proc = self.wine.start(os.path.join(downloads, "setup.exe"),
                                    dll_overrides="gdiplus,wininet=n,b")
        wid = self.wine.wait_setup_window()
        self.wine.click(wid, *INSTALL_BUTTON)  # the download needs wininet
        self.wait_log("[CSetupDlg::Execute]Setupconfig.txt no content", 60)
        self.wine.click(wid, *CLOSE_BUTTON)
        self.wait_exit(60)
        self.assertFalse(os.path.exists(mark))

    def test_window_is_centred_skinned_and_dragged_by_its_body(self):
        self.serve("orbsetup.txt", harness.setup_list_bytes(["a;b"]))
        wid = self.start_setup()
        x, y, w, h = self.wine.geometry(wid)
        self.assertEqual((530, 360), (w, h))
        self.assertEqual(((1280 - 530) // 2, (1024 - 360) // 2), (x, y))
        shot = os.path.join(self.root, "idle.png")
        self.wine.screenshot(shot)
        r, g, b = self.wine.pixel(shot, x + 200, y + 310)  # the red install button
        self.assertTrue(r > 180 and g < 110 and b < 110, (r, g, b))
        r, g, b = self.wine.pixel(shot, x + 100, y + 200)  # the blue field
        self.assertTrue(b > r + 40, (r, g, b))

        # Pressing on the body and moving drags the window.
        self.wine.xdotool("mousemove", "--window", wid, "100", "200")
        self.wine.xdotool("mousedown", "1")
        for step in range(1, 6):
            time.sleep(0.1)
            self.wine.xdotool("mousemove", str(x + 100 + 12 * step), str(y + 200 + 8 * step))
        self.wine.xdotool("mouseup", "1")
        time.sleep(1)
        nx, ny, _, _ = self.wine.geometry(wid)
        self.assertEqual((x + 60, y + 40), (nx, ny))

        # Installing: the first slide, the empty track, "0%"; then a failure.
        self.wine.click(wid, *INSTALL_BUTTON)
        self.wait_log("[Error]", 60)
        time.sleep(1)
        self.wine.screenshot(shot)
        r, g, b = self.wine.pixel(shot, nx + 100, ny + 349)  # the grey track
        self.assertTrue(abs(r - g) < 12 and abs(g - b) < 12 and 200 < r < 245, (r, g, b))
        # The status strip: white, with the failure written on it in red.
        w, h, rgb = self.wine.window_pixels(wid)
        row = rgb[3 * w * 332: 3 * w * 333]
        white = sum(1 for i in range(0, len(row), 3) if min(row[i:i + 3]) > 200)
        self.assertGreater(white, w // 2, "the status strip is not white")
        self.assertGreater(faults.red_status_pixels(self.wine, wid), 40, "no red failure text")
        self.wine.click(wid, *CLOSE_BUTTON)
        self.wait_exit(60)

    def set_display_dpi(self, dpi):
        """Wine's display scale, read by each program as it starts."""
        self.wine.import_reg(
            "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"LogPixels\"=dword:%08x\n\n"
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current"
            "\\Software\\Fonts]\n\"LogPixels\"=dword:%08x\n" % (dpi, dpi))

    def rows_where(self, wid, x0, x1, y0, y1, test):
        """The rows of the window's box [x0, x1) x [y0, y1) that hold a pixel
        passing test(r, g, b)."""
        w, h, rgb = self.wine.window_pixels(wid)
        rows = []
        for y in range(y0, min(y1, h)):
            for x in range(x0, min(x1, w)):
                i = 3 * (w * y + x)
                if test(rgb[i], rgb[i + 1], rgb[i + 2]):
                    rows.append(y)
                    break
        return rows

    def test_at_150_percent_the_window_its_parts_and_text_scale(self):
        # Windows scales by the monitor only for a program that says it lays
        # itself out (Wine lets every program see the DPI): per monitor v2,
        # else the system's scale, in the manifest.
        manifest = peimage.Image(os.path.join(ARGS.bin, "setup.exe")).resource(24).decode()
        settings = {m.group(1): m.group(2).strip() for m in
                    re.finditer(r"<(dpiAware\w*) [^>]*>([^<]*)<", manifest)}
        self.assertEqual({"dpiAware": "true", "dpiAwareness": "PerMonitorV2, System"}, settings)
        self.serve("orbsetup.txt", harness.setup_list_bytes(["a;b"]))
        self.set_display_dpi(144)
        self.addCleanup(self.set_display_dpi, 96)
        wid = self.start_setup(scale=1.5)
        x, y, w, h = self.wine.geometry(wid)
        self.assertEqual((795, 540), (w, h))
        self.assertEqual(((1280 - 795) // 2, (1024 - 540) // 2), (x, y))
        self.shot("idle-150.png")
        shot = os.path.join(self.root, "idle.png")
        self.wine.screenshot(shot)
        r, g, b = self.wine.pixel(shot, x + 300, y + 465)  # the install button, scaled
        self.assertTrue(r > 180 and g < 110 and b < 110, (r, g, b))
        r, g, b = self.wine.pixel(shot, x + 200, y + 310)  # unscaled, it would be there
        self.assertTrue(b > r + 40, (r, g, b))

        self.wine.click(wid, 408, 465)
        self.wait_log("[Error]", 60)
        time.sleep(1)
        self.shot("failed-150.png")
        grey = lambda r, g, b: abs(r - g) < 12 and abs(g - b) < 12 and 200 < r < 245
        red = lambda r, g, b: r > 180 and g < 90 and b < 90
        dark = lambda r, g, b: max(r, g, b) < 120
        # The track fills rows 519 to 530 (346 to 353 at 100 %).
        self.assertEqual(list(range(519, 531)), self.rows_where(wid, 100, 400, 500, 540, grey))
        # The failure text, in the status strip, as tall as a 21-pixel font
        # draws it: at 100 % no glyph is taller than 14 rows.
        rows = self.rows_where(wid, 51, 741, 480, 519, red)
        self.assertTrue(rows and rows[0] >= 486 and rows[-1] < 513, rows)
        self.assertGreater(rows[-1] - rows[0] + 1, 14, rows)
        # "0%" right of the bar, where the scaled label sits.
        rows = self.rows_where(wid, 735, 788, 511, 539, dark)
        self.assertGreater(len(rows), 10, rows)
        self.wine.click(wid, 772, 24)  # the close button, scaled
        self.wait_exit(60)

    def test_tab_reaches_the_install_button_and_enter_presses_it(self):
        self.serve("orbsetup.txt", harness.setup_list_bytes(["a;b"]))
        wid = self.start_setup()
        self.wine.xdotool("windowfocus", "--sync", wid)
        # Close, then back: Tab runs install, minimise, close, and round.
        self.wine.xdotool("key", "Tab", "Tab", "Tab", "Tab")
        time.sleep(1)
        white = lambda r, g, b: min(r, g, b) > 200
        # The focus frame around the install button, in the skin's white.
        self.assertEqual(list(range(283, 337)), self.rows_where(wid, 181, 184, 270, 350, white))
        self.wine.xdotool("key", "Return")
        self.wait_log("[CSetupDlg::Execute]Setupconfig.txt no content", 60)
        self.wine.click(wid, *CLOSE_BUTTON)
        self.wait_exit(60)

    def test_a_screen_reader_finds_the_buttons_the_progress_and_the_failure(self):
        self.serve("base.zip", harness.make_zip({"a.txt": "a"}))
        self.serve("bad.zip", b"<html>this is not a zip</html>" * 10)
        self.serve("orbsetup.txt", harness.setup_list_bytes(["base.zip;1;1", "bad.zip;1;1"]))
        wid = self.start_setup()
        self.wine.click(wid, *INSTALL_BUTTON)
        self.wait_log("[CSetupDlg::Execute] extract bad.zip failed", 120)
        deadline = time.time() + 30
        while faults.red_status_pixels(self.wine, wid) <= 40:
            self.assertLess(time.time(), deadline, "no red failure text on the window")
            time.sleep(0.3)
        out = os.path.join(self.root, "acc.txt")
        code = self.wine.run(ARGS.acc_probe, harness.SETUP_WINDOW_TEXT, harness.wine_path(out))
        self.assertEqual(0, code, "the window gave no accessible object")
        with open(out, encoding="utf-8") as f:
            parts = [line.rstrip("\n").split("\t") for line in f]
        # id, role, name, value, default action, state
        by_name = {p[2]: p for p in parts[1:]}
        for name in ("立即安装", "最小化", "关闭"):
            self.assertIn(name, by_name, parts)
            self.assertEqual("43", by_name[name][1], parts)  # ROLE_SYSTEM_PUSHBUTTON
            self.assertEqual("按下", by_name[name][4], parts)
        self.assertTrue(int(by_name["立即安装"][5]) & 0x1, parts)  # unavailable now
        progress = [p for p in parts if p[1] == "48"]  # ROLE_SYSTEM_PROGRESSBAR
        self.assertEqual(1, len(progress), parts)
        self.assertRegex(progress[0][3], r"^[1-9][0-9]?%$")
        status = [p for p in parts if p[1] == "41"]  # ROLE_SYSTEM_STATICTEXT
        self.assertEqual(1, len(status), parts)
        self.assertIn("bad.zip", status[0][2])
        self.assertFalse(int(status[0][5]) & 0x8000, parts)  # visible
        self.wine.click(wid, *CLOSE_BUTTON)
        self.wait_exit(60)

    def test_kind_two_applies_where_the_font_is_installed(self):
        with open(ARGS.client, "rb") as f:
            client = f.read()
        self.serve("base.zip", harness.make_zip({"iKVTRemote.exe": client}))
        self.serve("yahei.zip", harness.make_zip({"fonts/yahei.txt": "2"}))
        self.serve("noyahei.zip", harness.make_zip({"fonts/noyahei.txt": "3"}))
        self.serve("UnInstall.exe", client)
        self.serve("orbsetup.txt", harness.setup_list_bytes(
            ["base.zip;1;1", "yahei.zip;1;2", "noyahei.zip;1;3"]))
        key = "[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\n"
        self.wine.import_reg(key + '"微软雅黑"="WenQuanYi Micro Hei"\n')
        try:
            wid = self.start_setup()
            self.wine.click(wid, *INSTALL_BUTTON)
            self.wait_exit(120)
        finally:
            self.wine.import_reg(key + '"微软雅黑"=-\n')
        fonts = self.wine.host_path("C:\\Tarvelo\\fonts")
        self.assertEqual(["yahei.txt"], sorted(os.listdir(fonts)))
        self.assertNotIn("noyahei.zip", self.wine.read_log())

    def test_a_list_without_entries_stops_before_touching_the_installation(self):
        self.serve("orbsetup.txt", harness.setup_list_bytes(["only;two", "a;b;c;d"]))
        os.makedirs(self.wine.host_path("C:\\Tarvelo"), exist_ok=True)
        keep = self.wine.host_path("C:\\Tarvelo\\keep.txt")
        with open(keep, "w") as f:
            f.write("keep")

        wid = self.start_setup()
        self.wine.click(wid, *INSTALL_BUTTON)
        self.wait_log("[Error]", 60)
        time.sleep(1)
        self.shot("failed.png")
        self.assertIn("[CSetupDlg::Execute]Setupconfig.txt no content", self.wine.read_log())
        self.assertTrue(os.path.exists(keep))
        # After a failure the close button closes at once, without a question.
        self.wine.click(wid, *CLOSE_BUTTON)
        self.wait_exit(60)


if __name__ == "__main__":
    harness.run_suite(globals())
