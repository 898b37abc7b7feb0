#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "InstallLayout.h"
#include "Log.h"
#include "RunningCheck.h"
#include "SetupAccessible.h"
#include "SetupDlg.h"
#include "SetupMessages.h"
#include "StrFormat.h"
#include "UserLaunch.h"

bool CSetupDlg::IsButtonLive(int nPart) const {
    return nPart == PART_MINIMIZE || nPart == PART_CLOSE ||
           (nPart == PART_INSTALL && m_nState == STATE_IDLE);
}

RECT CSetupDlg::PartRect(int nPart) const {
    switch (nPart) {
        case PART_INSTALL:
            return m_rcInstall;
        case PART_MINIMIZE:
            return m_rcMinimize;
        case PART_CLOSE:
            return m_rcClose;
        case PART_PROGRESS:
            return {0, Scale(346), Scale(490), Scale(354)};
        case PART_STATUS:
            return {Scale(34), Scale(324), Scale(494), Scale(342)};
        default: {
            RECT rc;
            ::GetClientRect(m_hWnd, &rc);
            return rc;
        }
    }
}

int CSetupDlg::ButtonAt(POINT pt) const {
    for (int nPart = PART_INSTALL; nPart <= PART_CLOSE; ++nPart) {
        RECT rc = PartRect(nPart);
        if (::PtInRect(&rc, pt) && IsButtonLive(nPart)) return nPart;
    }
    return PART_NONE;
}

bool CSetupDlg::OnNcHitTest(POINT pt, LRESULT* pResult) {
    POINT ptClient = pt;
    ::ScreenToClient(m_hWnd, &ptClient);
    if (ButtonAt(ptClient)) return false;
    RECT rcClient;
    ::GetClientRect(m_hWnd, &rcClient);
    if (::PtInRect(&rcClient, ptClient)) {
        // Dragging anywhere else moves the window, as a title bar would.
        *pResult = HTCAPTION;
        return true;
    }
    return false;
}

bool CSetupDlg::OnMouseMove(UINT, POINT pt) {
    if (m_hHandCursor && ButtonAt(pt)) ::SetCursor(m_hHandCursor);
    return false;
}

bool CSetupDlg::OnActivate(UINT nState) {
    // The window has no controls: it keeps the keyboard's focus itself and
    // draws its own mark (the dialog manager would give none, or a label,
    // the focus, and keys would never reach OnKeyDown).
    if (nState != WA_INACTIVE && !::IsIconic(m_hWnd)) ::SetFocus(m_hWnd);
    return true;
}

bool CSetupDlg::OnGetDlgCode(LRESULT* pResult) {
    // Tab reaches OnKeyDown instead of the dialog manager, which has no
    // controls to move to; Enter and Escape still come as IDOK and IDCANCEL.
    *pResult = DLGC_WANTTAB;
    return true;
}

bool CSetupDlg::OnKeyDown(UINT nChar, LPARAM lKeyData) {
    if (nChar == VK_TAB) {
        MoveFocus(::GetKeyState(VK_SHIFT) < 0 ? -1 : 1);
        return true;
    }
    // Space presses the focused button once, not again while held.
    if (nChar == VK_SPACE && !(lKeyData & 0x40000000)) {
        PressButton(m_nFocus);
        return true;
    }
    return false;
}

void CSetupDlg::MoveFocus(int nStep) {
    int nPart = m_nFocus;
    for (int i = 0; i < PART_CLOSE; ++i) {
        nPart += nStep;
        if (nPart > PART_CLOSE) nPart = PART_INSTALL;
        if (nPart < PART_INSTALL) nPart = PART_CLOSE;
        if (IsButtonLive(nPart)) break;
    }
    SetFocusPart(nPart);
}

void CSetupDlg::SetFocusPart(int nPart) {
    m_nFocus = nPart;
    ::InvalidateRect(m_hWnd, NULL, FALSE);
    NotifyPart(EVENT_OBJECT_FOCUS, nPart);
}

void CSetupDlg::NotifyPart(DWORD dwEvent, int nPart) {
    if (m_hWnd) ::NotifyWinEvent(dwEvent, m_hWnd, OBJID_CLIENT, nPart);
}

