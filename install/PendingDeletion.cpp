#include "PendingDeletion.h"

#include <string.h>

#include <vector>

#include "Handle.h"
#include "Log.h"
#include "StrFormat.h"

namespace {

const wchar_t kSessionKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// The list's paths are in the native form "\??\C:\...", a leading "!" or
// "@" aside.
bool IsPath(const wchar_t* pszEntry, const wchar_t* pszPath) {
    if (*pszEntry == L'!' || *pszEntry == L'@') ++pszEntry;
    if (wcsncmp(pszEntry, L"\\??\\", 4) == 0) pszEntry += 4;
    return ::CompareStringOrdinal(pszEntry, -1, pszPath, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool KeepFromPendingDeletion(const wchar_t* pszFolder, const wchar_t* pszName) {
    wchar_t szFile[MAX_PATH];
    if (!FormatInto(szFile, L"%s\\%s", pszFolder, pszName)) return false;
    HKEY hKey = NULL;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        &hKey) != ERROR_SUCCESS)
        return false;
    CRegKey key(hKey);
    DWORD dwType = 0;
    DWORD cbData = 0;
    if (::RegQueryValueExW(key.Get(), kPendingValue, NULL, &dwType, NULL, &cbData) !=
            ERROR_SUCCESS ||
        dwType != REG_MULTI_SZ)
        return true;  // nothing pending
    // Two terminators more than the value holds: the last string always ends.
    std::vector<wchar_t> data(cbData / sizeof(wchar_t) + 2, 0);
    if (::RegQueryValueExW(key.Get(), kPendingValue, NULL, &dwType,
                           reinterpret_cast<BYTE*>(data.data()), &cbData) != ERROR_SUCCESS)
        return false;
    // Pairs of strings, source then target (empty: delete), kept pairs moved
    // up over the ones taken off.
    const size_t cch = cbData / sizeof(wchar_t);
    size_t nOut = 0;
    bool bTaken = false;
    for (size_t i = 0; i < cch && data[i];) {
        const wchar_t* pszSource = data.data() + i;
        const size_t cchSource = wcslen(pszSource) + 1;
        const wchar_t* pszTarget = pszSource + cchSource;
        const size_t cchPair = cchSource + wcslen(pszTarget) + 1;
        if (!*pszTarget && (IsPath(pszSource, pszFolder) || IsPath(pszSource, szFile))) {
            LogNormal(L"[CSetupDlg::Execute] %s no longer deleted at the next restart", pszSource);
            bTaken = true;
        } else {
            memmove(data.data() + nOut, pszSource, cchPair * sizeof(wchar_t));
            nOut += cchPair;
        }
        i += cchPair;
    }
    if (!bTaken) return true;
    if (!nOut) return ::RegDeleteValueW(key.Get(), kPendingValue) == ERROR_SUCCESS;
    data[nOut++] = 0;
    return ::RegSetValueExW(key.Get(), kPendingValue, 0, REG_MULTI_SZ,
                            reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(nOut * sizeof(wchar_t))) == ERROR_SUCCESS;
}
