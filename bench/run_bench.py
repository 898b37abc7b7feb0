#!/usr/bin/env python3
"""Benchmark: setup.exe against curl + unzip on loopback, same run, same files.

  bench/run_bench.py [--size MB] [--packages N] [--files N] [--rounds N]
                     [--build DIR] [--build32 DIR] [--port N] [--out DIR]

Publishes a synthetic release with tools/publish.py (half compressible text,
half incompressible bytes), serves it on 127.0.0.1, and for each round times:

  reinstall setup.exe again over the installation it just made (the new tree
            is built aside and swapped in), timed the same way.
  install   setup.exe from the install click to the client's launch, from its
            log ("download orbsetup.txt sccuss" to "[CSetupDlg::WriteRegistry]";
            the fixed 1 s launch timer after that is not counted). Without the
            fixed per-package pause: the same figure minus 3000 ms per package
            (the pause is one Sleep; see docs/benchmarks.md).
  baseline  curl then unzip, package by package, into a fresh folder (plus the
            setup list and the uninstaller, as setup.exe fetches them).
  download  bench_download.exe (HttpDownload plus the one-write staging file)
            against curl -o for the same files.
  extract   bench_extract.exe (the package extraction, no pause) against
            unzip for the same zips.
  verify    bench_verify.exe: the SHA-256 of every zip byte that a signed
            release adds (through the installer's CNG code).

With --updates it times updates instead, with a signed build of its own
(BUILD-signed, made with a key it makes in WORK/keys): a full installation
of a release on a clean machine, a repair (the same release over itself),
an update with 1 % of the files changed and one with 10 % changed, each
against a full installation of the same release, in one run: the bytes
the server sent and click to launch without the pauses; once on loopback
(where fetching costs next to nothing) and once at --line-mbit (default
100 Mbit/s, a common broadband line). Writes OUT/updates.md and
OUT/updates.txt.

Timed programs are the i686 build (preset bench32) under 32-bit Wine where
this machine executes 32-bit x86 code (scripts/runs-32bit), the x86-64 build
(preset bench) under 64-bit Wine otherwise; the report says which. The sizes
reported are the shipped 32-bit setup.exe and UnInstall.exe, without a
signature.
Writes OUT/results.md (table) and OUT/results.txt (one "key value" a line);
compare two runs with bench/compare.py A/results.txt B/results.txt.
Benchmarks never fail on a time: the exit status only says whether it ran.
"""
import argparse
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))
import faults  # noqa: E402
import harness  # noqa: E402
import peimage  # noqa: E402
import testservers  # noqa: E402

INSTALL_BUTTON = (272, 310)
PAUSE_MS = 3000
# "[Normal][12/8/2026 12:14:00 PM:856 016c:0174]...": the time of day in the
# system locale's format, then the milliseconds.
LOG_TIME = re.compile(r"^\[\w+\]\[\S+ (\d+):(\d\d):(\d\d)(?: ([AP]M))?:\s*(\d+) ")


# -- the synthetic release --------------------------------------------------

