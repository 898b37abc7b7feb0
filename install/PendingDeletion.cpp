#include "PendingDeletion.h"

#include <string>
#include <vector>

#include "Handle.h"
#include "Log.h"

namespace {

const wchar_t kSessionKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// The list's paths are in the native form "\??\C:\...", a leading "!" or
// "@" aside.
bool IsPath(const std::wstring& entry, const std::wstring& path) {
    size_t i = 0;
    if (i < entry.size() && (entry[i] == L'!' || entry[i] == L'@')) ++i;
    if (entry.compare(i, 4, L"\\??\\") == 0) i += 4;
    return ::CompareStringOrdinal(entry.c_str() + i, -1, path.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool KeepFromPendingDeletion(const wchar_t* pszFolder, const wchar_t* pszName) {
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
    std::vector<wchar_t> data(cbData / sizeof(wchar_t) + 2, 0);
    if (::RegQueryValueExW(key.Get(), kPendingValue, NULL, &dwType,
                           reinterpret_cast<BYTE*>(data.data()), &cbData) != ERROR_SUCCESS)
        return false;
    // Pairs of strings, source then target; an empty target deletes.
    std::vector<std::wstring> strings;
    const size_t cch = cbData / sizeof(wchar_t);
    for (size_t i = 0; i < cch;) {
        std::wstring s(data.data() + i);
        i += s.size() + 1;
        strings.push_back(s);
    }
    // A list that ends in its double terminator reads as one more empty
    // string: a pair needs both halves.
    if (strings.size() % 2) strings.pop_back();
    const std::wstring folder = pszFolder;
    const std::wstring file = folder + L"\\" + pszName;
    std::wstring kept;
    bool bTaken = false;
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (strings[i + 1].empty() && (IsPath(strings[i], folder) || IsPath(strings[i], file))) {
            LogNormal(L"[CSetupDlg::Execute] %s no longer deleted at the next restart",
                      strings[i].c_str());
            bTaken = true;
            continue;
        }
        kept += strings[i] + L'\0' + strings[i + 1] + L'\0';
    }
    if (!bTaken) return true;
    if (kept.empty()) return ::RegDeleteValueW(key.Get(), kPendingValue) == ERROR_SUCCESS;
    kept += L'\0';
    return ::RegSetValueExW(key.Get(), kPendingValue, 0, REG_MULTI_SZ,
                            reinterpret_cast<const BYTE*>(kept.data()),
                            static_cast<DWORD>(kept.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}
