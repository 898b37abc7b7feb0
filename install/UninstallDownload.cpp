// The network half of fetching the uninstaller, apart from the file half
// (Registration.cpp) so that the file half links without the download code.
#include "UninstallDownload.h"

#include "DownloadServer.h"
#include "FetchAttempts.h"
#include "Log.h"
#include "PackageUpdate.h"
#include "Registration.h"
#include "ReleaseFetch.h"

FetchResult DownloadUninstallFile(CReleaseFetch& fetch, const wchar_t* pszUnInstallPath,
                                  HWND hWndOwner) {
    FetchResult fetched = FetchReleaseFile(fetch, kUnInstallName, hWndOwner);
    if (fetched != FetchOk) {
        LogError(L"[CSetupDlg::DownloadUninstallFile] download UnInstall.exe failed");
        return fetched;
    }
    LogNormal(L"[CSetupDlg::DownloadUninstallFile] Download UnInstall.exe seccuss");
    return WriteUninstallFile(pszUnInstallPath, fetch.m_pDownloadBuf, fetch.m_nDownloadLen)
               ? FetchOk
               : FetchFailed;
}

namespace {

FetchResult FetchAndWriteUninstaller(CInstallState& state, const wchar_t*, HWND hWndOwner) {
    return DownloadUninstallFile(state, state.m_szUnInstallPath, hWndOwner);
}

}  // namespace

bool InstallUninstaller(CInstallState& state, IInstallView& view, HANDLE hStopEvent,
                        HWND hWndOwner) {
    if (ReuseUninstaller(state)) return true;
    CAttempts attempts;
    const AttemptsEnd end = FetchWithAttempts(state, view, attempts, kUnInstallName, hStopEvent,
                                              hWndOwner, FetchAndWriteUninstaller, false);
    if (end == AttemptsSpent)
        LogError(L"[CSetupDlg::Execute] UnInstall.exe not installed: nothing registered");
    return end == AttemptsFetched;
}
