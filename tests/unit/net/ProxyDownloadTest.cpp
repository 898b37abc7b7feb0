#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "HttpDownload.h"
#include "NetTestUtil.h"

namespace {

const wchar_t kNeedCheck[] =
    L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  need check username and password\r\n";
const wchar_t kSuccess[] =
    L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  check username and password "
    L"success\r\n";
const wchar_t kCancel[] =
    L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]] check username and password "
    L"cancle\r\n";
const wchar_t kFailed[] =
    L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  check username and password "
    L"failed\r\n";

// Every test here goes through the authenticating proxy.
class ProxyDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        // Run alone, outside tests/servers/with_servers.py, it has nothing to
        // talk to; a missing server is a failure, never a skip.
        ASSERT_TRUE(HaveServers()) << "needs tests/servers/with_servers.py";
        StartProxyAsking();
        m_proxy.reset(new CProxySettings());
        ASSERT_TRUE(Serve(L"proxy.log", ""));
        m_user = GetEnv(L"TEST_PROXY_USER");
        m_password = GetEnv(L"TEST_PROXY_PASSWORD");
        m_name = L"proxied_" + std::to_wstring(++s_nTest) + L".bin";
        m_body = Pattern(40000, s_nTest);
        ASSERT_TRUE(Serve(m_name, m_body));
    }
    void TearDown() override { m_proxy.reset(); }
    size_t ProxyLines(const std::string& line) {
        std::string log = ReadProxyLog();
        size_t n = 0;
        for (size_t pos = log.find(line); pos != std::string::npos; pos = log.find(line, pos + 1))
            ++n;
        return n;
    }
    std::string Path() { return "/EX/" + std::string(m_name.begin(), m_name.end()); }
    std::string User() { return std::string(m_user.begin(), m_user.end()); }

    static int s_nTest;
    std::unique_ptr<CProxySettings> m_proxy;
    CLogFile m_log;
    std::wstring m_user, m_password, m_name;
    std::string m_body;
};
int ProxyDownloadTest::s_nTest = 0;

}  // namespace

TEST_F(ProxyDownloadTest, HeldCredentialsAreSentWithoutTheDialogToTheProxyOnly) {
    ASSERT_TRUE(SetRule(m_name, "log=1\n"));
    CUiDriver ui;
    CTestBuffer buf(4096);
    wcscpy(buf.szUser, m_user.c_str());
    wcscpy(buf.szPassword, m_password.c_str());
    ASSERT_TRUE(buf.Fetch(ServerUrl(m_name)));
    EXPECT_TRUE(buf.Data() == m_body);
    EXPECT_EQ(0, ui.DialogCount());
    EXPECT_EQ(1, m_log.Count(kNeedCheck));
    EXPECT_EQ(1, m_log.Count(kSuccess));
    // The first request meets the challenge (WinINet may send it more than
    // once before it gives up); only the credentials get through.
    EXPECT_LE(1u, ProxyLines(" 407  " + Path() + "\n"));
    EXPECT_EQ(1u, ProxyLines(" forward " + User() + " " + Path() + "\n"));
    EXPECT_EQ(m_user, buf.szUser);
    // The proxy passes on every header that is not its own, as real ones
    // do: the server never sees a credential.
    std::string requests;
    ASSERT_TRUE(
        ReadFileBytes(GetEnv(L"TEST_SERVE_DIR") + L"\\" + m_name + L".requests", &requests));
    EXPECT_EQ("range=- if-range=- auth=-\n", requests);
}

TEST_F(ProxyDownloadTest, AnEmptyPasswordAsksOnceAndTheAnswerServesTheRun) {
    CUiDriver ui;
    ui.Queue(CUiDriver::kOk, m_user, m_password);
    CTestBuffer buf(4096);
    wcscpy(buf.szUser, L"someone-else");
    ASSERT_TRUE(buf.Fetch(ServerUrl(m_name)));
    EXPECT_EQ(1, ui.DialogCount());
    EXPECT_TRUE(buf.Data() == m_body);
    // The dialog's entries replace both buffers.
    EXPECT_EQ(m_user, buf.szUser);
    EXPECT_EQ(m_password, buf.szPassword);

    ASSERT_TRUE(buf.Fetch(ServerUrl(m_name)));
    EXPECT_EQ(1, ui.DialogCount());
    EXPECT_EQ(2, m_log.Count(kSuccess));
    EXPECT_EQ(2u, ProxyLines(" forward " + User() + " " + Path() + "\n"));
}

