#!/usr/bin/env python3
"""Publishes a release: turns a release description into the download
server's EX/ folder (zip packages and their entry indexes, orbsetup.txt,
UnInstall.exe, manifest.txt).

  publish.py RELEASE.json --out DIR [--sign-key KEY.pem] [--valid-days N]
             [--uninstaller EXE] [--define NAME=VALUE]...
             [--setup EXE --setup-url URL]
  publish.py keygen DIR

The result is DIR/EX/; serve DIR from any static web server so that
https://HOST/EX/orbsetup.txt answers. setup.exe has its server compiled in:
build it for HTTPS with
  cmake --preset win32 -DSETUP_SERVER_URL=https://HOST[:PORT]
(the server's certificate must validate on the users' Windows). Plain
http://HOST (-DSETUP_SERVER_HOST=HOST[:PORT]) lets anyone on the network
path replace what the installer runs as administrator.

EX/manifest.txt lists every file setup.exe fetches with its size and SHA-256
(format: tools/releasemanifest.py), under a serial that grows with each
publication into the same DIR and an expiry time --valid-days (1..3650,
default 30) ahead. --sign-key signs it with the release private key; without
it the manifest is written unsigned and publish says so. The key's password
is read from the environment only: SETUP_RELEASE_KEY_PASSWORD, or the
variable that SETUP_RELEASE_KEY_PASSWORD_VAR names. A key lying inside DIR is
refused: the server would hand it out.

"keygen DIR" makes the release key pair: DIR/release-key.pem (PKCS#8, mode
0600, encrypted when SETUP_RELEASE_KEY_PASSWORD is set) and
DIR/release-key.pub.pem, the public key setup.exe is built with. It never
overwrites a key, and refuses a DIR that is, or lies in, a release folder
(one named EX or holding EX/). Keep the private key off the server.

The release description (JSON):

  {
    "uninstaller": "path/to/UnInstall.exe",          (or --uninstaller)
    "packages": [
      {"name": "client.zip", "kind": 1, "value": 1,
       "folders": ["client", "$build/client-bin"]},
      ...
    ]
  }

--setup and --setup-url (both or neither) also write DIR/tarvelo.winget.yaml,
the Windows package manager's manifest for that setup.exe served at that URL
(tools/wingetmanifest.py: its version from setup.exe's ProductVersion, its
SHA-256, the silent switch /S and the meaning of each exit code). setup.exe
installs whatever release is served, so the manifest only changes with a new
setup.exe; one written earlier stays when these are not given. A --setup that
is not a 32-bit Windows program with a version resource is refused.

Each package packs the files below its folders (merged; relative paths kept)
into one zip. kind: 1 installed everywhere, 2 only where the font 微软雅黑 is
installed, 3 only where it is not. value: a number stored in the list
(default 1). Relative paths are taken from the description's folder; $NAME
is replaced by --define NAME=VALUE. A package whose zip would pass the size
limit is split into NAME, STEM-2.zip, STEM-3.zip... in list order.

Packing is fixed by the files alone (name order, times, attributes,
compression level), so a file that did not change packs to the same bytes
in the next release. Each package STEM.zip gets an entry index STEM.idx
(tools/entryindex.py), listed in the manifest right after its package, from
which setup.exe fetches only the entries it does not hold; a package whose
index name another file of the release has gets none (said on stderr).

Everything is checked against what setup.exe handles well, and the written
folder is read back with setup.exe's own rules before it replaces DIR/EX.
Exit status: 0 published, 1 refused (the reasons are printed), 2 usage.
"""
import argparse
import hashlib
import io
import json
import os
import re
import shutil
import stat
import string
import struct
import sys
import time
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import entryindex  # noqa: E402
import releasemanifest  # noqa: E402
import setuplist  # noqa: E402
import wingetmanifest  # noqa: E402

