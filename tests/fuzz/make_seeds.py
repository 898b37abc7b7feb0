#!/usr/bin/env python3
"""Writes the fuzzer's starting inputs into the folder given first: valid
setup lists, zips, manifests and entry indexes to mutate, hostile ones to run
as they are, and the kept regression inputs (tests/fuzz/regressions/*.hex)
copied beside them. The name's end says the target: .txt the setup list,
.zip a package, .mf the release manifest, .idx an entry index, as the file
"SIZE\n" (the package size the manifest gives, decimal) then the index.

  make_seeds.py OUT
"""
import io
import os
import shutil
import struct
import sys
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import entryindex  # noqa: E402


def setup_list(lines, end="\r\n"):
    return b"\xff\xfe" + "".join(l + end for l in lines).encode("utf-16-le")


def entry(name, data=b"", method=0, crc=None, csize=None, usize=None, flag=0, attr=0x20,
          made_by=20, raw_name=None):
    """One entry's fields; sizes and CRC may lie."""
    name_b = raw_name if raw_name is not None else name.encode("cp1252", "replace")
    body = zlib.compress(data)[2:-4] if method == 8 else data
    return dict(name=name_b, body=body, method=method, flag=flag, attr=attr, made_by=made_by,
                crc=zlib.crc32(data) if crc is None else crc,
                csize=len(body) if csize is None else csize,
                usize=len(data) if usize is None else usize)


def build(entries):
    """A zip from entry dicts, byte by byte."""
    out, central = b"", b""
    for e in entries:
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, e["flag"], e["method"], 0, 0x5321,
                           e["crc"], e["csize"], e["usize"], len(e["name"]), 0)
        out += e["name"] + e["body"]
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e["made_by"], 20, e["flag"],
                               e["method"], 0, 0x5321, e["crc"], e["csize"], e["usize"],
                               len(e["name"]), 0, 0, 0, 0, e["attr"], offset) + e["name"]
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                      len(out), 0)
    return out + central + end


def python_zip(files):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files:
            z.writestr(name, data)
    return buf.getvalue()


