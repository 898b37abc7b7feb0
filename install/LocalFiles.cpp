#include "LocalFiles.h"

#include <string>
#include <vector>

#include "Handle.h"
#include "SecureFolder.h"
#include "StrFormat.h"

namespace {

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

bool DeleteIn(HANDLE hParent, const std::wstring& name, DWORD dwListed, bool bClearReadOnly);

// pszKeep: names, each ended by a NUL, the list by an empty one.
bool IsKept(const wchar_t* pszKeep, const std::wstring& name) {
    for (const wchar_t* p = pszKeep; p && *p; p += wcslen(p) + 1)
        if (_wcsicmp(p, name.c_str()) == 0) return true;
    return false;
}

void DeleteChildren(HANDLE hFolder, bool bClearReadOnly, const wchar_t* pszKeep) {
    std::vector<Child> children;
    ListChildren(hFolder, &children);
    for (const Child& child : children) {
        if (IsKept(pszKeep, child.name)) continue;
        DeleteIn(hFolder, child.name, child.dwAttributes, bClearReadOnly);
    }
}

// Removes the item name in the held folder hParent through a handle of its
// own, opened relative to hParent and as itself: another user who owns a
// folder of the tree (the client's folder is writable by Users) may empty
// it and make it a mount point, or swap an item for a link, at any moment,
// and no name is ever resolved again through what they changed. The item
// is held without delete sharing while its contents go. A link goes as the
// link; a folder after its contents; a read-only file is made writable
// first when asked (not a file with a second name, whose attributes another
// name shares).
bool DeleteIn(HANDLE hParent, const std::wstring& name, DWORD dwListed, bool bClearReadOnly) {
    CFileHandle hItem(OpenInFolder(
        hParent, name.c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0));
    BY_HANDLE_FILE_INFORMATION info;
    if (!hItem || !::GetFileInformationByHandle(hItem.Get(), &info)) return false;
    const DWORD dwAttributes = info.dwFileAttributes;
    // Listed as a link but opened as none, or opened somewhere else than
    // in its folder: the open went through a link (Wine's opens follow
    // links) or the item was replaced since the listing. Left as it is.
    if (((dwListed & FILE_ATTRIBUTE_REPARSE_POINT) &&
         !(dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !LiesIn(hParent, hItem.Get(), name.c_str()))
        return false;
    const bool bLink = (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!bLink && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
        DeleteChildren(hItem.Get(), bClearReadOnly, NULL);
    if (!bLink && bClearReadOnly && (dwAttributes & FILE_ATTRIBUTE_READONLY) &&
        info.nNumberOfLinks <= 1) {
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
    // Gone, or going once another holder lets go: no longer to be opened.
    CFileHandle hLeft(OpenInFolder(hParent, name.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   FILE_OPEN, 0));
    return !hLeft;
}

}  // namespace

bool DeleteFolder(const wchar_t* pszPath, bool bClearReadOnly) {
    if (!pszPath || !pszPath[0]) return false;
    std::wstring path(pszPath);
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    const size_t cchParent = path.find_last_of(L"\\/");
    if (cchParent == std::wstring::npos || cchParent + 1 == path.size()) return false;
    const std::wstring name = path.substr(cchParent + 1);
    // The drive's root keeps its separator.
    std::wstring parent = path.substr(0, cchParent);
    if (!parent.empty() && parent.back() == L':') parent += L'\\';
    CFileHandle hParent(OpenFolderItself(parent.c_str(), FILE_LIST_DIRECTORY,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    if (!hParent) return false;
    // What the name says is only ever a reason to refuse (Wine reports a
    // link by its name alone), never to act.
    const DWORD dwNamed = ::GetFileAttributesW(pszPath);
    return DeleteIn(hParent.Get(), name, dwNamed == INVALID_FILE_ATTRIBUTES ? 0 : dwNamed,
                    bClearReadOnly);
}

void DeleteFolderContents(const wchar_t* pszPath, bool bClearReadOnly, const wchar_t* pszKeep) {
    if (!pszPath || !pszPath[0]) return;
    CFileHandle hFolder(
        OpenFolderItself(pszPath, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE));
    if (!hFolder) return;
    DeleteChildren(hFolder.Get(), bClearReadOnly, pszKeep);
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
