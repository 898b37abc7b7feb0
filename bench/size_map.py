#!/usr/bin/env python3
"""Where the bytes of a shipped program come from: per output section, how
much each origin (our libraries, libstdc++, libgcc, the MinGW runtime,
zlib, minizip, resources) brings, the largest objects, and the largest
symbols with the object each comes from.

    python3 bench/size_map.py [build/win32/unstripped/setup.exe] [--top N]

Reads the unstripped link and the link map beside it (cmake/ship.cmake
writes <program>.map there in a release build) with binutils' nm.
"""
import argparse
import bisect
import collections
import os
import re
import signal
import subprocess
import sys

# Sections of the image (the debug sections go when the program is stripped).
SHIPPED = (".text", ".data", ".rdata", ".eh_frame", ".bss", ".idata", ".CRT",
           ".tls", ".rsrc", ".reloc")
INPUT_RE = re.compile(r"^ (\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.+)$")
INPUT_NAME_RE = re.compile(r"^ (\S+)$")
INPUT_REST_RE = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.+)$")
FILL_RE = re.compile(r"^ \*fill\*\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)")
OUTPUT_RE = re.compile(r"^(\.\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)")


def origin(obj):
    """The group an input file belongs to."""
    lib = obj.split("(")[0]
    base = os.path.basename(lib)
    if base == "libstdc++.a":
        return "libstdc++"
    if base in ("libgcc.a", "libgcc_eh.a"):
        return "libgcc"
    if base in ("libz.a", "libzlib_static.a"):
        return "zlib"
    if base == "libminizip.a":
        return "minizip"
    if lib.startswith("/usr/") and base != "libmingw32.a" and \
            re.match(r"lib\w+32\.a$|libuuid\.a$", base):
        return "imports"
    if lib.startswith("/usr/"):
        return "mingw-crt"
    if ".rc." in obj or obj.endswith(".res"):
        return "resources"
    return "ours"


def short(obj):
    """An input file without its folders: libinstaller.a(TreeSwap.cpp.obj)."""
    m = re.match(r"^(.*?)(\(.*\))?$", obj)
    return os.path.basename(m.group(1)) + (m.group(2) or "")


def read_map(path):
    """[(output section, address, size, object)] of every input section."""
    pieces = []
    section = None
    pending = None
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = iter(f)
        for line in lines:
            if line.startswith("Linker script and memory map"):
                break
        for line in lines:
            line = line.rstrip("\n")
            m = OUTPUT_RE.match(line)
            if m:
                section = m.group(1)
                continue
            if section not in SHIPPED:
                continue
            if pending:
                m = INPUT_REST_RE.match(line)
                if m and int(m.group(2), 16):
                    pieces.append((section, int(m.group(1), 16), int(m.group(2), 16),
                                   m.group(3)))
                pending = None
                continue
            m = FILL_RE.match(line)
            if m:
                pieces.append((section, int(m.group(1), 16), int(m.group(2), 16),
                               "*fill*"))
                continue
            m = INPUT_RE.match(line)
            if m:
                if int(m.group(3), 16):
                    pieces.append((section, int(m.group(2), 16), int(m.group(3), 16),
                                   m.group(4)))
                continue
            if INPUT_NAME_RE.match(line) and not line.startswith(" *"):
                pending = line.strip()
    return pieces


def section_sizes(exe):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-h", exe], check=True,
                         capture_output=True, text=True).stdout
    sizes = {}
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 7 and f[0].isdigit() and f[1] in SHIPPED:
            sizes[f[1]] = int(f[2], 16)
    return sizes


def symbols(exe):
    """[(address, size, kind, name)] of the symbols nm knows the size of."""
    out = subprocess.run(["i686-w64-mingw32-nm", "--size-sort", "-S", "-C", exe],
                         check=True, capture_output=True, text=True).stdout
    found = []
    for line in out.splitlines():
        m = re.match(r"^([0-9a-f]+) ([0-9a-f]+) (\w) (.*)$", line)
        # Section symbols (".text", ".eh_frame") only measure the gap to the
        # next symbol; the per-object lists above count those bytes.
        if m and m.group(3) not in "Nn" and not m.group(4).startswith("."):
            found.append((int(m.group(1), 16), int(m.group(2), 16), m.group(3), m.group(4)))
    return found


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quiet under head
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("exe", nargs="?", default="build/win32/unstripped/setup.exe")
    ap.add_argument("--top", type=int, default=25, help="rows per list")
    args = ap.parse_args()
    mapfile = os.path.splitext(args.exe)[0] + ".map"
    if not os.path.exists(mapfile):
        sys.exit("size_map: no link map at %s (a release build writes it)" % mapfile)
    pieces = read_map(mapfile)
    sizes = section_sizes(args.exe)

    groups = ["ours", "libstdc++", "libgcc", "mingw-crt", "zlib", "minizip",
              "imports", "resources", "*fill*"]
    table = collections.defaultdict(lambda: collections.Counter())
    for sec, _, size, obj in pieces:
        table[sec]["*fill*" if obj == "*fill*" else origin(obj)] += size
    print("Per section (bytes; 'other' is what the linker makes itself):")
    print("%-10s %8s " % ("section", "size") + " ".join("%9s" % g for g in groups)
          + " %9s" % "other")
    for sec in SHIPPED:
        if sec not in sizes:
            continue
        row = table[sec]
        other = sizes[sec] - sum(row.values())
        print("%-10s %8d " % (sec, sizes[sec]) + " ".join("%9d" % row[g] for g in groups)
              + " %9d" % max(other, 0))
    print("%-10s %8d" % ("total", sum(sizes.values())))
    # What the release check measures: the stripped program beside it.
    shipped = os.path.join(os.path.dirname(args.exe), "..", "bin", os.path.basename(args.exe))
    if os.path.exists(shipped):
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
        import peimage
        print("%s: %d bytes without a signature (headers and section padding included)"
              % (os.path.normpath(shipped), peimage.unsigned_size(shipped)))

    for sec in (".text", ".rdata", ".eh_frame"):
        per = collections.Counter()
        for s, _, size, obj in pieces:
            if s == sec and obj != "*fill*":
                per[short(obj)] += size
        print("\nLargest objects in %s:" % sec)
        for obj, size in per.most_common(args.top):
            print("%8d  %s" % (size, obj))

    starts = sorted((addr, size, obj) for _, addr, size, obj in pieces)
    keys = [p[0] for p in starts]
    print("\nLargest symbols:")
    for addr, size, kind, name in sorted(symbols(args.exe), key=lambda s: -s[1])[:args.top]:
        i = bisect.bisect_right(keys, addr) - 1
        obj = starts[i][2] if i >= 0 and addr < starts[i][0] + starts[i][1] else "?"
        print("%8d  %s %-60s %s" % (size, kind, name[:60], short(obj)))


if __name__ == "__main__":
    main()