def make_release(work, args, client_exe):
    """Writes one folder per package and the release description."""
    rng = random.Random(1234)
    words = ["setup", "client", "window", "install", "package", "folder", "config",
             "network", "remote", "display", "value", "string", "module", "render",
             "buffer", "stream", "result", "handle", "thread", "event"]
    # Text that deflates about 3:1, like logs and resources; slices of one pool
    # further apart than deflate's 32 KiB window cost as much as fresh text.
    pool = " ".join(rng.choice(words) + str(rng.randrange(1000))
                    for _ in range(1 << 20)).encode()
    total = args.size * 1024 * 1024
    per_pkg = total // args.packages
    files_per_pkg = max(2, args.files // args.packages)
    packages = []
    for p in range(args.packages):
        folder = os.path.join(work, "release", "pkg%02d" % p)
        sizes = [rng.randrange(1, 1000) for _ in range(files_per_pkg)]
        scale = per_pkg / sum(sizes)
        for f, weight in enumerate(sizes):
            n = max(1, int(weight * scale))
            sub = os.path.join(folder, "data%02d" % p, "d%02d" % (f % 16))
            os.makedirs(sub, exist_ok=True)
            if f % 2 == 0:
                start = rng.randrange(len(pool) - n) if n < len(pool) else 0
                data = (pool * (1 + n // len(pool)))[start:start + n]
                path = os.path.join(sub, "f%05d.txt" % f)
            else:
                data = rng.randbytes(n)
                path = os.path.join(sub, "f%05d.bin" % f)
            with open(path, "wb") as fh:
                fh.write(data)
        if p == 0:
            shutil.copy(client_exe, os.path.join(folder, "iKVTRemote.exe"))
            with open(os.path.join(folder, "favicon.ico"), "wb") as fh:
                fh.write(b"\0\0\1\0")
        packages.append({"name": "pkg%02d.zip" % p, "kind": 1, "folders": [folder]})
    desc = os.path.join(work, "release", "release.json")
    with open(desc, "w") as fh:
        json.dump({"packages": packages}, fh)
    return desc


def publish(args, work, bin_dir):
    key = "s%d-p%d-f%d-l%d" % (args.size, args.packages, args.files, args.package_limit)
    pub = os.path.join(work, "published-" + key)
    ex = os.path.join(pub, "EX")
    if os.path.exists(os.path.join(ex, "orbsetup.txt")):
        return ex
    shutil.rmtree(os.path.join(work, "release"), ignore_errors=True)
    print("bench: writing a %d MB release in %d packages" % (args.size, args.packages))
    desc = make_release(work, args, os.path.join(args.build, "bench", "iKVTRemote.exe"))
    res = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "publish.py"), desc,
                          "--out", pub, "--uninstaller", os.path.join(bin_dir, "UnInstall.exe"),
                          "--package-limit", str(args.package_limit)],
                         capture_output=True, text=True)
    if res.returncode != 0:
        sys.exit("bench: publish failed:\n" + res.stdout + res.stderr)
    shutil.rmtree(os.path.join(work, "release"), ignore_errors=True)
    return ex


def list_names(ex):
    """Package names in list order, as setup.exe will fetch them."""
    with open(os.path.join(ex, "orbsetup.txt"), "rb") as fh:
        text = fh.read()[2:].decode("utf-16-le")
    names = []
    for line in text.split("\r\n"):
        parts = line.split(";")
        if len(parts) == 3 and parts[0]:
            names.append(parts[0])
    return names


# -- measuring -----------------------------------------------------------------

def start_timed(cmd, env=None, out=None):
    """Starts cmd under GNU time, which records the peak RSS of cmd itself
    (a fork of this Python process would count Python's own memory)."""
    fd, tfile = tempfile.mkstemp(prefix="bench-rss.")
    os.close(fd)
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", tfile] + cmd, env=env,
                            stdin=subprocess.DEVNULL, stdout=out or subprocess.DEVNULL,
                            stderr=subprocess.STDOUT if out else None)
    proc.rss_path = tfile
    return proc


def wait_peak(proc, timeout):
    """Waits for proc; the peak RSS in bytes of the program it ran."""
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise
    with open(proc.rss_path) as fh:
        kb = int(fh.read().split()[-1])
    os.remove(proc.rss_path)
    return kb * 1024


def start_wine(wine, exe, *args):
    """Like harness.WineEnv.start, under GNU time."""
    out = tempfile.NamedTemporaryFile(prefix="wine-out.", dir=wine.envdir, delete=False)
    proc = start_timed([wine.wine, exe, *args], env=wine.env, out=out)
    proc.out_path = out.name
    out.close()
    return proc


def log_ms(line):
    """Milliseconds since midnight of a log line."""
    m = LOG_TIME.search(line)
    h, mi, sec = int(m.group(1)), int(m.group(2)), int(m.group(3))
    if m.group(4):
        h = h % 12 + (12 if m.group(4) == "PM" else 0)
    return ((h * 60 + mi) * 60 + sec) * 1000 + int(m.group(5))


