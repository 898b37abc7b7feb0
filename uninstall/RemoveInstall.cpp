#include "RemoveInstall.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include "Handle.h"
#include "InstallLayout.h"
#include "LocalFiles.h"
#include "SecureFolder.h"
#include "ShellLinks.h"
#include "StrFormat.h"

namespace {

bool Exists(const wchar_t* psz) { return ::GetFileAttributesW(psz) != INVALID_FILE_ATTRIBUTES; }

const wchar_t kCommonShellFoldersKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool ReadCommonPrograms(wchar_t (&szPath)[MAX_PATH]) {
    szPath[0] = 0;
    HKEY hKey = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonShellFoldersKey, 0, KEY_READ, &hKey) !=
        ERROR_SUCCESS)
        return false;
    CRegKey key(hKey);
    return ReadRegString(key.Get(), L"Common Programs", szPath) == ERROR_SUCCESS && szPath[0];
}

// A .lnk is small; anything larger is not one of ours.
const DWORD kMaxLinkBytes = 65536;

// Opened once, as itself, and read, checked and deleted through that one
// handle: the folder comes from the user's own settings and may lead
// anywhere (a link, an object-manager directory), and a name looked up
// twice could mean two files. Only a plain file that is a shell link to
// pszTarget goes.
void DeleteLinkIfOurs(const wchar_t* pszFolder, const wchar_t* pszName, const wchar_t* pszTarget) {
    wchar_t szLink[MAX_PATH];
    if (!pszFolder[0] || !FormatInto(szLink, L"%s\\%s.lnk", pszFolder, pszName)) return;
    CFileHandle hLink(::CreateFileW(szLink, DELETE | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    LARGE_INTEGER size = {};
    if (!hLink || !IsPlainFile(hLink.Get()) || !::GetFileSizeEx(hLink.Get(), &size) ||
        size.QuadPart <= 0 || size.QuadPart > kMaxLinkBytes)
        return;
    HGLOBAL hBytes = ::GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size.QuadPart));
    void* pBytes = hBytes ? ::GlobalLock(hBytes) : NULL;
    DWORD cbRead = 0;
    const bool bRead =
        pBytes &&
        ::ReadFile(hLink.Get(), pBytes, static_cast<DWORD>(size.QuadPart), &cbRead, NULL) &&
        cbRead == size.QuadPart;
    if (pBytes) ::GlobalUnlock(hBytes);
    CComPtr<IStream> stream;
    if (!bRead || ::CreateStreamOnHGlobal(hBytes, TRUE, stream.Receive()) != S_OK) {
        if (hBytes) ::GlobalFree(hBytes);
        return;
    }
    if (!ShellLinkStreamPointsAt(stream.Get(), pszTarget)) return;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    ::SetFileInformationByHandle(hLink.Get(), FileDispositionInfo, &disposition,
                                 sizeof(disposition));
}

}  // namespace

bool DeleteFolderTree(const wchar_t* pszFolder) {
    DWORD dwAttributes = ::GetFileAttributesW(pszFolder);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    // A link in place of the folder is not followed: it goes aside as
    // itself (nothing of ours is behind it), or the removal is refused.
    if ((dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && MoveLinkAside(pszFolder)) return true;
    CFolderGuard guard;
    if (!guard.Open(pszFolder)) return false;
    guard.Close();
    DeleteFolder(pszFolder, true);
    return !Exists(pszFolder);
}

bool ShellLinkStreamPointsAt(IStream* pStream, const wchar_t* pszTarget) {
    wchar_t szWanted[MAX_PATH];
    if (!CopyInto(szWanted, pszTarget)) return false;
    NormalizePath(szWanted, false);
    CComPtr<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  link.ReceiveVoid())))
        return false;
    CComPtr<IPersistStream> persist;
    if (FAILED(link->QueryInterface(IID_IPersistStream, persist.ReceiveVoid()))) return false;
    if (FAILED(persist->Load(pStream))) return false;
    wchar_t szStored[MAX_PATH] = {0};
    if (FAILED(link->GetPath(szStored, MAX_PATH, NULL, SLGP_RAWPATH))) return false;
    szStored[MAX_PATH - 1] = 0;
    NormalizePath(szStored, false);
    return szStored[0] && ::CompareStringOrdinal(szStored, -1, szWanted, -1, TRUE) == CSTR_EQUAL;
}

void RemoveShellLinks(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallExe) {
    wchar_t szClient[MAX_PATH];
    if (!FormatInto(szClient, L"%s/%s", pszSetupPath, kClientExeName)) return;
    CComScope com;

    // On the all-users desktop, and where earlier releases put it.
    wchar_t szDesktop[MAX_PATH] = {0};
    if (GetPublicDesktopPath(szDesktop)) DeleteLinkIfOurs(szDesktop, L"塔维罗", szClient);
    GetDesktopPath(szDesktop);
    DeleteLinkIfOurs(szDesktop, L"塔维罗", szClient);

    wchar_t szPrograms[MAX_PATH];
    wchar_t szStartFolder[MAX_PATH];
    if (!ReadCommonPrograms(szPrograms) || !FormatInto(szStartFolder, L"%s\\塔维罗", szPrograms))
        return;
    DeleteLinkIfOurs(szStartFolder, L"塔维罗", szClient);
    DeleteLinkIfOurs(szStartFolder, L"卸载塔维罗", pszUnInstallExe);
    // Fails, as it should, while anything else is left in the folder.
    ::RemoveDirectoryW(szStartFolder);
}
