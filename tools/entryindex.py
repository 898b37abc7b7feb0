"""The entry index, EX/STEM.idx beside each package STEM.zip: for every
entry of the zip, the byte range an installer fetches to take that entry
alone, its sizes, CRC-32, times, attributes and the SHA-256 of its content.
An update then fetches only the entries whose content it does not hold.
setup.exe reads it with the same rules as read_index here; when either
changes, change the other.

  tarvelo-index 1
  package SIZE COUNT CDOFFSET
  entry OFFSET LENGTH METHOD CSIZE USIZE CRC32 MTIME ATTRS SHA256 NAME
  ...                            (COUNT lines, in the zip's directory order)

The entries' ranges tile [0, CDOFFSET) in order. docs/publishing.md says
what each field means.
"""
import collections
import hashlib
import io
import re
import struct
import zipfile
import zlib

import setuplist

MAGIC = b"tarvelo-index 1"
MAX_INDEX_BYTES = 4194304
MAX_LINE_BYTES = 512            # without its LF
MAX_ENTRIES = 20000             # what setup.exe unpacks from one package
MAX_UNPACKED_BYTES = 1024 * 1024 * 1024
MAX_NAME_BYTES = 259
MAX_SIZE = 2**32 - 1
MAX_TIME = 2**31 - 1
ATTRIBUTE_BITS = 0x37           # what the extraction can give a file
LOCAL_HEADER = 30
NUMBER = re.compile(rb"0|[1-9][0-9]{0,9}")
CRC_HEX = re.compile(rb"[0-9a-f]{8}")
SHA256_HEX = re.compile(rb"[0-9a-f]{64}")

Entry = collections.namedtuple(
    "Entry", "offset length method csize usize crc32 mtime attrs sha256 name")


class IndexTooLarge(ValueError):
    pass


def _central_records(raw):
    """[(record fields, name bytes)] of the zip's central directory and the
    directory's offset. Only the plain zips publish.py writes: one disk, no
    zip64, no comment."""
    end = len(raw) - 22
    if end < 0 or raw[end:end + 4] != b"PK\x05\x06":
        raise ValueError("no end of central directory record where it belongs")
    _, disk, cd_disk, here, count, cd_size, cd_offset, comment = struct.unpack_from(
        "<IHHHHIIH", raw, end)
    if disk or cd_disk or here != count or comment or cd_offset + cd_size != end:
        raise ValueError("a zip of several parts, with a comment or a gap")
    records, pos = [], cd_offset
    for _ in range(count):
        fields = struct.unpack_from("<IHHHHHHIIIHHHHHII", raw, pos)
        if fields[0] != 0x02014B50:
            raise ValueError("central directory record %d is broken" % len(records))
        nlen, xlen, clen = fields[10:13]
        records.append((fields, raw[pos + 46:pos + 46 + nlen]))
        pos += 46 + nlen + xlen + clen
    if pos != end:
        raise ValueError("the central directory's records do not fill it")
    return records, cd_offset


def _entry_content(raw, offset, flags, method, csize, name):
    nlen, xlen = struct.unpack_from("<HH", raw, offset + 26)
    start = offset + LOCAL_HEADER + nlen + xlen
    data = raw[start:start + csize]
    if flags & 1:
        raise ValueError("%s: encrypted" % name)
    if method == 8:
        inflater = zlib.decompressobj(-15)
        data = inflater.decompress(data) + inflater.flush()
    return data, raw[offset + LOCAL_HEADER + nlen:start]