SEEDS = {
    # Valid inputs that mutation starts from.
    "list-plain.txt": setup_list(["base.zip;1;1", "font.zip;2;2", "nofont.zip;3;3",
                                  "extra.zip;100;1"]),
    "list-mixed.txt": setup_list(["", "a.zip;1;1;", "b.zip;;2;3", "c d.zip;12abc;-1",
                                  "only;two", "数据.zip;1;1", "x" * 31 + ";1;1"]),
    "zip-deflated.zip": python_zip([("iKVTRemote.exe", b"MZ" + bytes(range(256)) * 8),
                                    ("config/ORB.System.config", b"[Client]\r\nName=orb\r\n"),
                                    ("data/", b""), ("data/readme.txt", "说明".encode())]),
    "zip-stored.zip": build([entry("a.txt", b"alpha" * 40), entry("sub/b.txt", b"beta"),
                             entry("sub/", attr=0x10)]),
    # Hostile inputs, run as they are and mutated.
    "list-unsafe.txt": setup_list(["..\\evil.zip;1;1", "../evil.zip;1;1", "C:evil.zip;1;1",
                                   "\\\\server\\evil.zip;1;1", "a/b.zip;1;1", "..;1;1", ".;1;1",
                                   "nul\u0001.zip;1;1", "x" * 32 + ";1;1",
                                   "e.zip;1;" + "9" * 20, "nul.zip;1;1", "COM1;1;1",
                                   "Aux .zip;1;1", "ok.zip;1;1"]),
    "zip-escape-names.zip": build([entry(n, b"escaped " + n.encode()) for n in (
        "C:\\evil1.txt", "C:evil2.txt", "c:/evil3.txt", "/evil4.txt", "\\evil5.txt",
        "../evil6.txt", "..\\evil7.txt", "a/../../evil8.txt", "a\\..\\..\\evil9.txt",
        "a/..\\../evil10.txt", ".. /evil11.txt", "... \\evil12.txt", "\\\\?\\C:\\evil13.txt",
        "//server/share/evil14.txt", "a/./../evil15.txt", "..", "../", "C:..\\evil16.txt",
        "/../evil17.txt", "\\/..\\/evil18.txt")]),
    "zip-long-names.zip": build([entry("n" * 200, b"200"), entry("m" * 259, b"259"),
                                 entry("o" * 260, b"260"), entry("p" * 300, b"300"),
                                 entry("/".join(["dir%03d" % i for i in range(40)]) + "/f.txt",
                                       b"deep")]),
    "zip-huge-sizes.zip": build([entry("usize.txt", b"small", usize=0xFFFFFFFF),
                                 entry("csize.txt", b"small", csize=0xFFFFFFF0),
                                 entry("both.txt", b"small", csize=0x7FFFFFFF, usize=0x7FFFFFFF),
                                 entry("deflated.txt", b"z" * 1000, method=8, usize=0xFFFFFFFF),
                                 entry("after.txt", b"after")]),
    "zip-duplicates.zip": build([entry("dup.txt", b"first"), entry("dup.txt", b"second"),
                                 entry("DUP.TXT", b"third"), entry("f", b"file"),
                                 entry("f/", attr=0x10), entry("g/", attr=0x10),
                                 entry("g", b"file over folder"),
                                 entry("ro.txt", b"read-only", attr=0x21),
                                 entry("ro.txt", b"again", attr=0x21)]),
    "zip-methods.zip": build([entry("bzip2.txt", b"x" * 10, method=12),
                              entry("lzma.txt", b"x" * 10, method=14),
                              entry("aes.txt", b"x" * 10, method=99, flag=1),
                              entry("implode.txt", b"x" * 10, method=6),
                              entry("plain.txt", b"plain")]),
    # Names that Windows opens as devices, in any folder.
    "zip-device-names.zip": build([entry(n, b"device") for n in (
        "CON", "nul.txt", "NUL", "COM1", "aux.log", "sub/PRN", "LPT1.txt", "CONIN$",
        "nul .txt", "com9", "sub/lpt3.dat/x.txt", "console.txt", "ok.txt")]),
    "zip-bad-crc.zip": build([entry("crc.txt", b"payload", crc=0x12345678),
                              entry("ok.txt", b"fine")]),
}


HASH = "0123456789abcdef" * 4


def manifest(files, sig=True):
    """A release manifest: the format's lines, a signature of the right
    shape (the reader does not verify it)."""
    text = "tarvelo-release 1\nserial 1765000000\nexpires 1767600000\n"
    text += "".join("file %s %d %s\n" % (name, size, HASH) for name, size in files)
    if sig:
        text += "sig " + "ab" * 64 + "\n"
    return text.encode("ascii")


SEEDS.update({
    "manifest-signed.mf": manifest([("orbsetup.txt", 42), ("base.zip", 8388608),
                                    ("font-2.zip", 1), ("UnInstall.exe", 81934)]),
    "manifest-unsigned.mf": manifest([("orbsetup.txt", 42), ("UnInstall.exe", 536870912)],
                                     sig=False),
})


def published_zip(files):
    """A zip as publish.py packs one: a "UT" block with three equal times,
    Windows attributes; names ending in "/" are folders."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for name, data, mtime, attrs in files:
            info = zipfile.ZipInfo(name, (2025, 12, 1, 8, 0, 0))
            info.compress_type = zipfile.ZIP_STORED if name.endswith("/") else \
                zipfile.ZIP_DEFLATED
            info.create_system, info.external_attr = 0, attrs
            info.extra = b"UT" + struct.pack("<HBiii", 13, 7, mtime, mtime, mtime)
            z.writestr(info, data, compresslevel=6)
    return buf.getvalue()


def index_seed(package, edit=None):
    """PACKAGE's index with its size line; EDIT(lines) may change the
    index's lines (bytes, without LF) first."""
    lines = entryindex.write_index(package).split(b"\n")[:-1]
    if edit:
        edit(lines)
    return b"%d\n" % len(package) + b"".join(line + b"\n" for line in lines)


