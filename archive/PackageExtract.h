#pragma once
// Unpacks one downloaded package (a zip archive) into a folder.
#include <stdint.h>
#include <windows.h>

enum { kPackagePauseMs = 3000 };

// What one package may unpack, so that a server cannot fill the disk through
// one zip. The publisher (tools/publish.py) splits packages at 16 MiB
// compressed and refuses any above these figures; they leave room for
// packages of up to 64 MiB compressed several times over.
enum { kPackageMaxEntries = 20000 };
const uint64_t kPackageMaxBytes = 1024ull * 1024 * 1024;  // uncompressed, all entries

struct PackageLimits {
    uint32_t nMaxEntries;
    uint64_t cbMaxBytes;
};
const PackageLimits kPackageLimits = {kPackageMaxEntries, kPackageMaxBytes};

enum PackageResult {
    PackageExtracted,  // every entry is in place
    // Not a zip, cut short, data that does not inflate to its CRC, a file
    // that could not be written: another download or another try may mend it.
    PackageDamaged,
    // An entry that can never be extracted (its name is refused, its path
    // too long, its method unsupported, a folder where its file goes), or no
    // folder to extract into: the same package fails the same way every time.
    PackageUnusable,
    // The stop event was set between two entries.
    PackageStopped,
    // More entries or more declared bytes than the limits: refused before
    // anything is written, and the same every time it is fetched.
    PackageTooLarge,
};

// Extracts every entry it can, also after one has failed, and returns the
// worst outcome (unusable before damaged). Each unusable entry is logged
// with its reason. An entry the archive's directory cannot reach ends it
// (damaged): a count that lies is not stepped through. Pauses dwPauseMs
// once, before the first entry is written. hStopEvent (or NULL) is looked
// at between entries; when set it stays set for the caller. The limits are
// checked against the directory's count and declared sizes first; the reader
// never inflates an entry past its declared size.
PackageResult ExtractPackage(const wchar_t* szZipPath, const wchar_t* szFolder,
                             DWORD dwPauseMs = kPackagePauseMs, HANDLE hStopEvent = NULL,
                             const PackageLimits& limits = kPackageLimits);
