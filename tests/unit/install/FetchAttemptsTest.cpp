#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ExitCodes.h"
#include "FetchAttempts.h"
#include "ReleaseList.h"
#include "TestUtil.h"

namespace {

class CFailureView : public IInstallView {
public:
    void ShowStatusText(const wchar_t*) override {}
    void ShowFailure(const wchar_t* psz) override { m_failures.push_back(psz); }
    void ShowProgress(int) override {}
    void ArmLaunchTimer() override {}
    std::vector<std::wstring> m_failures;
};

// What each call of the stand-in fetch answers, in order; FetchOk after.
std::vector<FetchResult> g_answers;
int g_nCalls = 0;
HANDLE g_hStopAfterCall = NULL;

FetchResult ScriptedFetch(CInstallState&, const wchar_t*, HWND) {
    const size_t i = static_cast<size_t>(g_nCalls++);
    if (g_hStopAfterCall && g_nCalls == 2) ::SetEvent(g_hStopAfterCall);
    return i < g_answers.size() ? g_answers[i] : FetchOk;
}

AttemptsEnd FetchScripted(CInstallState& state, CFailureView& view, CAttempts& attempts,
                          std::vector<FetchResult> answers, HANDLE hStop = NULL) {
    g_answers = answers;
    g_nCalls = 0;
    g_hStopAfterCall = hStop;
    return FetchWithAttempts(state, view, attempts, L"a.zip", hStop, NULL, ScriptedFetch, true);
}

}  // namespace

// A file gets five attempts (one server in the test build), each counted
// once, whatever failed; a refusal by the signed release in any of them is
// what the user reads at the end; a stop ends the attempts without a failure.
TEST(FetchAttempts, FiveAttemptsThenTheFilesFailureAndARefusalOutweighsTheRest) {
    ASSERT_EQ(5, AttemptsPerFile());
    CLogFile log;
    {
        CInstallState state;
        CFailureView view;
        CAttempts attempts;
        EXPECT_EQ(AttemptsFetched,
                  FetchScripted(state, view, attempts, {FetchFailed, FetchFailed}));
        EXPECT_EQ(3, g_nCalls);
        EXPECT_TRUE(view.m_failures.empty());
        EXPECT_EQ(1, log.Count(L"] 2 download a.zip failed"));
        // The same file's later failures (staging, unpacking) share the count.
        EXPECT_FALSE(
            attempts.Fail(state, view, false, L"安装%s失败", L"a.zip", kSetupUnpackFailed));
        EXPECT_FALSE(
            attempts.Fail(state, view, false, L"安装%s失败", L"a.zip", kSetupUnpackFailed));
        EXPECT_TRUE(attempts.Fail(state, view, false, L"安装%s失败", L"a.zip", kSetupUnpackFailed));
        EXPECT_EQ(std::vector<std::wstring>{L"安装a.zip失败"}, view.m_failures);
        EXPECT_EQ(kSetupUnpackFailed, state.m_nExitCode);
        EXPECT_EQ(0, state.m_bConfirmStop);
    }
    {
        CInstallState state;
        CFailureView view;
        CAttempts attempts;
        EXPECT_EQ(AttemptsSpent, FetchScripted(state, view, attempts,
                                               {FetchRefused, FetchFailed, FetchFailed, FetchFailed,
                                                FetchFailed, FetchOk}));
        EXPECT_EQ(5, g_nCalls);
        EXPECT_EQ(std::vector<std::wstring>{L"安装包校验失败"}, view.m_failures);
        EXPECT_EQ(kSetupReleaseRefused, state.m_nExitCode);
    }
    {
        CInstallState state;
        CFailureView view;
        CAttempts attempts;
        EXPECT_EQ(AttemptsSpent,
                  FetchScripted(state, view, attempts, std::vector<FetchResult>(5, FetchFailed)));
        EXPECT_EQ(std::vector<std::wstring>{L"下载a.zip失败"}, view.m_failures);
        EXPECT_EQ(kSetupDownloadFailed, state.m_nExitCode);
        // A package that can never unpack spends what is left at once.
        CAttempts unusable;
        unusable.SpendAll();
        EXPECT_TRUE(unusable.Fail(state, view, false, L"安装%s失败", L"b.zip", kSetupUnpackFailed));
    }
    {
        CInstallState state;
        CFailureView view;
        CAttempts attempts;
        HANDLE hStop = ::CreateEventW(NULL, FALSE, FALSE, NULL);
        EXPECT_EQ(AttemptsStopped, FetchScripted(state, view, attempts,
                                                 std::vector<FetchResult>(5, FetchFailed), hStop));
        ::CloseHandle(hStop);
        EXPECT_EQ(2, g_nCalls);
        EXPECT_TRUE(view.m_failures.empty());
        EXPECT_EQ(-1, state.m_nExitCode);
    }
}

// Room for a verified release: packages of the kinds that apply, five
// times their zipped size (unpacked and staged), the uninstaller, 64 MiB.
TEST(ReleaseList, SpaceNeededCountsOnlyWhatThisMachineInstalls) {
    ReleaseManifest manifest = ReleaseManifest();
    manifest.vecFiles.resize(3);
    lstrcpynW(manifest.vecFiles[0].szName, L"core.zip", 32);
    manifest.vecFiles[0].cbSize = 512u << 20;
    lstrcpynW(manifest.vecFiles[1].szName, L"font.zip", 32);
    manifest.vecFiles[1].cbSize = 1000;
    lstrcpynW(manifest.vecFiles[2].szName, L"UnInstall.exe", 32);
    manifest.vecFiles[2].cbSize = 7;
    std::vector<SetupListEntry> list(3, SetupListEntry());
    lstrcpynW(list[0].szName, L"core.zip", 32);
    list[0].nKind = 1;
    lstrcpynW(list[1].szName, L"font.zip", 32);
    list[1].nKind = 2;
    lstrcpynW(list[2].szName, L"unlisted.zip", 32);
    list[2].nKind = 1;
    const ULONGLONG ullBase = 64ull << 20;
    // Past 4 GiB: a 32-bit sum would wrap to a small figure.
    EXPECT_EQ(ullBase + 5ull * (512u << 20) + 7, SpaceNeeded(manifest, list, {1, 3}));
    EXPECT_EQ(ullBase + 5ull * (512u << 20) + 5000 + 7, SpaceNeeded(manifest, list, {1, 2}));
    manifest.vecFiles.pop_back();
    EXPECT_EQ(ullBase + 5000, SpaceNeeded(manifest, list, {2}));
}