# Every package must arrive in setup.exe's first download block (17 MiB)
# with room to spare: a body that fits is never copied, so a 32-bit process
# never needs a second large contiguous block while it also holds the first.
MAX_PACKAGE_BYTES = 16 * 1024 * 1024
# What setup.exe lets one package unpack (kPackageMaxEntries and
# kPackageMaxBytes in archive/PackageExtract.h): it refuses a package over
# either before writing anything, so such a release could never install.
MAX_PACKAGE_ENTRIES = 20000
MAX_UNPACKED_BYTES = 1024 * 1024 * 1024
# setup.exe unpacks a release into "C:\Tarvelo.new" and swaps it in for
# "C:\Tarvelo" once complete: that folder plus the entry name must fit the
# reader's 259 characters.
UNPACK_FOLDER = "C:\\Tarvelo.new/"
MAX_ENTRY_NAME = 259 - len(UNPACK_FOLDER) - 1
# Package names become URL paths (sent verbatim) and temp file names.
NAME_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]*$")
RESERVED_NAMES = {"orbsetup.txt", "uninstall.exe", "log.txt", "manifest.txt"}
# Entry names are written as UTF-8 with the zip's UTF-8 flag (bit 11), which
# setup.exe honours: any printable character means the same on every machine.
# The reader takes at most 259 bytes of a stored name, and Windows makes no
# folder whose path reaches 248 characters.
MAX_ENTRY_NAME_BYTES = 259
MAX_FOLDER_PATH = 247
BAD_ENTRY_CHARS = set('\\:*?"<>|')
# A component shaped like an 8.3 short name ("PROGRA~1", "README~2.TXT").
SHORT_NAME_RE = re.compile(r"^[^~]{1,6}~[0-9]+(\.[^.]{0,3})?$")
CLIENT_EXE = "iKVTRemote.exe"
# Unix times the "UT" block can hold and DOS dates can express.
MIN_TIME = 315532800 + 86400          # 1980-01-02, clear of time zones
MAX_TIME = 2**31 - 1
# Fixed, not the library's default: an unchanged file must pack to the
# same bytes in every release, so updates can skip it.
COMPRESS_LEVEL = 6
PRIVATE_KEY_NAME = "release-key.pem"
PUBLIC_KEY_NAME = "release-key.pub.pem"
WINGET_MANIFEST_NAME = "tarvelo.winget.yaml"


class Refused(Exception):
    pass


class Package:
    def __init__(self, name, kind, value, files):
        self.name, self.kind, self.value = name, kind, value
        self.files = files          # [(entry name, host path)], sorted
        self.data = b""
        self.index_name, self.index = None, b""


def fail(problems):
    raise Refused("\n".join("  - " + p for p in problems))


def check_package_name(name, problems):
    if not isinstance(name, str) or not name:
        problems.append("a package has no name")
        return
    if len(name) > setuplist.MAX_NAME_CHARS:
        problems.append("package name %r has %d characters; setup.exe reads at most %d"
                        % (name, len(name), setuplist.MAX_NAME_CHARS))
    if not NAME_RE.match(name) or name.endswith("."):
        problems.append("package name %r: use only letters, digits, '.', '_' and '-' "
                        "(it is sent in a URL as it is and becomes a Windows file name)" % name)
    if name.lower() in RESERVED_NAMES:
        problems.append("package name %r is taken by the server or installer's own files" % name)


def check_entry_name(rel, package, problems):
    where = "package %s: file %r" % (package, rel)
    if len(rel) > MAX_ENTRY_NAME:
        problems.append("%s: path longer than %d characters" % (where, MAX_ENTRY_NAME))
    if not rel.isprintable() or any(0xD800 <= ord(c) <= 0xDFFF for c in rel):
        problems.append("%s: contains a control or unpaired surrogate character" % where)
    elif len(rel.encode("utf-8")) > MAX_ENTRY_NAME_BYTES:
        problems.append("%s: name longer than %d bytes in UTF-8" % (where, MAX_ENTRY_NAME_BYTES))
    folder = rel.rpartition("/")[0]
    if folder and len(UNPACK_FOLDER + folder) > MAX_FOLDER_PATH:
        problems.append("%s: folder path longer than %d characters" % (where, MAX_FOLDER_PATH))
    if BAD_ENTRY_CHARS & set(rel):
        problems.append("%s: contains a character Windows refuses in file names" % where)
    for part in rel.split("/"):
        if SHORT_NAME_RE.match(part):
            problems.append("%s: %r has the shape of a Windows short name (like PROGRA~1), "
                            "which setup.exe refuses: it may alias another file" % (where, part))
            break
        if part.strip(". ") == "" or part != part.rstrip(". "):
            problems.append("%s: a folder or file name that is dots only, or ends in a dot "
                            "or space, changes meaning on Windows" % where)
            break
    if setuplist.sanitise_entry_name(rel) != rel:
        problems.append("%s: setup.exe would unpack it under another name" % where)


