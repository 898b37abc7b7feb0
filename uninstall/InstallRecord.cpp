#include "InstallRecord.h"

#include "Handle.h"
#include "ShellLinks.h"
#include "StrFormat.h"

namespace {

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kEntryName[] = L"Tarvelo";

// One double-quoted part after optional spaces; advances *ppsz past it.
bool TakeQuoted(const wchar_t** ppsz, wchar_t (&szOut)[MAX_PATH]) {
    const wchar_t* p = *ppsz;
    while (*p == L' ') ++p;
    if (*p != L'"') return false;
    const wchar_t* pEnd = wcschr(p + 1, L'"');
    if (!pEnd || pEnd == p + 1) return false;
    size_t cch = static_cast<size_t>(pEnd - (p + 1));
    if (cch >= MAX_PATH) return false;
    wmemcpy(szOut, p + 1, cch);
    szOut[cch] = 0;
    *ppsz = pEnd + 1;
    return true;
}

bool Normalized(const wchar_t* psz, wchar_t (&szOut)[MAX_PATH]) {
    if (!psz || !CopyInto(szOut, psz)) return false;
    NormalizePath(szOut, false);
    return szOut[0] != 0;
}

}  // namespace

bool ParseUninstallString(const wchar_t* pszCommand, CInstallRecord* pRecord) {
    pRecord->m_szUnInstallExe[0] = pRecord->m_szSetupPath[0] = 0;
    if (!pszCommand) return false;
    const wchar_t* p = pszCommand;
    if (!TakeQuoted(&p, pRecord->m_szUnInstallExe) || !TakeQuoted(&p, pRecord->m_szSetupPath)) {
        pRecord->m_szUnInstallExe[0] = pRecord->m_szSetupPath[0] = 0;
        return false;
    }
    while (*p == L' ') ++p;
    if (*p) {
        pRecord->m_szUnInstallExe[0] = pRecord->m_szSetupPath[0] = 0;
        return false;
    }
    return true;
}

bool ReadInstallRecord(CInstallRecord* pRecord) {
    pRecord->m_szUnInstallExe[0] = pRecord->m_szSetupPath[0] = 0;
    HKEY hKey = NULL;
    wchar_t szSubKey[MAX_PATH];
    if (!FormatInto(szSubKey, L"%s\\%s", kUninstallKey, kEntryName) ||
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, szSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    CRegKey key(hKey);
    // Room for two paths, their quotes and the space between them.
    wchar_t szCommand[2 * MAX_PATH + 8] = {0};
    DWORD dwType = 0;
    DWORD cbData = sizeof(szCommand) - sizeof(wchar_t);
    if (::RegQueryValueExW(key.Get(), L"UninstallString", NULL, &dwType,
                           reinterpret_cast<BYTE*>(szCommand), &cbData) != ERROR_SUCCESS ||
        dwType != REG_SZ)
        return false;
    szCommand[cbData / sizeof(wchar_t)] = 0;
    return ParseUninstallString(szCommand, pRecord);
}

bool IsSameFolder(const wchar_t* pszA, const wchar_t* pszB) {
    wchar_t szA[MAX_PATH], szB[MAX_PATH];
    if (!Normalized(pszA, szA) || !Normalized(pszB, szB)) return false;
    return ::CompareStringOrdinal(szA, -1, szB, -1, TRUE) == CSTR_EQUAL;
}

bool IsRemovableFolder(const wchar_t* pszFolder) {
    wchar_t sz[MAX_PATH];
    if (!Normalized(pszFolder, sz)) return false;
    bool bLetter = (sz[0] >= L'A' && sz[0] <= L'Z') || (sz[0] >= L'a' && sz[0] <= L'z');
    if (!bLetter || sz[1] != L':' || sz[2] != L'/' || !sz[3]) return false;
    // Every component must name something: "." or ".." (or what Windows
    // trims to them) would climb back to the root.
    for (const wchar_t* p = sz + 3; *p;) {
        const wchar_t* pEnd = wcschr(p, L'/');
        if (!pEnd) pEnd = p + wcslen(p);
        bool bNamed = false;
        for (const wchar_t* q = p; q < pEnd; ++q)
            if (*q != L'.' && *q != L' ') bNamed = true;
        if (!bNamed) return false;
        p = *pEnd ? pEnd + 1 : pEnd;
    }
    return true;
}

bool DeleteInstallRecord() {
    HKEY hKey = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS)
        return false;
    CRegKey key(hKey);
    LONG nResult = ::RegDeleteKeyW(key.Get(), kEntryName);
    return nResult == ERROR_SUCCESS || nResult == ERROR_FILE_NOT_FOUND;
}