def click_to_launch_ms(log):
    """From the list's arrival to the registration, by the log's times."""
    start = [l for l in log.splitlines() if "download orbsetup.txt sccuss" in l]
    end = [l for l in log.splitlines() if "[CSetupDlg::WriteRegistry]" in l]
    if not start or not end:
        raise RuntimeError("install did not finish; log:\n" + log)
    return (log_ms(end[-1]) - log_ms(start[0])) % (24 * 3600 * 1000)


def run_installer(wine, bin_dir, npkgs, reinstall=False):
    """One installation, timed; reinstall: over the one the last run made
    (built aside and swapped in), figures keyed reinstall_*."""
    for path in ("C:\\temp",) if reinstall else ("C:\\Tarvelo", "C:\\temp"):
        shutil.rmtree(wine.host_path(path), ignore_errors=True)
    os.makedirs(wine.host_path("C:\\temp"), exist_ok=True)
    proc = start_wine(wine, os.path.join(bin_dir, "setup.exe"))
    wid = wine.wait_window("", size=(530, 360))
    time.sleep(0.5)
    t_click = time.time()
    wine.click(wid, *INSTALL_BUTTON)
    peak = wait_peak(proc, 600 + npkgs * 60)
    wall = (time.time() - t_click) * 1000
    log = wine.read_log()
    ms = click_to_launch_ms(log)
    # Builds before the bench line existed log none: -1 marks that.
    figures = re.search(r"\[Bench\] peak_private=(\d+) largest_free=(\d+)", log)
    if reinstall:
        return {"reinstall_ms": ms, "reinstall_nopause_ms": ms - npkgs * PAUSE_MS}
    return {"install_ms": ms, "install_nopause_ms": ms - npkgs * PAUSE_MS,
            "install_wall_ms": wall, "install_peak_rss": peak,
            "install_peak_private": int(figures.group(1)) if figures else -1,
            "install_largest_free": int(figures.group(2)) if figures else -1}


def run_baseline(url, names, work):
    dest = os.path.join(work, "baseline")
    stage = os.path.join(work, "baseline-stage")
    for d in (dest, stage):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    peak = 0
    t0 = time.perf_counter()
    for name in ["orbsetup.txt"] + names + ["UnInstall.exe"]:
        target = os.path.join(stage, name)
        p = start_timed(["curl", "-sSf", "-o", target, url + name])
        peak = max(peak, wait_peak(p, 600))
        if p.returncode:
            raise RuntimeError("curl failed for " + name)
        if name.endswith(".zip"):
            p = start_timed(["unzip", "-qo", target, "-d", dest])
            peak = max(peak, wait_peak(p, 600))
            if p.returncode:
                raise RuntimeError("unzip failed for " + name)
            os.remove(target)
    ms = (time.perf_counter() - t0) * 1000
    return {"baseline_ms": ms, "baseline_peak_rss": peak}


def parse_kv(path):
    out = {}
    with open(path, encoding="utf-8", errors="replace") as fh:
        for line in fh:
            parts = line.split()
            if len(parts) == 2:
                out[parts[0]] = float(parts[1])
    return out


def run_bench_program(wine, bin_dir, exe, folder, args, key):
    """Runs one bench program into a fresh folder of the prefix; its
    key/value output and peak RSS."""
    host = wine.host_path(folder)
    shutil.rmtree(host, ignore_errors=True)
    os.makedirs(host)
    proc = start_wine(wine, os.path.join(bin_dir, exe), folder, *args)
    peak = wait_peak(proc, 600)
    kv = parse_kv(proc.out_path)
    if proc.returncode or key not in kv:
        raise RuntimeError("%s failed: %s" % (exe, open(proc.out_path).read()))
    shutil.rmtree(host, ignore_errors=True)
    return kv, peak


