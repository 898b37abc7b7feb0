#include "DestPath.h"

#include "Log.h"
#include "SecureFolder.h"
#include "StrFormat.h"

bool ChooseDriveRoot(const wchar_t* pszDrives, DWORD n, wchar_t (&szRoot)[4]) {
    szRoot[0] = 0;
    if (!pszDrives || n < 4) return false;
    const wchar_t* pszChosen = pszDrives;
    for (DWORD i = 0; i < n; i += 4) {
        if (::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, pszDrives + i, 3, L"C:\\", 3) ==
            CSTR_EQUAL) {
            pszChosen = pszDrives + i;
            break;
        }
    }
    wmemcpy(szRoot, pszChosen, 3);
    szRoot[3] = 0;
    return true;
}

bool BuildDestPaths(const wchar_t* pszRoot, wchar_t (&szSetupPath)[MAX_PATH],
                    wchar_t (&szTempPath)[MAX_PATH], wchar_t (&szUnInstallPath)[MAX_PATH]) {
    if (FormatInto(szSetupPath, L"%sTarvelo", pszRoot) &&
        FormatInto(szTempPath, L"%stemp", pszRoot) &&
        FormatInto(szUnInstallPath, L"%sUnInstall Tarvelo", pszRoot)) {
        return true;
    }
    szSetupPath[0] = szTempPath[0] = szUnInstallPath[0] = 0;
    return false;
}

void GetDestPath(wchar_t (&szSetupPath)[MAX_PATH], wchar_t (&szTempPath)[MAX_PATH],
                 wchar_t (&szUnInstallPath)[MAX_PATH]) {
    szSetupPath[0] = 0;
    wchar_t szDrives[MAX_PATH] = {0};
    DWORD n = ::GetLogicalDriveStringsW(MAX_PATH - 1, szDrives);
    // A list longer than the buffer comes back as the size it needs.
    if (n > MAX_PATH - 1) n = 0;

    wchar_t szRoot[4];
    if (ChooseDriveRoot(szDrives, n, szRoot) &&
        BuildDestPaths(szRoot, szSetupPath, szTempPath, szUnInstallPath)) {
        // Existing folders are simply reused (the install sequence checks and
        // secures the uninstaller's before it writes there). A new one is
        // closed to other users from the start.
        CProtectedSecurity security;
        ::CreateDirectoryW(szUnInstallPath, security.Attributes());
        ::CreateDirectoryW(szTempPath, NULL);
        // Each run starts a new log, emptied through a handle that was
        // checked, never deleted by name: anyone may have made that folder.
        if (!FormatInto(g_szLogPath, L"%stemp\\log.txt", szRoot) ||
            !StartLogFile(szTempPath, g_szLogPath))
            g_szLogPath[0] = 0;
    }
    LogNormal(L"[CSetupDlg::GetDestPath] setuppath=%s UnInstallPath=%s", szSetupPath,
              szUnInstallPath);
}
