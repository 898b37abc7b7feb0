#include "SetupApp.h"

#include "GdiPlus.h"
#include "Handle.h"
#include "InstanceLock.h"
#include "SetupDlg.h"
#include "SetupMessages.h"

namespace {
// Filled during static initialisation, before the application object.
Gdiplus::GdiplusStartupInput g_gdiplusStartupInput;
ULONG_PTR g_gdiplusToken = 0;
}  // namespace

CSetupApp theApp;

namespace {

// Another installer or the uninstaller holds the lock: bring the other
// installer's window to the front, or say that it is still closing, or that
// an uninstallation runs. An installer just starting may not show its
// window yet: look for a while.
void ShowTheOtherInstance() {
    for (int i = 0; i < 30; ++i) {
        HWND hWnd = ::FindWindowW(NULL, SETUP_WINDOW_TEXT);
        if (hWnd) {
            if (::IsIconic(hWnd)) ::ShowWindow(hWnd, SW_RESTORE);
            ::SetForegroundWindow(hWnd);
            return;
        }
        ::Sleep(100);
    }
    ::MessageBoxW(NULL,
                  IsInstallerRunning() ? L"塔维罗安装程序正在关闭，请稍后再安装。"
                                       : L"塔维罗卸载程序正在运行，请在卸载结束后再安装。",
                  L"提示", MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

}  // namespace

BOOL CSetupApp::InitInstance() {
    // Before anything is made: a second installer would start a new log
    // over the first one's and race its installation.
    CHandle lock(TakeInstanceLock());
    if (!lock) {
        ShowTheOtherInstance();
        return FALSE;
    }
    CHandle installer(MarkInstallerRunning());
    Gdiplus::GdiplusStartup(&g_gdiplusToken, &g_gdiplusStartupInput, NULL);
    {
        // The constructor loads images, so GDI+ must be up first; the object
        // is gone before ExitInstance takes GDI+ down.
        CSetupDlg dlg(NULL);
        m_pMainWnd = NULL;
        dlg.DoModal();
    }
    return FALSE;
}

int CSetupApp::ExitInstance() {
    if (g_gdiplusToken) Gdiplus::GdiplusShutdown(g_gdiplusToken);
    g_gdiplusToken = 0;
    return CWinApp::ExitInstance();
}