def time_host_tool(work, sub, command_for):
    """Milliseconds the host tool takes over every item: command_for(folder)
    lists the commands, run into a fresh folder."""
    folder = os.path.join(work, sub)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    t0 = time.perf_counter()
    for command in command_for(folder):
        subprocess.run(command, check=True)
    ms = (time.perf_counter() - t0) * 1000
    shutil.rmtree(folder, ignore_errors=True)
    return ms


def run_download_only(wine, bin_dir, url, names, work):
    kv, peak = run_bench_program(wine, bin_dir, "bench_download.exe", "C:\\benchstage",
                                 [url + n for n in names], "download_ms")
    curl_ms = time_host_tool(work, "curl-stage", lambda folder: [
        ["curl", "-sSf", "-o", os.path.join(folder, n), url + n] for n in names])
    return {"download_ms": kv["download_ms"], "stage_ms": kv["stage_ms"],
            "download_peak_rss": peak, "curl_ms": curl_ms}


def run_extract_only(wine, bin_dir, ex, names, work):
    zips = [harness.wine_path(os.path.join(ex, n)) for n in names]
    kv, peak = run_bench_program(wine, bin_dir, "bench_extract.exe", "C:\\benchx", zips,
                                 "extract_ms")
    unzip_ms = time_host_tool(work, "unzip-dest", lambda folder: [
        ["unzip", "-qo", os.path.join(ex, n), "-d", folder] for n in names])
    return {"extract_ms": kv["extract_ms"], "extract_peak_rss": peak, "unzip_ms": unzip_ms}


def run_verify_only(wine, bin_dir, ex, names):
    """What a signed release adds: SHA-256 over every byte of every zip."""
    zips = [harness.wine_path(os.path.join(ex, n)) for n in names]
    kv, _ = run_bench_program(wine, bin_dir, "bench_verify.exe", "C:\\benchv", zips, "verify_ms")
    return {"verify_ms": kv["verify_ms"]}


# -- report --------------------------------------------------------------------

def report(out_dir, meta, rounds):
    med = {k: statistics.median(r[k] for r in rounds) for k in rounds[0]}
    med["ratio_install_vs_baseline"] = statistics.median(
        r["install_nopause_ms"] / r["baseline_ms"] for r in rounds)
    med["ratio_download_vs_curl"] = statistics.median(
        (r["download_ms"] + r["stage_ms"]) / r["curl_ms"] for r in rounds)
    med["ratio_extract_vs_unzip"] = statistics.median(
        r["extract_ms"] / r["unzip_ms"] for r in rounds)
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "results.txt"), "w") as fh:
        for k, v in meta.items():
            fh.write("%s %s\n" % (k, v))
        for k in sorted(med):
            fh.write("%s %.3f\n" % (k, med[k]))
        for i, r in enumerate(rounds):
            for k in sorted(r):
                fh.write("round%d.%s %.1f\n" % (i + 1, k, r[k]))
    mb = 1024 * 1024
    rows = [
        ("setup.exe size (i686, shipped)", "%d bytes" % meta["setup_exe_bytes"], ""),
        ("UnInstall.exe size (i686, shipped)", "%d bytes" % meta["uninstall_exe_bytes"], ""),
        ("install, click to launch (log)", "%.0f ms" % med["install_ms"], ""),
        ("install without the %d x 3 s pause" % meta["packages"],
         "%.0f ms" % med["install_nopause_ms"], "%.0f ms" % med["baseline_ms"]),
        ("reinstall over that installation, click to launch (log)",
         "%.0f ms" % med["reinstall_ms"], ""),
        ("reinstall without the pauses", "%.0f ms" % med["reinstall_nopause_ms"], ""),
        ("ratio installer / baseline (median)", "%.2f" % med["ratio_install_vs_baseline"], ""),
        ("download alone (+ staging write)",
         "%.0f ms (+%.0f ms)" % (med["download_ms"], med["stage_ms"]), "%.0f ms" % med["curl_ms"]),
        ("extraction alone", "%.0f ms" % med["extract_ms"], "%.0f ms" % med["unzip_ms"]),
        ("signed release: SHA-256 of every zip byte", "%.0f ms" % med["verify_ms"], ""),
        ("peak RSS, install", "%.1f MiB" % (med["install_peak_rss"] / mb),
         "%.1f MiB" % (med["baseline_peak_rss"] / mb)),
        ("peak private memory, install (the process's own count)",
         "%.1f MiB (rule: at most %.1f MiB)" % (
             med["install_peak_private"] / mb, (2 * meta["largest_package"] + 32 * mb) / mb)
         if med["install_peak_private"] >= 0 else "not logged by this build", ""),
        ("largest free address block at the end",
         "%.0f MiB (rule: at least 16 x the largest package, %.0f MiB)" % (
             med["install_largest_free"] / mb, 16 * meta["largest_package"] / mb)
         if med["install_largest_free"] >= 0 else "not logged by this build", ""),
        ("peak RSS, download / extract program",
         "%.1f / %.1f MiB" % (med["download_peak_rss"] / mb, med["extract_peak_rss"] / mb), ""),
    ]
    lines = ["# Benchmark %s" % meta["date"], "",
             "Release: %d MB in %d packages (%d files, package limit %d MiB, largest %d "
             "bytes), %d bytes of zips; %d rounds, medians. "
             "Timed: %s; sizes: the shipped 32-bit programs." % (
                 meta["size_mb"], meta["packages"], meta["files"], meta["package_limit_mib"],
                 meta["largest_package"], meta["zip_bytes"], meta["rounds"], meta["timed"]),
             "Machine: %s." % meta["machine"],
             "Peak RSS under Wine includes Wine's own libraries.", "",
             "| measure | installer | curl + unzip |", "|---|---|---|"]
    lines += ["| %s | %s | %s |" % r for r in rows]
    text = "\n".join(lines) + "\n"
    with open(os.path.join(out_dir, "results.md"), "w") as fh:
        fh.write(text)
    print(text)


