#include "Dialog.h"

#include <windowsx.h>

#include "Static.h"

void DDX_Text(CDataExchange* pDX, int nID, std::wstring& value) {
    HWND hCtrl = ::GetDlgItem(pDX->m_hDlg, nID);
    if (!hCtrl) return;
    if (pDX->m_bSaveAndValidate) {
        int n = ::GetWindowTextLengthW(hCtrl);
        std::wstring text(static_cast<size_t>(n > 0 ? n : 0) + 1, L'\0');
        int got = ::GetWindowTextW(hCtrl, &text[0], n + 1);
        text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        value.swap(text);
    } else {
        ::SetWindowTextW(hCtrl, value.c_str());
    }
}

CDialog::CDialog(UINT nIDTemplate, HWND hParent) : m_nIDTemplate(nIDTemplate), m_hParent(hParent) {}

CDialog::~CDialog() {
    // A modal dialog is gone once DoModal returns; nothing else owns it.
    m_hWnd = NULL;
}

INT_PTR CDialog::DoModal() {
    return ::DialogBoxParamW(::GetModuleHandleW(NULL), MAKEINTRESOURCEW(m_nIDTemplate), m_hParent,
                             DialogProc, reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(INT_PTR nResult) { ::EndDialog(m_hWnd, nResult); }

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(m_hWnd, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::DoDataExchange(CDataExchange*) {}

bool CDialog::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    switch (uMsg) {
        case WM_PAINT:
            return OnPaint();
        case WM_LBUTTONUP:
            return OnLButtonUp(static_cast<UINT>(wParam), pt);
        case WM_MOUSEMOVE:
            return OnMouseMove(static_cast<UINT>(wParam), pt);
        case WM_NCHITTEST:
            return OnNcHitTest(pt, pResult);
        case WM_TIMER:
            return OnTimer(wParam);
        case WM_SYSCOMMAND:
            return OnSysCommand(static_cast<UINT>(wParam), lParam);
        case WM_SIZE:
            return OnSize(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
        case WM_QUERYDRAGICON: {
            HICON hIcon = NULL;
            if (!OnQueryDragIcon(&hIcon)) return false;
            *pResult = reinterpret_cast<LRESULT>(hIcon);
            return true;
        }
        case WM_ACTIVATE:
            return OnActivate(LOWORD(wParam));
        case WM_SETFOCUS:
            return OnSetFocus();
        case WM_KEYDOWN:
            return OnKeyDown(static_cast<UINT>(wParam), lParam);
        case WM_GETDLGCODE:
            return OnGetDlgCode(pResult);
        case WM_GETOBJECT:
            return OnGetObject(wParam, lParam, pResult);
        case WM_DPICHANGED:
            return OnDpiChanged(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        case WM_CTLCOLORSTATIC: {
            // Reflected to the control's own object, as the skinned labels want.
            CStatic* pCtrl = CStatic::FromHandle(reinterpret_cast<HWND>(lParam));
            HBRUSH hBrush = pCtrl ? pCtrl->OnCtlColor(reinterpret_cast<HDC>(wParam)) : NULL;
            if (!hBrush) return false;
            *pResult = reinterpret_cast<LRESULT>(hBrush);
            return true;
        }
        default:
            break;
    }
    if (uMsg >= WM_APP && uMsg <= 0xBFFF) {
        *pResult = 0;
        return OnAppMessage(uMsg, wParam, lParam);
    }
    if (uMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        // Enter, Escape and the close box arrive here as IDOK and IDCANCEL.
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            *pResult = 0;
            return true;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            *pResult = 0;
            return true;
        }
    }
    return false;
}

void CDialog::CenterIfNotMoved(const RECT& rcBefore) {
    RECT rc;
    if (!::GetWindowRect(m_hWnd, &rc)) return;
    if (rc.left != rcBefore.left || rc.top != rcBefore.top) return;
    if (::GetWindowLongW(m_hWnd, GWL_STYLE) & WS_CHILD) return;
    // Centred on the owner when there is one, else on the work area.
    RECT rcArea;
    HWND hOwner = ::GetWindow(m_hWnd, GW_OWNER);
    if (hOwner && ::IsWindowVisible(hOwner) && !::IsIconic(hOwner)) {
        ::GetWindowRect(hOwner, &rcArea);
    } else {
        HMONITOR hMon = ::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY);
        MONITORINFO mi = {};
        mi.cbSize = sizeof(mi);
        if (!::GetMonitorInfoW(hMon, &mi)) return;
        rcArea = mi.rcWork;
    }
    int cx = rc.right - rc.left, cy = rc.bottom - rc.top;
    int x = rcArea.left + ((rcArea.right - rcArea.left) - cx) / 2;
    int y = rcArea.top + ((rcArea.bottom - rcArea.top) - cy) / 2;
    ::SetWindowPos(m_hWnd, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    CDialog* pThis;
    if (uMsg == WM_INITDIALOG) {
        pThis = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
        pThis->m_hWnd = hDlg;
        RECT rcBefore = {};
        ::GetWindowRect(hDlg, &rcBefore);
        BOOL bFocusDefault = pThis->OnInitDialog();
        pThis->CenterIfNotMoved(rcBefore);
        return bFocusDefault;
    }
    pThis = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hDlg, DWLP_USER));
    if (!pThis) return FALSE;

    if (uMsg == WM_NCDESTROY) {
        pThis->OnNcDestroy();
        ::SetWindowLongPtrW(hDlg, DWLP_USER, 0);
        pThis->m_hWnd = NULL;
        return FALSE;
    }
    LRESULT result = 0;
    if (!pThis->OnMessage(uMsg, wParam, lParam, &result)) return FALSE;
    // Messages whose answer is the procedure's own return value.
    switch (uMsg) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG:
            return static_cast<INT_PTR>(result);
        default:
            ::SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, result);
            return TRUE;
    }
}
