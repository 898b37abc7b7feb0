"""Drives the real setup.exe under Wine in the test run's own environment.

The environment (prefix, HOME, display) is the one tests/testenv made; its
folder is given in the TESTENV environment variable or --testenv.
"""
import argparse
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import peimage  # noqa: E402


def wine_path(host_path):
    """A host file's name as a Wine program sees it (drive Z: is /)."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


class WineEnv:
    def __init__(self, envdir):
        self.envdir = envdir
        self.env = dict(os.environ)
        with open(os.path.join(envdir, "env"), encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if not line.startswith("export "):
                    continue
                for item in shlex.split(line[len("export "):]):
                    key, _, value = item.partition("=")
                    self.env[key] = value
        self.wine = self.env["WINE"]
        # The programs keep a program's default registry view: for a 32-bit
        # one, HKLM\Software is the 32-bit view (WOW6432Node).
        self.reg_view = "/reg:32" if self.env.get("SETUP_ARCH") == "i686" else "/reg:64"
        self.prefix = self.env["WINEPREFIX"]
        self.drive_c = os.path.join(self.prefix, "drive_c")

    def host_path(self, win_path):
        """C:\\a\\b -> the prefix's file for it."""
        assert win_path[:3].upper() == "C:\\", win_path
        return os.path.join(self.drive_c, *win_path[3:].split("\\"))

    def start(self, exe, *args, dll_overrides=None):
        """Starts a Windows program; its output goes to a file, not a pipe
        (Wine's services would hold a pipe open). dll_overrides is added to
        WINEDLLOVERRIDES."""
        out = tempfile.NamedTemporaryFile(
            prefix="wine-out.", dir=self.envdir, delete=False)
        env = dict(self.env)
        if dll_overrides:
            env["WINEDLLOVERRIDES"] = env.get("WINEDLLOVERRIDES", "") + ";" + dll_overrides
        proc = subprocess.Popen([self.wine, exe, *args], env=env,
                                stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT)
        proc.out_path = out.name
        out.close()
        return proc

    def client_started(self):
        """Whether the stand-in client (tests/e2e/FakeClient.cpp) ran."""
        return os.path.exists(self.host_path("C:\\temp\\client_started.txt"))

    def wait_client_started(self, timeout=30):
        deadline = time.time() + timeout
        while not self.client_started() and time.time() < deadline:
            time.sleep(0.3)
        return self.client_started()

    def start_running_client(self, exe, timeout=30):
        """Starts the stand-in for a running client and returns once it
        runs (it makes the file it is given)."""
        mark = self.host_path("C:\\temp\\running_client.txt")
        remove_path(mark)
        proc = self.start(exe, "C:\\temp\\running_client.txt")
        deadline = time.time() + timeout
        while not os.path.exists(mark):
            if proc.poll() is not None or time.time() > deadline:
                proc.kill()
                raise RuntimeError("the running client did not start")
            time.sleep(0.1)
        return proc

    def run(self, exe, *args, timeout=120):
        proc = self.start(exe, *args)
        proc.wait(timeout=timeout)
        return proc.returncode

    def xdotool(self, *args, check=True):
        res = subprocess.run(["xdotool", *args], env=self.env,
                             capture_output=True, text=True, timeout=30)
        if check and res.returncode != 0:
            raise RuntimeError("xdotool %s: %s" % (args, res.stderr))
        return res.stdout

    def wait_window(self, name_pattern=None, timeout=60, size=None):
        """Id of a visible window whose name matches (and whose size is
        `size`, if given), polled until timeout. Wine's own desktop window
        matches any name, hence the size."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            args = ["search", "--all", "--onlyvisible"]
            args += ["--name", name_pattern] if name_pattern else ["--class", ".*"]
            out = self.xdotool(*args, check=False)
            for wid in out.split():
                geo = self.geometry(wid)
                if geo and (size is None or geo[2:] == tuple(size)):
                    return wid
            time.sleep(0.3)
        raise TimeoutError("no window %r" % name_pattern)

    def window_pixels(self, wid):
        """The window's pixels as (width, height, bytes RGB), through a PPM."""
        res = subprocess.run(["import", "-window", wid, "-depth", "8", "ppm:-"], env=self.env,
                             capture_output=True, timeout=30)
        # P6\n<w> <h>\n<max>\n<rgb...>; ImageMagick writes no comments.
        fields = res.stdout.split(b"\n", 3)
        if len(fields) < 4 or fields[0] != b"P6":
            return 0, 0, b""
        w, h = (int(x) for x in fields[1].split())
        return w, h, fields[3]

    def wait_setup_window(self, timeout=60, scale=1):
        """The setup window, once it is painted (its red install button
        shows): from then on it takes clicks and keys. scale: the display's
        (1.5 at 144 DPI), by which the window's size and parts grow."""
        size = tuple(int(n * scale) for n in SETUP_WINDOW_SIZE)
        wid = self.wait_window("", timeout=timeout, size=size)
        deadline = time.time() + timeout
        while time.time() < deadline:
            w, h, rgb = self.window_pixels(wid)
            i = 3 * (w * int(310 * scale) + int(200 * scale))
            if w and len(rgb) > i + 2 and rgb[i] > 180 and rgb[i + 1] < 110 and rgb[i + 2] < 110:
                return wid
            time.sleep(0.2)
        raise TimeoutError("the setup window was never painted")

    def geometry(self, wid):
        out = self.xdotool("getwindowgeometry", "--shell", wid, check=False)
        vals = dict(re.findall(r"(\w+)=(\d+)", out))
        if not vals:
            return None
        return (int(vals["X"]), int(vals["Y"]), int(vals["WIDTH"]),
                int(vals["HEIGHT"]))

    def click(self, wid, x, y):
        self.xdotool("mousemove", "--window", wid, str(x), str(y))
        time.sleep(0.2)
        self.xdotool("click", "1")

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.env,
                       timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def reg(self, *args, timeout=60):
        """Wine's reg command in the programs' registry view."""
        return self.run("reg", *args, self.reg_view, timeout=timeout)

    def reg_export(self, key):
        """The key's values as {name: data} (REG_SZ only), read through a
        UTF-16 export (reg query mangles Chinese)."""
        out = os.path.join(self.envdir, "export.reg")
        if os.path.exists(out):
            os.remove(out)
        self.reg("export", key, wine_path(out), "/y")
        if not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            text = f.read().decode("utf-16")
        values = {}
        for m in re.finditer(r'^"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"\s*$',
                             text, re.M):
            unescape = lambda s: s.replace('\\"', '"').replace("\\\\", "\\")
            values[unescape(m.group(1))] = unescape(m.group(2))
        return values

    def import_reg(self, text):
        """Imports registry text with regedit, through a UTF-16 file
        (the command line mangles Chinese names)."""
        path = os.path.join(self.envdir, "import.reg")
        with open(path, "wb") as f:
            f.write(("Windows Registry Editor Version 5.00\r\n\r\n" + text.replace("\n", "\r\n"))
                    .encode("utf-16"))
        return self.run("regedit", "/S", wine_path(path), timeout=60)

    def pixel(self, png, x, y):
        """(r, g, b) of one pixel of a screenshot."""
        out = subprocess.run(["convert-im6.q16", png, "-crop", "1x1+%d+%d" % (x, y),
                              "-depth", "8", "txt:-"], capture_output=True, text=True,
                             timeout=30).stdout
        m = re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[-1])
        return tuple(int(v) for v in m.groups())

    def read_log(self):
        path = self.host_path("C:\\temp\\log.txt")
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as f:
            return f.read().decode("utf-16-le")


