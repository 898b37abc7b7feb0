#pragma once
// A borrowed window handle with the few operations the installer uses.
// CWnd never destroys the window it refers to; the window's owner does.
#include <windows.h>

#include <string>

class CWnd {
public:
    CWnd() : m_hWnd(NULL) {}
    virtual ~CWnd() {}
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    BOOL SetWindowText(const wchar_t* pszText) { return ::SetWindowTextW(m_hWnd, pszText); }
    std::wstring GetWindowText() const;
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL MoveWindow(int x, int y, int cx, int cy, BOOL bRepaint = TRUE) {
        return ::MoveWindow(m_hWnd, x, y, cx, cy, bRepaint);
    }
    BOOL Invalidate(BOOL bErase = TRUE) { return ::InvalidateRect(m_hWnd, NULL, bErase); }
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    LRESULT SendMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendMessageW(m_hWnd, uMsg, wParam, lParam);
    }
    BOOL PostMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::PostMessageW(m_hWnd, uMsg, wParam, lParam);
    }
    void SetFont(HFONT hFont, BOOL bRedraw = TRUE) {
        ::SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), bRedraw);
    }
    void SetIcon(HICON hIcon, BOOL bBigIcon) {
        ::SendMessageW(m_hWnd, WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL,
                       reinterpret_cast<LPARAM>(hIcon));
    }
    // A message box owned by this window.
    int MessageBox(const wchar_t* pszText, const wchar_t* pszCaption = NULL, UINT uType = MB_OK) {
        return ::MessageBoxW(m_hWnd, pszText, pszCaption, uType);
    }

protected:
    HWND m_hWnd;
};