def describe_machine():
    """CPU, cores, system and Wine, for the report."""
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as fh:
            cpu = next(l.split(":", 1)[1].strip() for l in fh if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    system = "?"
    try:
        with open("/etc/os-release") as fh:
            system = next(l.split("=", 1)[1].strip().strip('"') for l in fh
                          if l.startswith("PRETTY_NAME="))
    except (OSError, StopIteration):
        pass
    wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True,
                          text=True).stdout.strip() or "?"
    return "%s, %d cores; %s; %s" % (cpu, os.cpu_count() or 0, system, wine)


# -- updates that fetch only what changed ----------------------------------

def signed_build(args, work):
    """The bench build again with a release key of its own: updates need a
    signed release to compare against."""
    keys = os.path.join(work, "keys")
    if not os.path.exists(os.path.join(keys, "release-key.pem")):
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "publish.py"), "keygen", keys],
                       check=True, stdout=subprocess.DEVNULL)
    build = args.build + "-signed"
    preset = "bench32" if args.build.endswith("bench32") else "bench"
    subprocess.run(["cmake", "--preset", preset, "-B", build,
                    "-DSETUP_RELEASE_KEY=" + os.path.join(keys, "release-key.pub.pem")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "setup", "UnInstall", "bench_client",
                    "-j2"], check=True, stdout=subprocess.DEVNULL)
    return build, os.path.join(keys, "release-key.pem")


def change_files(folder, share, rng):
    """Rewrites share of the release's files (same size, new content)."""
    paths = sorted(os.path.join(d, f) for d, _, files in os.walk(folder) for f in files
                   if f.startswith("f"))
    for path in rng.sample(paths, max(1, int(len(paths) * share))):
        size = os.path.getsize(path)
        with open(path, "wb") as fh:
            fh.write(rng.randbytes(size))


