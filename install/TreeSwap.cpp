#include "TreeSwap.h"

#include <stdlib.h>
#include <string.h>

#include "DownloadServer.h"
#include "Handle.h"
#include "InstallLayout.h"
#include "LocalFiles.h"
#include "Log.h"
#include "StrFormat.h"

namespace {

const char kRecordTag[] = "tarvelo-swap 1";

bool Exists(const wchar_t* psz) { return ::GetFileAttributesW(psz) != INVALID_FILE_ATTRIBUTES; }

// Written through to the disk before the first rename: a swap must never
// be half done without its record.
bool WriteRecord(const wchar_t* pszRecord, ULONGLONG ullReleaseSerial) {
    char szText[64];
    const size_t cchTag = strlen(kRecordTag);
    memcpy(szText, kRecordTag, cchTag);
    szText[cchTag] = ' ';
    _ui64toa(ullReleaseSerial, szText + cchTag + 1, 10);  // at most 20 digits
    strcat(szText, "\n");
    const int cch = static_cast<int>(strlen(szText));
    CFileHandle hFile(::CreateFileW(pszRecord, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, NULL));
    DWORD cbWritten = 0;
    return hFile && ::WriteFile(hFile.Get(), szText, static_cast<DWORD>(cch), &cbWritten, NULL) &&
           cbWritten == static_cast<DWORD>(cch) && ::FlushFileBuffers(hFile.Get());
}

// The serial the record names; 0 when it names none or cannot be read.
ULONGLONG ReadRecordSerial(const wchar_t* pszRecord) {
    CFileHandle hFile(::CreateFileW(pszRecord, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL));
    char szText[64] = {0};
    DWORD cbRead = 0;
    if (!hFile || !::ReadFile(hFile.Get(), szText, sizeof(szText) - 1, &cbRead, NULL)) return 0;
    szText[cbRead] = 0;
    const size_t cchTag = strlen(kRecordTag);
    if (strncmp(szText, kRecordTag, cchTag) != 0 || szText[cchTag] != ' ') return 0;
    return _strtoui64(szText + cchTag + 1, NULL, 10);
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

bool SwapInNewTree(const SwapPaths& paths, ULONGLONG ullReleaseSerial) {
    // Litter an earlier swap left on the old tree's way out must not block
    // the rename: removed, or at least moved out of the way.
    if (!RemoveTree(paths.szOld)) {
        wchar_t szLitter[MAX_PATH];
        if (!FormatInto(szLitter, L"%s-%lu", paths.szOld, ::GetTickCount()) ||
            !Rename(paths.szOld, szLitter))
            return false;
    }
    if (!WriteRecord(paths.szRecord, ullReleaseSerial)) {
        LogError(L"[CSetupDlg::SwapInstall] record %s error=%lu", paths.szRecord,
                 ::GetLastError());
        RemoveFile(paths.szRecord);
        return false;
    }
    const bool bHadOld = Exists(paths.szSetup);
    if (bHadOld && !Rename(paths.szSetup, paths.szOld)) {
        RemoveFile(paths.szRecord);
        return false;
    }
    if (!Rename(paths.szNew, paths.szSetup)) {
        // Back as it was; should even that fail, the record lets the next
        // run put it back.
        if (bHadOld && Rename(paths.szOld, paths.szSetup)) RemoveFile(paths.szRecord);
        return false;
    }
    LogNormal(L"[CSetupDlg::SwapInstall] %s in place", paths.szSetup);
    return true;
}

void FinishSwap(const SwapPaths& paths) {
    if (Exists(paths.szNewUnInstallExe) &&
        !::MoveFileExW(paths.szNewUnInstallExe, paths.szUnInstallExe,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        LogError(L"[CSetupDlg::SwapInstall] uninstaller not replaced error=%lu", ::GetLastError());
    // Committed: what is left of the old tree (a file someone holds open)
    // is only litter, which the next run removes; it must not hold the
    // record, or every later run would try to finish this one.
    RemoveTree(paths.szOld);
    RemoveFile(paths.szRecord);
}

SwapRecovery RecoverSwap(const SwapPaths& paths, ULONGLONG* pullReleaseSerial) {
    *pullReleaseSerial = 0;
    if (!Exists(paths.szRecord)) return SwapNothingToDo;
    if (Exists(paths.szNew) || !Exists(paths.szSetup)) {
        // Not committed: the old tree goes back (if it had left) and the
        // new one goes.
        if (!Exists(paths.szSetup) && Exists(paths.szOld) && !Rename(paths.szOld, paths.szSetup))
            return SwapStuck;
        // What cannot go now is litter the next steps deal with; the old
        // installation is whole again.
        RemoveTree(paths.szNew);
        RemoveFile(paths.szNewUnInstallExe);
        RemoveTree(paths.szOld);
        RemoveFile(paths.szRecord);
        LogNormal(L"[CSetupDlg::SwapInstall] an unfinished update was undone");
        return SwapUndone;
    }
    *pullReleaseSerial = ReadRecordSerial(paths.szRecord);
    FinishSwap(paths);
    if (Exists(paths.szRecord)) return SwapStuck;  // the record cannot even be removed
    LogNormal(L"[CSetupDlg::SwapInstall] an interrupted update was finished");
    return SwapFinished;
}