SETUP_WINDOW_TEXT = "塔维罗安装程序"
SETUP_WINDOW_SIZE = (530, 360)


def remove_path(path):
    """Removes a file, a folder tree, or a link standing where one was
    (rmtree refuses a link and a file)."""
    if os.path.islink(path) or os.path.isfile(path):
        os.remove(path)
    shutil.rmtree(path, ignore_errors=True)


def plant_dll(dll, exe, names):
    """Copies the test DLL beside exe under each name. It must be built for
    exe's own architecture: the loader skips a DLL of the other one, so
    planting that would prove nothing."""
    if peimage.machine(dll) != peimage.machine(exe):
        raise AssertionError("%s is not built for the architecture of %s" % (dll, exe))
    for name in names:
        shutil.copy(dll, os.path.join(os.path.dirname(exe), name))


def planted_dll_loads(wine, control_exe, folder, names, overrides):
    """The positive control of a planted-DLL case: a program without the
    restriction, started from the same folder with the same overrides,
    loads the planted copies (else the case would prove nothing). Leaves no
    mark behind."""
    control = os.path.join(folder, "dll-control.exe")
    shutil.copy(control_exe, control)
    mark = wine.host_path("C:\\temp\\planted_dll_loaded.txt")
    proc = wine.start(control, *names, dll_overrides=overrides)
    code = proc.wait(timeout=60)
    loaded = os.path.exists(mark)
    if loaded:
        os.remove(mark)
    os.remove(control)
    return code == 0 and loaded


def setup_list_bytes(lines):
    """The setup list as the server holds it: UTF-16LE with BOM, CR LF."""
    return b"\xff\xfe" + "".join(l + "\r\n" for l in lines).encode("utf-16-le")


def make_zip(files):
    """A deflated zip of {name: data}."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data)
    return buf.getvalue()


def parse_e2e_args():
    """The command line CTest gives every end-to-end suite; each suite uses
    what it needs. Returns (args, the rest for unittest)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--testenv", required=True)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--running-client")
    parser.add_argument("--planted-dll")
    parser.add_argument("--dll-control")
    parser.add_argument("--post-close")
    parser.add_argument("--acc-probe")
    parser.add_argument("--shots")
    parser.add_argument("--tls-bin")
    parser.add_argument("--tls-port", type=int)
    parser.add_argument("--add-root-cert")
    parser.add_argument("--signed-bin")
    parser.add_argument("--signed-ports", type=lambda s: [int(p) for p in s.split(",")])
    parser.add_argument("--sign-key")
    return parser.parse_known_args()


def run_suite(suite_globals):
    """Runs the calling suite's tests with the shared command line parsed
    into its ARGS."""
    args, rest = parse_e2e_args()
    suite_globals["ARGS"] = args
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
