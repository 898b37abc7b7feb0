#include "TreeSwap.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "DownloadServer.h"
#include "Handle.h"
#include "InstallFolders.h"
#include "InstallLayout.h"
#include "LocalFiles.h"
#include "Log.h"
#include "SecureFolder.h"
#include "StrFormat.h"

namespace {

const char kRecordTag[] = "tarvelo-swap";

// How far a swap got. A record of the first format has no phase (nor
// identity): PhaseUnknown.
enum SwapPhase { PhasePrepared = 0, PhaseOldOut = 1, PhaseCommitted = 2, PhaseUnknown = 9 };

// A folder as the file system knows it, whatever its name.
struct FolderId {
    ULONGLONG ullVolume;
    ULONGLONG ullIndex;
};

struct SwapRecord {
    ULONGLONG ullSerial;
    int nPhase;
    FolderId newTree;
};

bool Exists(const wchar_t* psz) { return ::GetFileAttributesW(psz) != INVALID_FILE_ATTRIBUTES; }

// The folder at pszPath opened as itself (a link is refused) and held
// without delete sharing, so that it cannot be renamed or replaced while
// held (the system weighs sharing only for opens that may read, write or
// delete: hence FILE_LIST_DIRECTORY); dwAccess: what the holder then does
// through it.
bool OpenFolderAsItself(const wchar_t* pszPath, DWORD dwAccess, CFileHandle* phFolder,
                        FolderId* pId) {
    phFolder->Reset(OpenFolderItself(pszPath, dwAccess | FILE_LIST_DIRECTORY,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE));
    BY_HANDLE_FILE_INFORMATION info;
    if (!*phFolder || !::GetFileInformationByHandle(phFolder->Get(), &info)) {
        phFolder->Close();
        return false;
    }
    pId->ullVolume = info.dwVolumeSerialNumber;
    pId->ullIndex = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool GetFolderId(const wchar_t* pszPath, FolderId* pId) {
    CFileHandle hFolder;
    return OpenFolderAsItself(pszPath, 0, &hFolder, pId);
}

// Whether the folder at pszPath is the one the record names; if so it is
// held in *phTree (when given), open to change its security.
bool HoldRecordedTree(const wchar_t* pszPath, const SwapRecord& record, CFileHandle* phTree) {
    CFileHandle hTree;
    FolderId id;
    if (record.nPhase == PhaseUnknown ||
        !OpenFolderAsItself(pszPath, READ_CONTROL | WRITE_DAC, &hTree, &id) ||
        id.ullVolume != record.newTree.ullVolume || id.ullIndex != record.newTree.ullIndex)
        return false;
    if (phTree) *phTree = std::move(hTree);
    return true;
}

// Written through to the disk: before the first rename (a swap must never
// be half done without its record), and after each.
bool WriteRecord(const wchar_t* pszRecord, const SwapRecord& record) {
    char szText[128];
    const int cch = _snprintf(szText, sizeof(szText), "%s 2 %I64u %d %I64u %I64u\n", kRecordTag,
                              record.ullSerial, record.nPhase, record.newTree.ullVolume,
                              record.newTree.ullIndex);
    if (cch <= 0 || cch >= static_cast<int>(sizeof(szText))) return false;
    CFileHandle hFile(::CreateFileW(pszRecord, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, NULL));
    if (hFile && WriteAll(hFile.Get(), szText, static_cast<DWORD>(cch)) &&
        ::FlushFileBuffers(hFile.Get()))
        return true;
    LogError(L"[CSetupDlg::SwapInstall] record %s error=%lu", pszRecord, ::GetLastError());
    return false;
}

// "tarvelo-swap 1 SERIAL" (the first format) or "tarvelo-swap 2 SERIAL
// PHASE VOLUME INDEX". Anything unreadable names no serial and no phase.
SwapRecord ReadRecord(const wchar_t* pszRecord) {
    SwapRecord record = {0, PhaseUnknown, {0, 0}};
    CFileHandle hFile(::CreateFileW(pszRecord, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL));
    char szText[128] = {0};
    DWORD cbRead = 0;
    if (!hFile || !::ReadFile(hFile.Get(), szText, sizeof(szText) - 1, &cbRead, NULL))
        return record;
    szText[cbRead] = 0;
    const size_t cchTag = strlen(kRecordTag);
    if (strncmp(szText, kRecordTag, cchTag) != 0 || szText[cchTag] != ' ') return record;
    char* p = szText + cchTag + 1;
    const ULONGLONG ullFormat = _strtoui64(p, &p, 10);
    record.ullSerial = _strtoui64(p, &p, 10);
    if (ullFormat != 2) return record;
    const ULONGLONG ullPhase = _strtoui64(p, &p, 10);
    record.newTree.ullVolume = _strtoui64(p, &p, 10);
    record.newTree.ullIndex = _strtoui64(p, &p, 10);
    if (ullPhase <= PhaseCommitted && *p == '\n') record.nPhase = static_cast<int>(ullPhase);
    return record;
}

bool Rename(const wchar_t* pszFrom, const wchar_t* pszTo) {
    if (::MoveFileExW(pszFrom, pszTo, MOVEFILE_WRITE_THROUGH)) return true;
    LogError(L"[CSetupDlg::SwapInstall] rename %s to %s error=%lu", pszFrom, pszTo,
             ::GetLastError());
    return false;
}

// A tree of ours (the new one, or the old one once it is out of place):
// removed whole, read-only files too, links removed and never followed.
bool RemoveTree(const wchar_t* pszPath) {
    if (!Exists(pszPath)) return true;
    if (DeleteFolder(pszPath, true)) return true;
    LogError(L"[CSetupDlg::SwapInstall] could not remove %s", pszPath);
    return false;
}

bool RemoveFile(const wchar_t* pszPath) {
    return !Exists(pszPath) || ::DeleteFileW(pszPath);
}

}  // namespace

bool MakeSwapPaths(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath, SwapPaths* pPaths) {
    return FormatInto(pPaths->szSetup, L"%s", pszSetupPath) &&
           FormatInto(pPaths->szNew, L"%s.new", pszSetupPath) &&
           FormatInto(pPaths->szOld, L"%s\\%s", pszUnInstallPath, kOldTreeName) &&
           FormatInto(pPaths->szUnInstallExe, L"%s\\%s", pszUnInstallPath, kUnInstallName) &&
           FormatInto(pPaths->szNewUnInstallExe, L"%s\\%s", pszUnInstallPath,
                      kNewUninstallerName) &&
           FormatInto(pPaths->szRecord, L"%s\\%s", pszUnInstallPath, kSwapRecordName);
}

bool SwapInNewTree(const SwapPaths& paths, ULONGLONG ullReleaseSerial, CFileHandle* phTree) {
    // Litter an earlier swap left on the old tree's way out must not block
    // the rename: removed, or at least moved out of the way.
    if (!RemoveTree(paths.szOld)) {
        wchar_t szLitter[MAX_PATH];
        if (!FormatInto(szLitter, L"%s-%lu", paths.szOld, ::GetTickCount()) ||
            !Rename(paths.szOld, szLitter))
            return false;
    }
    SwapRecord record = {ullReleaseSerial, PhasePrepared, {0, 0}};
    if (!GetFolderId(paths.szNew, &record.newTree)) {
        LogError(L"[CSetupDlg::SwapInstall] %s is not the folder built aside", paths.szNew);
        return false;
    }
    if (!WriteRecord(paths.szRecord, record)) {
        RemoveFile(paths.szRecord);
        return false;
    }
    const bool bHadOld = Exists(paths.szSetup);
    if (bHadOld && !Rename(paths.szSetup, paths.szOld)) {
        RemoveFile(paths.szRecord);
        return false;
    }
    record.nPhase = PhaseOldOut;
    // Should this record not be written, the one before still undoes the
    // swap: the next run finds the old tree aside and brings it back.
    if (!WriteRecord(paths.szRecord, record) || !Rename(paths.szNew, paths.szSetup)) {
        // Back as it was; should even that fail, the record lets the next
        // run put it back.
        if (bHadOld && Rename(paths.szOld, paths.szSetup)) RemoveFile(paths.szRecord);
        return false;
    }
    // Committed only once the tree in place is the one built aside.
    record.nPhase = PhaseCommitted;
    if (!HoldRecordedTree(paths.szSetup, record, phTree) ||
        !WriteRecord(paths.szRecord, record)) {
        LogError(L"[CSetupDlg::SwapInstall] %s is not the new installation after the rename",
                 paths.szSetup);
        return false;
    }
    LogNormal(L"[CSetupDlg::SwapInstall] %s in place", paths.szSetup);
    return true;
}

bool FinishSwap(const SwapPaths& paths) {
    bool bReplaced = true;
    if (Exists(paths.szNewUnInstallExe) &&
        !::MoveFileExW(paths.szNewUnInstallExe, paths.szUnInstallExe,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        LogError(L"[CSetupDlg::SwapInstall] uninstaller not replaced error=%lu", ::GetLastError());
        bReplaced = false;
    }
    // Committed: the old tree is only litter, which the next swap removes;
    // it must not hold the record, or every later run would try to finish
    // this one.
    RemoveFile(paths.szRecord);
    return bReplaced;
}

void RemoveOldTree(const SwapPaths& paths) { RemoveTree(paths.szOld); }

SwapRecovery RecoverSwap(const SwapPaths& paths, ULONGLONG* pullReleaseSerial,
                         CFileHandle* phTree) {
    *pullReleaseSerial = 0;
    if (!Exists(paths.szRecord)) return SwapNothingToDo;
    const SwapRecord record = ReadRecord(paths.szRecord);
    // Ours and in place: committed, or killed between the rename and the
    // record saying so. A record of the first format knows no identity and
    // is judged as that format was written: committed when the new tree
    // has left its place and the old one is not back.
    const bool bCommitted =
        record.nPhase == PhaseUnknown
            ? !Exists(paths.szNew) && Exists(paths.szSetup)
            : record.nPhase >= PhaseOldOut && HoldRecordedTree(paths.szSetup, record, phTree);
    if (!bCommitted) {
        // The old tree left only in this swap (the swap removes any earlier
        // one before it starts); whatever stands in its place is not ours
        // and goes aside, never the reason to delete it.
        if (Exists(paths.szOld)) {
            if (Exists(paths.szSetup) && !MoveAside(paths.szSetup)) return SwapStuck;
            if (!Rename(paths.szOld, paths.szSetup)) return SwapStuck;
        }
        // Only the tree this swap built is removed; anything else of that
        // name is left for the next run to move aside.
        if (record.nPhase == PhaseUnknown || HoldRecordedTree(paths.szNew, record, NULL))
            RemoveTree(paths.szNew);
        RemoveFile(paths.szNewUnInstallExe);
        RemoveFile(paths.szRecord);
        LogNormal(L"[CSetupDlg::SwapInstall] an unfinished update was undone");
        return SwapUndone;
    }
    *pullReleaseSerial = record.ullSerial;
    // A record of the first format names no identity: the folder in place
    // is held as itself all the same.
    FolderId id;
    if (phTree && !*phTree)
        OpenFolderAsItself(paths.szSetup, READ_CONTROL | WRITE_DAC, phTree, &id);
    FinishSwap(paths);
    RemoveOldTree(paths);
    if (Exists(paths.szRecord)) return SwapStuck;  // the record cannot even be removed
    LogNormal(L"[CSetupDlg::SwapInstall] an interrupted update was finished");
    return SwapFinished;
}
