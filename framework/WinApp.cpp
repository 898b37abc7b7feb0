#include "WinApp.h"

#include "CrashLog.h"
#include "DllSearch.h"

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

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
    RestrictDllSearchPath();
    InstallCrashLog();
    CWinApp* pApp = AfxGetApp();
    if (!pApp) return 1;
    pApp->m_hInstance = hInstance;
    if (!pApp->InitInstance()) return pApp->ExitInstance();
    return pApp->Run();
}