def write_index(zip_bytes):
    """The index of the zip ZIP_BYTES. Raises ValueError for a zip the
    format cannot describe, IndexTooLarge for one whose index would pass
    the reader's limits."""
    records, cd_offset = _central_records(zip_bytes)
    offsets = [fields[16] for fields, _ in records] + [cd_offset]
    lines = [MAGIC, b"package %d %d %d" % (len(zip_bytes), len(records), cd_offset)]
    for n, (fields, raw_name) in enumerate(records):
        made_by, flags, method, crc, csize, usize, external = (
            fields[1], fields[3], fields[4], fields[7], fields[8], fields[9], fields[15])
        name = raw_name.decode("utf-8")
        offset = offsets[n]
        local = struct.unpack_from("<IHHHHHIIIHH", zip_bytes, offset)
        if local[0] != 0x04034B50 or local[3] != method or local[9] != len(raw_name) or \
                zip_bytes[offset + LOCAL_HEADER:offset + LOCAL_HEADER + len(raw_name)] != raw_name:
            raise ValueError("%s: local header does not match the directory" % name)
        content, local_extra = _entry_content(zip_bytes, offset, flags, method, csize, name)
        if len(content) != usize or zlib.crc32(content) != crc:
            raise ValueError("%s: content does not match its size and CRC" % name)
        times = setuplist.ut_times(local_extra)
        mtime = times.get("write")
        if sorted(times) != ["access", "creation", "write"] or \
                set(times.values()) != {mtime} or mtime < 0:
            raise ValueError("%s: no extended timestamp with three equal times" % name)
        lines.append(b"entry %d %d %d %d %d %08x %d %d %s %s" % (
            offset, offsets[n + 1] - offset, method, csize, usize, crc, mtime,
            setuplist.entry_attributes(made_by, external),
            hashlib.sha256(content).hexdigest().encode(), raw_name))
    data = b"".join(line + b"\n" for line in lines)
    if len(data) > MAX_INDEX_BYTES or any(len(line) > MAX_LINE_BYTES for line in lines):
        raise IndexTooLarge("its index would pass %d bytes, or %d a line"
                            % (MAX_INDEX_BYTES, MAX_LINE_BYTES))
    read_index(data, len(zip_bytes))
    return data


def _number(word, top, what):
    if not NUMBER.fullmatch(word) or int(word) > top:
        raise ValueError("%s %r is not a decimal number from 0 to %d"
                         % (what, word.decode("ascii", "replace"), top))
    return int(word)


def _name(raw):
    """The entry's name when the extraction would write it as it stands."""
    try:
        name = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError("name is not UTF-8") from None
    if not name or len(raw) > MAX_NAME_BYTES:
        raise ValueError("name empty or longer than %d bytes" % MAX_NAME_BYTES)
    # One spelling a path: no "." or empty component to alias another name.
    parts = name[:-1].split("/") if name.endswith("/") else name.split("/")
    if "\\" in name or "." in parts or "" in parts or \
            setuplist.sanitise_entry_name(name) != name or \
            setuplist.has_parent_component(name) or setuplist.has_device_component(name) or \
            setuplist.has_unusable_component(name):
        raise ValueError("name %r is one the extraction refuses or changes" % name)
    return name


