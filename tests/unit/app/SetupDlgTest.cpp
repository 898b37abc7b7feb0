#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GdiPlus.h"
#include "InstallSequence.h"
#include "SecureFolder.h"
#include "SetupDlg.h"
#include "SetupMessages.h"
#include "UserLaunch.h"

TEST(SetupProgress, EntriesShareNinetyFivePercent) {
    // Three entries: 31, 63, 95; a skipped middle entry still counts in i.
    EXPECT_EQ(31, EntryProgress(1, 3));
    EXPECT_EQ(63, EntryProgress(2, 3));
    EXPECT_EQ(95, EntryProgress(3, 3));
    EXPECT_EQ(95, EntryProgress(1, 1));
    EXPECT_EQ(0, EntryProgress(0, 7));
    EXPECT_EQ(13, EntryProgress(1, 7));  // 13.57 truncated
    EXPECT_EQ(0, EntryProgress(1, 0));
}

TEST(SetupPainting, BackgroundCyclesTwiceAndFillFollowsProgress) {
    const int expected[][2] = {{-5, 1}, {0, 1},  {12, 1}, {13, 2}, {25, 2}, {26, 3},
                               {37, 3}, {38, 4}, {50, 4}, {51, 1}, {62, 1}, {63, 2},
                               {75, 2}, {76, 3}, {87, 3}, {88, 4}, {100, 4}};
    for (const auto& e : expected) {
        EXPECT_EQ(e[1], CSetupDlg::SlideForProgress(e[0])) << "progress " << e[0];
    }
    EXPECT_EQ(0, CSetupDlg::FillWidthForProgress(0));
    EXPECT_EQ(245, CSetupDlg::FillWidthForProgress(50));
    EXPECT_EQ(475, CSetupDlg::FillWidthForProgress(97));
    EXPECT_EQ(490, CSetupDlg::FillWidthForProgress(100));
    EXPECT_EQ(4, CSetupDlg::FillWidthForProgress(1));  // 4.9 truncated
}

namespace {
class GdiplusSession : public testing::Test {
protected:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::Ok, Gdiplus::GdiplusStartup(&m_token, &input, NULL));
    }
    void TearDown() override { Gdiplus::GdiplusShutdown(m_token); }
    ULONG_PTR m_token = 0;
};
}  // namespace

// The test prefix maps no font to 微软雅黑 but has WenQuanYi installed.
TEST_F(GdiplusSession, FontTestNeedsBothEnumerationsAndGdiplusMatchesCaseExactly) {
    EXPECT_FALSE(CSetupDlg::IsFontAvailable(L"微软雅黑"));
    EXPECT_FALSE(CSetupDlg::HasGdiFontFace(L"微软雅黑"));
    EXPECT_TRUE(CSetupDlg::HasGdiFontFace(L"WenQuanYi Micro Hei"));
    EXPECT_TRUE(CSetupDlg::HasGdiFontFace(L"wenquanyi micro hei"));
    EXPECT_TRUE(CSetupDlg::HasGdiplusFontFamily(L"WenQuanYi Micro Hei"));
    EXPECT_FALSE(CSetupDlg::HasGdiplusFontFamily(L"wenquanyi micro hei"));
    EXPECT_TRUE(CSetupDlg::IsFontAvailable(L"WenQuanYi Micro Hei"));
    EXPECT_FALSE(CSetupDlg::IsFontAvailable(L"wenquanyi micro hei"));
}

// Constructing the window object does the start-up work without a window.
TEST_F(GdiplusSession, ConstructionPreparesPathsBufferAndKinds) {
    CSetupDlg dlg(NULL);
    EXPECT_STREQ(L"C:\\Tarvelo", dlg.m_szSetupPath);
    EXPECT_STREQ(L"C:\\temp", dlg.m_szTempPath);
    EXPECT_STREQ(L"C:\\UnInstall Tarvelo", dlg.m_szUnInstallPath);
    ASSERT_NE(nullptr, dlg.m_pDownloadBuf);
    EXPECT_EQ(0u, dlg.m_nDownloadLen);
    EXPECT_EQ(0, dlg.m_nProgress);
    EXPECT_EQ(1, dlg.m_bConfirmStop);
    EXPECT_EQ(L'\0', dlg.m_szProxyUser[0]);
    EXPECT_EQ(L'\0', dlg.m_szProxyPassword[0]);
    EXPECT_EQ((CKindSet{1, 3}), dlg.m_setInstallKind);
    // Every byte of the buffer starts zero (the list is read as text).
    for (DWORD i = 0; i < dlg.m_nDownloadBufSize; i += 4093) EXPECT_EQ(0, dlg.m_pDownloadBuf[i]);
}

