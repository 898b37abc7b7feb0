"""Reads what publishing needs of a Windows program (PE image): its machine
and the strings of its version resource (ProductVersion...).

Any file is read safely: whatever does not parse raises ValueError."""
import struct

I386 = 0x14C
RT_VERSION = 16


def _unpack(fmt, data, off):
    if off < 0 or off + struct.calcsize(fmt) > len(data):
        raise ValueError("cut short")
    return struct.unpack_from(fmt, data, off)


class Program:
    def __init__(self, data):
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise ValueError("not a Windows program (no MZ header)")
        pe = _unpack("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a Windows program (no PE signature)")
        self.data = data
        self.machine, nsec = _unpack("<HH", data, pe + 4)
        opt_size = _unpack("<H", data, pe + 20)[0]
        opt = pe + 24
        magic = _unpack("<H", data, opt)[0]
        if magic not in (0x10B, 0x20B):
            raise ValueError("not a Windows program (optional header %#x)" % magic)
        count_at, dirs = (opt + 92, opt + 96) if magic == 0x10B else (opt + 108, opt + 112)
        count = _unpack("<I", data, count_at)[0]
        self.resource_rva = 0
        if count > 2 and dirs + 24 <= opt + opt_size:
            self.resource_rva = _unpack("<I", data, dirs + 16)[0]
        self.sections = [_unpack("<IIII", data, opt + opt_size + 40 * i + 8)
                         for i in range(nsec)]

    def offset(self, rva, size):
        """File offset of SIZE bytes at RVA; ValueError where the file does
        not hold them."""
        for vsize, va, rawsize, rawptr in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                off = rawptr + rva - va
                if rva - va + size <= rawsize and off + size <= len(self.data):
                    return off
        raise ValueError("resource data outside the file")

    def resource(self, kind):
        """The first resource of a type (first name, first language), or
        None."""
        if not self.resource_rva:
            return None
        base = self.offset(self.resource_rva, 16)

        def entries(off):
            named, ids = _unpack("<HH", self.data, off + 12)
            return [_unpack("<II", self.data, off + 16 + 8 * i) for i in range(named + ids)]

        target = next((t for name, t in entries(base) if name == kind), None)
        if target is None:
            return None
        # Type, name, language: a data entry after at most two more levels.
        for _ in range(2):
            if not target & 0x80000000:
                break
            level = entries(base + (target & 0x7FFFFFFF))
            if not level:
                return None
            target = level[0][1]
        if target & 0x80000000:
            raise ValueError("resource directory nested too deep")
        rva, size = _unpack("<II", self.data, base + target)
        start = self.offset(rva, size)
        return self.data[start:start + size]


def _nodes(blob, off, end):
    """The VS_VERSIONINFO-style nodes between OFF and END: (key, type,
    value bytes, children's start, node end)."""
    while off + 6 <= end:
        length, value_len, kind = _unpack("<HHH", blob, off)
        node_end = off + length
        if length < 6 or node_end > end:
            raise ValueError("version resource: a node overruns its parent")
        key_end = off + 6
        while key_end + 2 <= node_end and blob[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = blob[off + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        # A text value's length counts characters; a binary one's bytes.
        value_end = min(value + value_len * (2 if kind == 1 else 1), node_end)
        children = (value_end + 3) & ~3
        yield key, kind, blob[value:value_end], children, node_end
        off = (node_end + 3) & ~3


def version_strings(blob):
    """{key: value} of the version resource's first string table."""
    for key, _, _, children, end in _nodes(blob, 0, len(blob)):
        if key != "VS_VERSION_INFO":
            raise ValueError("version resource: no VS_VERSION_INFO")
        for key, _, _, tables, tables_end in _nodes(blob, children, end):
            if key != "StringFileInfo":
                continue
            for _, _, _, strings, strings_end in _nodes(blob, tables, tables_end):
                return {k: v.decode("utf-16-le", errors="replace").split("\0")[0]
                        for k, kind, v, _, _ in _nodes(blob, strings, strings_end)
                        if kind == 1}
    return {}


def read_program(path):
    """(machine, version strings) of the program at PATH; ValueError when it
    is not a program or carries no version resource."""
    with open(path, "rb") as f:
        program = Program(f.read())
    blob = program.resource(RT_VERSION)
    if blob is None:
        raise ValueError("no version resource")
    return program.machine, version_strings(blob)
