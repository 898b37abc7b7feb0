#include "PackageExtract.h"

#include "ArchiveReader.h"
#include "Handle.h"
#include "Log.h"

namespace {

struct ArchiveReaderTraits {
    static ArchiveReader* Invalid() { return NULL; }
    static void Close(ArchiveReader* hArchive) { ArchiveClose(hArchive); }
};
// One package's reader, closed on every way out.
typedef CHandleOwner<ArchiveReader*, ArchiveReaderTraits> CArchiveReader;

// Sums the declared sizes up to the first entry the directory cannot reach;
// the extraction loop ends there anyway. Both zip readers (minizip's and
// ours for encrypted entries) stop at the declared size, so these figures
// bound what is written.
bool WithinLimits(ArchiveReader* hArchive, const wchar_t* szZipPath, int32_t nCount,
                  const PackageLimits& limits) {
    if (static_cast<uint32_t>(nCount) > limits.nMaxEntries) {
        LogError(L"[ExtractPackage] %s has %d entries, more than %u", szZipPath,
                 static_cast<int>(nCount), static_cast<unsigned>(limits.nMaxEntries));
        return false;
    }
    uint64_t cbTotal = 0;
    ArchiveEntry entry = {};
    for (int32_t i = 0; i < nCount; ++i) {
        if (ArchiveGetEntry(hArchive, i, &entry) == EntryUnreachable) break;
        // A clamped size (2 GiB or more) is over any sensible limit as it is.
        if (entry.nUncompressedSize > 0) cbTotal += static_cast<uint64_t>(entry.nUncompressedSize);
        if (cbTotal > limits.cbMaxBytes) {
            LogError(
                L"[ExtractPackage] %s declares more than %I64u uncompressed bytes "
                L"(%I64u by entry %d of %d)",
                szZipPath, limits.cbMaxBytes, cbTotal, static_cast<int>(i),
                static_cast<int>(nCount));
            return false;
        }
    }
    return true;
}

}  // namespace

PackageResult ExtractPackage(const wchar_t* szZipPath, const wchar_t* szFolder, DWORD dwPauseMs,
                             HANDLE hStopEvent, const PackageLimits& limits) {
    // Without its folder the package would land in the current directory,
    // or with an empty one at the drive's root.
    if (!szZipPath || !szFolder || !szFolder[0]) return PackageUnusable;
    CArchiveReader reader(ArchiveOpen(szZipPath));
    ArchiveReader* hArchive = reader.Get();
    if (!hArchive) return PackageDamaged;
    if (ArchiveSetTargetFolder(hArchive, szFolder) != Ok) return PackageUnusable;
    ArchiveEntry entry = {};
    ArchiveGetEntry(hArchive, -1, &entry);
    int32_t nCount = entry.nIndex;
    if (!WithinLimits(hArchive, szZipPath, nCount, limits)) return PackageTooLarge;
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
    return result;
}