TEST_F(GdiplusSession, SkinImagesAreKeptOnlyWhenTheyDecode) {
    const char kBroken[] = "this is no JPEG at all";
    EXPECT_EQ(nullptr, CSetupDlg::LoadSkinImage(kBroken, sizeof(kBroken)));
    HMODULE hModule = ::GetModuleHandleW(NULL);
    HRSRC hRes = ::FindResourceW(hModule, MAKEINTRESOURCEW(IDR_JGP_START), L"JGP");
    ASSERT_NE(nullptr, hRes);
    Gdiplus::Image* pImage = CSetupDlg::LoadSkinImage(::LockResource(::LoadResource(hModule, hRes)),
                                                      ::SizeofResource(hModule, hRes));
    ASSERT_NE(nullptr, pImage);
    EXPECT_EQ(530u, pImage->GetWidth());
    delete pImage;
}

namespace {
// Places the window where a taskbar at the top or left would, then records
// where the window is after the setup window's own initialisation.
class CPositionProbe : public CSetupDlg {
public:
    CPositionProbe() : CSetupDlg(NULL) {}
    BOOL OnInitDialog() override {
        ::SetWindowPos(m_hWnd, NULL, 37, 41, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        BOOL bResult = CSetupDlg::OnInitDialog();
        ::GetWindowRect(m_hWnd, &m_rcAfter);
        EndDialog(IDOK);
        return bResult;
    }
    RECT m_rcAfter = {};
};
}  // namespace

TEST_F(GdiplusSession, InitialisationSizesTheWindowWithoutMovingIt) {
    CPositionProbe dlg;
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ(37, dlg.m_rcAfter.left);
    EXPECT_EQ(41, dlg.m_rcAfter.top);
    EXPECT_EQ(530, dlg.m_rcAfter.right - dlg.m_rcAfter.left);
    EXPECT_EQ(360, dlg.m_rcAfter.bottom - dlg.m_rcAfter.top);
}

namespace {
// Hands the window 97 and then 100 through the view the install sequence
// holds, and records what the percent label says once each has arrived.
class CProgressProbe : public CSetupDlg {
public:
    CProgressProbe() : CSetupDlg(NULL) {}
    BOOL OnInitDialog() override {
        BOOL bResult = CSetupDlg::OnInitDialog();
        // A window that never hears of its progress ends here instead.
        ::SetTimer(m_hWnd, kGiveUp, 20000, NULL);
        View().ShowProgress(97);
        return bResult;
    }
    bool OnAppMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override {
        if (uMsg != WM_SETUP_PROGRESS) return CSetupDlg::OnAppMessage(uMsg, wParam, lParam);
        ::ValidateRect(m_hWnd, NULL);  // so that only the handler can ask for a repaint
        bool bHandled = CSetupDlg::OnAppMessage(uMsg, wParam, lParam);
        wchar_t szText[16] = {};
        ::GetDlgItemTextW(m_hWnd, IDC_STATIC_PERCENT, szText, 16);
        m_shown.push_back(szText);
        m_repaint.push_back(::GetUpdateRect(m_hWnd, NULL, FALSE) != FALSE);
        if (m_shown.size() == 1)
            View().ShowProgress(100);
        else
            EndDialog(IDOK);
        return bHandled;
    }
    bool OnTimer(UINT_PTR nIDEvent) override {
        if (nIDEvent != kGiveUp) return CSetupDlg::OnTimer(nIDEvent);
        EndDialog(IDCANCEL);
        return true;
    }
    std::vector<std::wstring> m_shown;
    std::vector<bool> m_repaint;

private:
    enum { kGiveUp = 1 };
    // The sequence's view of the window is a private base of it.
    ::IInstallView& View() { return *(::IInstallView*)this; }
};
}  // namespace

TEST_F(GdiplusSession, ProgressFromTheSequenceShowsInThePercentLabelAndRepaints) {
    CProgressProbe dlg;
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ((std::vector<std::wstring>{L"97%", L"100%"}), dlg.m_shown);
    EXPECT_EQ((std::vector<bool>{true, true}), dlg.m_repaint);
}

namespace {
// Tells the window it is now on a monitor at 150 %, with the rectangle the
// system suggests, and records where the window and its percent label are
// then and the labels' font.
class CDpiChangeProbe : public CSetupDlg {
public:
    CDpiChangeProbe() : CSetupDlg(NULL) {}
    BOOL OnInitDialog() override {
        BOOL bResult = CSetupDlg::OnInitDialog();
        RECT rcSuggested = {100, 50, 895, 590};
        ::SendMessageW(m_hWnd, WM_DPICHANGED, MAKEWPARAM(144, 144),
                       reinterpret_cast<LPARAM>(&rcSuggested));
        ::GetWindowRect(m_hWnd, &m_rcWindow);
        HWND hPercent = ::GetDlgItem(m_hWnd, IDC_STATIC_PERCENT);
        ::GetWindowRect(hPercent, &m_rcPercent);
        ::MapWindowPoints(NULL, m_hWnd, reinterpret_cast<POINT*>(&m_rcPercent), 2);
        LOGFONTW lf = {};
        HGDIOBJ hFont = reinterpret_cast<HGDIOBJ>(::SendMessageW(hPercent, WM_GETFONT, 0, 0));
        if (hFont && ::GetObjectW(hFont, sizeof(lf), &lf)) m_nFontHeight = lf.lfHeight;
        EndDialog(IDOK);
        return bResult;
    }
    RECT m_rcWindow = {};
    RECT m_rcPercent = {};
    LONG m_nFontHeight = 0;
};
}  // namespace

TEST_F(GdiplusSession, OnAMonitorOfAnotherScaleTheWindowLaysItselfOutAnew) {
    CDpiChangeProbe dlg;
    EXPECT_EQ(IDOK, dlg.DoModal());
    EXPECT_EQ(100, dlg.m_rcWindow.left);
    EXPECT_EQ(50, dlg.m_rcWindow.top);
    EXPECT_EQ(795, dlg.m_rcWindow.right - dlg.m_rcWindow.left);
    EXPECT_EQ(540, dlg.m_rcWindow.bottom - dlg.m_rcWindow.top);
    // {490, 341, 525, 359} at 96 DPI.
    EXPECT_EQ(735, dlg.m_rcPercent.left);
    EXPECT_EQ(512, dlg.m_rcPercent.top);
    EXPECT_EQ(788, dlg.m_rcPercent.right);
    EXPECT_EQ(539, dlg.m_rcPercent.bottom);
    EXPECT_EQ(21, dlg.m_nFontHeight);
}

// Without a desktop shell the client starts only as the session's own user:
// as SYSTEM through that user's token, as that user without administrator
// rights, and not at all as another account (an administrator who elevated
// for the user) or when nobody is signed in to the session.
TEST(ClientLaunch, OnlyTheSessionsOwnUserStartsTheClient) {
    BYTE abSystem[SECURITY_MAX_SID_SIZE], abAdmins[SECURITY_MAX_SID_SIZE];
    BYTE abUser[SECURITY_MAX_SID_SIZE];
    ASSERT_TRUE(MakeSid(WinLocalSystemSid, abSystem));
    ASSERT_TRUE(MakeSid(WinBuiltinAdministratorsSid, abAdmins));
    ASSERT_TRUE(MakeSid(WinLocalServiceSid, abUser));
    EXPECT_EQ(LaunchAsConsoleUser, ChooseLaunchAccount(abSystem, NULL));
    EXPECT_EQ(LaunchAsConsoleUser, ChooseLaunchAccount(abSystem, abUser));
    EXPECT_EQ(LaunchRestricted, ChooseLaunchAccount(abUser, abUser));
    EXPECT_EQ(LaunchNobody, ChooseLaunchAccount(abAdmins, abUser));
    EXPECT_EQ(LaunchNobody, ChooseLaunchAccount(abUser, NULL));
}
