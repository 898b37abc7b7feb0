#pragma once
// Unpacks one downloaded package (a zip archive) into a folder.
#include <windows.h>

enum { kPackagePauseMs = 3000 };

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
};

// Extracts every entry it can, also after one has failed, and returns the
// worst outcome (unusable before damaged). Each unusable entry is logged
// with its reason. An entry the archive's directory cannot reach ends it
// (damaged): a count that lies is not stepped through. Pauses dwPauseMs
// once, before the first entry is written. hStopEvent (or NULL) is looked
// at between entries; when set it stays set for the caller.
PackageResult ExtractPackage(const wchar_t* szZipPath, const wchar_t* szFolder,
                             DWORD dwPauseMs = kPackagePauseMs, HANDLE hStopEvent = NULL);
