#include "WinApp.h"

namespace {
CWinApp* g_pApp = NULL;
}

CWinApp::CWinApp() : m_pMainWnd(NULL), m_hInstance(NULL) { g_pApp = this; }

CWinApp::~CWinApp() {
    if (g_pApp == this) g_pApp = NULL;
}

int CWinApp::Run() {
    MSG msg;
    while (::GetMessageW(&msg, NULL, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return ExitInstance();
}

CWinApp* AfxGetApp() { return g_pApp; }

// Keeps DLLs planted beside the program (a download folder) from ever being
// loaded: from here on only the system folder is searched. The DLLs that
// are not the system's known DLLs are delay-loaded, so none of them is
// loaded before this runs.
static void RestrictDllSearchPath() {
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

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
    RestrictDllSearchPath();
    CWinApp* pApp = AfxGetApp();
    if (!pApp) return 1;
    pApp->m_hInstance = hInstance;
    if (!pApp->InitInstance()) return pApp->ExitInstance();
    return pApp->Run();
}
