#include <gtest/gtest.h>

#include <string>

#include "DllSearch.h"

TEST(DllSearch, SystemDllsComeOnlyFromTheSystemFolderWithOnlyTheListedFunctions) {
    // A DLL beside the program, as in a Downloads folder: the default search
    // finds it, the system-folder load must not.
    wchar_t szExe[MAX_PATH];
    ASSERT_GT(::GetModuleFileNameW(NULL, szExe, MAX_PATH), 0u);
    std::wstring planted(szExe);
    planted = planted.substr(0, planted.find_last_of(L"\\/") + 1) + L"dllsearch-probe.dll";
    ASSERT_TRUE(::CopyFileW(szExe, planted.c_str(), FALSE));
    HMODULE hFound = ::LoadLibraryExW(L"dllsearch-probe.dll", NULL, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_TRUE(hFound != NULL);
    if (hFound) ::FreeLibrary(hFound);
    HMODULE hSystem = LoadSystemLibrary(L"dllsearch-probe.dll");
    EXPECT_TRUE(hSystem == NULL);
    if (hSystem) ::FreeLibrary(hSystem);
    ::DeleteFileW(planted.c_str());

    CSystemDll kernel("kernel32.dll\0GetTickCount\0");
    EXPECT_EQ(reinterpret_cast<void*>(
                  ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTickCount")),
              reinterpret_cast<void*>(kernel.Get(&::GetTickCount, "GetTickCount")));
    // Exported, but not listed: never resolved.
    EXPECT_TRUE(kernel.GetProc("GetVersion") == NULL);
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), ::GetLastError());
    CSystemDll missing("tarvelo-no-such.dll\0GetTickCount\0");
    EXPECT_TRUE(missing.GetProc("GetTickCount") == NULL);
}
