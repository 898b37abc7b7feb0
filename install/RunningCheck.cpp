#include "RunningCheck.h"

#include <tlhelp32.h>

#include "Handle.h"

bool IsProcessRunning(const wchar_t* pszExeName, const wchar_t* pszFolder) {
    if (!pszExeName || !pszExeName[0] || !pszFolder || !pszFolder[0]) return false;
    // A failed snapshot is INVALID_HANDLE_VALUE, not NULL.
    CFileHandle hSnapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!hSnapshot) return false;

    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(hSnapshot.Get(), &entry)) return false;
    do {
        entry.szExeFile[MAX_PATH - 1] = 0;
        if (::CompareStringOrdinal(entry.szExeFile, -1, pszExeName, -1, TRUE) == CSTR_EQUAL)
            return true;
        ZeroMemory(&entry, sizeof(entry));
        entry.dwSize = sizeof(entry);
    } while (::Process32NextW(hSnapshot.Get(), &entry));
    return false;
}
