#pragma once
// A static text control that this object creates and destroys. The parent
// dialog reflects WM_CTLCOLORSTATIC to OnCtlColor of the control's object.
#include <windows.h>

#include "Wnd.h"

class CStatic : public CWnd {
public:
    CStatic() {}
    ~CStatic() override;

    BOOL Create(const wchar_t* pszText, DWORD dwStyle, const RECT& rc, HWND hParent, UINT nID);
    // Whether the control's window still exists (it goes before its parent's
    // final message).
    bool Exists() const { return m_hWnd && ::IsWindow(m_hWnd); }

    // The brush for the control's background, or NULL for the default colours.
    virtual HBRUSH OnCtlColor(HDC) { return NULL; }
    static CStatic* FromHandle(HWND hWnd);
};