def collect_files(folders, package, problems):
    files = {}
    for folder in folders:
        if not os.path.isdir(folder):
            problems.append("package %s: folder %s does not exist" % (package, folder))
            continue
        for dirpath, dirnames, filenames in os.walk(folder):
            dirnames.sort()
            for fn in sorted(filenames):
                path = os.path.join(dirpath, fn)
                rel = os.path.relpath(path, folder).replace(os.sep, "/")
                st = os.lstat(path)
                if not stat.S_ISREG(st.st_mode):
                    problems.append("package %s: %s is not a regular file" % (package, rel))
                    continue
                check_entry_name(rel, package, problems)
                if not MIN_TIME <= int(st.st_mtime) <= MAX_TIME:
                    problems.append("package %s: %s has a time a zip cannot carry"
                                    % (package, rel))
                key = rel.lower()
                if key in files and files[key][0] != rel:
                    problems.append("package %s: %s and %s are one file on Windows"
                                    % (package, files[key][0], rel))
                files[key] = (rel, path)
    return sorted(files.values())


def zip_entry(z, rel, path):
    st = os.stat(path)
    mtime = int(st.st_mtime)
    # The DOS time in UTC: the publishing machine's time zone must not
    # change the bytes (the installer takes the times from the "UT" block).
    info = zipfile.ZipInfo(rel, time.gmtime(mtime)[:6])
    info.compress_type = zipfile.ZIP_DEFLATED
    # Made by MS-DOS: the external attributes are Windows attribute bits.
    info.create_system = 0
    attrs = 0x20
    if not st.st_mode & stat.S_IWUSR:
        attrs |= 0x1
    info.external_attr = attrs
    # Extended timestamp: write, access and creation time, all the file's
    # modification time (the DOS time is local and only to 2 seconds).
    info.extra = b"UT" + struct.pack("<HBiii", 13, 7, mtime, mtime, mtime)
    with open(path, "rb") as f:
        z.writestr(info, f.read(), compresslevel=COMPRESS_LEVEL)


def build_zip(files):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for rel, path in files:
            zip_entry(z, rel, path)
    return buf.getvalue()


def part_name(name, n):
    if n == 1:
        return name
    stem, dot, ext = name.rpartition(".")
    return "%s-%d.%s" % (stem, n, ext) if dot else "%s-%d" % (name, n)


def split_package(name, kind, value, files, problems):
    """Greedy: files in order, a new part whenever the next file would take
    the current one past the limit."""
    # Each entry's local and central records stand alone, so a zip's size is
    # the sum of its entries' shares plus the 22-byte end record.
    parts, current, size = [], [], 22
    for rel, path in files:
        alone = len(build_zip([(rel, path)]))
        if alone > MAX_PACKAGE_BYTES:
            problems.append("package %s: %s alone packs to %d bytes, more than the %d a "
                            "package may hold; it cannot be split"
                            % (name, rel, alone, MAX_PACKAGE_BYTES))
            continue
        if current and size + alone - 22 > MAX_PACKAGE_BYTES:
            parts.append(current)
            current, size = [], 22
        current.append((rel, path))
        size += alone - 22
    if current:
        parts.append(current)
    packages = []
    for n, part in enumerate(parts, 1):
        pkg = Package(part_name(name, n), kind, value, part)
        pkg.data = build_zip(part)
        packages.append(pkg)
        with zipfile.ZipFile(io.BytesIO(pkg.data)) as z:
            infos = z.infolist()
        unpacked = sum(i.file_size for i in infos)
        if len(infos) > MAX_PACKAGE_ENTRIES or unpacked > MAX_UNPACKED_BYTES:
            problems.append("package %s: %d entries and %d bytes unpacked, more than the %d "
                            "entries or %d bytes setup.exe unpacks from one package"
                            % (pkg.name, len(infos), unpacked, MAX_PACKAGE_ENTRIES,
                               MAX_UNPACKED_BYTES))
    if len(packages) > 1:
        for pkg in packages:
            check_package_name(pkg.name, problems)
    return packages


