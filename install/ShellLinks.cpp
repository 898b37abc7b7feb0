#include "ShellLinks.h"

#include <knownfolders.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include "Handle.h"
#include "InstallLayout.h"
#include "Log.h"
#include "StrFormat.h"

namespace {

const wchar_t kShellFoldersKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const wchar_t kCommonShellFoldersKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

inline bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// A drive path ("C:/...") or a network path ("//server/..."), in either
// slash form. Anything else would land relative to the current folder or
// drive.
bool IsAbsoluteFolder(const wchar_t* psz) {
    if (!psz || !psz[0]) return false;
    if (IsSeparator(psz[0])) return IsSeparator(psz[1]);
    bool bLetter = (psz[0] >= L'A' && psz[0] <= L'Z') || (psz[0] >= L'a' && psz[0] <= L'z');
    return bLetter && psz[1] == L':' && IsSeparator(psz[2]);
}

// Steps shared by the desktop and Start-menu shortcuts; szFolder is already
// in slash form with a trailing slash and receives the link's path.
void SaveShellLink(const wchar_t* pszName, const wchar_t* pszWorkFolder, const wchar_t* pszTarget,
                   const wchar_t* pszIcon, wchar_t (&szFolder)[MAX_PATH],
                   const wchar_t* pszArguments) {
    wchar_t szLink[MAX_PATH];
    // A link path that does not fit is refused before anything is touched.
    if (!FormatInto(szLink, L"%s%s.lnk", szFolder, pszName)) return;

    // Declared first, so the interfaces below are released before COM goes.
    CComScope com;
    DeleteOldShellLink(szFolder, pszTarget, pszName);

    CComPtr<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  link.ReceiveVoid())))
        return;
    link->SetWorkingDirectory(pszWorkFolder);
    link->SetDescription(pszName);
    link->SetIconLocation(pszIcon, 0);
    link->SetPath(pszTarget);
    if (pszArguments && pszArguments[0]) link->SetArguments(pszArguments);

    CComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.ReceiveVoid()))) return;
    CopyInto(szFolder, szLink);
    HRESULT hr = file->Save(szFolder, TRUE);
    // Made after the installation is in place: a missing link is said, not
    // a failed installation.
    if (FAILED(hr))
        LogError(L"[CSetupDlg::SaveShellLink] save %s failed hr=0x%08lx", szFolder,
                 static_cast<unsigned long>(hr));
}

bool SameNameIgnoringCase(const wchar_t* pszA, const wchar_t* pszB) {
    return ::CompareStringOrdinal(pszA, -1, pszB, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

LONG ReadRegString(HKEY hKey, const wchar_t* pszName, wchar_t (&szValue)[MAX_PATH]) {
    wmemset(szValue, 0, MAX_PATH);
    DWORD dwType = 0;
    DWORD cbValue = sizeof(szValue);
    LONG nResult = ::RegQueryValueExW(hKey, pszName, NULL, &dwType,
                                      reinterpret_cast<BYTE*>(szValue), &cbValue);
    if (nResult == ERROR_SUCCESS && dwType != REG_SZ) nResult = ERROR_INVALID_DATA;
    // Stored without a terminator and filling the whole buffer: does not fit.
    if (nResult == ERROR_SUCCESS && cbValue / sizeof(wchar_t) >= MAX_PATH &&
        szValue[MAX_PATH - 1] != 0)
        nResult = ERROR_MORE_DATA;
    if (nResult != ERROR_SUCCESS) wmemset(szValue, 0, MAX_PATH);
    return nResult;
}

wchar_t* NormalizePath(wchar_t* pszPath, size_t cchPath, bool bTrailingSlash) {
    if (!pszPath) return NULL;
    size_t w = 0;
    for (size_t r = 0; pszPath[r]; ++r) {
        wchar_t c = pszPath[r] == L'\\' ? L'/' : pszPath[r];
        // Only the last separator of a run is kept, and always the first
        // character, so "\\server" stays a network path.
        if (r != 0 && c == L'/' && IsSeparator(pszPath[r + 1])) continue;
        pszPath[w++] = c;
    }
    pszPath[w] = 0;
    if (w == 0) return pszPath;
    if (bTrailingSlash) {
        if (pszPath[w - 1] != L'/' && w + 1 < cchPath) {
            pszPath[w] = L'/';
            pszPath[w + 1] = 0;
        }
    } else if (pszPath[w - 1] == L'/') {
        pszPath[w - 1] = 0;
    }
    return pszPath;
}

void DeleteOldShellLink(const wchar_t* pszFolder, const wchar_t* pszTarget,
                        const wchar_t* pszName) {
    if (!pszFolder || !pszTarget || !pszName) return;
    wchar_t szPattern[MAX_PATH];
    wchar_t szWanted[MAX_PATH];
    wchar_t szNewFile[MAX_PATH];
    if (!FormatInto(szPattern, L"%s*.lnk", pszFolder) || !CopyInto(szWanted, pszTarget) ||
        !FormatInto(szNewFile, L"%s.lnk", pszName))
        return;
    // Callers join a backslash folder and "/iKVTRemote.exe"; stored targets
    // are compared in slash form, so the wanted one must be too.
    NormalizePath(szWanted, false);
    if (!szWanted[0]) return;

    WIN32_FIND_DATAW fd;
    CFindHandle hFind(::FindFirstFileW(szPattern, &fd));
    if (!hFind) return;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        CComPtr<IShellLinkW> link;
        if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      link.ReceiveVoid())))
            break;
        CComPtr<IPersistFile> file;
        if (FAILED(link->QueryInterface(IID_IPersistFile, file.ReceiveVoid()))) break;

        wchar_t szLink[MAX_PATH];
        if (!FormatInto(szLink, L"%s%s", pszFolder, fd.cFileName)) continue;
        wchar_t szStored[MAX_PATH] = {0};
        if (SUCCEEDED(file->Load(szLink, STGM_READ)))
            link->GetPath(szStored, MAX_PATH, NULL, SLGP_RAWPATH);
        szStored[MAX_PATH - 1] = 0;
        NormalizePath(szStored, false);
        if (szStored[0] && SameNameIgnoringCase(szStored, szWanted)) {
            // One that already has the new name is overwritten by the save.
            if (!SameNameIgnoringCase(szNewFile, fd.cFileName)) ::DeleteFileW(szLink);
            break;
        }
    } while (::FindNextFileW(hFind.Get(), &fd));
}

