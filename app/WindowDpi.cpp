#include "WindowDpi.h"

#include "DllSearch.h"

// Windows 7 lacks both: taken at run time, never imported.
extern "C" const char g_szUser32DpiProcs[] =
    "user32.dll\0GetDpiForWindow\0SetDialogDpiChangeBehavior\0";

namespace {
CSystemDll g_user32(g_szUser32DpiProcs);
typedef UINT(WINAPI* PFN_GetDpiForWindow)(HWND);
typedef BOOL(WINAPI* PFN_SetDialogDpiChangeBehavior)(HWND, int, int);
}  // namespace

UINT WindowDpi(HWND hWnd) {
    const auto pfn = reinterpret_cast<PFN_GetDpiForWindow>(
        reinterpret_cast<void*>(g_user32.GetProc("GetDpiForWindow")));
    UINT nDpi = pfn ? pfn(hWnd) : 0;
    if (nDpi == 0) {
        HDC hDC = ::GetDC(NULL);
        nDpi = hDC ? static_cast<UINT>(::GetDeviceCaps(hDC, LOGPIXELSY)) : 0;
        if (hDC) ::ReleaseDC(NULL, hDC);
    }
    return nDpi ? nDpi : 96;
}

void KeepOwnDpiLayout(HWND hDlg) {
    const auto pfn = reinterpret_cast<PFN_SetDialogDpiChangeBehavior>(
        reinterpret_cast<void*>(g_user32.GetProc("SetDialogDpiChangeBehavior")));
    // DDC_DISABLE_ALL: no resizing, relayout or font changes of its own.
    if (pfn) pfn(hDlg, 1, 1);
}
