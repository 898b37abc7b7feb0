#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "InstallLayout.h"
#include "Log.h"
#include "RunningCheck.h"
#include "SetupDlg.h"
#include "SetupMessages.h"
#include "StrFormat.h"
#include "UserLaunch.h"

bool CSetupDlg::OnNcHitTest(POINT pt, LRESULT* pResult) {
    POINT ptClient = pt;
    ::ScreenToClient(m_hWnd, &ptClient);
    if (::PtInRect(&m_rcClose, ptClient)) return false;
    if (::PtInRect(&m_rcInstall, ptClient) && m_nState == STATE_IDLE) return false;
    if (::PtInRect(&m_rcMinimize, ptClient)) return false;
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
    if (!m_hHandCursor) return false;
    if (::PtInRect(&m_rcClose, pt) || ::PtInRect(&m_rcMinimize, pt) ||
        (::PtInRect(&m_rcInstall, pt) && m_nState == STATE_IDLE)) {
        ::SetCursor(m_hHandCursor);
    }
    return false;
}

void CSetupDlg::OnOK() {
    // Enter never ends the window: only the close paths and the launch do.
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
    if (::PtInRect(&m_rcClose, pt)) {
        RequestClose();
        return true;
    }
    if (::PtInRect(&m_rcInstall, pt) && m_nState == STATE_IDLE) {
        OnInstallClicked();
        return true;
    }
    if (::PtInRect(&m_rcMinimize, pt)) {
        ShowWindow(SW_MINIMIZE);
        return true;
    }
    return false;
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
    DeleteImages();
    // A launch still pending must never fire once the window is going.
    ::KillTimer(m_hWnd, TIMER_LAUNCH_CLIENT);
    // The worker uses this object's buffer, list and handles.
    WaitForExitOrEndProcess();
}
