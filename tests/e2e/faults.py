"""Helpers for the fault-injection suite: packages good and broken, the
server's rule files, what the user sees on the window, and the state of the
machine after a run."""
import os
import struct
import subprocess
import time
import zlib

UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvelo"
# The release floor, which uninstalling leaves.
FLOOR_KEY = "HKLM\\SOFTWARE\\Tarvelo"


def stored_zip(name, data, crc=None):
    """One stored entry, byte by byte, so its CRC field can be wrong."""
    name_b = name.encode("ascii")
    crc = zlib.crc32(data) if crc is None else crc
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, crc, len(data), len(data),
                        len(name_b), 0) + name_b + data
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0, crc, len(data),
                          len(data), len(name_b), 0, 0, 0, 0, 0x20, 0) + name_b
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local), 0)
    return local + central + end


def rule(root, name, **rules):
    with open(os.path.join(root, name + ".rule"), "w", encoding="utf-8") as f:
        for key, value in rules.items():
            f.write("%s=%s\n" % (key, value))


def red_status_pixels(wine, wid):
    """How many pixels of the status line (the band above the progress bar)
    are the failure text's red."""
    w, h, rgb = wine.window_pixels(wid)
    count = 0
    for y in range(318, min(h, 344)):
        row = rgb[3 * w * y: 3 * w * (y + 1)]
        for i in range(0, len(row) - 2, 3):
            if row[i] > 180 and row[i + 1] < 90 and row[i + 2] < 90:
                count += 1
    return count


def find_window(wine, title, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        out = wine.xdotool("search", "--all", "--onlyvisible", "--name", "^%s$" % title,
                           check=False)
        if out.split():
            return out.split()[-1]
        time.sleep(0.3)
    return None


def press_key_on(wine, wid, key="Return"):
    wine.xdotool("windowfocus", "--sync", wid, check=False)
    time.sleep(0.3)
    wine.xdotool("key", key, check=False)


def set_proxy(wine, port):
    key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
    if port:
        wine.reg("add", key, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1", "/f")
        wine.reg("add", key, "/v", "ProxyServer", "/t", "REG_SZ", "/d",
                 "127.0.0.1:%d" % port, "/f")
    else:
        wine.reg("add", key, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "0", "/f")
        wine.reg("delete", key, "/v", "ProxyServer", "/f")