def load_release(path, defines, uninstaller):
    problems = []
    try:
        with open(path, encoding="utf-8") as f:
            release = json.load(f)
    except (OSError, ValueError) as e:
        fail(["cannot read the release description %s: %s" % (path, e)])
    base = os.path.dirname(os.path.abspath(path))

    def resolve(p):
        try:
            p = string.Template(p).substitute(defines)
        except (KeyError, ValueError) as e:
            problems.append("%r: no value for %s (give --define)" % (p, e))
            return None
        return os.path.normpath(os.path.join(base, p))

    uninstaller = uninstaller or (release.get("uninstaller") and resolve(release["uninstaller"]))
    if not uninstaller or not os.path.isfile(uninstaller):
        problems.append("no uninstaller: give \"uninstaller\" or --uninstaller (%s)"
                        % uninstaller)
    specs = release.get("packages")
    if not isinstance(specs, list) or not specs:
        fail(problems + ["the release has no packages: setup.exe would find the list empty"])

    packages, seen = [], set()
    for spec in specs:
        name = spec.get("name")
        check_package_name(name, problems)
        kind, value = spec.get("kind"), spec.get("value", 1)
        if kind not in (1, 2, 3) or isinstance(kind, bool):
            problems.append("package %s: kind must be 1 (always), 2 (font 微软雅黑 present) "
                            "or 3 (absent); setup.exe never installs kind %r" % (name, kind))
        if not isinstance(value, int) or isinstance(value, bool) or \
                not -2**31 <= value < 2**31:
            problems.append("package %s: value must be a 32-bit integer" % name)
        folders = [resolve(p) for p in spec.get("folders", [])]
        folders = [p for p in folders if p]
        if not folders:
            problems.append("package %s: no folders" % name)
        files = collect_files(folders, name, problems)
        if not files and folders:
            problems.append("package %s is empty: no files below %s" % (name, ", ".join(folders)))
        if problems:
            continue
        for pkg in split_package(name, kind, value, files, problems):
            if pkg.name.lower() in seen:
                problems.append("package name %s is used twice" % pkg.name)
            seen.add(pkg.name.lower())
            packages.append(pkg)
    if problems:
        fail(problems)

    # The client must reach every machine, whichever way the font test goes.
    def carries(kinds):
        return any(pkg.kind in kinds and any(rel.lower() == CLIENT_EXE.lower()
                                             for rel, _ in pkg.files) for pkg in packages)
    if not (carries((1,)) or (carries((2,)) and carries((3,)))):
        fail(["no package installs %s on every machine (kind 1, or both kind 2 and 3): "
              "setup.exe would finish and then fail to start the client" % CLIENT_EXE])
    return packages, uninstaller


def add_indexes(packages):
    """Gives each package STEM.zip its entry index STEM.idx, unless another
    file of the release has that name; says so for each package left
    without one (it is then always fetched whole)."""
    taken = {p.name.lower() for p in packages} | {"orbsetup.txt", "uninstall.exe",
                                                  "manifest.txt"}
    for pkg in packages:
        stem, ext = pkg.name[:-4], pkg.name[-4:]
        if ext.lower() != ".zip":
            continue
        name = stem + ".idx"
        why = None
        if name.lower() in taken:
            why = "%s is the name of another file of the release" % name
        else:
            try:
                pkg.index = entryindex.write_index(pkg.data)
            except entryindex.IndexTooLarge as e:
                why = str(e)
            except ValueError as e:
                fail(["%s: cannot index it: %s" % (pkg.name, e)])
        if why:
            print("publish: %s gets no entry index (%s): updates fetch it whole"
                  % (pkg.name, why), file=sys.stderr)
            continue
        taken.add(name.lower())
        pkg.index_name = name


