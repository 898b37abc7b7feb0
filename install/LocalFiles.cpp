#include "LocalFiles.h"

#include <wctype.h>

#include <string>

#include "Handle.h"
#include "StrFormat.h"

namespace {

void ClearReadOnly(const wchar_t* pszPath, DWORD dwAttributes) {
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_READONLY))
        ::SetFileAttributesW(pszPath, dwAttributes & ~FILE_ATTRIBUTE_READONLY);
}

// A drive path in the form that has no length limit, so that a tree moved
// below a longer folder can still be removed whole.
std::wstring LongForm(const wchar_t* pszPath) {
    if (iswalpha(pszPath[0]) && pszPath[1] == L':' && pszPath[2] == L'\\' &&
        !wcschr(pszPath, L'/'))
        return std::wstring(L"\\\\?\\") + pszPath;
    return pszPath;
}

bool DeleteTree(const std::wstring& path, bool bClearReadOnly);

void DeleteContents(const std::wstring& path, bool bClearReadOnly, const wchar_t* pszKeep = NULL) {
    WIN32_FIND_DATAW fd;
    CFindHandle hFind(::FindFirstFileW((path + L"\\*").c_str(), &fd));
    if (!hFind) return;
    do {
        const wchar_t* pszName = fd.cFileName;
        if (wcscmp(pszName, L".") == 0 || wcscmp(pszName, L"..") == 0) continue;
        const std::wstring full = path + L"\\" + pszName;
        if (pszKeep && _wcsicmp(pszKeep, pszName) == 0) continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            DeleteTree(full, bClearReadOnly);
        } else {
            if (bClearReadOnly) ClearReadOnly(full.c_str(), fd.dwFileAttributes);
            ::DeleteFileW(full.c_str());
        }
    } while (::FindNextFileW(hFind.Get(), &fd));
}

bool DeleteTree(const std::wstring& path, bool bClearReadOnly) {
    DWORD dwAttributes = ::GetFileAttributesW(path.c_str());
    if (bClearReadOnly) ClearReadOnly(path.c_str(), dwAttributes);
    // Never follow a link out of the tree being wiped, nor into one: the
    // link itself goes (Wine 8 cannot remove a folder's symbolic link at
    // all; Windows removes a junction or folder link this way).
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return ::RemoveDirectoryW(path.c_str()) != FALSE;
    DeleteContents(path, bClearReadOnly);
    return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

}  // namespace

bool DeleteFolder(const wchar_t* pszPath, bool bClearReadOnly) {
    if (!pszPath || !pszPath[0]) return false;
    return DeleteTree(LongForm(pszPath), bClearReadOnly);
}

void DeleteFolderContents(const wchar_t* pszPath, bool bClearReadOnly, const wchar_t* pszKeep) {
    if (!pszPath || !pszPath[0]) return;
    DeleteContents(LongForm(pszPath), bClearReadOnly, pszKeep);
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
