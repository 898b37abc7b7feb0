#include "InstallFolders.h"

#include "LocalFiles.h"
#include "Log.h"
#include "StrFormat.h"

namespace {

// Moves what stands at pszFolder (a folder, a file or a link: renaming
// acts on the name itself) to a quarantine name beside it, and logs it.
bool MoveAside(const wchar_t* pszFolder) {
    wchar_t szAside[MAX_PATH];
    if (!FormatInto(szAside, L"%s.quarantine-%lu", pszFolder, ::GetTickCount()) ||
        !::MoveFileExW(pszFolder, szAside, 0))
        return false;
    LogNormal(L"[CSetupDlg::Execute] %s was not made by an administrator: moved to %s", pszFolder,
              szAside);
    return true;
}

// Made here and now, or not at all: one that reappeared is not ours.
bool MakeNewAndHold(const wchar_t* pszFolder, CProtectedSecurity& security, CFolderGuard* pGuard) {
    return ::CreateDirectoryW(pszFolder, security.Attributes()) && pGuard->Open(pszFolder) &&
           pGuard->Protect(security);
}

}  // namespace

bool HoldOwnFolder(const wchar_t* pszFolder, CProtectedSecurity& security, CFolderGuard* pGuard) {
    DWORD dwAttributes = ::GetFileAttributesW(pszFolder);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return MakeNewAndHold(pszFolder, security, pGuard);
    // A link is refused, not moved: Windows would rename the link, but a
    // system that resolves it (Wine) would move its target.
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    // Where the system keeps no file security (Wine), no owner can be told
    // apart and nothing could protect the folder anyway: a folder is kept.
    if (pGuard->Open(pszFolder) && (pGuard->IsOurs(security) || !FileSecurityIsKept()))
        return pGuard->Protect(security);
    pGuard->Close();
    return MoveAside(pszFolder) && MakeNewAndHold(pszFolder, security, pGuard);
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
            // Wine reports no such owner for any folder, so there every
            // leftover of a killed run takes this way.
            if (!MoveAside(pszFolder)) return false;
        }
    }
    return MakeNewAndHold(pszFolder, security, pGuard);
}

bool CheckExistingFolder(const wchar_t* pszFolder) {
    if (::GetFileAttributesW(pszFolder) == INVALID_FILE_ATTRIBUTES) return true;
    CFolderGuard guard;
    return guard.Open(pszFolder);
}
