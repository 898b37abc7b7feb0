#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "NetTestUtil.h"
#include "Registration.h"
#include "RegistrationTestUtil.h"

namespace {

// The installer asks its built-in host; the test proxy forwards whatever
// host a request names to the test server, so every request here goes
// through the proxy with the credentials already known (no dialog).
class UninstallDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        if (!HaveServers()) GTEST_SKIP() << "needs tests/servers/with_servers.py";
        m_proxy.reset(new CProxySettings());
        ::DeleteFileW((GetEnv(L"TEST_SERVE_DIR") + L"\\UnInstall.exe").c_str());
        lstrcpynW(m_buf.szUser, GetEnv(L"TEST_PROXY_USER").c_str(), 64);
        lstrcpynW(m_buf.szPassword, GetEnv(L"TEST_PROXY_PASSWORD").c_str(), 64);
        // What an earlier download left in the window's buffer.
        memset(m_buf.pBuf, 0xAA, m_buf.nCapacity);
        m_buf.nSize = 100;
    }
    bool Download(const std::wstring& folder) {
        return DownloadUninstallFile(folder.c_str(), &m_buf.pBuf, &m_buf.nSize, &m_buf.nCapacity,
                                     m_buf.szUser, m_buf.szPassword, NULL);
    }

    std::unique_ptr<CProxySettings> m_proxy;
    CDownloadBuffer m_buf{4096};
    CLogFile m_log;
};

}  // namespace

TEST_F(UninstallDownloadTest, FetchesTheUninstallerIntoTheFolderReplacingTheOldOne) {
    CTempFolder tmp(L"undl");
    ASSERT_TRUE(WriteFileBytes(tmp.Sub(L"UnInstall.exe"), std::string(9000, 'o')));
    std::string body = Pattern(6000, 3);  // larger than the buffer: it grows
    ASSERT_TRUE(Serve(L"UnInstall.exe", body));

    EXPECT_TRUE(Download(tmp.Path()));
    std::string got;
    ASSERT_TRUE(ReadFileBytes(tmp.Sub(L"UnInstall.exe"), &got));
    EXPECT_TRUE(got == body) << "got " << got.size() << " bytes";
    EXPECT_EQ(0, m_log.Count(L"[Error]"));
    EXPECT_EQ(1, m_log.Count(L"][CSetupDlg::DownloadUninstallFile] Download UnInstall.exe "
                             L"seccuss\r\n"));
    EXPECT_EQ(1, m_log.Count(L"][CSetupDlg::DownloadUninstallFile] Create file UnInstall.exe "
                             L"seccuss\r\n"));
    EXPECT_NE(std::string::npos, ReadProxyLog().find("forward tester /EX/UnInstall.exe"));
}

TEST_F(UninstallDownloadTest, AFailedDownloadMakesNoFileAndTheOtherStepsStillRun) {
    CTempFolder tmp(L"undl");
    std::wstring un = tmp.Sub(L"UnInstall Tarvelo");
    std::wstring inst = tmp.Sub(L"Tarvelo");
    std::wstring desktop = tmp.Sub(L"Desktop");
    std::wstring programs = tmp.Sub(L"Programs");
    ASSERT_TRUE(::CreateDirectoryW(un.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW(desktop.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW(programs.c_str(), NULL));

    EXPECT_FALSE(Download(un));  // nothing served: 404
    EXPECT_FALSE(FileExists(un + L"\\UnInstall.exe"));
    EXPECT_EQ(1, m_log.Count(L"][CSetupDlg::DownloadUninstallFile] download UnInstall.exe "
                             L"failed\r\n"));
    EXPECT_EQ(0, m_log.Count(L"seccuss"));

    // The steps that follow in the installation do not depend on it.
    CRegValueOverride desk(HKEY_CURRENT_USER,
                           L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                           L"Desktop");
    CRegValueOverride menu(HKEY_LOCAL_MACHINE,
                           L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                           L"Common Programs");
    ASSERT_TRUE(desk.SetString(desktop));
    ASSERT_TRUE(menu.SetString(programs));
    HKEY hKey = NULL;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyW(HKEY_LOCAL_MACHINE,
                              L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", &hKey));
    ::RegCloseKey(hKey);

    SetDesktopShellLink(L"塔维罗", inst.c_str(), (inst + L"/iKVTRemote.exe").c_str(),
                        (inst + L"/favicon.ico").c_str());
    EXPECT_TRUE(SetStartShellLink(inst.c_str(), un.c_str()));
    WriteRegistry(inst.c_str(), un.c_str());

    EXPECT_TRUE(LoadLink(desktop + L"\\塔维罗.lnk").bLoaded);
    EXPECT_TRUE(LoadLink(programs + L"\\塔维罗\\塔维罗.lnk").bLoaded);
    EXPECT_TRUE(LoadLink(programs + L"\\塔维罗\\卸载塔维罗.lnk").bLoaded);
    const wchar_t kEntry[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvelo";
    wchar_t szCommand[MAX_PATH] = {0};
    DWORD cb = sizeof(szCommand);
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, kEntry, L"UninstallString",
                                            RRF_RT_REG_SZ, NULL, szCommand, &cb));
    EXPECT_EQ(L"\"" + un + L"\\UnInstall.exe\" \"" + inst + L"\"", std::wstring(szCommand));
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEntry);
}
