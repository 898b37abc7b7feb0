#include "DllSearch.h"

void RestrictDllSearchPath() {
    typedef BOOL(WINAPI * PFN_SetDefaultDllDirectories)(DWORD);
    HMODULE hKernel = ::GetModuleHandleW(L"kernel32.dll");
    PFN_SetDefaultDllDirectories pfn =
        hKernel ? reinterpret_cast<PFN_SetDefaultDllDirectories>(
                      reinterpret_cast<void*>(::GetProcAddress(hKernel, "SetDefaultDllDirectories")))
                : NULL;
    if (!pfn || !pfn(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // Older systems: at least take the current folder out of the search.
        ::SetDllDirectoryW(L"");
    }
}
