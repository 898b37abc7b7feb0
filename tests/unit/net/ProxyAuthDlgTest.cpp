#include <gtest/gtest.h>
#include <string.h>

#include "NetTestUtil.h"
#include "ProxyAuthDlg.h"

namespace {

// Reads a field of a DLGTEMPLATE: a 0xFFFF-prefixed ordinal or a string.
std::wstring ReadSzOrOrdinal(const WORD*& p) {
    if (*p == 0xFFFF) {
        std::wstring ordinal = L"#" + std::to_wstring(p[1]);
        p += 2;
        return ordinal;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(p));
    p += text.size() + 1;
    return text;
}

struct TemplateItem {
    DWORD dwStyle;
    short x, y, cx, cy;
    WORD wId;
    std::wstring cls, text;
};

}  // namespace

TEST(ProxyAuthDlgTemplate, HasTheControlsTextsStylesAndTabOrderOfTheDesign) {
    HRSRC hRes = ::FindResourceW(NULL, MAKEINTRESOURCEW(138), MAKEINTRESOURCEW(5));  // RT_DIALOG
    ASSERT_NE(nullptr, hRes);
    const DLGTEMPLATE* pDlg =
        static_cast<const DLGTEMPLATE*>(::LockResource(::LoadResource(NULL, hRes)));
    ASSERT_NE(nullptr, pDlg);
    EXPECT_EQ(static_cast<DWORD>(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU),
              pDlg->style);
    EXPECT_EQ(6, pDlg->cdit);
    EXPECT_EQ(0, pDlg->x);
    EXPECT_EQ(0, pDlg->y);
    EXPECT_EQ(187, pDlg->cx);
    EXPECT_EQ(94, pDlg->cy);
    const WORD* p = reinterpret_cast<const WORD*>(pDlg + 1);
    EXPECT_EQ(L"", ReadSzOrOrdinal(p));  // menu
    EXPECT_EQ(L"", ReadSzOrOrdinal(p));  // class
    EXPECT_EQ(L"代理验证", ReadSzOrOrdinal(p));
    EXPECT_EQ(10, *p++);
    EXPECT_EQ(L"System", ReadSzOrOrdinal(p));

    const TemplateItem expected[] = {
        {BS_DEFPUSHBUTTON | WS_VISIBLE | WS_TABSTOP, 25, 73, 50, 14, IDOK, L"#128", L"确定"},
        {BS_PUSHBUTTON | WS_VISIBLE | WS_TABSTOP, 110, 73, 50, 14, IDCANCEL, L"#128", L"取消"},
        {SS_LEFT | WS_VISIBLE | WS_GROUP, 32, 24, 33, 8, 0xFFFF, L"#130", L"名称："},
        {SS_LEFT | WS_VISIBLE | WS_GROUP, 33, 46, 29, 16, 0xFFFF, L"#130", L"密码："},
        {WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 69, 22, 82, 14, 1000, L"#129", L""},
        {WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, 70, 42, 80, 14, 1001,
         L"#129", L""},
    };
    for (const TemplateItem& want : expected) {
        // Items start on a DWORD boundary.
        p = reinterpret_cast<const WORD*>((reinterpret_cast<ULONG_PTR>(p) + 3) & ~ULONG_PTR(3));
        DLGITEMTEMPLATE item;
        memcpy(&item, p, sizeof(item));
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + sizeof(item));
        SCOPED_TRACE(want.wId);
        EXPECT_EQ(want.dwStyle | WS_CHILD, item.style);
        EXPECT_EQ(want.x, item.x);
        EXPECT_EQ(want.y, item.y);
        EXPECT_EQ(want.cx, item.cx);
        EXPECT_EQ(want.cy, item.cy);
        EXPECT_EQ(want.wId, item.id);
        EXPECT_EQ(want.cls, ReadSzOrOrdinal(p));
        EXPECT_EQ(want.text, ReadSzOrOrdinal(p));
        WORD cbExtra = *p++;
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + cbExtra);
    }
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
