#ifdef SETUP_BENCH
#include "MemoryFigures.h"
#endif
#include <new>
#include <string>
#include <utility>

#include "DownloadServer.h"
#include "Handle.h"
#include "ExitCodes.h"
#include "HttpDownload.h"
#include "InstallFolders.h"
#include "InstallSequence.h"
#include "LocalFiles.h"
#include "Log.h"
#include "PackageExtract.h"
#include "Registration.h"
#include "ReleaseFetch.h"
#include "SetupList.h"
#include "StrFormat.h"
#include "TreeSwap.h"

CInstallState::CInstallState()
    : m_pDownloadBuf(NULL),
      m_nDownloadBufSize(0),
      m_nDownloadLen(0),
      m_nProgress(0),
      m_bConfirmStop(1),
      m_nServer(0),
      m_nCutServer(0),
      m_nExitCode(-1),
      m_bProxyRefused(false),
      m_bProxyDialogs(true),
      m_manifest(),
      m_bVerified(false) {
    m_szSetupPath[0] = m_szUnInstallPath[0] = m_szTempPath[0] = m_szStagingPath[0] = 0;
    m_szNewPath[0] = m_szCutName[0] = m_szSourcePath[0] = m_szLayoutPath[0] = 0;
    m_cut.szValidator[0] = 0;
    m_hDownloadStop = NULL;
    wmemset(m_szProxyUser, 0, 64);
    wmemset(m_szProxyPassword, 0, 64);
    m_pDownloadBuf = new (std::nothrow) BYTE[kDownloadBufInitialSize]();
    if (m_pDownloadBuf) m_nDownloadBufSize = kDownloadBufInitialSize;
}

CInstallState::~CInstallState() {
    ForgetProxyCredentials(m_szProxyUser, m_szProxyPassword);
    delete[] m_pDownloadBuf;
    m_pDownloadBuf = NULL;
    m_nDownloadBufSize = m_nDownloadLen = 0;
}

