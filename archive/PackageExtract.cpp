#include "PackageExtract.h"

#include "ArchiveReader.h"
#include "Log.h"

PackageResult ExtractPackage(const wchar_t* szZipPath, const wchar_t* szFolder, DWORD dwPauseMs,
                             HANDLE hStopEvent) {
    // Without its folder the package would land in the current directory,
    // or with an empty one at the drive's root.
    if (!szZipPath || !szFolder || !szFolder[0]) return PackageUnusable;
    ArchiveReader* hArchive = ArchiveOpen(szZipPath);
    if (!hArchive) return PackageDamaged;
    if (ArchiveSetTargetFolder(hArchive, szFolder) != Ok) {
        ArchiveClose(hArchive);
        return PackageUnusable;
    }
    ArchiveEntry entry = {};
    ArchiveGetEntry(hArchive, -1, &entry);
    int32_t nCount = entry.nIndex;
    PackageResult result = PackageExtracted;
    bool bFirst = true;
    for (int32_t i = 0; i < nCount; ++i) {
        if (hStopEvent && ::WaitForSingleObject(hStopEvent, 0) == WAIT_OBJECT_0) {
            ::SetEvent(hStopEvent);
            result = PackageStopped;
            break;
        }
        if (ArchiveGetEntry(hArchive, i, &entry) == EntryUnreachable) {
            LogError(L"[ExtractPackage] %s entry %d of %d cannot be reached", szZipPath,
                     static_cast<int>(i), static_cast<int>(nCount));
            if (result == PackageExtracted) result = PackageDamaged;
            break;
        }
        if (bFirst) {
            ::Sleep(dwPauseMs);
            bFirst = false;
        }
        ArchiveResult entryResult = ArchiveExtractToFile(hArchive, i, entry.szEntryName);
        if (entryResult == Ok) continue;
        if (IsUnusableEntry(entryResult)) {
            LogError(L"[ExtractPackage] %s entry %d \"%s\" refused: %s", szZipPath,
                     static_cast<int>(i), entry.szEntryName, DescribeArchiveResult(entryResult));
            result = PackageUnusable;
        } else if (result == PackageExtracted) {
            result = PackageDamaged;
        }
    }
    ArchiveClose(hArchive);
    return result;
}
