#include "LocalFiles.h"

#include <wctype.h>

#include <string>
#include <vector>

#include "Handle.h"
#include "SecureFolder.h"
#include "StrFormat.h"

namespace {

// A drive path in the form that has no length limit, so that a tree moved
// below a longer folder can still be removed whole.
std::wstring LongForm(const wchar_t* pszPath) {
    if (iswalpha(pszPath[0]) && pszPath[1] == L':' && pszPath[2] == L'\\' && !wcschr(pszPath, L'/'))
        return std::wstring(L"\\\\?\\") + pszPath;
    return pszPath;
}

// An item opened as itself, never through a link, and without delete
// sharing: while it is held it cannot be renamed or replaced, so a path
// below the folders the walk holds always means what it meant when it was
// listed. Another user may own folders of the tree (the client's folder is
// writable by Users) and turn one into a junction at any moment. dwAccess:
// DELETE for what is removed; a folder only emptied may be held elsewhere.
HANDLE OpenAsItself(const std::wstring& path, DWORD dwAccess) {
    return ::CreateFileW(path.c_str(),
                         dwAccess | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

struct Child {
    std::wstring name;
    DWORD dwAttributes;
};

// The items in a held folder, with their attributes, read through its handle.
void ListChildren(HANDLE hFolder, std::vector<Child>* pChildren) {
    std::vector<BYTE> buffer(16384);
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(hFolder, infoClass, buffer.data(),
                                          static_cast<DWORD>(buffer.size()))) {
        infoClass = FileIdBothDirectoryInfo;
        const BYTE* p = buffer.data();
        for (;;) {
            const FILE_ID_BOTH_DIR_INFO* pInfo = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(p);
            Child child = {std::wstring(pInfo->FileName, pInfo->FileNameLength / sizeof(wchar_t)),
                           pInfo->FileAttributes};
            if (child.name != L"." && child.name != L"..") pChildren->push_back(child);
            if (!pInfo->NextEntryOffset) break;
            p += pInfo->NextEntryOffset;
        }
    }
}

bool DeleteEntry(const std::wstring& path, DWORD dwListed, bool bClearReadOnly);

// pszKeep: names, each ended by a NUL, the list by an empty one.
bool IsKept(const wchar_t* pszKeep, const std::wstring& name) {
    for (const wchar_t* p = pszKeep; p && *p; p += wcslen(p) + 1)
        if (_wcsicmp(p, name.c_str()) == 0) return true;
    return false;
}

void DeleteChildren(HANDLE hFolder, const std::wstring& path, bool bClearReadOnly,
                    const wchar_t* pszKeep) {
    std::vector<Child> children;
    ListChildren(hFolder, &children);
    for (const Child& child : children) {
        if (IsKept(pszKeep, child.name)) continue;
        DeleteEntry(path + L"\\" + child.name, child.dwAttributes, bClearReadOnly);
    }
}

// A link goes as the link, by its name: a folder link with RemoveDirectory,
// which removes the reparse point and never what it points at (and nothing
// but an empty folder, should someone have put a real one there meanwhile).
// Never through a handle: Wine opens a link's target.
bool RemoveLink(const std::wstring& path, DWORD dwAttributes) {
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path.c_str()) != FALSE
                                                     : ::DeleteFileW(path.c_str()) != FALSE;
}

// Removes one item: a link as the link (whether its folder's listing, its
// name or its handle says so); a folder after its contents, through its own
// handle; a read-only file made writable first when asked (not a file with a
// second name, whose attributes another name shares).
bool DeleteEntry(const std::wstring& path, DWORD dwListed, bool bClearReadOnly) {
    const DWORD dwNamed = ::GetFileAttributesW(path.c_str());
    if (dwNamed == INVALID_FILE_ATTRIBUTES) return false;
    if ((dwListed | dwNamed) & FILE_ATTRIBUTE_REPARSE_POINT)
        return RemoveLink(path, dwListed | dwNamed);
    CFileHandle hItem(OpenAsItself(path, DELETE | FILE_WRITE_ATTRIBUTES));
    BY_HANDLE_FILE_INFORMATION info;
    if (!hItem || !::GetFileInformationByHandle(hItem.Get(), &info)) return false;
    const DWORD dwAttributes = info.dwFileAttributes;
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        hItem.Close();
        return RemoveLink(path, dwAttributes);
    }
    if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)
        DeleteChildren(hItem.Get(), path, bClearReadOnly, NULL);
    if (bClearReadOnly && (dwAttributes & FILE_ATTRIBUTE_READONLY) && info.nNumberOfLinks <= 1) {
        FILE_BASIC_INFO basic = {};  // zero times: left as they are
        const DWORD dwWritable = dwAttributes & ~FILE_ATTRIBUTE_READONLY;
        basic.FileAttributes = dwWritable ? dwWritable : FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(hItem.Get(), FileBasicInfo, &basic, sizeof(basic));
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!::SetFileInformationByHandle(hItem.Get(), FileDispositionInfo, &disposition,
                                      sizeof(disposition)))
        return false;
    hItem.Close();
    return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool DeleteFolder(const wchar_t* pszPath, bool bClearReadOnly) {
    if (!pszPath || !pszPath[0]) return false;
    return DeleteEntry(LongForm(pszPath), 0, bClearReadOnly);
}

void DeleteFolderContents(const wchar_t* pszPath, bool bClearReadOnly, const wchar_t* pszKeep) {
    if (!pszPath || !pszPath[0]) return;
    const std::wstring path = LongForm(pszPath);
    CFileHandle hFolder(OpenAsItself(path, 0));
    if (!hFolder || !IsFolderItself(hFolder.Get(), path.c_str())) return;
    DeleteChildren(hFolder.Get(), path, bClearReadOnly, pszKeep);
}

bool WriteClientVersion(const wchar_t* pszSetupPath, int nVersion) {
    // Without an install folder the name would point at the drive's root.
    if (!pszSetupPath || !pszSetupPath[0]) return true;
    wchar_t szFolder[MAX_PATH], szFile[MAX_PATH], szValue[8];
    if (!FormatInto(szFolder, L"%s/config", pszSetupPath) ||
        !FormatInto(szFile, L"%s/ORB.System.config", szFolder) ||
        !FormatInto(szValue, L"%d", nVersion))
        return true;
    // A release without the folder has nothing to configure; one with it
    // that cannot be written (a full disk) is no complete installation.
    DWORD dwAttributes = ::GetFileAttributesW(szFolder);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::WritePrivateProfileStringW(L"Client", L"Version", szValue, szFile);
        return true;
    }
    return ::WritePrivateProfileStringW(L"Client", L"Version", szValue, szFile) != FALSE;
}
