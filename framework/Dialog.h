#pragma once
// A modal dialog on a resource template. One static dialog procedure stores
// the object at WM_INITDIALOG and hands every later message to OnMessage,
// whose default sends each message to its own virtual handler.
#include <windows.h>

#include <string>

#include "Wnd.h"

// Direction of a data exchange between controls and members.
class CDataExchange {
public:
    CDataExchange(HWND hDlg, BOOL bSaveAndValidate)
        : m_hDlg(hDlg), m_bSaveAndValidate(bSaveAndValidate) {}
    HWND m_hDlg;
    BOOL m_bSaveAndValidate;  // TRUE: controls to members
};

// The text of control nID to or from a string member.
void DDX_Text(CDataExchange* pDX, int nID, std::wstring& value);

class CDialog : public CWnd {
public:
    CDialog(UINT nIDTemplate, HWND hParent);
    ~CDialog() override;

    // Runs the dialog's modal loop on the calling thread; returns the value
    // given to EndDialog, or -1 when the dialog could not be created.
    INT_PTR DoModal();
    void EndDialog(INT_PTR nResult);
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

protected:
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange* pDX);

    // Every message after WM_INITDIALOG. Returns true when handled, with the
    // message's result in *pResult; false leaves it to the default processing.
    virtual bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // One handler per message. Each returns true when it handled the
    // message; false runs the default processing.
    virtual bool OnPaint() { return false; }
    virtual bool OnLButtonUp(UINT, POINT) { return false; }
    virtual bool OnMouseMove(UINT, POINT) { return false; }
    virtual bool OnNcHitTest(POINT, LRESULT*) { return false; }
    virtual bool OnTimer(UINT_PTR) { return false; }
    virtual bool OnSysCommand(UINT, LPARAM) { return false; }
    virtual bool OnSize(UINT, int, int) { return false; }
    virtual bool OnQueryDragIcon(HICON*) { return false; }
    virtual bool OnActivate(UINT) { return false; }
    virtual bool OnSetFocus() { return false; }
    virtual bool OnKeyDown(UINT, LPARAM) { return false; }
    virtual bool OnGetDlgCode(LRESULT*) { return false; }
    virtual bool OnGetObject(WPARAM, LPARAM, LRESULT*) { return false; }
    // The window's new DPI and the rectangle the system suggests for it.
    virtual bool OnDpiChanged(UINT, const RECT*) { return false; }
    // Messages of the program's own (WM_APP and above).
    virtual bool OnAppMessage(UINT, WPARAM, LPARAM) { return false; }
    // Called once the window is going (WM_NCDESTROY), before the object lets
    // go of it.
    virtual void OnNcDestroy() {}

    UINT m_nIDTemplate;
    HWND m_hParent;

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
    void CenterIfNotMoved(const RECT& rcBefore);
};
