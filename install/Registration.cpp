#include "Registration.h"

#include <string.h>

#include "Handle.h"
#include "InstallLayout.h"
#include "Log.h"
#include "SecureFolder.h"
#include "StrFormat.h"

namespace {

// REG_SZ with its terminator: (length + 1) * 2 bytes.
bool SetStringValue(HKEY hKey, const wchar_t* pszName, const wchar_t* pszData) {
    DWORD cbData = static_cast<DWORD>((wcslen(pszData) + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszData),
                            cbData) == ERROR_SUCCESS;
}

bool SetQwordValue(HKEY hKey, const wchar_t* pszName, ULONGLONG ullData) {
    return ::RegSetValueExW(hKey, pszName, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&ullData),
                            sizeof(ullData)) == ERROR_SUCCESS;
}

// A REG_QWORD value; 0 when missing or of another type or size.
ULONGLONG QueryQwordValue(HKEY hKey, const wchar_t* pszName) {
    ULONGLONG ullData = 0;
    DWORD dwType = 0;
    DWORD cbData = sizeof(ullData);
    if (::RegQueryValueExW(hKey, pszName, NULL, &dwType, reinterpret_cast<BYTE*>(&ullData),
                           &cbData) != ERROR_SUCCESS ||
        dwType != REG_QWORD || cbData != sizeof(ullData))
        return 0;
    return ullData;
}

void SetDwordValue(HKEY hKey, const wchar_t* pszName, DWORD dwData) {
    ::RegSetValueExW(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwData),
                     sizeof(dwData));
}

// The bytes of the files below a folder, links not followed (for the size
// the system's list shows; an estimate by definition).
ULONGLONG FolderBytes(const wchar_t* pszFolder, int nDepth = 0) {
    wchar_t szPattern[MAX_PATH];
    if (nDepth > 32 || !FormatInto(szPattern, L"%s\\*", pszFolder)) return 0;
    WIN32_FIND_DATAW data;
    HANDLE hFind = ::FindFirstFileExW(szPattern, FindExInfoBasic, &data, FindExSearchNameMatch,
                                      NULL, 0);
    if (hFind == INVALID_HANDLE_VALUE) return 0;
    ULONGLONG ullBytes = 0;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            wchar_t szSub[MAX_PATH];
            if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..") &&
                FormatInto(szSub, L"%s\\%s", pszFolder, data.cFileName))
                ullBytes += FolderBytes(szSub, nDepth + 1);
        } else {
            ullBytes += (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    } while (::FindNextFileW(hFind, &data));
    ::FindClose(hFind);
    return ullBytes;
}

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kReleaseSerialValue[] = L"ReleaseSerial";
// The highest serial ever installed here, in a key of its own that only
// administrators can change and that uninstalling leaves: the floor below
// which no release installs again.
const wchar_t kFloorKey[] = L"SOFTWARE\\Tarvelo";
const wchar_t kFloorValue[] = L"ReleaseSerialFloor";

// The entry "Tarvelo" for reading; false when there is none.
bool OpenClientEntry(CRegKey* pKey) {
    HKEY hKey = NULL;
    wchar_t szKey[MAX_PATH];
    if (!FormatInto(szKey, L"%s\\Tarvelo", kUninstallKey) ||
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, szKey, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return false;
    pKey->Reset(hKey);
    return true;
}

}  // namespace

ULONGLONG ReadInstalledReleaseSerial() {
    ULONGLONG ullSerial = 0;
    CRegKey appKey;
    if (OpenClientEntry(&appKey)) ullSerial = QueryQwordValue(appKey.Get(), kReleaseSerialValue);
    HKEY hKey = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFloorKey, 0, KEY_QUERY_VALUE, &hKey) == ERROR_SUCCESS) {
        CRegKey floorKey(hKey);
        const ULONGLONG ullFloor = QueryQwordValue(floorKey.Get(), kFloorValue);
        if (ullFloor > ullSerial) ullSerial = ullFloor;
    }
    return ullSerial;
}

bool RaiseReleaseFloor(ULONGLONG ullReleaseSerial) {
    HKEY hKey = NULL;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFloorKey, 0, NULL, 0,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &hKey, NULL) != ERROR_SUCCESS) {
        LogError(L"[CSetupDlg::WriteRegistry] release floor not written error=%lu",
                 ::GetLastError());
        return false;
    }
    CRegKey floorKey(hKey);
    if (QueryQwordValue(floorKey.Get(), kFloorValue) >= ullReleaseSerial) return true;
    if (!SetQwordValue(floorKey.Get(), kFloorValue, ullReleaseSerial)) {
        LogError(L"[CSetupDlg::WriteRegistry] release floor %I64u not written", ullReleaseSerial);
        return false;
    }
    return true;
}

