"""The installer's own rules for the setup list and its zip packages, in
Python, so the publisher can read its output back the way setup.exe will.

Kept line for line with install/SetupList.cpp (SplitString, ParseSetupList,
ValidateSetupList) and archive/ArchiveEntryInfo.cpp (name sanitising, the
components extraction refuses, the "UT" block, attribute mapping). When
those change, change this too.
"""
import re
import struct
import zlib

# setup.exe holds each download in one block of this size (grown only when a
# body does not fit); the list must end before the block does.
DOWNLOAD_BUFFER = 17825792
MAX_NAME_CHARS = 31
MAX_NUMBER_CHARS = 19

DOWNLOAD_FAILED = "下载Setupconfig.txt失败"
LIST_EMPTY = "orbsetup.txt为空"


def split_string(text, sep):
    """Non-empty pieces between separators, in order."""
    return [piece for piece in text.split(sep) if piece]


def is_safe_file_name(name):
    if not name or len(name) > MAX_NAME_CHARS or name in (".", ".."):
        return False
    return not any(ord(ch) < 0x20 or ord(ch) == 0x7F or ch in '\\/:*?"<>|' for ch in name)


def convert_number(field):
    """atol's rules through strtol on a 32-bit long (saturating); None when
    the field does not fit the conversion room. Fields are ASCII here: the
    publisher writes nothing else."""
    if len(field) > MAX_NUMBER_CHARS:
        return None
    s = field.encode("ascii", "replace").decode("ascii")
    i = 0
    while i < len(s) and s[i] in " \t\n\v\f\r":
        i += 1
    sign = 1
    if i < len(s) and s[i] in "+-":
        sign = -1 if s[i] == "-" else 1
        i += 1
    digits = ""
    while i < len(s) and s[i].isdigit():
        digits += s[i]
        i += 1
    value = sign * int(digits) if digits else 0
    return max(-2**31, min(2**31 - 1, value))


def parse_setup_list(text):
    """[(name, value, kind)] of the valid lines."""
    entries = []
    for raw in split_string(text, "\r"):
        line = raw.strip("\r\n")
        if not line:
            continue
        fields = split_string(line, ";")
        if len(fields) != 3 or not is_safe_file_name(fields[0]):
            continue
        value, kind = convert_number(fields[1]), convert_number(fields[2])
        if value is None or kind is None:
            continue
        entries.append((fields[0], value, kind))
    return entries


def validate_setup_list(data, buffer_size=DOWNLOAD_BUFFER):
    """(entries, None) or (None, message the installer would show)."""
    if len(data) < 3 or len(data) >= buffer_size:
        return None, DOWNLOAD_FAILED
    # The installer takes whatever follows the first two bytes as UTF-16LE,
    # mark or not; the publisher insists on the mark separately.
    body = data[2:]
    chars = []
    for off in range(0, len(body) - 1, 2):
        ch = body[off] | (body[off + 1] << 8)
        if not ch:
            break
        chars.append(chr(ch))
    text = "".join(chars)
    entries = parse_setup_list(text) if text else []
    if not entries:
        return None, LIST_EMPTY
    return entries, None


def sanitise_entry_name(name):
    """The reader's name rules, repeated until none applies."""
    while True:
        if name == "." or name.startswith("./") or name.startswith(".\\"):
            name = name[2:]
        elif len(name) >= 2 and name[1] == ":":
            name = name[2:]
        elif name.startswith("\\") or name.startswith("/"):
            name = name[1:]
        else:
            for pattern in ("\\..\\", "\\../", "/../", "/..\\"):
                pos = name.find(pattern)
                if pos >= 0:
                    name = name[pos + len(pattern):]
                    break
            else:
                return name


def _components(name):
    return name.replace("\\", "/").split("/")


def has_parent_component(name):
    """Windows drops trailing dots and spaces, so ".. " and "..." reach the
    parent too: any component of dots and spaces with two dots or more."""
    return any(part.count(".") >= 2 and not part.strip(". ") for part in _components(name))


DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}


def is_device_name(part):
    base = part.split(".", 1)[0].rstrip(" ")
    if base.upper() in DEVICE_NAMES:
        return True
    # Superscript one to three count as digits here too.
    return len(base) == 4 and base[:3].upper() in ("COM", "LPT") and \
        (base[3] in "123456789" or base[3] in "\u00b9\u00b2\u00b3")


def has_device_component(name):
    return any(is_device_name(part) for part in _components(name))


SHORT_NAME = re.compile(r"[^~]{1,6}~[0-9]+(\.[^.]{0,3})?")


def has_unusable_component(name):
    """A stream, a wildcard, a control character, a component ending in a
    dot or space, or one shaped like another file's 8.3 short name."""
    if any(ord(ch) < 0x20 or ch in ':*?<>|"' for ch in name):
        return True
    return any(part and part != "." and (part[-1] in ". " or SHORT_NAME.fullmatch(part))
               for part in _components(name))


DOS_HOSTS = (0, 7, 11, 14)


def entry_attributes(made_by, external):
    host = made_by >> 8
    if host in DOS_HOSTS:
        return external & 0x37
    if not external >> 16:  # no mode recorded: an ordinary writable file
        return 0x20
    attrs = 0x20
    if external & 0x40000000:
        attrs |= 0x10
    if not external & 0x00800000:
        attrs |= 0x1
    return attrs


def ut_times(local_extra):
    """{'write'|'access'|'creation': unix time} from the first "UT" block of
    a local extra field, as the reader walks it."""
    off = 0
    while off + 4 < len(local_extra):
        head, size = struct.unpack_from("<2sH", local_extra, off)
        if head == b"UT":
            end = min(off + 4 + size, len(local_extra))
            flags = local_extra[off + 4]
            times, pos = {}, off + 5
            for bit, key in ((1, "write"), (2, "access"), (4, "creation")):
                if flags & bit:
                    if pos + 4 > end:
                        break
                    times[key] = struct.unpack_from("<i", local_extra, pos)[0]
                    pos += 4
            return times
        off += 4 + size
    return {}


def decode_entry_name(flags, made_by, raw, central_extra=b""):
    """The stored name as the reader decodes it: UTF-8 when flag bit 11 is
    set; the UTF-8 of an Info-ZIP Unicode Path field whose CRC-32 matches
    the raw name; a Unix host's valid UTF-8; else the machine's ANSI code
    page, which only ASCII survives the same everywhere (None otherwise).
    None too for invalid UTF-8 where the archive declares UTF-8."""
    def utf8(b):
        try:
            return b.decode("utf-8")
        except UnicodeDecodeError:
            return None
    if flags & 0x800:
        return utf8(raw)
    off = 0
    while off + 4 <= len(central_extra):
        head, size = struct.unpack_from("<HH", central_extra, off)
        data = central_extra[off + 4:off + 4 + size]
        if off + 4 + size > len(central_extra):
            break
        if head == 0x7075 and size >= 5 and data[0] == 1:
            if struct.unpack_from("<I", data, 1)[0] == zlib.crc32(raw):
                return utf8(data[5:])
            break
        off += 4 + size
    if made_by >> 8 == 3 and any(b >= 0x80 for b in raw) and utf8(raw) is not None:
        return utf8(raw)
    return raw.decode("ascii") if all(b < 0x80 for b in raw) else None
