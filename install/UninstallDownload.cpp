// The network half of fetching the uninstaller, apart from the file half so
// that the file half links without the download code.
#include "DownloadServer.h"
#include "Log.h"
#include "Registration.h"
#include "ReleaseFetch.h"

FetchResult DownloadUninstallFile(CInstallState& state, HWND hWndOwner) {
    FetchResult fetched = FetchReleaseFile(state, kUnInstallName, hWndOwner);
    if (fetched != FetchOk) {
        LogError(L"[CSetupDlg::DownloadUninstallFile] download UnInstall.exe failed");
        return fetched;
    }
    LogNormal(L"[CSetupDlg::DownloadUninstallFile] Download UnInstall.exe seccuss");
    return WriteUninstallFile(state.m_szUnInstallPath, state.m_pDownloadBuf, state.m_nDownloadLen)
               ? FetchOk
               : FetchFailed;
}
