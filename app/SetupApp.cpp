#include "SetupApp.h"

#include "GdiPlus.h"
#include "SetupDlg.h"

namespace {
// Filled during static initialisation, before the application object.
Gdiplus::GdiplusStartupInput g_gdiplusStartupInput;
ULONG_PTR g_gdiplusToken = 0;
}  // namespace

CSetupApp theApp;

BOOL CSetupApp::InitInstance() {
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
