#include "LocalFiles.h"

#include "Handle.h"
#include "StrFormat.h"

namespace {

void ClearReadOnly(const wchar_t* pszPath, DWORD dwAttributes) {
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY))
        ::SetFileAttributesW(pszPath, dwAttributes & ~FILE_ATTRIBUTE_READONLY);
}

}  // namespace

bool DeleteFolder(const wchar_t* pszPath, bool bClearReadOnly) {
    if (!pszPath || !pszPath[0]) return false;
    DWORD dwAttributes = ::GetFileAttributesW(pszPath);
    if (bClearReadOnly) ClearReadOnly(pszPath, dwAttributes);
    // Never follow a link out of the tree being wiped, nor into one.
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return ::RemoveDirectoryW(pszPath) != FALSE;
    DeleteFolderContents(pszPath, bClearReadOnly);
    return ::RemoveDirectoryW(pszPath) != FALSE;
}

void DeleteFolderContents(const wchar_t* pszPath, bool bClearReadOnly) {
    if (!pszPath || !pszPath[0]) return;
    // One separator per level, as the reader spends: whatever it could write
    // (folders below 248 characters, files below 260) can be named here.
    wchar_t szPattern[MAX_PATH];
    if (FormatInto(szPattern, L"%s\\*", pszPath)) {
        WIN32_FIND_DATAW fd;
        CFindHandle hFind(::FindFirstFileW(szPattern, &fd));
        if (hFind) {
            do {
                const wchar_t* pszName = fd.cFileName;
                if (wcscmp(pszName, L".") == 0 || wcscmp(pszName, L"..") == 0) continue;
                wchar_t szFull[MAX_PATH];
                // A name that does not fit is left alone; its folder then stays too.
                if (!FormatInto(szFull, L"%s\\%s", pszPath, pszName)) continue;
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    DeleteFolder(szFull, bClearReadOnly);
                } else {
                    if (bClearReadOnly) ClearReadOnly(szFull, fd.dwFileAttributes);
                    ::DeleteFileW(szFull);
                }
            } while (::FindNextFileW(hFind.Get(), &fd));
        }
    }
}

void WriteClientVersion(const wchar_t* pszSetupPath, int nVersion) {
    // Without an install folder the name would point at the drive's root.
    if (!pszSetupPath || !pszSetupPath[0]) return;
    wchar_t szFile[MAX_PATH];
    if (!FormatInto(szFile, L"%s/config/ORB.System.config", pszSetupPath)) return;
    wchar_t szValue[8];
    if (!FormatInto(szValue, L"%d", nVersion)) return;
    ::WritePrivateProfileStringW(L"Client", L"Version", szValue, szFile);
}