def publish_signed(desc, out, bin_dir, key, args):
    res = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "publish.py"), desc,
                          "--out", out, "--uninstaller", os.path.join(bin_dir, "UnInstall.exe"),
                          "--package-limit", str(args.package_limit), "--sign-key", key],
                         capture_output=True, text=True)
    if res.returncode != 0:
        sys.exit("bench: publish failed:\n" + res.stdout + res.stderr)
    return os.path.join(out, "EX")


def run_update(wine, bin_dir, ex, port, npkgs, clean, rate):
    """One installation of the release in ex, over the installed one unless
    clean: bytes the server sent, and the log's click-to-launch without the
    pauses."""
    for path in ("C:\\temp",) + (("C:\\Tarvelo", "C:\\UnInstall Tarvelo") if clean else ()):
        shutil.rmtree(wine.host_path(path), ignore_errors=True)
    if clean:  # nothing installed, and no release floor from the last case
        for key in (faults.UNINSTALL_KEY, faults.FLOOR_KEY):
            wine.reg("delete", key, "/f")
    os.makedirs(wine.host_path("C:\\temp"), exist_ok=True)
    rules = {"ranges": "1", "rate": str(rate)} if rate else {"ranges": "1"}
    server = testservers.DownloadServer(ex, port=port, rules=rules, cache=True).start()
    try:
        proc = start_wine(wine, os.path.join(bin_dir, "setup.exe"))
        wid = wine.wait_window("", size=(530, 360))
        time.sleep(0.5)
        wine.click(wid, *INSTALL_BUTTON)
        wait_peak(proc, 600 + npkgs * 60)
    finally:
        server.stop()
    log = wine.read_log()
    ms = click_to_launch_ms(log)
    return sum(server.sent.values()), ms - npkgs * PAUSE_MS


def run_updates(args, work, runs_32bit):
    build, key = signed_build(args, work)
    bin_dir = os.path.join(build, "bin")
    port = int(re.search(r"SETUP_SERVER_HOST:STRING=[^:\n]*:(\d+)",
                         open(os.path.join(build, "CMakeCache.txt")).read()).group(1))
    upd = os.path.join(work, "updates")
    shutil.rmtree(upd, ignore_errors=True)
    os.makedirs(upd)
    print("bench: writing a %d MB release in %d packages" % (args.size, args.packages))
    desc = make_release(upd, args, os.path.join(build, "bench", "iKVTRemote.exe"))
    rng = random.Random(34)
    releases = [publish_signed(desc, os.path.join(upd, "r0"), bin_dir, key, args)]
    for n, share in enumerate((0.01, 0.10), 1):
        change_files(os.path.join(upd, "release"), share, rng)
        time.sleep(1.1)  # a later serial
        releases.append(publish_signed(desc, os.path.join(upd, "r%d" % n), bin_dir, key, args))
    names = list_names(releases[0])
    zip_bytes = sum(os.path.getsize(os.path.join(releases[0], n)) for n in names)
    arch = peimage.wine_arch(os.path.join(bin_dir, "setup.exe"))
    envdir = os.path.join(build, "benchenv")
    testenv = os.path.join(ROOT, "tests", "testenv")
    subprocess.run(["bash", testenv, "setup", envdir, arch], check=True,
                   stdout=subprocess.DEVNULL)
    figures = {}
    try:
        wine = harness.WineEnv(envdir)
        for line, rate in (("", 0), ("line_", args.line_mbit * 125000)):
            run = lambda key, ex, clean: figures.update(zip(
                (line + key + "_bytes", line + key + "_nopause_ms"),
                run_update(wine, bin_dir, ex, port, len(names), clean, rate)))
            run("full0", releases[0], True)
            run("repair", releases[0], False)
            run("update1", releases[1], False)
            run("update10", releases[2], False)
            run("full1", releases[1], True)
            run("full2", releases[2], True)
    finally:
        subprocess.run(["bash", testenv, "teardown", envdir], stdout=subprocess.DEVNULL)
    return figures, zip_bytes, arch


