"""Reads what the tests need of a Windows program or DLL (PE image): its
machine, sections, import tables, resources and version strings."""
import struct

I386 = 0x14C
AMD64 = 0x8664
RT_VERSION = 16


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[:2] != b"MZ" or d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        self.machine, nsec = struct.unpack_from("<HH", d, pe + 4)
        opt_size = struct.unpack_from("<H", d, pe + 20)[0]
        opt = pe + 24
        self.pe32plus = struct.unpack_from("<H", d, opt)[0] == 0x20B
        self.ptr = 8 if self.pe32plus else 4
        if self.pe32plus:
            self.base = struct.unpack_from("<Q", d, opt + 24)[0]
            dirs = opt + 112
        else:
            self.base = struct.unpack_from("<I", d, opt + 28)[0]
            dirs = opt + 96
        self.import_rva = struct.unpack_from("<I", d, dirs + 8)[0]
        self.resource_rva = struct.unpack_from("<I", d, dirs + 16)[0]
        # The certificate table (a signature) is appended to the file; its
        # entry holds a file offset, not an RVA.
        self.signature_size = struct.unpack_from("<I", d, dirs + 36)[0]
        self.sections = []
        for i in range(nsec):
            s = opt + opt_size + 40 * i
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", d, s + 8)
            self.sections.append((va, max(vsize, rawsize), rawptr, rawsize))

    def offset(self, rva):
        """File offset of an RVA, or None where the file holds no bytes."""
        for va, vsize, rawptr, rawsize in self.sections:
            if va <= rva < va + vsize:
                return rawptr + rva - va if rva - va < rawsize else None
        return None

    def pointer(self, rva):
        off = self.offset(rva)
        if off is None:
            return 0
        return struct.unpack_from("<Q" if self.pe32plus else "<I", self.data, off)[0]

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("ascii")

    def import_slots(self):
        """The RVAs of every slot of every import descriptor's address table."""
        slots = set()
        desc = self.import_rva
        while desc:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, self.offset(desc))
            if not (lookup or name or first):
                break
            i = 0
            while self.pointer((lookup or first) + i * self.ptr):
                slots.add(first + i * self.ptr)
                i += 1
            desc += 20
        return slots

    def resource(self, kind):
        """The bytes of the first resource of a type (first name, first
        language), or None."""
        if not self.resource_rva:
            return None
        base = self.offset(self.resource_rva)

        def entries(off):
            named, ids = struct.unpack_from("<HH", self.data, off + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, off + 16 + 8 * i)

        for name, target in entries(base):
            if name != kind:
                continue
            while target & 0x80000000:
                _, target = next(entries(base + (target & 0x7FFFFFFF)))
            rva, size = struct.unpack_from("<II", self.data, base + target)
            start = self.offset(rva)
            return self.data[start:start + size]
        return None


def version_strings(blob):
    """{key: value} of the StringFileInfo tables."""
    found = {}

    def walk(off, end):
        while off + 6 <= end:
            length, value_len, kind = struct.unpack_from("<HHH", blob, off)
            if length == 0:
                return
            key_end = blob.index(b"\0\0", off + 6)
            while (key_end - off) % 2:
                key_end = blob.index(b"\0\0", key_end + 1)
            key = blob[off + 6:key_end].decode("utf-16-le")
            pos = (key_end + 2 + 3) & ~3
            if kind == 1 and value_len and key not in ("StringFileInfo", "VarFileInfo"):
                value = blob[pos:pos + 2 * value_len].decode("utf-16-le").rstrip("\0")
                found[key] = value
                pos += 2 * value_len
            elif value_len:
                pos += value_len
            pos = (pos + 3) & ~3
            walk(pos, off + length)
            off = (off + length + 3) & ~3

    walk(0, len(blob))
    return found


def unsigned_size(path):
    """The file's size without its signature, if it has one."""
    image = Image(path)
    return len(image.data) - image.signature_size


def wine_arch(path):
    """The architecture name tests/testenv takes for the program's Wine."""
    return "i686" if machine(path) == I386 else "x86_64"


def machine(path):
    """The machine field of a program's or DLL's header."""
    return Image(path).machine