def release_files(packages, setup_list, uninstall_exe):
    """[(name, bytes)] in the manifest's order: the list, each package
    followed by its index, the uninstaller."""
    files = [("orbsetup.txt", setup_list)]
    for pkg in packages:
        files.append((pkg.name, pkg.data))
        if pkg.index_name:
            files.append((pkg.index_name, pkg.index))
    return files + [("UnInstall.exe", uninstall_exe)]


def setup_list_bytes(packages):
    text = "".join("%s;%d;%d\r\n" % (p.name, p.value, p.kind) for p in packages)
    return b"\xff\xfe" + text.encode("utf-16-le")


def read_back(ex, packages, uninstaller, public_key=None):
    """Reads the written folder as setup.exe will and compares it with what
    was meant; the manifest's signature is checked when PUBLIC_KEY is given.
    Returns the problems found."""
    problems = check_manifest(ex, packages, public_key)
    with open(os.path.join(ex, "orbsetup.txt"), "rb") as f:
        data = f.read()
    if data[:2] != b"\xff\xfe":
        problems.append("orbsetup.txt: no UTF-16LE byte-order mark")
    entries, message = setuplist.validate_setup_list(data)
    if message:
        return problems + ["orbsetup.txt: setup.exe would stop with %r" % message]
    wanted = [(p.name, p.value, p.kind) for p in packages]
    if entries != wanted:
        problems.append("orbsetup.txt reads as %r, not %r" % (entries, wanted))
    for pkg in packages:
        path = os.path.join(ex, pkg.name)
        size = os.path.getsize(path)
        if size > MAX_PACKAGE_BYTES:
            problems.append("%s: %d bytes, over the limit" % (pkg.name, size))
        with open(path, "rb") as f:
            raw = f.read()
        with zipfile.ZipFile(io.BytesIO(raw)) as z:
            bad = z.testzip()
            if bad:
                problems.append("%s: entry %s fails its CRC" % (pkg.name, bad))
            infos = z.infolist()
            if [i.filename for i in infos] != [rel for rel, _ in pkg.files]:
                problems.append("%s: entries differ from the folder's files" % pkg.name)
            for info, (rel, host) in zip(infos, pkg.files):
                problems += check_entry(z, raw, info, rel, host, pkg.name)
        if pkg.index_name:
            try:
                with open(os.path.join(ex, pkg.index_name), "rb") as f:
                    index = f.read()
            except OSError as e:
                problems.append("%s: cannot be read: %s" % (pkg.index_name, e))
                continue
            problems += ["%s: %s" % (pkg.index_name, p)
                         for p in entryindex.check_against_zip(index, raw)]
    with open(os.path.join(ex, "UnInstall.exe"), "rb") as a, open(uninstaller, "rb") as b:
        if a.read() != b.read():
            problems.append("UnInstall.exe differs from %s" % uninstaller)
    return problems


def check_manifest(ex, packages, public_key):
    try:
        with open(os.path.join(ex, "manifest.txt"), "rb") as f:
            data = f.read()
        manifest = (releasemanifest.verify_manifest(data, public_key) if public_key
                    else releasemanifest.parse_manifest(data))
    except (OSError, ValueError) as e:
        return ["manifest.txt: setup.exe would refuse it: %s" % e]
    problems = []
    names = [name for name, _, _ in manifest["files"]]
    wanted = [name for name, _ in release_files(packages, b"", b"")]
    if names != wanted:
        problems.append("manifest.txt lists %s, not %s" % (names, wanted))
    for name, size, digest in manifest["files"]:
        try:
            with open(os.path.join(ex, name), "rb") as f:
                data = f.read()
        except OSError as e:
            problems.append("manifest.txt lists %s, which cannot be read: %s" % (name, e))
            continue
        if len(data) != size or hashlib.sha256(data).hexdigest() != digest:
            problems.append("manifest.txt: %s is not the file listed (%d bytes, SHA-256 %s)"
                            % (name, size, digest))
    return problems