def field(lines, n, k, value):
    """Sets field K (0: "entry") of index line N."""
    words = lines[n].split(b" ", 10)
    words[k] = value if isinstance(value, bytes) else str(value).encode()
    lines[n] = b" ".join(words)


def add_index_seeds():
    package = published_zip([
        ("iKVTRemote.exe", b"MZ" + bytes(range(256)) * 8, 1764576000, 0x20),
        ("config/ORB.System.config", b"[Client]\r\nName=orb\r\n", 1764576002, 0x21),
        ("说明/read me.txt", "说明".encode() * 20, 1764576004, 0x20),
        ("data/", b"", 1764576006, 0x10)])
    offset2 = entryindex.read_index(entryindex.write_index(package), len(package))[1].offset

    def swap(lines):
        lines[2], lines[3] = lines[3], lines[2]

    def overlap(lines):
        field(lines, 3, 1, offset2 - 8)

    def past_end(lines):
        field(lines, 1, 3, len(package) + 1)      # the directory after the package

    def rename(name):
        return lambda lines: field(lines, 4, 10, name)

    SEEDS.update({
        "index-valid.idx": index_seed(package),
        "index-one-entry.idx": index_seed(published_zip([("a.txt", b"a" * 100, 1764576000,
                                                          0x20)])),
        # Hostile: each refused as a whole, the package then fetched whole.
        "index-out-of-order.idx": index_seed(package, swap),
        "index-overlap.idx": index_seed(package, overlap),
        "index-gap.idx": index_seed(package, lambda lines: field(lines, 3, 1, offset2 + 1)),
        "index-past-size.idx": index_seed(package, past_end),
        "index-past-directory.idx": index_seed(package, lambda lines: field(lines, 5, 2,
                                                                            len(package))),
        "index-size-differs.idx": b"%d\n" % (len(package) - 1) + entryindex.write_index(package),
        "index-count-more.idx": index_seed(package, lambda lines: lines.__setitem__(
            1, b"package %d 5 %s" % (len(package), lines[1].split(b" ")[3]))),
        "index-count-fewer.idx": index_seed(package, lambda lines: lines.pop()),
        "index-parent-name.idx": index_seed(package, rename(b"../../evil.txt")),
        "index-device-name.idx": index_seed(package, rename(b"sub/nul.txt")),
        "index-backslash-name.idx": index_seed(package, rename(b"a\\..\\b.txt")),
        "index-stream-name.idx": index_seed(package, rename(b"a.txt:hidden")),
        "index-not-utf8-name.idx": index_seed(package, rename(b"\xb5\xb5.txt")),
        "index-same-name.idx": index_seed(package, rename(b"IKVTREMOTE.EXE")),
        "index-long-line.idx": index_seed(package, rename(b"n" * 450)),
        "index-method.idx": index_seed(package, lambda lines: field(lines, 2, 3, 12)),
        "index-stored-sizes.idx": index_seed(package, lambda lines: field(lines, 2, 3, 0)),
        "index-huge-number.idx": index_seed(package, lambda lines: field(lines, 2, 5,
                                                                         2**32)),
        "index-leading-zero.idx": index_seed(package, lambda lines: field(lines, 2, 7,
                                                                          b"01764576000")),
        "index-cr.idx": index_seed(package).replace(b"\n", b"\r\n"),
    })


def main():
    out = sys.argv[1]
    add_index_seeds()
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    regressions = os.path.join(HERE, "regressions")
    for name in sorted(os.listdir(regressions)):
        if name.endswith(".hex"):
            shutil.copy(os.path.join(regressions, name), os.path.join(out, "regression-" + name))


if __name__ == "__main__":
    main()
