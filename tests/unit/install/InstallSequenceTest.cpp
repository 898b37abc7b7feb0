#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "InstallSequence.h"
#include "TestUtil.h"

namespace {
// Records what the sequence shows, in order.
class CRecordingView : public IInstallView {
public:
    void ShowStatusText(const wchar_t* psz) override {
        m_calls.push_back(L"status:" + std::wstring(psz));
    }
    void ShowFailure(const wchar_t* psz) override {
        m_calls.push_back(L"failure:" + std::wstring(psz));
    }
    void ShowProgress(int n) override { m_calls.push_back(L"progress:" + std::to_wstring(n)); }
    void ArmLaunchTimer() override { m_calls.push_back(L"timer"); }
    std::vector<std::wstring> m_calls;
};
}  // namespace

TEST(InstallSequence, WithoutADriveItFailsVisiblyAndWritesNothing) {
    CTempFolder tmp(L"seq");
    wchar_t szCwd[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, szCwd);
    ::SetCurrentDirectoryW(tmp.Path().c_str());
    CRecordingView view;
    CInstallState state;  // paths empty, as when no drive could be chosen
    {
        CLogFile log(tmp.Sub(L"log.txt"));
        state.m_setInstallKind = {1, 3};
        HANDLE hStop = ::CreateEventW(NULL, FALSE, FALSE, NULL);
        RunInstallSequence(state, view, hStop, NULL);
        ::CloseHandle(hStop);
        ::SetCurrentDirectoryW(szCwd);
        EXPECT_EQ(1, log.Count(L"[Error]["));
        EXPECT_EQ(1, log.Count(L"][CSetupDlg::Execute] no install folder\r\n"));
    }
    ASSERT_EQ(1u, view.m_calls.size());
    EXPECT_EQ(L"failure:无法确定安装位置", view.m_calls[0]);
    EXPECT_EQ(0, state.m_bConfirmStop);
    EXPECT_EQ(0u, state.m_nDownloadLen);  // nothing fetched
    // Nothing appeared in the current folder but the log.
    EXPECT_EQ(std::vector<std::wstring>{L"log.txt"}, ListFolder(tmp.Path()));
}

TEST(InstallSequence, AnExceptionEndsTheInstallationAsAVisibleFailure) {
    // The first thing shown throws, as an allocation deep in a step might.
    class CThrowingView : public CRecordingView {
    public:
        void ShowFailure(const wchar_t* psz) override {
            if (!m_bThrown) {
                m_bThrown = true;
                throw std::bad_alloc();
            }
            CRecordingView::ShowFailure(psz);
        }
        bool m_bThrown = false;
    } view;
    CTempFolder tmp(L"seq");
    CLogFile log(tmp.Sub(L"log.txt"));
    CInstallState state;
    RunInstallSequence(state, view, NULL, NULL);
    EXPECT_EQ(std::vector<std::wstring>{L"failure:安装失败"}, view.m_calls);
    EXPECT_EQ(0, state.m_bConfirmStop);
    EXPECT_EQ(1, log.Count(L"[Error]["));
    EXPECT_EQ(1, log.Count(L"][CSetupDlg::Execute] exception\r\n"));
}

TEST(InstallSequence, StateStartsWithAZeroedBufferForTheLargestPackage) {
    CInstallState state;
    ASSERT_NE(nullptr, state.m_pDownloadBuf);
    // The publisher's largest package (16 MiB) and a megabyte to spare.
    EXPECT_EQ(17825792u, state.m_nDownloadBufSize);
    EXPECT_EQ(0, state.m_pDownloadBuf[0]);
    EXPECT_EQ(0, state.m_pDownloadBuf[17825791]);
    EXPECT_EQ(1, state.m_bConfirmStop);
    EXPECT_EQ(L'\0', state.m_szSetupPath[0]);
}
