#include <gtest/gtest.h>
#include <limits.h>

#include <string>
#include <vector>

#include "NetTestUtil.h"
#include "ProxyAuthDlg.h"

namespace {

// A window's rectangle in its dialog's client coordinates.
RECT RectIn(HWND hDlg, HWND hWnd) {
    RECT rc;
    ::GetWindowRect(hWnd, &rc);
    ::MapWindowPoints(NULL, hDlg, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

std::wstring TextOf(HWND hWnd) {
    wchar_t szText[64] = {};
    ::GetWindowTextW(hWnd, szText, 64);
    return szText;
}

// The text a user reads as the edit's label: the static on its line,
// nearest to its left.
std::wstring LabelLeftOf(HWND hDlg, HWND hEdit) {
    RECT rcEdit = RectIn(hDlg, hEdit);
    HWND hBest = NULL;
    LONG nBestRight = LONG_MIN;
    for (HWND h = ::GetWindow(hDlg, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT)) {
        wchar_t szClass[16] = {};
        ::GetClassNameW(h, szClass, 16);
        RECT rc = RectIn(hDlg, h);
        LONG yMiddle = (rc.top + rc.bottom) / 2;
        if (lstrcmpiW(szClass, L"Static") == 0 && rc.right <= rcEdit.left &&
            yMiddle >= rcEdit.top && yMiddle < rcEdit.bottom && rc.right > nBestRight) {
            hBest = h;
            nBestRight = rc.right;
        }
    }
    return hBest ? TextOf(hBest) : L"(none)";
}

// Looks at the dialog as it is about to show, then closes it.
class CLayoutProbe : public CProxyAuthDlg {
public:
    BOOL OnInitDialog() override {
        BOOL bResult = CProxyAuthDlg::OnInitDialog();
        m_caption = TextOf(m_hWnd);
        RECT rcClient;
        ::GetClientRect(m_hWnd, &rcClient);
        for (HWND h = ::GetWindow(m_hWnd, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT)) {
            RECT rc = RectIn(m_hWnd, h), rcBoth;
            if (rc.left < 0 || rc.top < 0 || rc.right > rcClient.right ||
                rc.bottom > rcClient.bottom)
                m_outside.push_back(TextOf(h));
            for (HWND hOther = ::GetWindow(h, GW_HWNDNEXT); hOther;
                 hOther = ::GetWindow(hOther, GW_HWNDNEXT)) {
                RECT rcOther = RectIn(m_hWnd, hOther);
                if (::IntersectRect(&rcBoth, &rc, &rcOther))
                    m_overlapping.push_back(TextOf(h) + L"/" + TextOf(hOther));
            }
        }
        HWND hName = ::GetDlgItem(m_hWnd, 1000);
        m_nameLabel = LabelLeftOf(m_hWnd, hName);
        m_passwordLabel = LabelLeftOf(m_hWnd, ::GetDlgItem(m_hWnd, 1001));
        m_okText = TextOf(::GetDlgItem(m_hWnd, IDOK));
        m_cancelText = TextOf(::GetDlgItem(m_hWnd, IDCANCEL));
        for (HWND h = hName; m_tabOrder.size() < 4;) {
            h = ::GetNextDlgTabItem(m_hWnd, h, FALSE);
            m_tabOrder.push_back(h ? ::GetDlgCtrlID(h) : 0);
        }
        EndDialog(IDCANCEL);
        return bResult;
    }
    std::wstring m_caption, m_nameLabel, m_passwordLabel, m_okText, m_cancelText;
    std::vector<std::wstring> m_outside, m_overlapping;
    std::vector<int> m_tabOrder;
};

}  // namespace

TEST(ProxyAuthDlg, ControlsLieApartInsideTheWindowUnderTheirTextsAndTabFromNameToCancel) {
    CLayoutProbe dlg;
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    EXPECT_EQ(L"代理验证", dlg.m_caption);
    EXPECT_TRUE(dlg.m_outside.empty()) << testing::PrintToString(dlg.m_outside);
    EXPECT_TRUE(dlg.m_overlapping.empty()) << testing::PrintToString(dlg.m_overlapping);
    EXPECT_EQ(L"名称：", dlg.m_nameLabel);
    EXPECT_EQ(L"密码：", dlg.m_passwordLabel);
    EXPECT_EQ(L"确定", dlg.m_okText);
    EXPECT_EQ(L"取消", dlg.m_cancelText);
    // Name, password, OK, cancel and round again to the name.
    EXPECT_EQ((std::vector<int>{1001, IDOK, IDCANCEL, 1000}), dlg.m_tabOrder);
}

namespace {

// Runs the dialog on this thread while another thread acts on it once it
// shows: pfnAct gets the dialog's window.
struct DialogRun {
    void (*pfnAct)(HWND hDlg);
    HWND hFocusAtStart;
    bool bMasked;
};

DWORD WINAPI ActOnDialog(void* pParam) {
    DialogRun* pRun = static_cast<DialogRun*>(pParam);
    for (int i = 0; i < 1000; ++i) {
        HWND hDlg = ::FindWindowW(L"#32770", L"代理验证");
        if (hDlg && ::IsWindowVisible(hDlg)) {
            GUITHREADINFO info = {};
            info.cbSize = sizeof(info);
            ::GetGUIThreadInfo(::GetWindowThreadProcessId(hDlg, NULL), &info);
            pRun->hFocusAtStart =
                info.hwndFocus == ::GetDlgItem(hDlg, IDOK) ? info.hwndFocus : NULL;
            pRun->bMasked = ::SendDlgItemMessageW(hDlg, 1001, EM_GETPASSWORDCHAR, 0, 0) != 0;
            pRun->pfnAct(hDlg);
            return 0;
        }
        ::Sleep(20);
    }
    return 1;
}

INT_PTR RunDialog(CProxyAuthDlg& dlg, DialogRun& run) {
    HANDLE hThread = ::CreateThread(NULL, 0, ActOnDialog, &run, 0, NULL);
    INT_PTR nResult = dlg.DoModal();
    ::WaitForSingleObject(hThread, INFINITE);
    ::CloseHandle(hThread);
    return nResult;
}

void TypeChars(HWND hEdit, wchar_t ch, int nCount) {
    for (int i = 0; i < nCount; ++i) ::SendMessageW(hEdit, WM_CHAR, ch, 0);
}

}  // namespace

TEST(ProxyAuthDlg, OkReturnsTheTypedEntriesAndStartsOnTheOkButton) {
    CProxyAuthDlg dlg(NULL);
    DialogRun run = {[](HWND hDlg) {
                         TypeChars(::GetDlgItem(hDlg, 1000), L'n', 3);
                         TypeChars(::GetDlgItem(hDlg, 1001), L'p', 4);
                         ::PostMessageW(hDlg, WM_COMMAND, IDOK, 0);
                     },
                     NULL, false};
    EXPECT_EQ(IDOK, RunDialog(dlg, run));
    EXPECT_EQ(L"nnn", dlg.GetName());
    EXPECT_EQ(L"pppp", dlg.GetPassword());
    EXPECT_NE(nullptr, run.hFocusAtStart);
    EXPECT_TRUE(run.bMasked);
}

TEST(ProxyAuthDlg, EnterWithEmptyEditsConfirmsTwoEmptyStrings) {
    CProxyAuthDlg dlg(NULL);
    DialogRun run = {[](HWND hDlg) {
                         HWND hOk = ::GetDlgItem(hDlg, IDOK);
                         ::PostMessageW(hOk, WM_KEYDOWN, VK_RETURN, 0);
                     },
                     NULL, false};
    EXPECT_EQ(IDOK, RunDialog(dlg, run));
    EXPECT_EQ(L"", dlg.GetName());
    EXPECT_EQ(L"", dlg.GetPassword());
}

TEST(ProxyAuthDlg, EntriesNeverPassSixtyThreeCharacters) {
    CProxyAuthDlg dlg(NULL);
    DialogRun run = {[](HWND hDlg) {
                         // Typing stops at the edit's limit; text set from
                         // elsewhere passes the limit and is cut on OK.
                         TypeChars(::GetDlgItem(hDlg, 1000), L'a', 70);
                         std::wstring longText(100, L'b');
                         ::SetDlgItemTextW(hDlg, 1001, longText.c_str());
                         ::PostMessageW(hDlg, WM_COMMAND, IDOK, 0);
                     },
                     NULL, false};
    EXPECT_EQ(IDOK, RunDialog(dlg, run));
    EXPECT_EQ(std::wstring(63, L'a'), dlg.GetName());
    EXPECT_EQ(std::wstring(63, L'b'), dlg.GetPassword());
}

TEST(ProxyAuthDlg, CancelEscapeAndTheCloseBoxLeaveBothStringsEmpty) {
    void (*const actions[])(HWND) = {
        [](HWND hDlg) {
            TypeChars(::GetDlgItem(hDlg, 1000), L'x', 2);
            ::PostMessageW(hDlg, WM_COMMAND, IDCANCEL, 0);
        },
        [](HWND hDlg) {
            TypeChars(::GetDlgItem(hDlg, 1001), L'y', 2);
            ::PostMessageW(::GetDlgItem(hDlg, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
        },
        [](HWND hDlg) {
            TypeChars(::GetDlgItem(hDlg, 1000), L'z', 2);
            ::PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        },
    };
    for (auto pfnAct : actions) {
        CProxyAuthDlg dlg(NULL);
        DialogRun run = {pfnAct, NULL, false};
        EXPECT_EQ(IDCANCEL, RunDialog(dlg, run));
        EXPECT_EQ(L"", dlg.GetName());
        EXPECT_EQ(L"", dlg.GetPassword());
    }
}