namespace {

// The one failure text for anything the signed release refuses.
const wchar_t kRefusedMessage[] = L"安装包校验失败";

// The manifest's file names as a keep list for DeleteFolderContents.
std::wstring ManifestNames(const CInstallState& state) {
    std::wstring names;
    for (const ManifestFile& file : state.m_manifest.vecFiles) {
        names += file.szName;
        names += L'\0';
    }
    names += L'\0';
    return names;
}

// nExitCode: the failure's class (SetupExitCode). A download that failed
// because a proxy wanted credentials nobody gave is that.
void ReportFailure(CInstallState& state, IInstallView& view, const wchar_t* pszMessage,
                   int nExitCode = kSetupFailed) {
    state.m_bConfirmStop = 0;
    if ((nExitCode == kSetupListFailed || nExitCode == kSetupDownloadFailed) &&
        state.m_bProxyRefused)
        nExitCode = kSetupProxyAuth;
    state.m_nExitCode = nExitCode;
    view.ShowFailure(pszMessage);
}

void SetProgress(CInstallState& state, IInstallView& view, int nProgress) {
    state.m_nProgress = nProgress;
    view.ShowProgress(nProgress);
}

// Counts one failed attempt of an entry. On the last one the entry's
// failure (pszFormat over its name, or the refusal when the signed release
// refused any of its attempts) is shown and true returned: stop.
bool LastAttempt(CInstallState& state, IInstallView& view, int* pnAttempt, bool bRefused,
                 const wchar_t* pszFormat, const wchar_t* pszName, int nExitCode) {
    if (++*pnAttempt < AttemptsPerFile()) return false;
    wchar_t szMessage[64];
    if (bRefused)
        CopyInto(szMessage, kRefusedMessage);
    else
        FormatInto(szMessage, pszFormat, pszName);
    ReportFailure(state, view, szMessage, bRefused ? kSetupReleaseRefused : nExitCode);
    return true;
}

// A folder that is a link, or cannot be made or held, stops the
// installation: nothing is written through it.
bool RefuseFolder(CInstallState& state, IInstallView& view, const wchar_t* pszFolder) {
    LogError(L"[CSetupDlg::Execute] folder refused: %s error=%lu", pszFolder, ::GetLastError());
    ReportFailure(state, view, L"无法确定安装位置");
    return false;
}

// Before the first package: room on the drive for the new tree while the old
// one still exists. Only a verified release says its sizes; its packages
// unpacked are counted as four times their zipped size (generous for
// programs and documents), plus the zips themselves (they stay staged until
// the swap), the uninstaller and 64 MiB to spare. Anything it misses fails
// later, at the write, with the old installation still whole.
bool CheckFreeSpace(CInstallState& state, IInstallView& view) {
    if (!state.m_bVerified) return true;
    ULONGLONG ullNeeded = 64ull << 20;
    for (const SetupListEntry& entry : state.m_vecSetupList) {
        const ManifestFile* pFile = FindReleaseFile(state, entry.szName);
        if (!pFile || !state.m_setInstallKind.count(entry.nKind)) continue;
        ullNeeded += 5ull * pFile->cbSize;
    }
    if (const ManifestFile* pFile = FindReleaseFile(state, kUnInstallName))
        ullNeeded += pFile->cbSize;
    wchar_t szRoot[4] = {state.m_szSetupPath[0], L':', L'\\', 0};
    ULARGE_INTEGER free = {};
    if (!::GetDiskFreeSpaceExW(szRoot, &free, NULL, NULL) || free.QuadPart >= ullNeeded)
        return true;
    LogError(L"[CSetupDlg::Execute] not enough disk space on %s: free=%I64u needed=%I64u", szRoot,
             free.QuadPart, ullNeeded);
    ReportFailure(state, view, L"磁盘空间不足", kSetupDiskFull);
    return false;
}

// Shortcuts, the Uninstall entry (with the serial of a verified release)
// and the client's rights in its own folder, for an installation in place.
// pView, when given, shows 100 percent between the shortcuts and the entry.
void RegisterInstallation(CInstallState& state, ULONGLONG ullSerial, IInstallView* pView) {
    const wchar_t* pszSetupPath = state.m_szSetupPath;
    const wchar_t* pszUnInstallPath = state.m_szUnInstallPath;
    wchar_t szTarget[MAX_PATH];
    wchar_t szIcon[MAX_PATH];
    if (FormatInto(szTarget, L"%s/iKVTRemote.exe", pszSetupPath) &&
        FormatInto(szIcon, L"%s/favicon.ico", pszSetupPath)) {
        SetDesktopShellLink(L"塔维罗", pszSetupPath, szTarget, szIcon);
    }
    SetStartShellLink(pszSetupPath, pszUnInstallPath);
    if (pView) SetProgress(state, *pView, 100);
    WriteRegistry(pszSetupPath, pszUnInstallPath, ullSerial);
    // The client may write in its own folder again, as before.
    if (!GrantUsersModify(pszSetupPath))
        LogError(L"[CSetupDlg::Execute] users cannot write in %s", pszSetupPath);
}

// Before anything else: the log's folder held, the uninstaller's folder
// made or taken, protected and held, and what a killed run left put right
// (an unfinished swap undone, a committed one finished and registered).
bool RecoverFolders(CInstallState& state, IInstallView& view) {
    CProtectedSecurity security;
    if (!state.m_guardTemp.Open(state.m_szTempPath))
        return RefuseFolder(state, view, state.m_szTempPath);
    if (!HoldOwnFolder(state.m_szUnInstallPath, security, &state.m_guardUnInstall))
        return RefuseFolder(state, view, state.m_szUnInstallPath);
    SwapPaths paths;
    if (!MakeSwapPaths(state.m_szSetupPath, state.m_szUnInstallPath, &paths))
        return RefuseFolder(state, view, state.m_szSetupPath);
    ULONGLONG ullSerial = 0;
    switch (RecoverSwap(paths, &ullSerial)) {
        case SwapStuck:
            return RefuseFolder(state, view, paths.szRecord);
        case SwapFinished:
            RegisterInstallation(state, ullSerial, NULL);
            break;
        default:
            break;
    }
    return true;
}

// The folders this run writes: the uninstaller's emptied of anything but
// the registered uninstaller (which stays until the swap replaces it), the
// staging folder, and the folder the new installation is built in, made
// fresh. The installation's own folder is only checked: it is not touched
// before the swap.
bool PrepareFolders(CInstallState& state, IInstallView& view) {
    CProtectedSecurity security;
    if (!CheckExistingFolder(state.m_szSetupPath))
        return RefuseFolder(state, view, state.m_szSetupPath);
    DeleteFolderContents(state.m_szUnInstallPath, true,
                         IsClientRegistered() ? L"UnInstall.exe\0packages\0" : L"packages\0");
    if (!FormatInto(state.m_szStagingPath, L"%s\\packages", state.m_szUnInstallPath) ||
        !HoldOwnFolder(state.m_szStagingPath, security, &state.m_guardStaging))
        return RefuseFolder(state, view, state.m_szStagingPath);
    // Packages an earlier, failed run staged stay only when this release
    // names them: they are verified again before use.
    DeleteFolderContents(state.m_szStagingPath, true,
                         state.m_bVerified ? ManifestNames(state).c_str() : NULL);
    if (!FormatInto(state.m_szNewPath, L"%s.new", state.m_szSetupPath) ||
        !MakeFreshAndHold(state.m_szNewPath, security, &state.m_guardSetup)) {
        RefuseFolder(state, view, state.m_szNewPath);
        state.m_szNewPath[0] = 0;  // not ours: nothing to clean up
        return false;
    }
    return true;
}

// A package a failed run of this release staged and the manifest still
// vouches for: read into the download buffer, checked, and held open (for
// reading only) until the extraction has opened it. Anything else there is
// removed, and downloaded again.
bool TakeVerifiedStaged(CInstallState& state, const wchar_t* pszName, const wchar_t* pszStaging,
                        CFileHandle* pStaged) {
    const ManifestFile* pFile = FindReleaseFile(state, pszName);
    if (!pFile || ::GetFileAttributesW(pszStaging) == INVALID_FILE_ATTRIBUTES) return false;
    CFileHandle staged(::CreateFileW(pszStaging, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    LARGE_INTEGER size = {};
    DWORD cbRead = 0;
    BYTE digest[kSha256Bytes];
    if (staged && ::GetFileSizeEx(staged.Get(), &size) && size.QuadPart == pFile->cbSize &&
        pFile->cbSize < state.m_nDownloadBufSize &&
        ::ReadFile(staged.Get(), state.m_pDownloadBuf, pFile->cbSize, &cbRead, NULL) &&
        cbRead == pFile->cbSize &&
        MatchesManifestFile(*pFile, state.m_pDownloadBuf, cbRead, digest)) {
        state.m_nDownloadLen = cbRead;
        *pStaged = std::move(staged);
        LogNormal(L"[CSetupDlg::Execute] %s verified in the staging folder: not downloaded again",
                  pszName);
        return true;
    }
    staged.Close();
    ::DeleteFileW(pszStaging);
    return false;
}

bool IsDiskFull(DWORD dwError) {
    return dwError == ERROR_DISK_FULL || dwError == ERROR_HANDLE_DISK_FULL;
}

bool StopRequested(HANDLE hStopEvent) {
    return ::WaitForSingleObject(hStopEvent, 1) == WAIT_OBJECT_0;
}

// How one attempt to fetch and stage a package ended.
enum StageResult { StageDone, StageAgain, StageFailed };

// Downloads the entry's package and writes it to the staging folder, held
// open from its writing until the extraction has opened it, and shared for
// reading only: no one can change or delete it between. StageFailed when
// the entry's failure is shown.
StageResult FetchAndStage(CInstallState& state, IInstallView& view, const SetupListEntry& entry,
                          const wchar_t* szStaging, HWND hWndOwner, int* pnAttempt, bool* pbRefused,
                          CFileHandle* pStaged) {
    int& nAttempt = *pnAttempt;
    FetchResult fetched = FetchReleaseFile(state, entry.szName, hWndOwner);
    if (fetched != FetchOk) {
        *pbRefused = *pbRefused || fetched == FetchRefused;
        if (LastAttempt(state, view, &nAttempt, *pbRefused, L"下载%s失败", entry.szName,
                        kSetupDownloadFailed)) {
            LogError(L"[CSetupDlg::Execute] download %s failed", entry.szName);
            return StageFailed;
        }
        LogError(L"[CSetupDlg::Execute] %d download %s failed", nAttempt, entry.szName);
        return StageAgain;
    }
    LogNormal(L"[CSetupDlg::Execute] download %s sccuss", entry.szName);

    SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, FALSE};
    CFileHandle& staged = *pStaged;
    staged.Reset(::CreateFileW(szStaging, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL));
    if (!staged) {
        DWORD dwError = ::GetLastError();
        if (LastAttempt(state, view, &nAttempt, false, L"安装%s失败", entry.szName,
                        kSetupUnpackFailed)) {
            LogNormal(L"[CSetupDlg::Execute] %s CreateFile(%s) Error(%d)", entry.szName, szStaging,
                      static_cast<int>(dwError));
            return StageFailed;
        }
        LogNormal(L"[CSetupDlg::Execute] %d CreateFile(%s) Error(%d)", nAttempt, szStaging,
                  static_cast<int>(dwError));
        return StageAgain;
    }
    DWORD cbWritten = 0;
    if (!::WriteFile(staged.Get(), state.m_pDownloadBuf, state.m_nDownloadLen, &cbWritten, NULL) ||
        cbWritten != state.m_nDownloadLen) {
        // A full disk is no damaged download: one failure, naming it.
        const DWORD dwError = ::GetLastError();
        staged.Close();
        ::DeleteFileW(szStaging);
        LogError(L"[CSetupDlg::Execute] %s staging write failed error=%lu written=%lu of %lu",
                 entry.szName, dwError, cbWritten, state.m_nDownloadLen);
        if (IsDiskFull(dwError)) {
            ReportFailure(state, view, L"磁盘空间不足", kSetupDiskFull);
            return StageFailed;
        }
        if (LastAttempt(state, view, &nAttempt, false, L"安装%s失败", entry.szName,
                        kSetupUnpackFailed))
            return StageFailed;
        return StageAgain;
    }
    return StageDone;
}

// One list entry: download, stage, unpack, delete; up to five attempts of
// any kind (at least one per server), each after a look at the stop event. A
// package that can never unpack fails at once. False when the installation
// must stop (a failure is already reported; a stop is not one).
bool InstallEntry(CInstallState& state, IInstallView& view, const SetupListEntry& entry,
                  HANDLE hStopEvent, HWND hWndOwner) {
    wchar_t szStaging[MAX_PATH];
    wchar_t szMessage[64];
    if (!FormatInto(szStaging, L"%s\\%s", state.m_szStagingPath, entry.szName)) {
        // A name that cannot be made into a staging path cannot be
        // installed; say so rather than skip it silently.
        FormatInto(szMessage, L"安装%s失败", entry.szName);
        ReportFailure(state, view, szMessage, kSetupUnpackFailed);
        LogError(L"[CSetupDlg::Execute] %s path too long", entry.szName);
        return false;
    }
    bool bRefused = false;
    for (int nAttempt = 0;;) {
        if (StopRequested(hStopEvent)) return false;
        CFileHandle staged;
        if (!TakeVerifiedStaged(state, entry.szName, szStaging, &staged)) {
            StageResult result = FetchAndStage(state, view, entry, szStaging, hWndOwner, &nAttempt,
                                               &bRefused, &staged);
            if (result == StageFailed) return false;
            if (result == StageAgain) continue;
        }

        PackageResult extracted =
            ExtractPackage(szStaging, state.m_szNewPath, kPackagePauseMs, hStopEvent);
        staged.Close();
        if (extracted == PackageStopped) {
            ::DeleteFileW(szStaging);
            return false;
        }
        // A verified package stays staged until the installation is in, so
        // that a run after a failure need not download it again.
        if (extracted == PackageExtracted) {
            view.ShowPackageDone(entry.szName, state.m_nDownloadLen);
            if (!state.m_bVerified) ::DeleteFileW(szStaging);
            return true;
        }
        ::DeleteFileW(szStaging);
        // A package that does not unpack whole (not a zip, cut short, a bad
        // CRC) would leave a broken installation reported as a success. A body
        // cut without a length header arrives looking whole, so fetch again;
        // stop with the entry's failure when it never unpacks, and at once
        // when it never can (its entries, or its figures over the limits, are
        // logged).
        if (extracted == PackageUnusable || extracted == PackageTooLarge)
            nAttempt = AttemptsPerFile() - 1;
        if (LastAttempt(state, view, &nAttempt, false, L"安装%s失败", entry.szName,
                        kSetupUnpackFailed)) {
            LogError(L"[CSetupDlg::Execute] extract %s failed", entry.szName);
            return false;
        }
        LogError(L"[CSetupDlg::Execute] %d extract %s failed", nAttempt, entry.szName);
    }
}

// In a layout run: the download buffer, checked, written as pszName in the
// layout folder (made new there, or replacing an earlier layout's file).
bool SaveToLayout(CInstallState& state, IInstallView& view, const wchar_t* pszName) {
    if (!state.m_szLayoutPath[0]) return true;
    wchar_t szFile[MAX_PATH];
    DWORD cbWritten = 0;
    DWORD dwError = ERROR_BUFFER_OVERFLOW;
    if (FormatInto(szFile, L"%s\\%s", state.m_szLayoutPath, pszName)) {
        CFileHandle file(::CreateFileW(szFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, NULL));
        if (file && ::WriteFile(file.Get(), state.m_pDownloadBuf, state.m_nDownloadLen,
                                &cbWritten, NULL) &&
            cbWritten == state.m_nDownloadLen && ::FlushFileBuffers(file.Get())) {
            LogNormal(L"[CSetupDlg::Layout] %s written, %lu bytes", szFile, cbWritten);
            view.ShowPackageDone(pszName, cbWritten);
            return true;
        }
        dwError = ::GetLastError();
    }
    LogError(L"[CSetupDlg::Layout] %s\\%s not written error=%lu", state.m_szLayoutPath, pszName,
             dwError);
    ReportFailure(state, view, L"安装包保存失败", IsDiskFull(dwError) ? kSetupDiskFull : kSetupFailed);
    return false;
}

// The release's manifest (in a build with a key) and the setup list, one
// attempt per server each; then, for a verified release, every list entry
// must be a file the manifest names.
bool FetchSetupList(CInstallState& state, IInstallView& view, HWND hWndOwner) {
    FetchResult fetched = FetchReleaseManifest(state, hWndOwner);
    if (fetched == FetchOk && state.m_bVerified && !SaveToLayout(state, view, kManifestName))
        return false;
    if (fetched == FetchOk) {
        bool bRefused = false;
        fetched = FetchFailed;
        for (int i = 0; i < GetDownloadServerCount() && fetched != FetchOk; ++i) {
            fetched = FetchReleaseFile(state, kSetupListName, hWndOwner);
            bRefused = bRefused || fetched == FetchRefused;
        }
        if (fetched != FetchOk && bRefused) fetched = FetchRefused;
    }
    if (fetched == FetchRefused) {
        LogError(L"[CSetupDlg::Execute] release refused");
        ReportFailure(state, view, kRefusedMessage, kSetupReleaseRefused);
        return false;
    }
    SetupListResult list =
        ValidateSetupList(fetched == FetchOk, state.m_pDownloadBuf, state.m_nDownloadLen,
                          state.m_nDownloadBufSize, &state.m_vecSetupList);
    if (!list.bOk) {
        ReportFailure(state, view, list.pszMessage,
                      fetched == FetchOk ? kSetupFailed : kSetupListFailed);
        LogError(L"%s", list.pszLogLine);
        return false;
    }
    for (const SetupListEntry& entry : state.m_vecSetupList) {
        if (state.m_bVerified && !FindReleaseFile(state, entry.szName)) {
            LogError(L"[CSetupDlg::Execute] %s refused: listed, but not in the release manifest",
                     entry.szName);
            ReportFailure(state, view, kRefusedMessage, kSetupReleaseRefused);
            return false;
        }
    }
    return SaveToLayout(state, view, kSetupListName);
}

// The uninstaller, fetched like a package (attempts, servers, checks) and
// written only once it arrived whole.
bool InstallUninstaller(CInstallState& state, IInstallView& view, HANDLE hStopEvent,
                        HWND hWndOwner) {
    bool bRefused = false;
    for (int nAttempt = 0;;) {
        if (StopRequested(hStopEvent)) return false;
        FetchResult fetched = DownloadUninstallFile(state, hWndOwner);
        if (fetched == FetchOk) return true;
        bRefused = bRefused || fetched == FetchRefused;
        if (LastAttempt(state, view, &nAttempt, bRefused, L"下载%s失败", kUnInstallName,
                        kSetupDownloadFailed)) {
            LogError(L"[CSetupDlg::Execute] UnInstall.exe not installed: nothing registered");
            return false;
        }
    }
}

}  // namespace

int EntryProgress(int i, int nCount) {
    if (nCount <= 0) return 0;
    return static_cast<int>(static_cast<double>(i) * 95.0 / nCount);
}

namespace {

void RunSequence(CInstallState& state, IInstallView& view, HANDLE hStopEvent, HWND hWndOwner) {
    state.m_nProgress = 0;
    // Without a drive every path would be relative to the current folder.
    if (!state.m_szSetupPath[0] || !state.m_szTempPath[0] || !state.m_szUnInstallPath[0]) {
        ReportFailure(state, view, L"无法确定安装位置");
        LogError(L"[CSetupDlg::Execute] no install folder");
        return;
    }

    state.m_hDownloadStop = hStopEvent;
    if (!RecoverFolders(state, view)) return;
    if (!FetchSetupList(state, view, hWndOwner)) return;
    const int nCount = static_cast<int>(state.m_vecSetupList.size());
    LogNormal(L"[CSetupDlg::Execute] download orbsetup.txt sccuss");

    // A stop confirmed during the list download or the proxy dialog leaves
    // the existing installation as it is.
    if (StopRequested(hStopEvent)) return;
    if (!CheckFreeSpace(state, view) || !PrepareFolders(state, view)) return;

    for (int i = 1; i <= nCount; ++i) {
        const SetupListEntry& entry = state.m_vecSetupList[i - 1];
        if (!state.m_setInstallKind.count(entry.nKind) || !entry.szName[0]) continue;

        wchar_t szStatus[64];
        if (FormatInto(szStatus, L"正在安装%s ......", entry.szName)) view.ShowStatusText(szStatus);
        if (!InstallEntry(state, view, entry, hStopEvent, hWndOwner)) return;
        SetProgress(state, view, EntryProgress(i, nCount));
    }

    // Without its uninstaller nothing is registered: an entry whose
    // uninstaller is missing could never be removed.
    if (!InstallUninstaller(state, view, hStopEvent, hWndOwner)) return;
    SetProgress(state, view, 97);
    if (!WriteClientVersion(state.m_szNewPath, 2)) {
        LogError(L"[CSetupDlg::Execute] write %s/config/ORB.System.config failed error=%lu",
                 state.m_szNewPath, ::GetLastError());
        ReportFailure(state, view, L"安装失败");
        return;
    }

    // The last moment a stop leaves the old installation as it was.
    if (StopRequested(hStopEvent)) {
        LogNormal(L"[CSetupDlg::Execute] stopped before the swap");
        return;
    }
    SwapPaths paths;
    state.m_guardSetup.Close();
    const ULONGLONG ullSerial = state.m_bVerified ? state.m_manifest.ullSerial : 0;
    if (!MakeSwapPaths(state.m_szSetupPath, state.m_szUnInstallPath, &paths) ||
        !SwapInNewTree(paths, ullSerial)) {
        ReportFailure(state, view, L"安装失败");
        LogError(L"[CSetupDlg::Execute] the new installation could not replace %s",
                 state.m_szSetupPath);
        return;
    }
    state.m_szNewPath[0] = 0;  // in place now: nothing to clean up
    DeleteFolderContents(state.m_szStagingPath, true);
    FinishSwap(paths);
    RegisterInstallation(state, ullSerial, &view);
    state.m_nExitCode = kSetupOk;
#ifdef SETUP_BENCH
    LogMemoryFigures();
#endif
    view.ArmLaunchTimer();
}

}  // namespace

void RunLayoutSequence(CInstallState& state, IInstallView& view, HANDLE hStopEvent) {
    StartProxyAsking(state.m_bProxyDialogs);
    state.m_bProxyRefused = false;
    state.m_hDownloadStop = hStopEvent;
    if (!::CreateDirectoryW(state.m_szLayoutPath, NULL) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        LogError(L"[CSetupDlg::Layout] %s cannot be made error=%lu", state.m_szLayoutPath,
                 ::GetLastError());
        ReportFailure(state, view, L"无法确定安装位置");
        return;
    }
    try {
        if (!FetchSetupList(state, view, NULL)) return;
        // Every kind: the machines the layout serves differ in fonts.
        std::vector<const wchar_t*> names;
        for (const SetupListEntry& entry : state.m_vecSetupList)
            if (entry.szName[0]) names.push_back(entry.szName);
        names.push_back(kUnInstallName);
        for (const wchar_t* pszName : names) {
            bool bRefused = false;
            for (int nAttempt = 0;;) {
                if (StopRequested(hStopEvent)) return;
                FetchResult fetched = FetchReleaseFile(state, pszName, NULL);
                if (fetched == FetchOk) break;
                bRefused = bRefused || fetched == FetchRefused;
                if (LastAttempt(state, view, &nAttempt, bRefused, L"下载%s失败", pszName,
                                kSetupDownloadFailed))
                    return;
            }
            if (!SaveToLayout(state, view, pszName)) return;
        }
        state.m_nExitCode = kSetupOk;
    } catch (...) {
        LogError(L"[CSetupDlg::Layout] exception");
        ReportFailure(state, view, L"安装失败");
    }
}

void RunInstallSequence(CInstallState& state, IInstallView& view, HANDLE hStopEvent,
                        HWND hWndOwner) {
    // An exception (std::bad_alloc from a huge list, say) must not leave the
    // window at "installing" with nobody working.
    StartProxyAsking(state.m_bProxyDialogs);
    state.m_bProxyRefused = false;
    try {
        RunSequence(state, view, hStopEvent, hWndOwner);
    } catch (...) {
        LogError(L"[CSetupDlg::Execute] exception");
        ReportFailure(state, view, L"安装失败");
    }
    // Staged packages are gone by now; so goes their folder.
    state.m_guardStaging.Close();
    if (state.m_szStagingPath[0]) ::RemoveDirectoryW(state.m_szStagingPath);
    state.m_guardSetup.Close();
    // A run that did not swap leaves the old installation exactly as it was:
    // what it built aside goes.
    wchar_t szNewUninstaller[MAX_PATH];
    if (state.m_szNewPath[0]) {
        DeleteFolder(state.m_szNewPath, true);
        if (FormatInto(szNewUninstaller, L"%s\\UnInstall.exe.new", state.m_szUnInstallPath))
            ::DeleteFileW(szNewUninstaller);
    }
}
