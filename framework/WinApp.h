#pragma once
// The application object: the program's entry creates nothing itself; it runs
// the one global CWinApp's InitInstance and, when that returns FALSE, goes
// straight to ExitInstance.
#include <windows.h>

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return 0; }
    // Only for programs whose InitInstance returns TRUE.
    virtual int Run();

    HWND m_pMainWnd;
    HINSTANCE m_hInstance;
};

// The application object, or NULL before it is constructed.
CWinApp* AfxGetApp();
