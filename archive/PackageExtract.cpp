#include "PackageExtract.h"

#include "ArchiveReader.h"

bool ExtractPackage(const wchar_t* szZipPath, const wchar_t* szFolder, DWORD dwPauseMs) {
    if (!szZipPath || !szFolder) return false;
    ArchiveReader* hArchive = ArchiveOpen(szZipPath);
    if (!hArchive) return false;
    // Without its folder the package would land in the current directory.
    if (ArchiveSetTargetFolder(hArchive, szFolder) != Ok) {
        ArchiveClose(hArchive);
        return false;
    }
    ArchiveEntry entry = {};
    ArchiveGetEntry(hArchive, -1, &entry);
    int32_t nCount = entry.nIndex;
    bool bFailed = false, bFirst = true;
    for (int32_t i = 0; i < nCount; ++i) {
        ArchiveGetEntry(hArchive, i, &entry);
        if (bFirst) {
            ::Sleep(dwPauseMs);
            bFirst = false;
        }
        if (ArchiveExtractToFile(hArchive, i, entry.szEntryName) != Ok) bFailed = true;
    }
    ArchiveClose(hArchive);
    return !bFailed;
}