def report_updates(out_dir, meta, figures, zip_bytes):
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "updates.txt"), "w") as fh:
        for k, v in list(meta.items()) + sorted(figures.items()):
            fh.write("%s %s\n" % (k, v))
    rows = []
    for line, where in (("", "loopback"), ("line_", "%d Mbit/s line" % meta["line_mbit"])):
        for key, full, what, byte_target, time_target in (
                ("repair", "full0", "repair (nothing changed)", 0.01, None),
                ("update1", "full1", "update, 1 % of the files changed", 0.05, 0.5),
                ("update10", "full2", "update, 10 % of the files changed", 0.20, None)):
            share = figures[line + key + "_bytes"] / zip_bytes
            ratio = figures[line + key + "_nopause_ms"] / figures[line + full + "_nopause_ms"]
            rows.append("| %s, %s | %d bytes (%.2f %% of %d; target %d %%) | %.0f ms vs %.0f ms "
                        "full (%.2f%s) |" % (
                            what, where, figures[line + key + "_bytes"], 100 * share, zip_bytes,
                            100 * byte_target, figures[line + key + "_nopause_ms"],
                            figures[line + full + "_nopause_ms"], ratio,
                            "; target 0.5" if time_target else ""))
    text = "\n".join([
        "# Updates %s" % meta["date"], "",
        "Release: %d MB in %d packages, %d files; %d bytes of zips. Timed: %s; signed build "
        "(%s). Bytes: every body the server sent (manifest, list, indexes, ranges, whole "
        "packages, uninstaller). Times: click to launch from the log, without the 3 s pause "
        "per package." % (meta["size_mb"], meta["packages"], meta["files"], zip_bytes,
                          meta["timed"], meta["build"]),
        "Machine: %s." % meta["machine"], "",
        "| run | fetched | click to launch, no pauses |", "|---|---|---|"] + rows + [
        "| full installation (clean machine), three releases, %s | %d / %d / %d bytes | "
        "%.0f / %.0f / %.0f ms |" % (
            where, figures[line + "full0_bytes"], figures[line + "full1_bytes"],
            figures[line + "full2_bytes"], figures[line + "full0_nopause_ms"],
            figures[line + "full1_nopause_ms"], figures[line + "full2_nopause_ms"])
        for line, where in (("", "loopback"), ("line_", "%d Mbit/s" % meta["line_mbit"]))]) + "\n"
    with open(os.path.join(out_dir, "updates.md"), "w") as fh:
        fh.write(text)
    print(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--size", type=int, default=200, help="release size in MB")
    ap.add_argument("--packages", type=int, default=10)
    ap.add_argument("--files", type=int, default=3000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--package-limit", type=int, default=16, metavar="MIB",
                    help="the publisher's package size limit for this run")
    ap.add_argument("--build", default=None,
                    help="build with SETUP_BENCH=ON (default build/bench32 where this machine "
                         "runs 32-bit code, build/bench otherwise)")
    ap.add_argument("--build32", default=os.path.join(ROOT, "build", "win32"),
                    help="32-bit build whose setup.exe size is reported")
    ap.add_argument("--port", type=int, default=None,
                    help="server port (default: the one the build's setup.exe uses)")
    ap.add_argument("--out", default=None, help="results folder (default BUILD/bench-results)")
    ap.add_argument("--work", default=None,
                    help="folder for the release and scratch (default BUILD/bench-work); "
                         "give two runs the same one to compare them on the same zips")
    ap.add_argument("--line-mbit", type=int, default=100,
                    help="with --updates: the speed of the line the second series is served at")
    ap.add_argument("--updates", action="store_true",
                    help="time updates (repair, 1 %% and 10 %% changed) against full "
                         "installations instead")
    args = ap.parse_args()
    # 32-bit programs need the kernel's 32-bit execution and wine32 (which a
    # stale package index can keep from installing).
    runs_32bit = subprocess.run(["bash", os.path.join(ROOT, "scripts", "runs-32bit")]).returncode == 0 \
        and os.path.exists("/usr/lib/wine/wine")
    if args.build is None:
        args.build = os.path.join(ROOT, "build", "bench32" if runs_32bit else "bench")
    args.build = os.path.abspath(args.build)
    bin_dir = os.path.join(args.build, "bin")
    out_dir = args.out or os.path.join(args.build, "bench-results")
    if args.updates:
        work = os.path.abspath(args.work or os.path.join(args.build, "bench-work"))
        os.makedirs(work, exist_ok=True)
        figures, zip_bytes, arch = run_updates(args, work, runs_32bit)
        meta = {"date": datetime.now().strftime("%Y-%m-%d %H:%M"), "size_mb": args.size,
                "packages": args.packages, "files": args.files, "build": args.build + "-signed",
                "line_mbit": args.line_mbit,
                "machine": describe_machine(),
                "timed": "the i686 build under 32-bit Wine" if arch == "i686" else
                         "the x86-64 build under 64-bit Wine"}
        report_updates(out_dir, meta, figures, zip_bytes)
        return 0
    if args.port is None:
        cache = open(os.path.join(args.build, "CMakeCache.txt")).read()
        args.port = int(re.search(r"SETUP_SERVER_HOST:STRING=[^:\n]*:(\d+)", cache).group(1))
    exe32 = os.path.join(args.build32, "bin", "setup.exe")
    if not os.path.exists(exe32):
        sys.exit("bench: no %s (build the win32 preset first)" % exe32)

    work = os.path.abspath(args.work or os.path.join(args.build, "bench-work"))
    os.makedirs(work, exist_ok=True)
    ex = publish(args, work, bin_dir)
    names = list_names(ex)
    zip_bytes = sum(os.path.getsize(os.path.join(ex, n)) for n in names)
    meta = {"date": datetime.now().strftime("%Y-%m-%d %H:%M"), "size_mb": args.size,
            "package_limit_mib": args.package_limit,
            "largest_package": max(os.path.getsize(os.path.join(ex, n)) for n in names),
            "packages": len(names), "files": args.files, "rounds": args.rounds,
            "zip_bytes": zip_bytes, "setup_exe_bytes": peimage.unsigned_size(exe32),
            "uninstall_exe_bytes": peimage.unsigned_size(
                os.path.join(args.build32, "bin", "UnInstall.exe"))}
    arch = peimage.wine_arch(os.path.join(bin_dir, "setup.exe"))
    meta["machine"] = describe_machine()
    meta["timed"] = ("the i686 build under 32-bit Wine" if arch == "i686" else
                     "the x86-64 build under 64-bit Wine (%s)" % (
                         "this machine runs no 32-bit code" if not runs_32bit
                         else "chosen with --build"))
    print("bench: timing %s" % meta["timed"])
    print("bench: %d packages, %d bytes of zips, port %d" % (len(names), zip_bytes, args.port))

    envdir = os.path.join(args.build, "benchenv")
    testenv = os.path.join(ROOT, "tests", "testenv")
    subprocess.run(["bash", testenv, "setup", envdir, arch], check=True,
                   stdout=subprocess.DEVNULL)
    server = testservers.DownloadServer(ex, port=args.port).start()
    url = "http://127.0.0.1:%d/EX/" % args.port
    rounds = []
    try:
        wine = harness.WineEnv(envdir)
        for i in range(args.rounds):
            r = {}
            r.update(run_installer(wine, bin_dir, len(names)))
            r.update(run_installer(wine, bin_dir, len(names), reinstall=True))
            r.update(run_baseline(url, names, work))
            r.update(run_download_only(wine, bin_dir, url, names, work))
            r.update(run_extract_only(wine, bin_dir, ex, names, work))
            r.update(run_verify_only(wine, bin_dir, ex, names))
            print("bench: round %d: %s" % (i + 1, ", ".join(
                "%s=%.0f" % (k, v) for k, v in sorted(r.items()))), flush=True)
            rounds.append(r)
    finally:
        server.stop()
        subprocess.run(["bash", testenv, "teardown", envdir], stdout=subprocess.DEVNULL)
    report(out_dir, meta, rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