def read_index(data, package_size):
    """[Entry] of the index DATA of a package of PACKAGE_SIZE bytes (the
    manifest's); raises ValueError on anything setup.exe would refuse."""
    if len(data) > MAX_INDEX_BYTES:
        raise ValueError("longer than %d bytes" % MAX_INDEX_BYTES)
    if b"\r" in data:
        raise ValueError("contains CR: lines end with LF alone")
    if not data.endswith(b"\n"):
        raise ValueError("does not end with a line feed")
    lines = data[:-1].split(b"\n")
    for n, line in enumerate(lines, 1):
        if len(line) > MAX_LINE_BYTES:
            raise ValueError("line %d: longer than %d bytes" % (n, MAX_LINE_BYTES))
    if lines[0] != MAGIC:
        raise ValueError("line 1: not %r" % MAGIC.decode())
    words = lines[1].split(b" ") if len(lines) > 1 else []
    if len(words) != 4 or words[0] != b"package":
        raise ValueError("line 2: not \"package SIZE COUNT CDOFFSET\"")
    size = _number(words[1], MAX_SIZE, "package size")
    count = _number(words[2], MAX_ENTRIES, "entry count")
    cd_offset = _number(words[3], MAX_SIZE, "directory offset")
    if size != package_size:
        raise ValueError("package size %d, not the manifest's %d" % (size, package_size))
    if not count:
        raise ValueError("no entries")
    if cd_offset > size:
        raise ValueError("directory offset %d past the package's end" % cd_offset)
    if len(lines) - 2 != count:
        raise ValueError("%d entry lines for a count of %d" % (len(lines) - 2, count))
    entries, seen, unpacked = [], set(), 0
    for n, line in enumerate(lines[2:], 3):
        words = line.split(b" ", 10)
        if len(words) != 11 or words[0] != b"entry":
            raise ValueError("line %d: not an entry line of 11 fields" % n)
        try:
            offset, length, method, csize, usize = (
                _number(w, MAX_SIZE, what) for w, what in zip(
                    words[1:6], ("offset", "length", "method", "compressed size", "size")))
            mtime = _number(words[7], MAX_TIME, "time")
            attrs = _number(words[8], ATTRIBUTE_BITS, "attributes")
            name = _name(words[10])
        except ValueError as e:
            raise ValueError("line %d: %s" % (n, e)) from None
        if not CRC_HEX.fullmatch(words[6]) or not SHA256_HEX.fullmatch(words[9]):
            raise ValueError("line %d: CRC-32 or SHA-256 not lower-case hex of its length" % n)
        if attrs & ~ATTRIBUTE_BITS:
            raise ValueError("line %d: attributes %d" % (n, attrs))
        if method not in (0, 8) or (method == 0 and csize != usize):
            raise ValueError("line %d: method %d with sizes %d and %d" % (n, method, csize, usize))
        if name.endswith("/") and (method or usize):
            raise ValueError("line %d: a folder with content" % n)
        expected = entries[-1].offset + entries[-1].length if entries else 0
        if offset != expected:
            raise ValueError("line %d: offset %d, not %d where the last entry ended"
                             % (n, offset, expected))
        # The local header, the name and the compressed data at least.
        if length < LOCAL_HEADER + len(words[10]) + csize or offset + length > cd_offset:
            raise ValueError("line %d: length %d cannot hold the entry or passes the directory"
                             % (n, length))
        key = name.rstrip("/").lower()
        if key in seen:
            raise ValueError("line %d: %s named twice (names ignore case)" % (n, name))
        seen.add(key)
        unpacked += usize
        if unpacked > MAX_UNPACKED_BYTES:
            raise ValueError("line %d: more than %d bytes unpacked" % (n, MAX_UNPACKED_BYTES))
        entries.append(Entry(offset, length, method, csize, usize, words[6].decode(), mtime,
                             attrs, words[9].decode(), name))
    if entries[-1].offset + entries[-1].length != cd_offset:
        raise ValueError("the entries end at %d, not at the directory's offset %d"
                         % (entries[-1].offset + entries[-1].length, cd_offset))
    return entries


def check_against_zip(data, zip_bytes):
    """The ways the index DATA misdescribes ZIP_BYTES, read through zipfile
    rather than write_index's own parser; [] when it describes it exactly."""
    try:
        entries = read_index(data, len(zip_bytes))
    except ValueError as e:
        return ["setup.exe would refuse it: %s" % e]
    with zipfile.ZipFile(io.BytesIO(zip_bytes)) as z:
        infos = z.infolist()
        ends = [i.header_offset for i in infos[1:]] + [z.start_dir]
        if len(entries) != len(infos) or entries[-1].offset + entries[-1].length != z.start_dir:
            return ["%d entries ending at %d, the zip %d with its directory at %d"
                    % (len(entries), entries[-1].offset + entries[-1].length, len(infos),
                       z.start_dir)]
        problems = []
        for entry, info, end in zip(entries, infos, ends):
            nlen, xlen = struct.unpack_from("<HH", zip_bytes, info.header_offset + 26)
            extra = zip_bytes[info.header_offset + LOCAL_HEADER + nlen:][:xlen]
            mtime = setuplist.ut_times(extra).get("write")
            content = z.read(info)
            actual = Entry(info.header_offset, end - info.header_offset, info.compress_type,
                           info.compress_size, info.file_size, "%08x" % info.CRC, mtime,
                           setuplist.entry_attributes(
                               info.create_version | (info.create_system << 8),
                               info.external_attr),
                           hashlib.sha256(content).hexdigest(), info.orig_filename)
            if entry != actual:
                problems.append("entry %s reads as %r, the zip holds %r"
                                % (info.orig_filename, entry, actual))
        return problems