void CreateShellLink(const wchar_t* pszName, const wchar_t* pszWorkFolder, const wchar_t* pszTarget,
                     const wchar_t* pszIcon, wchar_t (&szFolder)[MAX_PATH],
                     const wchar_t* pszArguments) {
    if (!szFolder[0]) return;
    NormalizePath(szFolder, true);
    if (!IsAbsoluteFolder(szFolder)) return;
    SaveShellLink(pszName, pszWorkFolder, pszTarget, pszIcon, szFolder, pszArguments);
}

bool GetDesktopPath(wchar_t (&szPath)[MAX_PATH]) {
    wmemset(szPath, 0, MAX_PATH);
    HKEY hKey = NULL;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS)
        return false;
    CRegKey key(hKey);
    ReadRegString(key.Get(), L"Desktop", szPath);
    return true;
}

bool GetPublicDesktopPath(wchar_t (&szPath)[MAX_PATH]) {
    wmemset(szPath, 0, MAX_PATH);
    PWSTR pszKnown = NULL;
    HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_PublicDesktop, 0, NULL, &pszKnown);
    bool bFits = SUCCEEDED(hr) && pszKnown && CopyInto(szPath, pszKnown);
    ::CoTaskMemFree(pszKnown);
    if (!bFits) {
        szPath[0] = 0;
        LogNormal(L"[CSetupDlg::SetDesktopShellLink] no public desktop folder (0x%08lx)",
                  static_cast<unsigned long>(hr));
    }
    return bFits;
}

void SetDesktopShellLink(const wchar_t* pszName, const wchar_t* pszWorkFolder,
                         const wchar_t* pszTarget, const wchar_t* pszIcon) {
    // The all-users desktop, where only administrators write, found by its
    // known folder: the elevated account's Shell Folders values are the
    // user's programs' to change, and its desktop may not be the user's.
    wchar_t szDesktop[MAX_PATH];
    if (!GetPublicDesktopPath(szDesktop)) return;
    NormalizePath(szDesktop, true);
    // Without a desktop folder the link would land in the current folder.
    if (!IsAbsoluteFolder(szDesktop)) return;
    SaveShellLink(pszName, pszWorkFolder, pszTarget, pszIcon, szDesktop, NULL);
}

bool SetStartShellLink(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath) {
    wchar_t szPrograms[MAX_PATH] = {0};
    {
        HKEY hKey = NULL;
        LONG nResult =
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonShellFoldersKey, 0, KEY_ALL_ACCESS, &hKey);
        if (nResult != ERROR_SUCCESS) {
            LogNormal(
                L"[CSetupDlg::SetStartShellLink] OpenKey "
                L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders "
                L"error=%d",
                static_cast<int>(nResult));
            return false;
        }
        CRegKey key(hKey);
        nResult = ReadRegString(key.Get(), L"Common Programs", szPrograms);
        // An empty or relative folder would put the links (and the deletes
        // below) next to the current folder.
        if (nResult == ERROR_SUCCESS && !IsAbsoluteFolder(szPrograms)) nResult = ERROR_INVALID_DATA;
        if (nResult != ERROR_SUCCESS) {
            LogNormal(L"[CSetupDlg::SetStartShellLink] QueryValue Common Programs error=%d",
                      static_cast<int>(nResult));
            return false;
        }
    }
    LogNormal(L"[CSetupDlg::SetStartShellLink] ProgramsPath=%s", szPrograms);

    wchar_t szStartFolder[MAX_PATH];
    if (!FormatInto(szStartFolder, L"%s\\塔维罗", szPrograms)) return true;

    // Made anew each run; a folder that holds other files stays as it is.
    wchar_t szFile[MAX_PATH];
    if (FormatInto(szFile, L"%s\\塔维罗.lnk", szStartFolder)) ::DeleteFileW(szFile);
    if (FormatInto(szFile, L"%s\\卸载塔维罗.lnk", szStartFolder)) ::DeleteFileW(szFile);
    ::RemoveDirectoryW(szStartFolder);
    ::CreateDirectoryW(szStartFolder, NULL);

    wchar_t szTarget[MAX_PATH];
    wchar_t szIcon[MAX_PATH];
    if (!FormatInto(szTarget, L"%s/%s", pszSetupPath, kClientExeName) ||
        !FormatInto(szIcon, L"%s/favicon.ico", pszSetupPath))
        return true;
    CreateShellLink(L"塔维罗", pszSetupPath, szTarget, szIcon, szStartFolder, NULL);

    // The call above left the first link's path in the folder buffer.
    wchar_t szArguments[MAX_PATH];
    if (FormatInto(szStartFolder, L"%s\\塔维罗", szPrograms) &&
        FormatInto(szTarget, L"%s\\UnInstall.exe", pszUnInstallPath) &&
        FormatInto(szArguments, L"\"%s\"", pszSetupPath)) {
        CreateShellLink(L"卸载塔维罗", pszUnInstallPath, szTarget, szIcon, szStartFolder,
                        szArguments);
    }
    return true;
}