void CSetupDlg::PressButton(int nPart) {
    if (!IsButtonLive(nPart)) return;
    if (nPart == PART_CLOSE) {
        RequestClose();
    } else if (nPart == PART_INSTALL) {
        OnInstallClicked();
    } else {
        ShowWindow(SW_MINIMIZE);
    }
}

bool CSetupDlg::OnDpiChanged(UINT nDpi, const RECT* prcSuggested) {
    // Moved to a monitor of another scale: laid out anew where the system
    // puts it, which keeps the window under the pointer that drags it.
    m_nDpi = nDpi ? nDpi : 96;
    LayOut();
    ::SetWindowPos(m_hWnd, NULL, prcSuggested->left, prcSuggested->top,
                   prcSuggested->right - prcSuggested->left,
                   prcSuggested->bottom - prcSuggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(m_hWnd, NULL, TRUE);
    return true;
}

void CSetupDlg::OnOK() {
    // Enter presses the focused button; it never ends the window by itself.
    PressButton(m_nFocus);
}

void CSetupDlg::OnCancel() {
    // Escape, Alt+F4, the system menu's and the taskbar's Close all arrive
    // here, and take the close button's path.
    RequestClose();
}

void CSetupDlg::RequestClose() {
    if (m_bAsking) return;  // the question is on screen already
    if (m_nState == STATE_INSTALLING && m_bConfirmStop == 1) {
        // The box runs its own message loop, in which the worker's last
        // messages and the launch timer arrive: the launch waits for the answer.
        m_bAsking = true;
        int nAnswer = MessageBox(L"是否终止安装？", L"询问", MB_OKCANCEL | MB_ICONQUESTION);
        m_bAsking = false;
        if (nAnswer != IDOK) {
            if (m_bLaunchPending) LaunchClient();
            return;
        }
    }
    m_bLaunchPending = false;
    ::SetEvent(m_hStopEvent);
    EndDialog(IDCANCEL);
}

bool CSetupDlg::OnLButtonUp(UINT, POINT pt) {
    int nPart = ButtonAt(pt);
    PressButton(nPart);
    return nPart != PART_NONE;
}

void CSetupDlg::OnInstallClicked() {
    if (m_nState != STATE_IDLE) return;
    if (IsProcessRunning(kClientExeName, m_szSetupPath)) {
        MessageBox(L"程序正在运行，请先关闭程序再安装", L"提示", MB_OK | MB_ICONINFORMATION);
        return;
    }
    if (!Start(0)) return;
    m_nState = STATE_INSTALLING;
    m_stcPercent.ShowWindow(SW_SHOW);
    ::InvalidateRect(m_hWnd, NULL, TRUE);
    NotifyPart(EVENT_OBJECT_STATECHANGE, PART_INSTALL);
    NotifyPart(EVENT_OBJECT_SHOW, PART_PROGRESS);
    // The install button is gone from the tab order: the mark moves on.
    if (m_nFocus == PART_INSTALL) MoveFocus(1);
}

bool CSetupDlg::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent != TIMER_LAUNCH_CLIENT) return false;
    ::KillTimer(m_hWnd, TIMER_LAUNCH_CLIENT);
    if (m_bAsking) {
        m_bLaunchPending = true;
    } else {
        LaunchClient();
    }
    return true;
}

void CSetupDlg::LaunchClient() {
    m_bLaunchPending = false;
    StartInstalledClient(m_szSetupPath);
    EndDialog(IDOK);
}

bool CSetupDlg::OnQueryDragIcon(HICON* phIcon) {
    *phIcon = m_hIcon;
    return true;
}

void CSetupDlg::OnNcDestroy() {
    DisconnectAccessible();
    DeleteImages();
    // A launch still pending must never fire once the window is going.
    ::KillTimer(m_hWnd, TIMER_LAUNCH_CLIENT);
    // The worker uses this object's buffer, list and handles.
    WaitForExitOrEndProcess();
}

bool CSetupDlg::OnGetObject(WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    if (static_cast<LONG>(lParam) != OBJID_CLIENT) return false;
    if (!m_pAccessible) m_pAccessible = new (std::nothrow) CSetupAccessible(this);
    if (!m_pAccessible) return false;
    *pResult = AccessibleResult(m_pAccessible, wParam);
    return true;
}

void CSetupDlg::DisconnectAccessible() {
    if (!m_pAccessible) return;
    m_pAccessible->Disconnect();
    m_pAccessible->Release();
    m_pAccessible = NULL;
}
