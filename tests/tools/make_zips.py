#!/usr/bin/env python3
"""Builds the zip reader's test archives into the folder given first.

Ordinary archives come from Python's zipfile and Debian's zip; archives whose
fields must be exact (extra blocks, hosts, attributes, bad CRCs, traditional
encryption) are built byte by byte here. Payloads that the tests compare
against are written next to them under <folder>/payload/<archive>/.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

OUT = sys.argv[1]
rnd = random.Random(4)


def dos_time(y, mo, d, h, mi, s):
    return ((y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) | (s // 2)


STAMP = dos_time(2021, 6, 15, 10, 20, 30)


def ut_block(flags, *times, size=None):
    data = bytes([flags]) + b"".join(struct.pack("<i", t) for t in times)
    return b"UT" + struct.pack("<H", len(data) if size is None else size) + data


# Traditional PKWARE encryption, for building encrypted entries.
CRC_TABLE = []
for n in range(256):
    c = n
    for _ in range(8):
        c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
    CRC_TABLE.append(c)


class Cipher:
    def __init__(self, password):
        self.k = [0x12345678, 0x23456789, 0x34567890]
        for b in password:
            self.update(b)

    def update(self, b):
        k = self.k
        k[0] = CRC_TABLE[(k[0] ^ b) & 0xFF] ^ (k[0] >> 8)
        k[1] = ((k[1] + (k[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k[2] = CRC_TABLE[(k[2] ^ (k[1] >> 24)) & 0xFF] ^ (k[2] >> 8)

    def encrypt(self, data):
        out = bytearray()
        for b in data:
            t = (self.k[2] | 2) & 0xFFFF
            out.append(b ^ ((t * (t ^ 1)) >> 8) & 0xFF)
            self.update(b)
        return bytes(out)


class Entry:
    def __init__(self, name, data=b"", method=8, dos=STAMP, made_by=20, attr=0, extra=b"",
                 central_extra=b"", crc=None, local_crc=None, encrypt=None, descriptor=False,
                 packed=None, usize=None, flags=0):
        self.__dict__.update(locals())
        del self.__dict__["self"]


def build(path, entries, check=True):
    """Writes a zip of Entry objects: local headers, data, central directory."""
    body, central = bytearray(), bytearray()
    for e in entries:
        name = e.name.encode("latin-1") if isinstance(e.name, str) else e.name
        crc = zlib.crc32(e.data) if e.crc is None else e.crc
        if e.packed is not None:
            packed = e.packed
        elif e.method == 8:
            co = zlib.compressobj(9, zlib.DEFLATED, -15)
            packed = co.compress(e.data) + co.flush()
        else:
            packed = e.data
        flags = (1 if e.encrypt else 0) | (8 if e.descriptor else 0) | e.flags
        if e.encrypt:
            check = (e.dos >> 8) & 0xFF if e.descriptor else crc >> 24
            if e.encrypt == "badcheck":
                check ^= 0x5A
            header = bytes(rnd.randrange(256) for _ in range(11)) + bytes([check])
            cipher = Cipher(b"")
            sealed = cipher.encrypt(header)
            if e.encrypt == "otherkey":
                cipher = Cipher(b"secret")
            sealed += cipher.encrypt(packed)
            if e.encrypt == "empty":  # our cipher agrees with zipfile's own
                assert zipfile._ZipDecrypter(b"")(sealed) == header + packed
            packed = sealed
        csize, usize = len(packed), len(e.data) if e.usize is None else e.usize
        lcrc = crc if e.local_crc is None else e.local_crc
        offset = len(body)
        local_fields = (0, 0, 0) if e.descriptor else (lcrc, csize, usize)
        body += struct.pack("<IHHHI3IHH", 0x04034B50, 20, flags, e.method, e.dos, *local_fields,
                            len(name), len(e.extra)) + name + e.extra + packed
        if e.descriptor:
            body += struct.pack("<4I", 0x08074B50, crc, csize, usize)
        central += struct.pack("<IHHHHI3IHHHHHII", 0x02014B50, e.made_by, 20, flags, e.method,
                               e.dos, crc, csize, usize, len(name), len(e.central_extra), 0, 0,
                               0, e.attr, offset) + name + e.central_extra
    eocd = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                       len(body), 0)
    with open(os.path.join(OUT, path), "wb") as f:
        f.write(body + central + eocd)
    if check:
        zipfile.ZipFile(os.path.join(OUT, path)).infolist()  # a structure zipfile accepts


def payload(archive, name, data):
    p = os.path.join(OUT, "payload", archive, name)
    os.makedirs(os.path.dirname(p), exist_ok=True)
    with open(p, "wb") as f:
        f.write(data)
    return p


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(OUT)

    # Round trip: stored data larger than one 16 KiB buffer, deflated text,
    # a directory entry, a nested file, an empty file.
    files = {
        "stored.bin": bytes(rnd.randrange(256) for _ in range(40000)),
        "deflated.txt": b"".join(b"line %d of the package\r\n" % i for i in range(9000)),
        "docs/img/a.png": bytes(rnd.randrange(256) for _ in range(5000)),
        "empty.txt": b"",
    }
    with zipfile.ZipFile(os.path.join(OUT, "roundtrip.zip"), "w") as z:
        z.writestr("stored.bin", files["stored.bin"], zipfile.ZIP_STORED)
        z.writestr("deflated.txt", files["deflated.txt"], zipfile.ZIP_DEFLATED)
        z.writestr("docs/", b"")
        z.writestr("docs/img/a.png", files["docs/img/a.png"], zipfile.ZIP_DEFLATED)
        z.writestr("empty.txt", b"", zipfile.ZIP_DEFLATED)
    for name, data in files.items():
        payload("roundtrip", name, data)

    # Debian's zip over real files: Unix host, "UT" and "ux" blocks.
    src = os.path.join(OUT, "payload", "infozip")
    payload("infozip", "a/b.txt", b"from info-zip\n" * 100)
    payload("infozip", "c.txt", b"second\n")
    os.utime(os.path.join(src, "a/b.txt"), (1500000000, 1600000000))
    os.utime(os.path.join(src, "c.txt"), (1400000000, 1300000000))
    subprocess.run(["zip", "-q", "-r", os.path.join(OUT, "infozip.zip"), "a", "c.txt"], cwd=src,
                   check=True)

    with zipfile.ZipFile(os.path.join(OUT, "empty.zip"), "w"):
        pass
    with open(os.path.join(OUT, "notzip.zip"), "wb") as f:
        f.write(b"<html>404 Not Found</html>\n" * 10)

    names = ["C:\\data\\a.txt", "/etc/x", "\\\\two\\b.txt", "a/../b.txt", "x/y/../z", "plain.txt"]
    build("names.zip", [Entry(n, b"n", method=0) for n in names])

    build("times.zip", [
        Entry("dos_only.txt", b"t"),
        Entry("ut_mtime.txt", b"t", extra=ut_block(1, 1600000000),
              central_extra=ut_block(1, 1000000000)),
        Entry("ut_after.txt", b"t", extra=b"zz" + struct.pack("<H", 259) + b"\xAA" * 259 +
              ut_block(7, 1500000000, 1400000000, -1)),
        Entry("ut_short.txt", b"t", extra=ut_block(7, 1300000000, size=5) + b"ab\x00\x00"),
        Entry("ut_cut.txt", b"t", extra=ut_block(7, 1200000000, size=13)),
        Entry("bad_month.txt", b"t", dos=(41 << 25) | (0 << 21) | (15 << 16)),
        Entry("bad_hour.txt", b"t", dos=(41 << 25) | (6 << 21) | (15 << 16) | (31 << 11)),
    ])

    unix, dos, ntfs, mac, vfat = 3 << 8 | 30, 0 << 8 | 20, 11 << 8 | 20, 7 << 8 | 20, 14 << 8 | 20
    build("attrs.zip", [
        Entry("udir/", method=0, made_by=unix, attr=0o040755 << 16),
        Entry("uro.txt", b"r", made_by=unix, attr=0o100444 << 16),
        Entry("urw.txt", b"w", made_by=unix, attr=0o100644 << 16 | 0x01),
        Entry("hidden.txt", b"h", made_by=dos, attr=0x22),
        Entry("rosys.txt", b"s", made_by=ntfs, attr=0x25),
        Entry("mac.txt", b"m", made_by=mac, attr=0x01),
        Entry("vdir/", method=0, made_by=vfat, attr=0x10),
    ])

    data = b"some text that deflates well " * 50
    co = zlib.compressobj(9, zlib.DEFLATED, -15)
    full = co.compress(data) + co.flush()
    half = full[:len(full) // 2]
    build("faults.zip", [
        Entry("good.txt", data),
        Entry("badcrc.txt", data, crc=zlib.crc32(data) ^ 1),
        Entry("localdiff.txt", data, local_crc=zlib.crc32(data) ^ 1),
        Entry("bzip2.txt", b"BZh9 not really", method=12),
        Entry("truncated.txt", data, packed=half),
        Entry("short.txt", b"12345", method=0, usize=10),
    ])

    build("three.zip", [Entry("first.txt", b"one"), Entry("second.txt", b"two", crc=1),
                        Entry("third.txt", b"three")])
    build("unsafe.zip", [Entry(n, b"x", method=0) for n in
                         ["../x.txt", "a/../../y.txt", "..\\z.txt", "..", "a/..", ".. /v.txt",
                          "a/.../w.txt", "ok.txt"]])
    build("long.zip", [Entry("n" * 255 + ".txt", b"l"), Entry("n" * 256 + ".txt", b"l"),
                       Entry("d/", method=0)])

    # Names Windows cannot make, or makes into another file; and two that
    # look alike but are ordinary names.
    build("windows-names.zip", [Entry(n, b"w", method=0) for n in
                                ["ab:stream.txt", "star*.txt", "dots.", "space /x.txt",
                                 "PROGRA~1/x.txt", "README~2.TXT", "ok.txt", "tilde~name.txt",
                                 "v1.2~3.tar.gz"]])
    # End records that count more entries than the directory holds: a few
    # more (the next cannot be reached), and more than the file could hold.
    for name, count in (("lying-count.zip", 3), ("huge-count.zip", 60000)):
        build(name, [Entry("first.txt", b"f")], check=False)
        with open(os.path.join(OUT, name), "rb") as f:
            data = bytearray(f.read())
        data[-14:-10] = struct.pack("<HH", count, count)  # the end record's two counts
        data[-2:] = struct.pack("<H", 200)  # and a comment, so the file is long enough
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(bytes(data) + b"c" * 200)

    # Folder entries whatever their attributes, "./", hosts without modes.
    build("folders.zip", [
        Entry("jar/", method=0, made_by=20, attr=0),          # jar: host 0, attributes 0
        Entry("jar/in.txt", b"j", made_by=20, attr=0),
        Entry("unix0/", method=0, made_by=unix, attr=0),      # Unix host, no mode
        Entry("unix0/plain.txt", b"u", made_by=unix, attr=0),
        Entry("./", method=0, made_by=unix, attr=0o040755 << 16),  # bsdtar's
        Entry("./inplace.txt", b"p", made_by=unix, attr=0o100644 << 16),
    ])

    # Name encodings: Info-ZIP's Unicode Path field (right and stale CRC),
    # the UTF-8 flag over bytes that are not UTF-8.
    gbk, utf8 = "文档.txt".encode("gbk"), "文档.txt".encode("utf-8")
    upath = struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, zlib.crc32(gbk)) + utf8
    stale = struct.pack("<HHBI", 0x7075, 10, 1, zlib.crc32(b"s" + gbk) ^ 1) + b"x.txt"
    build("encodings.zip", [
        Entry(gbk, b"e", central_extra=upath),
        Entry(b"s" + gbk, b"e", central_extra=stale),
        Entry(gbk, b"e", flags=0x800),
    ], check=False)  # zipfile itself cannot read the last name

    # The same folder packed by the real tools users have: Info-ZIP's zip
    # (raw UTF-8, Unix host, no flag), 7-Zip and jar (flag), bsdtar ("./").
    tree = {"中文目录/文件.txt": "文件内容\n", "说明.txt": "说明\n", "plain/a.txt": "a\n"}
    src = os.path.join(OUT, "payload", "realtools")
    for name, text in tree.items():
        payload("realtools", name, text.encode("utf-8"))
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
    for zip_name, argv in (
            ("tool-zip.zip", ["zip", "-q", "-r", "{out}", "."]),
            ("tool-7z.zip", ["7z", "a", "-tzip", "-bso0", "-bsp0", "{out}", "."]),
            ("tool-jar.zip", ["jar", "cfM", "{out}", "."]),
            ("tool-bsdtar.zip", ["bsdtar", "--format", "zip", "-cf", "{out}", "."])):
        out = os.path.join(OUT, zip_name)
        subprocess.run([a.replace("{out}", out) for a in argv], cwd=src, env=env, check=True,
                       stdout=subprocess.DEVNULL)

    text = b"encrypted with the empty password\r\n" * 40
    build("encrypted.zip", [
        Entry("enc_stored.txt", text, method=0, encrypt="empty"),
        Entry("enc_deflated.txt", text, encrypt="empty", descriptor=True,
              dos=dos_time(2020, 1, 2, 3, 4, 6)),
        Entry("enc_badcheck.txt", text, encrypt="badcheck"),
        Entry("enc_otherkey.txt", text, method=0, encrypt="otherkey"),
    ])
    assert (zlib.crc32(text) >> 24) != (dos_time(2020, 1, 2, 3, 4, 6) >> 8) & 0xFF
    payload("encrypted", "text.txt", text)


if __name__ == "__main__":
    main()