def check_entry(z, raw, info, rel, host, package):
    problems = []
    where = "%s: %s" % (package, rel)
    # The local header, as the reader's core checks it against the central one.
    off = info.header_offset
    sig, _, flags, method, _, _, crc, csize, usize, nlen, xlen = struct.unpack_from(
        "<IHHHHHIIIHH", raw, off)
    if sig != 0x04034B50 or method not in (0, 8) or method != info.compress_type or \
            nlen != len(info.filename.encode("utf-8")):
        return ["%s: local header does not match" % where]
    if not flags & 8 and (crc, csize, usize) != (info.CRC, info.compress_size, info.file_size):
        problems.append("%s: local sizes or CRC do not match" % where)
    if flags & 1:
        problems.append("%s: encrypted" % where)
    name = setuplist.decode_entry_name(info.flag_bits, info.create_version |
                                       (info.create_system << 8), raw[off + 30:off + 30 + nlen],
                                       info.extra)
    if name is None:
        problems.append("%s: setup.exe could not read its name" % where)
    elif setuplist.sanitise_entry_name(name) != rel:
        problems.append("%s: setup.exe would unpack it as %s" % (where, name))
    local_extra = raw[off + 30 + nlen:off + 30 + nlen + xlen]
    mtime = int(os.stat(host).st_mtime)
    times = setuplist.ut_times(local_extra)
    if times != {"write": mtime, "access": mtime, "creation": mtime}:
        problems.append("%s: times read back as %r, not %d" % (where, times, mtime))
    attrs = setuplist.entry_attributes(info.create_version | (info.create_system << 8),
                                       info.external_attr)
    wanted = 0x20 | (0 if os.stat(host).st_mode & stat.S_IWUSR else 0x1)
    if attrs != wanted:
        problems.append("%s: attributes read back as %#x, not %#x" % (where, attrs, wanted))
    with open(host, "rb") as f:
        # Through the open zip: reading its directory again for every entry
        # took a minute for 3000 entries.
        if z.read(info) != f.read():
            problems.append("%s: content differs" % where)
    return problems


def signing_key(path, out):
    """The release private key at PATH; refused where setup.exe could not
    check its signatures or where the server would hand the key out."""
    for key, folder in ((os.path.abspath(path), os.path.abspath(out)),
                        (os.path.realpath(path), os.path.realpath(out))):
        if os.path.commonpath([key, folder]) == folder:
            fail(["--sign-key %s lies inside %s: the server would publish the private key"
                  % (path, out)])
    try:
        return releasemanifest.load_private_key(path)
    except ValueError as e:
        fail(["--sign-key %s: %s" % (path, e)])


def previous_serial(out):
    """The serial of the release being replaced; 0 when none can be read.
    EX.old counts too: a publication stopped between its two renames leaves
    the served release there."""
    serial = 0
    for folder in ("EX", "EX.old"):
        try:
            with open(os.path.join(out, folder, "manifest.txt"), "rb") as f:
                data = f.read(releasemanifest.MAX_MANIFEST_BYTES + 1)
            serial = max(serial, releasemanifest.parse_manifest(data)["serial"])
        except (OSError, ValueError):
            pass
    return serial


