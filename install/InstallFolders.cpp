#include "InstallFolders.h"

#include "LocalFiles.h"
#include "Log.h"
#include "StrFormat.h"

bool MakeAndHold(const wchar_t* pszFolder, CProtectedSecurity& security, CFolderGuard* pGuard) {
    if (!::CreateDirectoryW(pszFolder, security.Attributes()) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    return pGuard->Open(pszFolder);
}

bool MakeFreshAndHold(const wchar_t* pszFolder, CProtectedSecurity& security,
                      CFolderGuard* pGuard) {
    if (::GetFileAttributesW(pszFolder) != INVALID_FILE_ATTRIBUTES) {
        CFolderGuard existing;
        if (existing.Open(pszFolder) && existing.IsOwnedByAdministrators()) {
            existing.Close();
            DeleteFolder(pszFolder, true);
        } else {
            existing.Close();
            wchar_t szAside[MAX_PATH];
            if (!FormatInto(szAside, L"%s.quarantine-%lu", pszFolder, ::GetTickCount()) ||
                !::MoveFileExW(pszFolder, szAside, 0))
                return false;
            // Wine reports no such owner for any folder, so there every
            // leftover of a killed run takes this way.
            LogNormal(L"[CSetupDlg::Execute] %s was not made by an administrator: moved to %s",
                      pszFolder, szAside);
        }
    }
    // Made here and now, or not at all: one that reappeared is not ours.
    return ::CreateDirectoryW(pszFolder, security.Attributes()) && pGuard->Open(pszFolder) &&
           pGuard->Protect(security);
}

bool CheckExistingFolder(const wchar_t* pszFolder) {
    if (::GetFileAttributesW(pszFolder) == INVALID_FILE_ATTRIBUTES) return true;
    CFolderGuard guard;
    return guard.Open(pszFolder);
}
