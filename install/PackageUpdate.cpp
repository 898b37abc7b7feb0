#include "PackageUpdate.h"

#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>
#include <vector>

#include "ArchiveEntryInfo.h"
#include "ArchiveReader.h"
#include "DownloadServer.h"
#include "EntryIndex.h"
#include "Handle.h"
#include "InstallLayout.h"
#include "Log.h"
#include "PackageExtract.h"
#include "Registration.h"
#include "RunOutcome.h"
#include "SecureFolder.h"
#include "StrFormat.h"

namespace {

const DWORD kCopyChunk = 0x10000;
// One range request fetches at most this much: it fits the first download
// block, as a whole package does.
const DWORD kMaxRunBytes = 16 * 1024 * 1024;

// Where a package's files come from and go: the old tree held as itself
// and the last of its folders opened, the new tree and the last folder made
// in it. Entries come folder by folder, so each folder is opened or made
// once, not once for each of its files.
struct CTrees {
    CFileHandle oldTree;
    wchar_t szOldFolder[MAX_PATH] = L"";
    CFileHandle oldFolder;
    wchar_t szNewRoot[MAX_PATH] = L"";  // with its separator
    wchar_t szMadeFolder[MAX_PATH] = L"\\";  // none yet
    CFileHandle madeFolder;
    BYTE chunk[kCopyChunk];
};

// The folder part of an entry's "/" name into szFolder ("" at the top):
// the leaf, or NULL when the name does not fit.
const wchar_t* SplitEntryName(const wchar_t* pszName, wchar_t (&szFolder)[MAX_PATH]) {
    const wchar_t* pszSeparator = wcsrchr(pszName, L'/');
    if (!CopyInto(szFolder, pszName)) return NULL;
    szFolder[pszSeparator ? pszSeparator - pszName : 0] = 0;
    return pszSeparator ? pszSeparator + 1 : pszName;
}

// The entry's file in the new tree (its folders made), opened without
// sharing: nobody reads or changes it before it is checked and closed.
// Made relative to its folder, held once for all the folder's files.
HANDLE CreateEntryFile(CTrees& trees, const wchar_t* pszName) {
    wchar_t szPath[MAX_PATH], szFolder[MAX_PATH];
    const wchar_t* pszLeaf = SplitEntryName(pszName, szFolder);
    if (!pszLeaf || !FormatInto(szPath, L"%s%s", trees.szNewRoot, pszName))
        return INVALID_HANDLE_VALUE;
    if (wcscmp(szFolder, trees.szMadeFolder) != 0) {
        wchar_t szFolderPath[MAX_PATH];
        if (wcslen(trees.szNewRoot) + wcslen(szFolder) > kMaxFolderPath ||
            !FormatInto(szFolderPath, L"%s%s", trees.szNewRoot, szFolder))
            return INVALID_HANDLE_VALUE;
        if (szFolder[0]) MakeFolderPath(trees.szNewRoot, szFolder);
        trees.madeFolder.Reset(OpenFolderItself(
            szFolderPath, FILE_ADD_FILE | FILE_TRAVERSE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
        CopyInto(trees.szMadeFolder, szFolder);
    }
    const DWORD dwAccess = GENERIC_WRITE | DELETE;
    HANDLE hFile = trees.madeFolder ? OpenInFolder(trees.madeFolder.Get(), pszLeaf, dwAccess, 0,
                                                   FILE_CREATE,
                                                   FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY)
                                    : INVALID_HANDLE_VALUE;
    // Another package of the list may have brought the same file.
    return hFile != INVALID_HANDLE_VALUE
               ? hFile
               : CreateEntryTarget(szPath, dwAccess, FILE_ATTRIBUTE_NORMAL);
}

// Keeps the file with the times and attributes the extraction gives it, or
// deletes it through its handle: what was not the entry never stays.
bool FinishEntryFile(HANDLE hFile, const IndexEntry& entry, bool bKeep) {
    FILE_BASIC_INFO info = FILE_BASIC_INFO();
    info.CreationTime.LowPart = info.LastAccessTime.LowPart = info.LastWriteTime.LowPart =
        entry.ftTime.dwLowDateTime;
    info.CreationTime.HighPart = info.LastAccessTime.HighPart = info.LastWriteTime.HighPart =
        static_cast<LONG>(entry.ftTime.dwHighDateTime);
    info.FileAttributes = entry.dwAttributes ? entry.dwAttributes : FILE_ATTRIBUTE_NORMAL;
    if (bKeep && ::SetFileInformationByHandle(hFile, FileBasicInfo, &info, sizeof(info)))
        return true;
    FILE_DISPOSITION_INFO dispose = {TRUE};
    ::SetFileInformationByHandle(hFile, FileDispositionInfo, &dispose, sizeof(dispose));
    return false;
}

// Whether an open item is a link or (bFolder) no folder, or unreadable.
// Through its tag alone: GetFileInformationByHandle also asks for the
// volume's serial, which costs milliseconds a call on some systems (Wine).
bool IsNot(HANDLE hItem, bool bFolder) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    return !::GetFileInformationByHandleEx(hItem, FileAttributeTagInfo, &tag, sizeof(tag)) ||
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
           !(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == bFolder;
}

// A folder of the old tree (a relative "/" path), opened relative to the
// held tree one name at a time, each folder opened as itself.
HANDLE OpenOldFolder(HANDLE hOldTree, wchar_t* pszPath) {
    CFileHandle folder;
    HANDLE hFolder = hOldTree;
    for (wchar_t* pszPart = pszPath; pszPart;) {
        wchar_t* pszSeparator = wcschr(pszPart, L'/');
        if (pszSeparator) *pszSeparator = 0;
        folder.Reset(OpenInFolder(hFolder, pszPart, FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                  FILE_DIRECTORY_FILE));
        if (!folder || IsNot(folder.Get(), true)) return INVALID_HANDLE_VALUE;
        hFolder = folder.Get();
        pszPart = pszSeparator ? pszSeparator + 1 : NULL;
    }
    return folder.Detach();
}

// The installed file of the entry, opened for reading relative to the held
// old tree and never through a link: the old tree is the users' to change,
// so its names decide nothing.
HANDLE OpenInstalledFile(CTrees& trees, const wchar_t* pszName) {
    wchar_t szFolder[MAX_PATH];
    const wchar_t* pszLeaf = SplitEntryName(pszName, szFolder);
    if (!pszLeaf) return INVALID_HANDLE_VALUE;
    HANDLE hFolder = trees.oldTree.Get();
    if (szFolder[0]) {
        if (wcscmp(szFolder, trees.szOldFolder) != 0) {
            CopyInto(trees.szOldFolder, szFolder);
            trees.oldFolder.Reset(OpenOldFolder(trees.oldTree.Get(), szFolder));
        }
        hFolder = trees.oldFolder.Get();
    }
    if (hFolder == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    return OpenInFolder(hFolder, pszLeaf, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                        FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
}

// Copies the installed file into the new tree and hashes the copy as it is
// written (no one else can open it meanwhile): true when the copy is the
// entry's content, and then it is kept.
bool CopyUnchanged(CTrees& trees, const wchar_t* pszName, const IndexEntry& entry) {
    CFileHandle installed(OpenInstalledFile(trees, pszName));
    LARGE_INTEGER size;
    if (!installed || IsNot(installed.Get(), false) || !::GetFileSizeEx(installed.Get(), &size) ||
        size.QuadPart != entry.cbSize)
        return false;
    CFileHandle copy(CreateEntryFile(trees, pszName));
    if (!copy) return false;
    BYTE* pChunk = trees.chunk;
    CSha256 hash;
    bool bOk = true;
    for (DWORD cbDone = 0; bOk && cbDone < entry.cbSize;) {
        const DWORD cbLeft = entry.cbSize - cbDone;
        DWORD cbRead = 0;
        bOk = ::ReadFile(installed.Get(), pChunk, cbLeft < kCopyChunk ? cbLeft : kCopyChunk, &cbRead,
                         NULL) &&
              cbRead && WriteAll(copy.Get(), pChunk, cbRead);
        hash.Add(pChunk, cbRead);
        cbDone += cbRead;
    }
    BYTE digest[kSha256Bytes];
    bOk = bOk && hash.Finish(digest) && memcmp(digest, entry.digest, kSha256Bytes) == 0;
    return FinishEntryFile(copy.Get(), entry, bOk);
}

// The installed files of entries nFirst to nEnd copied and checked, until
// *plStop; only the thread given hStopEvent takes a stop from it (it
// resets itself) and passes it on through *plStop.
struct CopyShare {
    CTrees* pTrees;
    EntryIndex* pIndex;
    size_t nFirst, nEnd;
    HANDLE hStopEvent;
    volatile LONG* plStop;
    int nReused;
};

void CopyShareOfFiles(CopyShare& share) {
    for (size_t i = share.nFirst; i < share.nEnd && !*share.plStop; ++i) {
        if (share.hStopEvent && StopRequested(share.hStopEvent)) {
            ::InterlockedExchange(share.plStop, 1);
            break;
        }
        IndexEntry& indexEntry = share.pIndex->entries[i];
        if (indexEntry.bFolder) continue;
        indexEntry.bWanted = !CopyUnchanged(*share.pTrees, share.pIndex->NameOf(indexEntry),
                                            indexEntry);
        if (!indexEntry.bWanted) ++share.nReused;
    }
}

DWORD WINAPI CopyThread(void* pShare) {
    CopyShareOfFiles(*static_cast<CopyShare*>(pShare));
    return 0;
}

// Copies every installed file that is the entry's, on two threads when a
// second can be had: hashing is most of a copy's cost, and the files of a
// release are many. The second takes the later half of the bytes, with
// trees of its own. False when a stop was asked for.
bool CopyInstalledFiles(CTrees& trees, EntryIndex& index, HANDLE hStopEvent, int* pnReused) {
    ULONGLONG ullBytes = 0, ullHalf = 0;
    for (const IndexEntry& indexEntry : index.entries) ullBytes += indexEntry.cbSize;
    size_t nSplit = 0;
    while (nSplit < index.entries.size() && ullHalf < ullBytes / 2)
        ullHalf += index.entries[nSplit++].cbSize;
    volatile LONG lStop = 0;
    CopyShare shares[2] = {{&trees, &index, 0, nSplit, hStopEvent, &lStop, 0},
                           {NULL, &index, nSplit, index.entries.size(), NULL, &lStop, 0}};
    std::unique_ptr<CTrees> pSecond(new (std::nothrow) CTrees);
    HANDLE hOldTree = INVALID_HANDLE_VALUE;
    if (pSecond && ::DuplicateHandle(::GetCurrentProcess(), trees.oldTree.Get(),
                                     ::GetCurrentProcess(), &hOldTree, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS)) {
        pSecond->oldTree.Reset(hOldTree);
        CopyInto(pSecond->szNewRoot, trees.szNewRoot);
        shares[1].pTrees = pSecond.get();
    }
    CHandle thread(shares[1].pTrees ? ::CreateThread(NULL, 0x40000, CopyThread, &shares[1],
                                                     STACK_SIZE_PARAM_IS_A_RESERVATION, NULL)
                                    : NULL);
    if (!thread) shares[0].nEnd = index.entries.size();
    CopyShareOfFiles(shares[0]);
    if (thread) ::WaitForSingleObject(thread.Get(), INFINITE);
    *pnReused += shares[0].nReused + (thread ? shares[1].nReused : 0);
    return !lStop;
}

// What one package's update did, for its log line.
struct UpdateCount {
    int nReused = 0;
    int nFetched = 0;
    int nRequests = 0;
    DWORD cbFetched = 0;
};

// The package's index, fetched and checked against the release, into
// *pEntries; false (the reason logged) when there is none to go by.
bool FetchIndex(CInstallState& state, const SetupListEntry& entry, HWND hWndOwner,
                EntryIndex* pIndex, UpdateCount* pCount) {
    wchar_t szIndex[32];
    const ManifestFile* pPackage = FindReleaseFile(state, entry.szName);
    if (!IndexNameOf(entry.szName, szIndex) || !pPackage || !FindReleaseFile(state, szIndex)) {
        LogNormal(L"[CSetupDlg::Execute] %s has no entry index: fetched whole", entry.szName);
        return false;
    }
    if (FetchFromEachServer([&]() { return FetchReleaseFile(state, szIndex, hWndOwner); }) !=
        FetchOk) {
        LogError(L"[CSetupDlg::Execute] %s not fetched: %s fetched whole", szIndex, entry.szName);
        return false;
    }
    pCount->cbFetched += state.m_nDownloadLen;
    const wchar_t* pszWhy =
        ParseEntryIndex(state.m_pDownloadBuf, state.m_nDownloadLen, pPackage->cbSize, pIndex);
    if (!pszWhy) return true;
    LogError(L"[CSetupDlg::Execute] %s refused: %s: %s fetched whole", szIndex, pszWhy,
             entry.szName);
    return false;
}

// Fetches each run of wanted entries with one range request and unpacks
// its entries; false (the reason logged) at the first that fails.
bool FetchWanted(CInstallState& state, const SetupListEntry& entry, const EntryIndex& index,
                 CTrees& trees, HANDLE hStopEvent, HWND hWndOwner, UpdateCount* pCount) {
    const std::vector<IndexEntry>& entries = index.entries;
    for (const EntryRun& run : MergeWantedRuns(entries, kMaxRunBytes)) {
        if (StopRequested(hStopEvent)) return false;
        const DWORD dwFirst = entries[run.nFirst].dwOffset;
        const IndexEntry& last = entries[run.nEnd - 1];
        const DWORD cbRun = last.dwOffset + last.cbLength - dwFirst;
        ++pCount->nRequests;
        if (FetchFromEachServer([&]() {
                return FetchReleaseRange(state, entry.szName, dwFirst, cbRun, hWndOwner);
            }) != FetchOk) {
            LogError(L"[CSetupDlg::Execute] %s: bytes %lu-%lu not fetched as a range: fetched "
                     L"whole",
                     entry.szName, dwFirst, dwFirst + cbRun - 1);
            return false;
        }
        pCount->cbFetched += cbRun;
        for (size_t i = run.nFirst; i < run.nEnd; ++i) {
            const IndexEntry& wantedEntry = entries[i];
            CFileHandle file(CreateEntryFile(trees, index.NameOf(wantedEntry)));
            const wchar_t* pszWhy = L"file could not be made";
            const bool bOk = file && UnpackEntryRange(state.m_pDownloadBuf +
                                                          (wantedEntry.dwOffset - dwFirst),
                                                      wantedEntry, file.Get(), &pszWhy);
            if (!(file && FinishEntryFile(file.Get(), wantedEntry, bOk))) {
                LogError(L"[CSetupDlg::Execute] %s entry \"%s\" refused: %s: fetched whole",
                         entry.szName, index.NameOf(wantedEntry), pszWhy);
                return false;
            }
            ++pCount->nFetched;
        }
    }
    return true;
}

}  // namespace

bool IndexNameOf(const wchar_t* pszPackage, wchar_t (&szIndex)[32]) {
    const size_t cch = wcslen(pszPackage);
    if (cch <= 4 || cch >= 32 || _wcsicmp(pszPackage + cch - 4, L".zip") != 0) return false;
    wmemcpy(szIndex, pszPackage, cch - 4);
    wcscpy(szIndex + cch - 4, L".idx");
    return true;
}

UpdateResult UpdatePackage(CInstallState& state, IInstallView& view, const SetupListEntry& entry,
                           HANDLE hStopEvent, HWND hWndOwner, DWORD* pdwPauseMs) {
    // Only a verified release says what each file must be, and only an
    // installed one has files to keep; a layout is read whole anyway.
    if (!state.m_bVerified || state.m_szSourcePath[0]) return UpdateWhole;
    std::unique_ptr<CTrees> pTrees(new (std::nothrow) CTrees);
    if (!pTrees) return UpdateWhole;
    CTrees& trees = *pTrees;
    trees.oldTree.Reset(OpenFolderItself(state.m_szSetupPath, FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    UpdateCount count;
    EntryIndex index;
    if (!trees.oldTree || !FormatInto(trees.szNewRoot, L"%s\\", state.m_szNewPath) ||
        !FetchIndex(state, entry, hWndOwner, &index, &count))
        return UpdateWhole;

    ::Sleep(*pdwPauseMs);
    *pdwPauseMs = 0;
    for (const IndexEntry& indexEntry : index.entries) {
        if (!indexEntry.bFolder) continue;
        MakeFolderPath(trees.szNewRoot, index.NameOf(indexEntry));
        ++count.nReused;
    }
    if (!CopyInstalledFiles(trees, index, hStopEvent, &count.nReused)) return UpdateStopped;
    if (!FetchWanted(state, entry, index, trees, hStopEvent, hWndOwner, &count))
        return StopRequested(hStopEvent) ? UpdateStopped : UpdateWhole;
    LogNormal(L"[CSetupDlg::Execute] %s: %d entries reused, %d fetched by range in %d requests, "
              L"%lu bytes fetched",
              entry.szName, count.nReused, count.nFetched, count.nRequests, count.cbFetched);
    view.ShowPackageDone(entry.szName, count.cbFetched);
    return UpdateInstalled;
}

bool ReuseUninstaller(CInstallState& state) {
    const ManifestFile* pFile = FindReleaseFile(state, kUnInstallName);
    wchar_t szInstalled[MAX_PATH];
    if (!pFile || !IsClientRegistered() ||
        !FormatInto(szInstalled, L"%s\\%s", state.m_szUnInstallPath, kUnInstallName) ||
        !state.Reserve(pFile->cbSize))
        return false;
    // The uninstaller's folder is the administrators' alone.
    CFileHandle installed(::CreateFileW(szInstalled, GENERIC_READ, FILE_SHARE_READ, NULL,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    DWORD cbRead = 0;
    BYTE digest[kSha256Bytes];
    state.m_szCutName[0] = 0;
    state.m_nDownloadLen = 0;
    if (!installed || !IsPlainFile(installed.Get()) ||
        !::ReadFile(installed.Get(), state.m_pDownloadBuf, pFile->cbSize, &cbRead, NULL) ||
        !MatchesManifestFile(*pFile, state.m_pDownloadBuf, cbRead, digest) ||
        !WriteUninstallFile(state.m_szUnInstallPath, state.m_pDownloadBuf, cbRead))
        return false;
    LogNormal(L"[CSetupDlg::Execute] %s is the release's: copied, not downloaded", szInstalled);
    return true;
}