def publish(release, out, defines=None, uninstaller=None, sign_key=None, valid_days=30,
            winget_manifest=None):
    """Writes OUT/EX, and OUT/tarvelo.winget.yaml given its text; raises
    Refused with the reasons. Returns the packages."""
    key = signing_key(sign_key, out) if sign_key else None
    packages, uninstaller = load_release(release, defines or {}, uninstaller)
    setup_list = setup_list_bytes(packages)
    add_indexes(packages)
    with open(uninstaller, "rb") as f:
        uninstall_exe = f.read()
    files = release_files(packages, setup_list, uninstall_exe)
    # Installers refuse a serial lower than one they have seen, so it only
    # grows here, even for two publications in one second or a clock put back.
    now = int(time.time())
    serial = max(now, previous_serial(out) + 1)
    try:
        manifest = releasemanifest.write_manifest(serial, now + valid_days * 86400, files, key)
    except ValueError as e:
        fail(["manifest.txt: %s" % e])
    os.makedirs(out, exist_ok=True)
    staging = os.path.join(out, "EX.new")
    shutil.rmtree(staging, ignore_errors=True)
    os.makedirs(staging)
    for name, data in files + [("manifest.txt", manifest)]:
        with open(os.path.join(staging, name), "wb") as f:
            f.write(data)
    problems = read_back(staging, packages, uninstaller, key.public_key() if key else None)
    if problems:
        fail(["the written release does not read back as intended (left in %s):" % staging]
             + problems)
    # Swap in whole: the server never serves a list with missing packages
    # for longer than the two renames take.
    ex = os.path.join(out, "EX")
    old = os.path.join(out, "EX.old")
    shutil.rmtree(old, ignore_errors=True)
    if os.path.exists(ex):
        os.rename(ex, old)
    os.rename(staging, ex)
    shutil.rmtree(old, ignore_errors=True)
    if winget_manifest:
        wingetmanifest.write_manifest(os.path.join(out, WINGET_MANIFEST_NAME), winget_manifest)
    return packages


def release_folder_of(folder):
    """The release folder that FOLDER is or lies in (named EX, or holding
    EX/), or None."""
    for path in (os.path.abspath(folder), os.path.realpath(folder)):
        while True:
            if os.path.basename(path) == "EX" or os.path.isdir(os.path.join(path, "EX")):
                return path
            parent = os.path.dirname(path)
            if parent == path:
                break
            path = parent
    return None


