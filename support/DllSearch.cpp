#include "DllSearch.h"

#include <string.h>

#include "StrFormat.h"

void RestrictDllSearchPath() {
    typedef BOOL(WINAPI * PFN_SetDefaultDllDirectories)(DWORD);
    HMODULE hKernel = ::GetModuleHandleW(L"kernel32.dll");
    PFN_SetDefaultDllDirectories pfn =
        hKernel ? reinterpret_cast<PFN_SetDefaultDllDirectories>(reinterpret_cast<void*>(
                      ::GetProcAddress(hKernel, "SetDefaultDllDirectories")))
                : NULL;
    if (!pfn || !pfn(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // Older systems: at least take the current folder out of the search.
        ::SetDllDirectoryW(L"");
    }
}

HMODULE LoadSystemLibrary(const wchar_t* pszDll) {
    HMODULE hModule = ::LoadLibraryExW(pszDll, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (hModule) return hModule;
    wchar_t szSystem[MAX_PATH];
    UINT cch = ::GetSystemDirectoryW(szSystem, MAX_PATH);
    wchar_t szPath[MAX_PATH];
    if (cch == 0 || cch >= MAX_PATH || !FormatInto(szPath, L"%s\\%s", szSystem, pszDll)) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    // Its own dependencies are then looked for beside it first.
    return ::LoadLibraryExW(szPath, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE CSystemDll::Module() {
    if (m_bTried) return m_hModule;
    wchar_t szDll[MAX_PATH];
    size_t cch = strlen(m_pszBlock);
    if (cch >= MAX_PATH) cch = 0;
    for (size_t i = 0; i < cch; ++i) szDll[i] = static_cast<unsigned char>(m_pszBlock[i]);
    szDll[cch] = 0;
    HMODULE hModule = cch ? LoadSystemLibrary(szDll) : NULL;
    // Two threads may both load it; the DLL's reference count absorbs that.
    m_hModule = hModule;
    m_bTried = true;
    return hModule;
}

FARPROC CSystemDll::GetProc(const char* pszName) {
    const char* pszListed = m_pszBlock + strlen(m_pszBlock) + 1;
    size_t i = 0;
    while (*pszListed && strcmp(pszListed, pszName) != 0) {
        pszListed += strlen(pszListed) + 1;
        ++i;
    }
    if (!*pszListed) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    if (i < kKept && m_apfn[i]) return m_apfn[i];
    HMODULE hModule = Module();
    FARPROC pfn = hModule ? ::GetProcAddress(hModule, pszListed) : NULL;
    // Two threads may both look it up; both find the same address.
    if (i < kKept) m_apfn[i] = pfn;
    return pfn;
}
