#include "InstallSequence.h"

#include "ExitCodes.h"
#include "InstallFolders.h"
#include "InstallLayout.h"
#include "LocalFiles.h"
#include "Log.h"
#include "PackageStaging.h"
#include "Registration.h"
#include "ReleaseList.h"
#include "RunFigures.h"
#include "RunOutcome.h"
#include "StrFormat.h"
#include "TreeSwap.h"
#include "UninstallDownload.h"

CInstallState::CInstallState() : m_nProgress(0), m_bConfirmStop(1), m_nExitCode(-1) {
    m_szSetupPath[0] = m_szUnInstallPath[0] = m_szTempPath[0] = m_szLayoutPath[0] = 0;
}

int EntryProgress(int i, int nCount) {
    if (nCount <= 0) return 0;
    return static_cast<int>(static_cast<double>(i) * 95.0 / nCount);
}

namespace {

// The new tree in place of the old one, which is left out of place in
// paths.szOld. False (the failure shown) when the old installation had to
// stay; *pbComplete false when the new uninstaller did not replace the old
// one.
bool SwapIn(CInstallState& state, IInstallView& view, ULONGLONG ullSerial, SwapPaths& paths,
            CFileHandle* phTree, bool* pbComplete) {
    state.m_guardSetup.Close();
    if (!MakeSwapPaths(state.m_szSetupPath, state.m_szUnInstallPath, &paths) ||
        !SwapInNewTree(paths, ullSerial, phTree)) {
        ReportFailure(state, view, L"安装失败", kSetupFailed);
        LogError(L"[CSetupDlg::Execute] the new installation could not replace %s",
                 state.m_szSetupPath);
        return false;
    }
    state.m_szNewPath[0] = 0;  // in place now: nothing to clean up
    DeleteFolderContents(state.m_szStagingPath, true);
    *pbComplete = FinishSwap(paths);
    return true;
}

void RunSequence(CInstallState& state, IInstallView& view, HANDLE hStopEvent, HWND hWndOwner) {
    state.m_nProgress = 0;
    // Without a drive every path would be relative to the current folder.
    if (!state.m_szSetupPath[0] || !state.m_szTempPath[0] || !state.m_szUnInstallPath[0]) {
        ReportFailure(state, view, L"无法确定安装位置", kSetupFailed);
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
        if (!InstallPackage(state, view, entry, hStopEvent, hWndOwner)) return;
        SetProgress(state, view, EntryProgress(i, nCount));
    }

    // Without its uninstaller nothing is registered: an entry whose
    // uninstaller is missing could never be removed.
    if (!InstallUninstaller(state, view, hStopEvent, hWndOwner)) return;
    SetProgress(state, view, 97);
    if (!WriteClientVersion(state.m_szNewPath, 2)) {
        LogError(L"[CSetupDlg::Execute] write %s/config/ORB.System.config failed error=%lu",
                 state.m_szNewPath, ::GetLastError());
        ReportFailure(state, view, L"安装失败", kSetupFailed);
        return;
    }

    // The last moment a stop leaves the old installation as it was.
    if (StopRequested(hStopEvent)) {
        LogNormal(L"[CSetupDlg::Execute] stopped before the swap");
        return;
    }
    const ULONGLONG ullSerial = state.m_bVerified ? state.m_manifest.ullSerial : 0;
    // Before the swap: once this release is in, no older one may follow it,
    // whatever happens to the installation afterwards.
    if (ullSerial && !RaiseReleaseFloor(ullSerial)) {
        ReportFailure(state, view, L"安装失败", kSetupFailed);
        return;
    }
    bool bComplete = true;
    CFileHandle hTree;
    SwapPaths paths;
    if (!SwapIn(state, view, ullSerial, paths, &hTree, &bComplete)) return;
    CreateClientShortcuts(state.m_szSetupPath, state.m_szUnInstallPath);
    SetProgress(state, view, 100);
    bComplete = RegisterInstallation(state.m_szSetupPath, hTree.Get(), state.m_szUnInstallPath,
                                     ullSerial) &&
                bComplete;
    // The new installation stays in place, but one that cannot be removed
    // or run as the user is no success.
    if (!bComplete) {
        LogError(L"[CSetupDlg::Execute] installed in %s, but not registered completely",
                 state.m_szSetupPath);
        ReportFailure(state, view, L"安装失败", kSetupFailed);
    } else {
        state.m_nExitCode = kSetupOk;
        LogRunFigures();
        view.ArmLaunchTimer();
    }
    // While the client starts: thousands of old files take seconds to
    // remove, and the window waits for this thread before it closes.
    RemoveOldTree(paths);
}

// A run that did not swap leaves the old installation exactly as it was:
// what it built aside goes, and so does the emptied staging folder.
void CleanUpAfterRun(CInstallState& state) {
    state.m_guardStaging.Close();
    if (state.m_szStagingPath[0]) ::RemoveDirectoryW(state.m_szStagingPath);
    state.m_guardSetup.Close();
    wchar_t szNewUninstaller[MAX_PATH];
    if (state.m_szNewPath[0]) {
        DeleteFolder(state.m_szNewPath, true);
        if (FormatInto(szNewUninstaller, L"%s\\%s", state.m_szUnInstallPath, kNewUninstallerName))
            ::DeleteFileW(szNewUninstaller);
    }
}

}  // namespace

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
        ReportFailure(state, view, L"安装失败", kSetupFailed);
    }
    CleanUpAfterRun(state);
}
