"""The Windows package manager's (winget's) manifest for setup.exe: one
singleton YAML file that lets "winget install --manifest FILE" (or a source
that serves it) install and recognise 塔维罗.

setup.exe always installs the server's current release, so one setup.exe is
one package version: the ProductVersion of its version resource. The
Uninstall entry it writes says DisplayVersion "2.0" (install/Registration.cpp);
the manifest maps that entry to this package version, so the installed
client is never offered the same setup.exe again as an upgrade."""
import hashlib
import os
import re

import peversion

MANIFEST_VERSION = "1.28.0"
SCHEMA = "https://aka.ms/winget-manifest.singleton.%s.schema.json" % MANIFEST_VERSION
PACKAGE_IDENTIFIER = "Tarvelo.Tarvelo"
NAME = "塔维罗"
# What install/Registration.cpp writes: the Uninstall entry's subkey name
# (HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Tarvelo) and its
# DisplayVersion.
PRODUCT_CODE = "Tarvelo"
DISPLAY_VERSION = "2.0"

# setup.exe's exit codes (support/ExitCodes.h, enum SetupExitCode) and what
# winget tells the user for each. 0 is the only success and winget's own
# default, so there are no InstallerSuccessCodes (the schema forbids 0).
EXIT_CODES = (
    ("kSetupBadCommandLine", 2, "invalidParameter"),
    ("kSetupLogUnwritable", 3, "invalidParameter"),
    ("kSetupListFailed", 4, "noNetwork"),
    ("kSetupDownloadFailed", 5, "noNetwork"),
    ("kSetupUnpackFailed", 6, "contactSupport"),
    ("kSetupDiskFull", 7, "diskFull"),
    ("kSetupReleaseRefused", 8, "contactSupport"),
    ("kSetupOtherInstance", 9, "installInProgress"),
    ("kSetupClientRunning", 10, "packageInUse"),
    ("kSetupProxyAuth", 11, "contactSupport"),
    ("kSetupStopped", 12, "cancelledByUser"),
    ("kSetupFailed", 13, "contactSupport"),
)

# The schema's patterns for a package version and an installer URL.
VERSION_RE = re.compile(r'^[^\\/:*?"<>|\x00-\x1f]{1,128}$')
URL_RE = re.compile(r"^[Hh][Tt][Tt][Pp][Ss]?://\S+$")
MAX_URL = 2048


def _quoted(text):
    # Double-quoted YAML: only the backslash and the quote need escaping;
    # anything unprintable (line breaks and separators included) goes as an
    # escape, so a value never folds or ends early.
    out = []
    for c in text:
        if c in '\\"':
            out.append("\\" + c)
        elif c.isprintable():
            out.append(c)
        elif ord(c) <= 0xFFFF:
            out.append("\\u%04x" % ord(c))
        else:
            out.append("\\U%08x" % ord(c))
    return '"%s"' % "".join(out)


def _lines(value, indent):
    """YAML block lines for a dict of str, int, dict or list of dicts."""
    pad = " " * indent
    for key, item in value.items():
        if isinstance(item, dict):
            yield "%s%s:" % (pad, key)
            yield from _lines(item, indent + 2)
        elif isinstance(item, list):
            yield "%s%s:" % (pad, key)
            for element in item:
                first, *rest = _lines(element, indent + 4)
                yield "%s  - %s" % (pad, first.lstrip())
                yield from rest
        elif isinstance(item, int) and not isinstance(item, bool):
            yield "%s%s: %d" % (pad, key, item)
        else:
            yield "%s%s: %s" % (pad, key, _quoted(item))


def manifest_text(setup, setup_url):
    """(text, package version, SHA-256) of the manifest for the setup.exe at
    SETUP, served at SETUP_URL; raises ValueError with the reason."""
    if len(setup_url) > MAX_URL or not URL_RE.match(setup_url) or not setup_url.isprintable():
        raise ValueError("--setup-url %r: an http:// or https:// URL of at most %d characters, "
                         "without spaces" % (setup_url, MAX_URL))
    try:
        machine, strings = peversion.read_program(setup)
    except (OSError, ValueError) as e:
        raise ValueError("--setup %s: %s" % (setup, e))
    if machine != peversion.I386:
        raise ValueError("--setup %s: not a 32-bit x86 program (machine %#x); the manifest "
                         "says x86" % (setup, machine))
    version = strings.get("ProductVersion", "")
    if not VERSION_RE.match(version):
        raise ValueError("--setup %s: ProductVersion %r is not a package version"
                         % (setup, version))
    with open(setup, "rb") as f:
        sha256 = hashlib.sha256(f.read()).hexdigest().upper()
    manifest = {
        "PackageIdentifier": PACKAGE_IDENTIFIER,
        "PackageVersion": version,
        "PackageLocale": "zh-CN",
        "Publisher": NAME,
        "PackageName": NAME,
        "License": "Proprietary",
        "ShortDescription": "塔维罗客户端：安装程序从下载服务器安装当前版本",
        "Installers": [{
            "Architecture": "x86",
            "InstallerType": "exe",
            "Scope": "machine",
            "ElevationRequirement": "elevatesSelf",
            "InstallerUrl": setup_url,
            "InstallerSha256": sha256,
            "InstallerSwitches": {"Silent": "/S", "SilentWithProgress": "/S"},
            "ProductCode": PRODUCT_CODE,
            "ExpectedReturnCodes": [{"InstallerReturnCode": code, "ReturnResponse": response}
                                    for _, code, response in EXIT_CODES],
            "AppsAndFeaturesEntries": [{
                "DisplayName": NAME,
                "Publisher": NAME,
                "DisplayVersion": DISPLAY_VERSION,
                "ProductCode": PRODUCT_CODE,
            }],
        }],
        "ManifestType": "singleton",
        "ManifestVersion": MANIFEST_VERSION,
    }
    head = ["# yaml-language-server: $schema=%s" % SCHEMA,
            "# %s %s: setup.exe, which installs the server's current release "
            "(tools/publish.py --setup)" % (PACKAGE_IDENTIFIER, version)]
    return "\n".join(head + list(_lines(manifest, 0))) + "\n", version, sha256


def write_manifest(path, text):
    # Whole or not at all: a package source may read it at any moment.
    tmp = path + ".new"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)