bool WriteRegistry(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath,
                   ULONGLONG ullReleaseSerial) {
    HKEY hKey = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_WRITE, &hKey) != ERROR_SUCCESS)
        return false;
    CRegKey uninstallKey(hKey);
    HKEY hAppKey = NULL;
    if (::RegCreateKeyW(uninstallKey.Get(), L"Tarvelo", &hAppKey) != ERROR_SUCCESS) return false;
    CRegKey appKey(hAppKey);
    bool bWritten = false;

    // A value whose data would not fit is left out rather than cut short.
    wchar_t szData[MAX_PATH];
    if (FormatInto(szData, L"%s\\%s", pszSetupPath, kClientExeName))
        SetStringValue(appKey.Get(), L"DisplayIcon", szData);
    if (FormatInto(szData, L"%s", kClientExeName))
        SetStringValue(appKey.Get(), L"AppExePath", szData);
    if (FormatInto(szData, L"塔维罗")) SetStringValue(appKey.Get(), L"DisplayName", szData);
    if (FormatInto(szData, L"塔维罗")) SetStringValue(appKey.Get(), L"Publisher", szData);
    if (FormatInto(szData, L"2.0")) SetStringValue(appKey.Get(), L"DisplayVersion", szData);
    if (FormatInto(szData, L"%s\\", pszSetupPath))
        SetStringValue(appKey.Get(), L"InstallLocation", szData);
    if (FormatInto(szData, L"\"%s\\UnInstall.exe\" \"%s\"", pszUnInstallPath, pszSetupPath)) {
        LogNormal(L"[CSetupDlg::WriteRegistry] UninstallString %s m_szUnInstallPath=%s", szData,
                  pszUnInstallPath);
        bWritten = SetStringValue(appKey.Get(), L"UninstallString", szData);
    }
    // What deployment tools and package managers read besides.
    if (FormatInto(szData, L"\"%s\\UnInstall.exe\" /S \"%s\"", pszUnInstallPath, pszSetupPath))
        SetStringValue(appKey.Get(), L"QuietUninstallString", szData);
    SetDwordValue(appKey.Get(), L"EstimatedSize",
                  static_cast<DWORD>((FolderBytes(pszSetupPath) + 1023) / 1024));
    SetDwordValue(appKey.Get(), L"NoModify", 1);
    SetDwordValue(appKey.Get(), L"NoRepair", 1);
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    if (FormatInto(szData, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay))
        SetStringValue(appKey.Get(), L"InstallDate", szData);
    if (ullReleaseSerial) {
        bWritten = bWritten && SetQwordValue(appKey.Get(), kReleaseSerialValue, ullReleaseSerial);
        LogNormal(L"[CSetupDlg::WriteRegistry] ReleaseSerial %I64u", ullReleaseSerial);
    }
    return bWritten;
}

namespace {

bool LooksLikeProgram(const BYTE* pData, DWORD cbData) {
    if (!pData || cbData < 0x40 || pData[0] != 'M' || pData[1] != 'Z') return false;
    const DWORD dwPe = pData[0x3C] | pData[0x3D] << 8 | pData[0x3E] << 16 |
                       static_cast<DWORD>(pData[0x3F]) << 24;
    return dwPe <= cbData - 4 && memcmp(pData + dwPe, "PE\0\0", 4) == 0;
}

}  // namespace

bool IsClientRegistered() {
    CRegKey appKey;
    return OpenClientEntry(&appKey);
}

bool WriteUninstallFile(const wchar_t* pszUnInstallPath, const BYTE* pData, DWORD cbData) {
    wchar_t szFile[MAX_PATH];
    // Without an uninstall folder the name would point at the drive's root.
    if (!pszUnInstallPath || !pszUnInstallPath[0] ||
        !FormatInto(szFile, L"%s\\%s", pszUnInstallPath, kNewUninstallerName)) {
        LogError(L"[CSetupDlg::DownloadUninstallFile] Create file UnInstall.exe failed");
        return false;
    }
    if (!LooksLikeProgram(pData, cbData)) {
        LogError(L"[CSetupDlg::DownloadUninstallFile] UnInstall.exe is not a program size=%lu",
                 cbData);
        return false;
    }
    // Made new, with the protected security and no sharing for writers: no
    // one else holds or shaped what an administrator will run.
    ::DeleteFileW(szFile);
    CProtectedSecurity security;
    CFileHandle hFile(::CreateFileW(szFile, GENERIC_WRITE, FILE_SHARE_READ, security.Attributes(),
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!hFile || !security.IsValid()) {
        LogError(L"[CSetupDlg::DownloadUninstallFile] Create file UnInstall.exe failed");
        return false;
    }
    if (!WriteAll(hFile.Get(), pData, cbData) || !::FlushFileBuffers(hFile.Get())) {
        // A part of a program must not be left where an administrator runs it.
        LogError(L"[CSetupDlg::DownloadUninstallFile] write UnInstall.exe failed error=%lu",
                 ::GetLastError());
        hFile.Close();
        ::DeleteFileW(szFile);
        return false;
    }
    hFile.Close();
    LogNormal(L"[CSetupDlg::DownloadUninstallFile] Create file UnInstall.exe seccuss");
    return true;
}

void CreateClientShortcuts(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath) {
    wchar_t szTarget[MAX_PATH];
    wchar_t szIcon[MAX_PATH];
    if (FormatInto(szTarget, L"%s/%s", pszSetupPath, kClientExeName) &&
        FormatInto(szIcon, L"%s/favicon.ico", pszSetupPath)) {
        SetDesktopShellLink(L"塔维罗", pszSetupPath, szTarget, szIcon);
    }
    SetStartShellLink(pszSetupPath, pszUnInstallPath);
}

bool RegisterInstallation(const wchar_t* pszSetupPath, HANDLE hSetupFolder,
                          const wchar_t* pszUnInstallPath, ULONGLONG ullReleaseSerial) {
    bool bDone = WriteRegistry(pszSetupPath, pszUnInstallPath, ullReleaseSerial);
    if (!bDone) LogError(L"[CSetupDlg::Execute] the Uninstall entry was not written");
    // The client may write in its own folder again, as before.
    if (hSetupFolder == INVALID_HANDLE_VALUE || !GrantUsersModify(hSetupFolder)) {
        LogError(L"[CSetupDlg::Execute] users cannot write in %s", pszSetupPath);
        bDone = false;
    }
    return bDone;
}
