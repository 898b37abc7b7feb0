#!/usr/bin/env python3
"""Runs a test program with a download server and an authenticating proxy.

  with_servers.py --testenv DIR -- COMMAND...

Starts both servers on loopback ports of their own choosing over a fresh
folder, runs COMMAND with these in its environment, stops them and exits
with COMMAND's code:

  TEST_SERVER_PORT, TEST_PROXY_PORT    the servers' ports
  TEST_SERVE_DIR                       the served folder, as a Wine path (Z:\\...)
  TEST_PROXY_USER, TEST_PROXY_PASSWORD the credentials the proxy accepts

While COMMAND runs, a typist answers the proxy dialog with real key strokes
(xdotool on the test display): COMMAND writes the file "xdo-request" in the
served folder (lines: name, password, "ok" or "cancel") and the typist types
them into the next dialog that shows, then removes the file.
"""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testservers  # noqa: E402

USER = "tester"
PASSWORD = "s3cret-Pass"
DIALOG_TITLE = "代理验证"


def read_display(testenv):
    try:
        with open(os.path.join(testenv, "env"), encoding="utf-8") as f:
            for line in f:
                for word in shlex.split(line):
                    if word.startswith("DISPLAY="):
                        return word[len("DISPLAY="):]
    except FileNotFoundError:
        pass
    return None


def xdo(display, *args):
    env = dict(os.environ, DISPLAY=display)
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True,
                          timeout=30)


def typist(root, display, stop):
    request = os.path.join(root, "xdo-request")
    while not stop.is_set():
        time.sleep(0.2)
        if not os.path.exists(request):
            continue
        found = xdo(display, "search", "--all", "--onlyvisible", "--name", f"^{DIALOG_TITLE}$")
        windows = found.stdout.split()
        if not windows:
            continue
        with open(request, encoding="utf-8") as f:
            name, password, action = (f.read().splitlines() + ["", "", ""])[:3]
        xdo(display, "windowfocus", "--sync", windows[-1])
        time.sleep(0.3)
        if action == "ok":
            # Focus starts on OK; two tabs reach the name edit.
            xdo(display, "key", "--delay", "50", "Tab", "Tab")
            xdo(display, "type", "--delay", "30", name)
            xdo(display, "key", "Tab")
            xdo(display, "type", "--delay", "30", password)
            xdo(display, "key", "Return")
        else:
            xdo(display, "key", "Escape")
        os.remove(request)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--testenv", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    root = tempfile.mkdtemp(prefix="srv_", dir=os.path.abspath(args.testenv))
    server = testservers.DownloadServer(root).start()
    proxy = testservers.ProxyServer(server.port, USER, PASSWORD,
                                    os.path.join(root, "proxy.log")).start()
    env = dict(os.environ)
    for key in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                "ALL_PROXY", "no_proxy", "NO_PROXY"):
        env.pop(key, None)
    env.update(TEST_SERVER_PORT=str(server.port), TEST_PROXY_PORT=str(proxy.port),
               TEST_SERVE_DIR="Z:" + root.replace("/", "\\"),
               TEST_PROXY_USER=USER, TEST_PROXY_PASSWORD=PASSWORD)

    stop = threading.Event()
    display = read_display(args.testenv)
    if display and shutil.which("xdotool"):
        env["TEST_TYPIST"] = "1"
        threading.Thread(target=typist, args=(root, display, stop), daemon=True).start()
    try:
        code = subprocess.call(command, env=env)
    finally:
        stop.set()
        proxy.stop()
        server.stop()
        shutil.rmtree(root, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
