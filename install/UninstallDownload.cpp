// The network half of fetching the uninstaller, apart from the file half so
// that the file half links without the download code.
#include "DownloadServer.h"
#include "HttpDownload.h"
#include "Log.h"
#include "Registration.h"

bool DownloadUninstallFile(const wchar_t* pszUnInstallPath, BYTE** ppBuffer, DWORD* pdwSize,
                           DWORD* pdwCapacity, wchar_t (&szProxyUser)[64],
                           wchar_t (&szProxyPassword)[64], HWND hWndParent) {
    if (*ppBuffer && *pdwCapacity) ZeroMemory(*ppBuffer, *pdwCapacity);
    *pdwSize = 0;

    wchar_t szUrl[MAX_PATH];
    if (!BuildServerUrl(szUrl, kUnInstallPath) ||
        !HttpDownload(szUrl, ppBuffer, pdwSize, pdwCapacity, szProxyUser, szProxyPassword,
                      hWndParent)) {
        LogError(L"[CSetupDlg::DownloadUninstallFile] download UnInstall.exe failed");
        return false;
    }
    LogNormal(L"[CSetupDlg::DownloadUninstallFile] Download UnInstall.exe seccuss");
    return WriteUninstallFile(pszUnInstallPath, *ppBuffer, *pdwSize);
}
