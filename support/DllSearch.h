#pragma once
#include <windows.h>

// Keeps DLLs planted beside the program (a download or temporary folder)
// from ever being loaded: from here on only the system folder is searched.
// Called first thing in wWinMain. The program imports only the system's
// known DLLs; any other system DLL it needs comes through CSystemDll.
void RestrictDllSearchPath();

// Loads a system DLL from the system folder and nowhere else: by the search
// flag where the system has it, by full path where it does not (Windows 7
// without KB2533623, where SetDllDirectoryW(L"") still searches the
// program's own folder first).
HMODULE LoadSystemLibrary(const wchar_t* pszDll);

// A system DLL that is not one of the system's known DLLs (wininet,
// gdiplus), loaded through LoadSystemLibrary at first use and never freed.
// Its block is the DLL's name, then every function the program may take
// from it, each ending in NUL, then an empty name. It is an extern "C"
// array named g_sz...Procs so that the release check can read it out of the
// built program and confirm that the DLL exports every name.
class CSystemDll {
public:
    explicit CSystemDll(const char* pszBlock)
        : m_pszBlock(pszBlock), m_hModule(NULL), m_bTried(false), m_apfn() {}

    // NULL (with the last error set) for a name the block does not list, a
    // DLL that does not load or a function it does not export. A function
    // found is kept, so callers call this every time rather than keep it
    // in a function-local static (whose thread-safe guard and unwinding
    // cost more than the lookup).
    FARPROC GetProc(const char* pszName);

    // The function typed as the declaration passed in, which the compiler
    // then checks against the platform header's.
    template <typename F>
    F Get(F, const char* pszName) {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProc(pszName)));
    }

private:
    CSystemDll(const CSystemDll&) = delete;
    CSystemDll& operator=(const CSystemDll&) = delete;
    HMODULE Module();

    const char* m_pszBlock;
    HMODULE volatile m_hModule;
    // One attempt per run: whether the DLL is there never changes mid-run.
    bool volatile m_bTried;
    // The functions found, by their place in the block (the longest block,
    // gdiplus.dll's, lists 22; any further ones are looked up each time).
    static const size_t kKept = 24;
    FARPROC volatile m_apfn[kKept];
};
