#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "InstallSequence.h"
#include "NetTestUtil.h"
#include "ReleaseFetch.h"

namespace {

// The installer asks its built-in host; the test proxy forwards whatever
// host a request names to the test server, so every request here goes
// through the proxy with the credentials already known (no dialog).
class UninstallDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        // Run alone, outside tests/servers/with_servers.py, it has nothing to
        // talk to; a missing server is a failure, never a skip.
        ASSERT_TRUE(HaveServers()) << "needs tests/servers/with_servers.py";
        m_proxy.reset(new CProxySettings());
        ::DeleteFileW((GetEnv(L"TEST_SERVE_DIR") + L"\\UnInstall.exe").c_str());
        lstrcpynW(m_state.m_szProxyUser, GetEnv(L"TEST_PROXY_USER").c_str(), 64);
        lstrcpynW(m_state.m_szProxyPassword, GetEnv(L"TEST_PROXY_PASSWORD").c_str(), 64);
        // What an earlier download left in the window's buffer.
        memset(m_state.m_pDownloadBuf, 0xAA, m_state.m_nDownloadBufSize);
        m_state.m_nDownloadLen = 100;
    }
    FetchResult Download(const std::wstring& folder) {
        lstrcpynW(m_state.m_szUnInstallPath, folder.c_str(), MAX_PATH);
        return DownloadUninstallFile(m_state, m_state.m_szUnInstallPath, NULL);
    }

    std::unique_ptr<CProxySettings> m_proxy;
    CInstallState m_state;
    CLogFile m_log;
};

}  // namespace

TEST_F(UninstallDownloadTest, FetchesTheUninstallerBesideTheRegisteredOne) {
    CTempFolder tmp(L"undl");
    const std::string old(9000, 'o');
    ASSERT_TRUE(WriteFileBytes(tmp.Sub(L"UnInstall.exe"), old));
    std::string body = ProgramBytes(6000);
    ASSERT_TRUE(Serve(L"UnInstall.exe", body));

    EXPECT_EQ(FetchOk, Download(tmp.Path()));
    // The registered one stays until the installation is swapped in.
    std::string got;
    ASSERT_TRUE(ReadFileBytes(tmp.Sub(L"UnInstall.exe.new"), &got));
    EXPECT_TRUE(got == body) << "got " << got.size() << " bytes";
    ASSERT_TRUE(ReadFileBytes(tmp.Sub(L"UnInstall.exe"), &got));
    EXPECT_TRUE(got == old);
    EXPECT_EQ(0, m_log.Count(L"[Error]"));
    EXPECT_EQ(1, m_log.Count(L"][CSetupDlg::DownloadUninstallFile] Download UnInstall.exe "
                             L"seccuss\r\n"));
    EXPECT_EQ(1, m_log.Count(L"][CSetupDlg::DownloadUninstallFile] Create file UnInstall.exe "
                             L"seccuss\r\n"));
    EXPECT_NE(std::string::npos, ReadProxyLog().find("forward tester /EX/UnInstall.exe"));
}

// What the sequence does after a failed attempt (another attempt, then the
// failure, nothing registered) is the end-to-end suites' concern.
TEST_F(UninstallDownloadTest, AFailedDownloadLeavesNoFile) {
    CTempFolder tmp(L"undl");
    std::wstring un = tmp.Sub(L"UnInstall Tarvelo");
    ASSERT_TRUE(::CreateDirectoryW(un.c_str(), NULL));

    EXPECT_EQ(FetchFailed, Download(un));  // nothing served: 404
    EXPECT_FALSE(FileExists(un + L"\\UnInstall.exe.new"));
    EXPECT_EQ(1, m_log.Count(L"][CSetupDlg::DownloadUninstallFile] download UnInstall.exe "
                             L"failed\r\n"));
    EXPECT_EQ(0, m_log.Count(L"seccuss"));
}
