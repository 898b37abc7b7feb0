#pragma once
// The display scale a window is drawn at. The window is designed at 96 DPI
// (100 %); every coordinate of the design goes through ScaleForDpi.
#include <windows.h>

// The window's monitor DPI where the system tracks it per monitor (Windows
// 10 1607 and later), else the system DPI every monitor shares.
UINT WindowDpi(HWND hWnd);

// Stops the dialog manager's own rescaling of a dialog that lays itself out
// on WM_DPICHANGED (Windows 10 1703 and later; nothing elsewhere).
void KeepOwnDpiLayout(HWND hDlg);

inline int ScaleForDpi(int n, UINT nDpi) { return ::MulDiv(n, static_cast<int>(nDpi), 96); }