TEST_F(ProxyDownloadTest, ACancelledDialogFailsKeepsTheBuffersAndAsksAgainNextTime) {
    CUiDriver ui;
    ui.Queue(CUiDriver::kCancelButton);
    ui.Queue(CUiDriver::kEscape, L"typed-but", L"escaped");
    ui.Queue(CUiDriver::kCloseBox, L"typed-but", L"closed");
    CTestBuffer buf(4096);
    wcscpy(buf.szUser, L"kept");
    for (int i = 1; i <= 3; ++i) {
        EXPECT_FALSE(buf.Fetch(ServerUrl(m_name))) << i;
        EXPECT_EQ(i, ui.DialogCount());
        EXPECT_STREQ(L"kept", buf.szUser);
        EXPECT_STREQ(L"", buf.szPassword);
        EXPECT_EQ(0u, buf.nSize);
    }
    EXPECT_EQ(3, m_log.Count(kCancel));
    EXPECT_EQ(0, m_log.Count(L"[Error]"));
    EXPECT_EQ(0u, ProxyLines(" forward "));
    EXPECT_TRUE(ui.MessageBoxes().empty());
}

// A rejection is said, the entries forgotten and asked for again: a typo
// costs one more dialog, not the run; three dialogs are the run's limit.
TEST_F(ProxyDownloadTest, RejectedCredentialsAreForgottenAndAskedAgainThreeTimesARun) {
    COwnerWindow owner;
    ASSERT_NE(nullptr, owner.Get());
    CUiDriver ui;
    ui.Queue(CUiDriver::kOk, m_user, L"wrong");
    ui.Queue(CUiDriver::kOk, m_user, m_password);
    CTestBuffer buf(4096);
    ASSERT_TRUE(buf.Fetch(ServerUrl(m_name), owner.Get()));
    EXPECT_TRUE(buf.Data() == m_body);
    EXPECT_EQ(2, ui.DialogCount());
    std::vector<CUiDriver::MessageBoxSeen> boxes = ui.MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(owner.Get(), boxes[0].hOwner);
    EXPECT_NE(boxes[0].texts.end(),
              std::find(boxes[0].texts.begin(), boxes[0].texts.end(), L"用户名密码验证失败"));
    EXPECT_EQ(1, m_log.Count(kFailed));
    EXPECT_EQ(1, m_log.Count(kSuccess));

    // One ask left in this run: rejected, forgotten, and then no dialog.
    ui.Queue(CUiDriver::kOk, m_user, L"wrong again");
    buf.szPassword[0] = 0;
    EXPECT_FALSE(buf.Fetch(ServerUrl(m_name), owner.Get()));
    EXPECT_EQ(3, ui.DialogCount());
    EXPECT_STREQ(L"", buf.szUser);
    EXPECT_STREQ(L"", buf.szPassword);
    EXPECT_FALSE(buf.Fetch(ServerUrl(m_name), owner.Get()));
    EXPECT_EQ(3, ui.DialogCount());
    EXPECT_EQ(2u, ui.MessageBoxes().size());
    EXPECT_EQ(1u, ProxyLines(" forward " + User() + " " + Path() + "\n"));
}

TEST_F(ProxyDownloadTest, AnErrorStatusBehindTheProxyIsAFailedDownloadNotARejection) {
    CUiDriver ui;
    CTestBuffer buf(4096);
    wcscpy(buf.szUser, m_user.c_str());
    wcscpy(buf.szPassword, m_password.c_str());
    EXPECT_FALSE(buf.Fetch(ServerUrl(L"not-there.zip")));
    EXPECT_TRUE(ui.MessageBoxes().empty());
    EXPECT_EQ(1, m_log.Count(L"]  status=404 lpUrl=" + ServerUrl(L"not-there.zip") + L"\r\n"));
    EXPECT_EQ(0, m_log.Count(kFailed));
}

TEST_F(ProxyDownloadTest, TheDialogAnswersRealKeyStrokes) {
    if (GetEnv(L"TEST_TYPIST").empty()) GTEST_SKIP() << "no xdotool typist on a test display";
    // Nothing in the process touches the dialog: the typist focuses it, tabs
    // from the OK button into the edits, types and presses Enter.
    CUiDriver ui;
    ui.Queue(CUiDriver::kLeaveAlone);
    ASSERT_TRUE(RequestTypist(User(), std::string(m_password.begin(), m_password.end()), true));
    CTestBuffer buf(4096);
    wcscpy(buf.szUser, m_user.c_str());
    ASSERT_TRUE(buf.Fetch(ServerUrl(m_name)));
    EXPECT_EQ(1, ui.DialogCount());
    EXPECT_EQ(m_user, buf.szUser);
    EXPECT_EQ(m_password, buf.szPassword);
    EXPECT_TRUE(buf.Data() == m_body);
}
