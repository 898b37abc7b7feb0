#!/usr/bin/env python3
"""The local demo: publishes the sample release, serves it on loopback and
runs setup.exe under Wine in a Wine prefix of the demo's own.

  run_demo.py --build DIR --port N [--sign-key KEY.pem] [--headless] [--https]

With a display (DISPLAY set, no --headless) the setup window opens there for
you to click. Without one it runs in a virtual display, clicks install
itself, saves screenshots and reports whether the installation succeeded.

It runs the setup.exe of the build folder it is given, under Wine's 32-bit
subsystem when that is an i686 program (scripts/demo builds that where this
machine executes 32-bit code) and under 64-bit Wine when it is the x86-64
build of the same sources (where it cannot). With --sign-key the release is
signed, and the build must carry the key's public half.

With --https, nginx serves the release on https://localhost:N with a server
certificate from an authority made for this run, which the demo's prefix is
told to trust; the build must be made for that URL (scripts/demo --https).
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import harness  # noqa: E402
import peimage  # noqa: E402
import publish  # noqa: E402
import realservers  # noqa: E402
import testservers  # noqa: E402

INSTALL_BUTTON = (272, 310)
SETUP_WINDOW = (530, 360)
ENTRY_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvelo"


def say(text):
    print("demo: " + text, flush=True)


def check_installation(wine, signed):
    """(ok, findings) from the files, the Uninstall entry and the log."""
    findings = []
    for path in ("C:\\Tarvelo\\iKVTRemote.exe", "C:\\Tarvelo\\favicon.ico",
                 "C:\\Tarvelo\\config\\ORB.System.config", "C:\\Tarvelo\\readme.txt",
                 "C:\\UnInstall Tarvelo\\UnInstall.exe"):
        if not os.path.exists(wine.host_path(path)):
            findings.append("missing " + path)
    values = wine.reg_export(ENTRY_KEY) or {}
    if "UninstallString" not in values:
        findings.append("no Uninstall entry")
    log = wine.read_log()
    if signed and "verified, expires" not in log:
        findings.append("the release was not verified")
    if "[Error]" in log:
        findings += [l for l in log.splitlines() if "[Error]" in l]
    return not findings, findings


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the build folder whose setup.exe runs")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--headless", action="store_true")
    parser.add_argument("--https", action="store_true", help="serve with nginx over HTTPS")
    parser.add_argument("--sign-key", help="sign the release with this private key")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    user_display = None if args.headless else os.environ.get("DISPLAY")

    say("publishing the sample release (demo/release/release.json)")
    # nginx's workers run as another user: they read from a folder under /tmp.
    server_root = (realservers.public_folder("demo_release_") if args.https
                   else os.path.join(build, "demo", "server"))
    try:
        packages = publish.publish(os.path.join(HERE, "release", "release.json"), server_root,
                                   {"build": build}, os.path.join(build, "bin", "UnInstall.exe"),
                                   sign_key=args.sign_key)
    except publish.Refused as e:
        say("publishing refused:\n%s" % e)
        return 1
    for pkg in packages:
        say("  %-16s kind %d  %7d bytes" % (pkg.name, pkg.kind, len(pkg.data)))

    setup = os.path.join(build, "bin", "setup.exe")
    arch = peimage.wine_arch(setup)
    envdir = os.path.join(build, "demo", "wine")
    say("making a Wine prefix of the demo's own in %s" % envdir)
    subprocess.run([os.path.join(ROOT, "tests", "testenv"), "setup", envdir, arch], check=True,
                   stdout=subprocess.DEVNULL)
    server = certs = None
    try:
        wine = harness.WineEnv(envdir)
        if user_display:
            wine.env["DISPLAY"] = user_display
        # A clean machine each run.
        for path in ("C:\\Tarvelo", "C:\\UnInstall Tarvelo"):
            subprocess.run(["rm", "-rf", wine.host_path(path)], check=False)
        try:
            if args.https:
                certs = realservers.Certs()
                if wine.run(os.path.join(build, "demo", "add-root-cert.exe"),
                            harness.wine_path(certs.trusted_der)) != 0:
                    say("could not make the demo's prefix trust the demo authority")
                    return 1
                server = realservers.Nginx(os.path.join(server_root, "EX"), args.port,
                                           cert=certs.server("demo", "localhost")).start()
                url = "https://localhost:%d" % args.port
            else:
                server = testservers.DownloadServer(os.path.join(server_root, "EX"),
                                                    port=args.port).start()
                url = "http://127.0.0.1:%d" % args.port
        except (OSError, RuntimeError) as e:
            say("cannot serve on 127.0.0.1:%d (%s); set DEMO_PORT to a free port" % (args.port, e))
            return 1
        say("serving %s as %s/EX/%s" % (os.path.join(server_root, "EX"), url,
                                        " (nginx, certificate from the demo authority)"
                                        if args.https else ""))
        if arch == "i686":
            say("running %s, the 32-bit program a user downloads%s, under Wine's 32-bit "
                "subsystem: this machine executes 32-bit x86 code" %
                (setup, "" if build == os.path.join(ROOT, "build", "win32")
                 else " (built for port %d)" % args.port))
        else:
            why = ("wine32 is not installed (see scripts/bootstrap's output)"
                   if os.path.exists("/usr/bin/wine") and subprocess.run(
                       ["bash", os.path.join(ROOT, "scripts", "runs-32bit")]).returncode == 0
                   else "this machine cannot execute 32-bit x86 code")
            say("running %s under 64-bit Wine: %s, so the demo runs the x86-64 build of the "
                "same sources; build/win32/bin/setup.exe is the 32-bit program a real user "
                "downloads" % (setup, why))
        proc = wine.start(setup)
        if user_display:
            return run_on_display(wine, proc, bool(args.sign_key))
        return run_headless(wine, proc, os.path.join(build, "demo", "shots"),
                            bool(args.sign_key))
    finally:
        if server:
            server.stop()
        if certs:
            certs.remove()
        if args.https:
            subprocess.run(["rm", "-rf", server_root], check=False)
        subprocess.run([os.path.join(ROOT, "tests", "testenv"), "teardown", envdir],
                       check=False)


def run_on_display(wine, proc, signed):
    say("the setup window is open on your display: click 立即安装 (install)")
    proc.wait()
    ok, findings = check_installation(wine, signed)
    say("installation %s" % ("succeeded" if ok else "did not succeed: " + "; ".join(findings)))
    say("log: %s" % wine.host_path("C:\\temp\\log.txt"))
    if sys.stdin.isatty():
        input("demo: press Enter to close the demo client and end the demo ")
    return 0 if ok else 1


def run_headless(wine, proc, shots, signed):
    os.makedirs(shots, exist_ok=True)
    say("no display: using a virtual one and clicking install myself")
    wid = wine.wait_window("", size=SETUP_WINDOW, timeout=120)
    time.sleep(1.5)
    paths = {}
    paths["idle"] = os.path.join(shots, "1-idle.png")
    wine.screenshot(paths["idle"])
    wine.click(wid, *INSTALL_BUTTON)
    # Each package waits 3 s before it unpacks: by now the first is in and
    # the bar has moved.
    time.sleep(4.5)
    paths["progress"] = os.path.join(shots, "2-progress.png")
    wine.screenshot(paths["progress"])
    try:
        proc.wait(timeout=300)
    except subprocess.TimeoutExpired:
        say("setup.exe did not finish within 5 minutes")
        proc.kill()
    client_seen = True
    try:
        wine.wait_window("^塔维罗$", timeout=60)
        time.sleep(1.5)
    except TimeoutError:
        client_seen = False
    paths["client"] = os.path.join(shots, "3-client.png")
    wine.screenshot(paths["client"])
    ok, findings = check_installation(wine, signed)
    if not client_seen:
        ok = False
        findings.append("the demo client's window never appeared")
    for label, path in paths.items():
        say("screenshot (%s): %s" % (label, path))
    say("installed files: %s" % wine.host_path("C:\\Tarvelo"))
    say("log: %s" % wine.host_path("C:\\temp\\log.txt"))
    say("installation %s" % ("SUCCEEDED: files, Uninstall entry and shortcuts written, the "
                             "demo client started" if ok
                             else "FAILED: " + "; ".join(findings)))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