def write_new(path, data, mode):
    # Created with its final mode: the private key is never readable by
    # others, not even between creation and a chmod. O_EXCL: never overwrite.
    fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, mode)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def keygen(folder):
    """Makes the release key pair in FOLDER; raises Refused. Returns the
    private and the public key's paths."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    where = release_folder_of(folder)
    if where:
        fail(["%s is or lies in the release folder %s: the server would publish the "
              "private key" % (folder, where)])
    private = os.path.join(folder, PRIVATE_KEY_NAME)
    public = os.path.join(folder, PUBLIC_KEY_NAME)
    existing = [p for p in (private, public) if os.path.lexists(p)]
    if existing:
        fail(["%s exists already: a release key is never overwritten (the installers "
              "built with it would refuse every later release)" % p for p in existing])
    try:
        password = releasemanifest.key_password()
    except ValueError as e:
        fail([str(e)])
    key = ec.generate_private_key(ec.SECP256R1())
    encryption = (serialization.BestAvailableEncryption(password) if password
                  else serialization.NoEncryption())
    try:
        os.makedirs(folder, 0o700, exist_ok=True)
        write_new(private, key.private_bytes(serialization.Encoding.PEM,
                                             serialization.PrivateFormat.PKCS8, encryption),
                  0o600)
        try:
            write_new(public, key.public_key().public_bytes(
                serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo),
                0o644)
            os.chmod(public, 0o644)     # whatever the umask took: anyone may read it
        except OSError:
            os.unlink(private)      # half a pair would block the next try
            raise
    except OSError as e:
        fail(["cannot write the key pair in %s: %s" % (folder, e)])
    return private, public


def keygen_main(argv):
    parser = argparse.ArgumentParser(
        prog="publish.py keygen",
        description="Makes the release key pair DIR/%s (private, mode 0600; encrypted when "
                    "SETUP_RELEASE_KEY_PASSWORD is set) and DIR/%s (public, built into "
                    "setup.exe)." % (PRIVATE_KEY_NAME, PUBLIC_KEY_NAME))
    parser.add_argument("dir", metavar="DIR", help="folder for the keys, away from the server")
    args = parser.parse_args(argv)
    try:
        private, public = keygen(args.dir)
    except Refused as e:
        print("publish: keygen refused:\n%s" % e, file=sys.stderr)
        return 1
    print("publish: private key %s (keep it off the server)" % os.path.abspath(private))
    print("publish: public key  %s" % os.path.abspath(public))
    return 0


def main(argv=None):
    global MAX_PACKAGE_BYTES
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["keygen"]:
        return keygen_main(argv[1:])
    parser = argparse.ArgumentParser(
        usage="%(prog)s RELEASE.json --out DIR [options]\n       %(prog)s keygen DIR",
        description=" ".join(__doc__.split("\n\n")[0].split()),
        epilog="Build setup.exe for an HTTPS server: cmake --preset win32 "
               "-DSETUP_SERVER_URL=https://HOST[:PORT] (docs/publishing.md). "
               "Make the release key pair with: publish.py keygen DIR (--help there).")
    parser.add_argument("release", help="release description (JSON)")
    parser.add_argument("--out", required=True, help="folder that receives EX/")
    parser.add_argument("--uninstaller", help="UnInstall.exe to publish (overrides the description)")
    parser.add_argument("--define", action="append", default=[], metavar="NAME=VALUE")
    parser.add_argument("--package-limit", type=int, metavar="MIB",
                        help="largest package in MiB (default %d; for measurements)"
                        % (MAX_PACKAGE_BYTES // (1024 * 1024)))
    parser.add_argument("--sign-key", metavar="KEY.pem",
                        help="sign manifest.txt with this release private key (kept outside "
                             "--out; its password from SETUP_RELEASE_KEY_PASSWORD, or the "
                             "variable SETUP_RELEASE_KEY_PASSWORD_VAR names)")
    parser.add_argument("--valid-days", type=int, default=30, metavar="N",
                        help="days until installers refuse the manifest (1..3650, default 30)")
    parser.add_argument("--setup", metavar="EXE",
                        help="the setup.exe users download: also write DIR/%s, the Windows "
                             "package manager's manifest for it (with --setup-url)"
                             % WINGET_MANIFEST_NAME)
    parser.add_argument("--setup-url", metavar="URL",
                        help="where that setup.exe is served (http:// or https://)")
    args = parser.parse_args(argv)
    if (args.setup is None) != (args.setup_url is None):
        parser.error("--setup and --setup-url go together")
    if not 1 <= args.valid_days <= 3650:
        parser.error("--valid-days wants 1..3650")
    if args.package_limit is not None:
        if not 1 <= args.package_limit <= 512:
            parser.error("--package-limit wants 1..512 MiB")
        MAX_PACKAGE_BYTES = args.package_limit * 1024 * 1024
    defines = {}
    for d in args.define:
        key, sep, value = d.partition("=")
        if not sep:
            parser.error("--define wants NAME=VALUE")
        defines[key] = value
    winget = None
    try:
        if args.setup:
            try:
                winget = wingetmanifest.manifest_text(args.setup, args.setup_url)
            except ValueError as e:
                fail([str(e)])
        packages = publish(args.release, args.out, defines, args.uninstaller,
                           args.sign_key, args.valid_days, winget[0] if winget else None)
    except Refused as e:
        print("publish: refused:\n%s" % e, file=sys.stderr)
        return 1
    ex = os.path.join(os.path.abspath(args.out), "EX")
    for pkg in packages:
        print("publish: %-31s kind %d  %8d bytes  %d files"
              % (pkg.name, pkg.kind, len(pkg.data), len(pkg.files)))
    print("publish: wrote %s (orbsetup.txt, %d packages, %d entry indexes, UnInstall.exe, "
          "manifest.txt)" % (ex, len(packages), sum(1 for p in packages if p.index_name)))
    if winget:
        print("publish: wrote %s (%s %s, setup.exe SHA-256 %s)"
              % (os.path.join(os.path.abspath(args.out), WINGET_MANIFEST_NAME),
                 wingetmanifest.PACKAGE_IDENTIFIER, winget[1], winget[2]))
    with open(os.path.join(ex, "manifest.txt"), "rb") as f:
        manifest = releasemanifest.parse_manifest(f.read())
    until = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(manifest["expires"]))
    if args.sign_key:
        print("publish: manifest.txt serial %d, valid until %s, signed with %s"
              % (manifest["serial"], until, args.sign_key))
    else:
        print("publish: the release is unsigned: manifest.txt (serial %d, valid until %s) "
              "carries no signature; give --sign-key to sign it" % (manifest["serial"], until))
    return 0


if __name__ == "__main__":
    sys.exit(main())
