#include <gtest/gtest.h>
#include <string.h>

#include "HttpDownload.h"
#include "NetTestUtil.h"

namespace {

const DWORD kWindowBufSize = 10485760;

class HttpDownloadTest : public testing::Test {
protected:
    void SetUp() override {
        // Run alone, outside tests/servers/with_servers.py, it has nothing to
        // talk to; a missing server is a failure, never a skip.
        ASSERT_TRUE(HaveServers()) << "needs tests/servers/with_servers.py";
    }
    CLogFile m_log;
};

// Each test serves its own names, so the server's per-path counters and
// rules never leak between tests.
std::wstring Name(const wchar_t* pszTag) {
    static int s_n = 0;
    return std::wstring(pszTag) + L"_" + std::to_wstring(++s_n) + L".bin";
}

}  // namespace

TEST_F(HttpDownloadTest, RefusesANullUrlAndBadBufferArgumentsWithoutTouchingAnything) {
    CTestBuffer buf(16);
    buf.pBuf[0] = 0x5A;
    buf.nSize = 1;
    EXPECT_FALSE(HttpDownload(NULL, &buf.pBuf, &buf.nSize, &buf.nCapacity, buf.szUser,
                              buf.szPassword, NULL));
    EXPECT_EQ(1, m_log.Count(L"[Error]"));
    EXPECT_EQ(1, m_log.Count(L"][HttpDownload  lpUrl]  lpUrl is null\r\n"));
    EXPECT_EQ(0x5A, buf.pBuf[0]);
    EXPECT_EQ(1u, buf.nSize);
    EXPECT_EQ(16u, buf.nCapacity);

    // A held size beyond the block, or a missing block that claims a size,
    // would have the body written out of bounds.
    std::wstring url = ServerUrl(L"never-asked");
    DWORD nSize = 17, nCapacity = 16;
    EXPECT_FALSE(
        HttpDownload(url.c_str(), &buf.pBuf, &nSize, &nCapacity, buf.szUser, buf.szPassword, NULL));
    BYTE* pNull = NULL;
    nSize = 0;
    EXPECT_FALSE(
        HttpDownload(url.c_str(), &pNull, &nSize, &nCapacity, buf.szUser, buf.szPassword, NULL));
    EXPECT_EQ(NULL, pNull);
}

TEST_F(HttpDownloadTest, BodiesArriveByteExactAndAppendAfterHeldData) {
    std::wstring big = Name(L"big"), empty = Name(L"empty");
    std::string body = Pattern(3 * 1024 * 1024 + 7, 1);
    ASSERT_TRUE(Serve(big, body));
    ASSERT_TRUE(Serve(empty, ""));

    CTestBuffer buf(kWindowBufSize);
    ASSERT_TRUE(buf.Fetch(ServerUrl(big)));
    EXPECT_EQ(body.size(), buf.nSize);
    EXPECT_TRUE(buf.Data() == body);
    EXPECT_EQ(kWindowBufSize, buf.nCapacity);
    EXPECT_EQ(0, buf.pBuf[buf.nSize]);

    ASSERT_TRUE(buf.Fetch(ServerUrl(empty)));
    EXPECT_EQ(0u, buf.nSize);
    EXPECT_EQ(kWindowBufSize, buf.nCapacity);

    // Without the caller's reset the body goes after what is held.
    memcpy(buf.pBuf, "head", 4);
    buf.nSize = 4;
    ASSERT_TRUE(Serve(empty, "tail"));
    ASSERT_TRUE(HttpDownload(ServerUrl(empty).c_str(), &buf.pBuf, &buf.nSize, &buf.nCapacity,
                             buf.szUser, buf.szPassword, NULL));
    EXPECT_EQ("headtail", buf.Data());
    // A successful download writes no log line of its own.
    EXPECT_EQ(L"", m_log.Text());
}

TEST_F(HttpDownloadTest, GrowsOnlyPastTheBlockWithOneMebibyteOfZeroedHeadroom) {
    // One byte more than the window's block: exactly one growth, to the held
    // size plus 1 MiB, with the old data copied and zeros after the body.
    std::wstring over = Name(L"over");
    std::string body = Pattern(kWindowBufSize + 1, 2);
    ASSERT_TRUE(Serve(over, body));
    CTestBuffer buf(kWindowBufSize);
    ASSERT_TRUE(buf.Fetch(ServerUrl(over)));
    EXPECT_EQ(11534337u, buf.nCapacity);
    ASSERT_EQ(body.size(), buf.nSize);
    EXPECT_TRUE(buf.Data() == body);
    std::string tail(reinterpret_cast<char*>(buf.pBuf) + buf.nSize, buf.nCapacity - buf.nSize);
    EXPECT_EQ(std::string(buf.nCapacity - buf.nSize, '\0'), tail);

    // A body that fills the block exactly stays in it: no growth, no zero
    // byte after the data.
    std::wstring exact = Name(L"exact");
    std::string fill = Pattern(5000, 3);
    ASSERT_TRUE(Serve(exact, fill));
    CTestBuffer small(5000);
    BYTE* pBefore = small.pBuf;
    ASSERT_TRUE(small.Fetch(ServerUrl(exact)));
    EXPECT_EQ(5000u, small.nCapacity);
    EXPECT_EQ(pBefore, small.pBuf);
    EXPECT_TRUE(small.Data() == fill);

    // A null block of size 0 grows at the first read to that read's bytes
    // plus 1 MiB, which then holds the whole small body.
    std::wstring first = Name(L"first");
    std::string some = Pattern(2500, 4);
    ASSERT_TRUE(Serve(first, some));
    CTestBuffer none(0);
    ASSERT_TRUE(none.Fetch(ServerUrl(first)));
    ASSERT_NE(nullptr, none.pBuf);
    EXPECT_GT(none.nCapacity, 1048576u);
    EXPECT_LE(none.nCapacity, 1048576u + 1000u);
    EXPECT_TRUE(none.Data() == some);
}

TEST_F(HttpDownloadTest, ABlockThatWouldPassFourGibibytesFailsInsteadOfWrapping) {
    std::wstring name = Name(L"wrap");
    ASSERT_TRUE(Serve(name, Pattern(3000, 5)));
    // The sizes claim a block just under 4 GiB; the growth must be refused
    // before anything is written, so the small real block is never overrun.
    BYTE* pBuf = new BYTE[16]();
    BYTE* pBefore = pBuf;
    DWORD nSize = 0xFFFFFF00u, nCapacity = 0xFFFFFF00u;
    wchar_t szUser[64] = {0}, szPassword[64] = {0};
    EXPECT_FALSE(
        HttpDownload(ServerUrl(name).c_str(), &pBuf, &nSize, &nCapacity, szUser, szPassword, NULL));
    EXPECT_EQ(pBefore, pBuf);
    EXPECT_EQ(0xFFFFFF00u, nSize);
    EXPECT_EQ(0xFFFFFF00u, nCapacity);
    EXPECT_EQ(1, m_log.Count(L"[HttpDownload  InternetReadFile]  new buffer failed"));
    delete[] pBuf;
}

TEST_F(HttpDownloadTest, ErrorStatusesAreFailedDownloadsNamingStatusAndUrl) {
    std::wstring missing = Name(L"missing"), broken = Name(L"broken");
    ASSERT_TRUE(Serve(broken, "an error page that is not the file"));
    ASSERT_TRUE(SetRule(broken, "status=500\n"));

    CTestBuffer buf(4096);
    EXPECT_FALSE(buf.Fetch(ServerUrl(missing)));
    EXPECT_EQ(1, m_log.Count(L"[Error]"));
    EXPECT_EQ(1, m_log.Count(L"]  status=404 lpUrl=" + ServerUrl(missing) + L"\r\n"));
    EXPECT_FALSE(buf.Fetch(ServerUrl(broken)));
    EXPECT_EQ(1, m_log.Count(L"]  status=500 lpUrl=" + ServerUrl(broken) + L"\r\n"));
    EXPECT_EQ(0u, buf.nSize);
}

TEST_F(HttpDownloadTest, UnreachableServersAndBadUrlsFailAtOpen) {
    // Port 1 on loopback: nobody listens, the connection is refused.
    CTestBuffer buf(4096);
    EXPECT_FALSE(buf.Fetch(L"http://127.0.0.1:1/EX/orbsetup.txt"));
    EXPECT_EQ(1, m_log.Count(L"[HttpDownload  InternetOpenUrl]  error=12029 "
                             L"lpUrl=http://127.0.0.1:1/EX/orbsetup.txt\r\n"));
    EXPECT_FALSE(buf.Fetch(L""));
    EXPECT_FALSE(buf.Fetch(L"not a url"));
    EXPECT_EQ(3, m_log.Count(L"[HttpDownload  InternetOpenUrl]  error="));

    // A URL longer than any the downloader holds is refused, never cut to
    // a shorter one that names another file; nothing is asked for.
    std::wstring name = Name(L"long");
    ASSERT_TRUE(Serve(name, "x"));
    ASSERT_TRUE(SetRule(name, "log=1\n"));
    const std::wstring url = ServerUrl(name) + L"?" + std::wstring(2100, L'a');
    EXPECT_FALSE(buf.Fetch(url));
    EXPECT_EQ(1, m_log.Count(L"[HttpDownload  lpUrl]  too long lpUrl=" + url + L"\r\n"));
    std::string requests;
    EXPECT_FALSE(ReadFileBytes(GetEnv(L"TEST_SERVE_DIR") + L"\\" + name + L".requests", &requests));
    EXPECT_EQ(0u, buf.nSize);
}

TEST_F(HttpDownloadTest, AConnectionThatEndsEarlyIsNotAWholeBody) {
    // With a Content-Length, a cut is a failure, and what arrived stays
    // counted in the held size.
    std::wstring cut = Name(L"cut");
    std::string body = Pattern(200000, 6);
    ASSERT_TRUE(Serve(cut, body));
    ASSERT_TRUE(SetRule(cut, "close_after=150000\n"));
    CTestBuffer buf(kWindowBufSize);
    EXPECT_FALSE(buf.Fetch(ServerUrl(cut)));
    EXPECT_LE(buf.nSize, 150000u);
    EXPECT_TRUE(buf.Data() == body.substr(0, buf.nSize));
    // The network layer may report the cut as a clean end of data; the
    // announced length still tells.
    EXPECT_EQ(1, m_log.Count(L"[Error]"));
    EXPECT_EQ(1, m_log.Count(L"[HttpDownload  InternetReadFile]  "));

    // Without one, the closed connection is the end of the body by
    // definition: everything sent is the download.
    std::wstring open = Name(L"open");
    ASSERT_TRUE(Serve(open, body));
    ASSERT_TRUE(SetRule(open, "no_length=1\n"));
    ASSERT_TRUE(buf.Fetch(ServerUrl(open)));
    EXPECT_TRUE(buf.Data() == body);

    // A server that drops the request without an answer fails the call;
    // the routine does not repeat it by itself, the caller does.
    std::wstring flaky = Name(L"flaky");
    ASSERT_TRUE(Serve(flaky, "third time lucky"));
    ASSERT_TRUE(SetRule(flaky, "fail_first=2\n"));
    EXPECT_FALSE(buf.Fetch(ServerUrl(flaky)));
    EXPECT_FALSE(buf.Fetch(ServerUrl(flaky)));
    ASSERT_TRUE(buf.Fetch(ServerUrl(flaky)));
    EXPECT_EQ("third time lucky", buf.Data());
}

TEST_F(HttpDownloadTest, ACutBodyIsAskedForFromWhereItEndedOrTakenWholeAgain) {
    const std::string body = Pattern(300000, 9);
    const std::wstring dir = GetEnv(L"TEST_SERVE_DIR") + L"\\";
    struct Case {
        const char* rules;
        bool bResumed;
    } cases[] = {{"ranges=1\ncut_first=180000\nlog=1\n", true},
                 {"ranges=ignore\ncut_first=180000\nlog=1\n", false}};
    int nResumed = 0, nWhole = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules);
        std::wstring name = Name(L"resume");
        ASSERT_TRUE(Serve(name, body));
        ASSERT_TRUE(SetRule(name, c.rules));
        CTestBuffer buf(kWindowBufSize);
        HttpResume resume = {{0}};
        const std::wstring url = ServerUrl(name);
        EXPECT_FALSE(HttpDownload(url.c_str(), &buf.pBuf, &buf.nSize, &buf.nCapacity, buf.szUser,
                                  buf.szPassword, NULL, MAXDWORD, NULL, &resume));
        const DWORD nHeld = buf.nSize;
        ASSERT_GT(nHeld, 0u);
        ASSERT_LE(nHeld, 180000u);
        ASSERT_NE(0, resume.szValidator[0]);
        ASSERT_TRUE(HttpDownload(url.c_str(), &buf.pBuf, &buf.nSize, &buf.nCapacity, buf.szUser,
                                 buf.szPassword, NULL, MAXDWORD, NULL, &resume));
        EXPECT_TRUE(buf.Data() == body);
        std::string requests;
        ReadFileBytes(dir + name + L".requests", &requests);
        // The second request asks for the rest, on the first answer's ETag.
        const std::string asked = "range=bytes=" + std::to_string(nHeld) + "- if-range=\"";
        EXPECT_EQ(0u, requests.find("range=- if-range=- auth=-\n" + asked)) << requests;
        (c.bResumed ? nResumed : nWhole) += 1;
        EXPECT_EQ(nResumed, m_log.Count(L"]  resumed at "));
        EXPECT_EQ(nWhole, m_log.Count(L"]  whole body again "));
    }

    // Part of a file is never taken for the file: not unasked, and not
    // when the buffer holds nothing to put it after.
    std::wstring part = Name(L"part");
    ASSERT_TRUE(Serve(part, body));
    ASSERT_TRUE(SetRule(part, "status=206\n"));
    CTestBuffer buf(kWindowBufSize);
    EXPECT_FALSE(buf.Fetch(ServerUrl(part)));
    EXPECT_EQ(0u, buf.nSize);
    EXPECT_EQ(1, m_log.Count(L"]  partial answer not asked for lpUrl=" + ServerUrl(part)));
}

// A part of a file is taken only as exactly the bytes asked for: whatever
// else a server or cache answers fails at once, and the caller turns to
// the whole file.
TEST_F(HttpDownloadTest, APartIsTakenOnlyAsExactlyTheBytesAskedFor) {
    const std::string body = Pattern(100000, 7);
    struct Case {
        const char* rules;
        bool bTaken;
    } cases[] = {{"ranges=1\n", true},
                 {"ranges=ignore\n", false},          // the whole file, 200
                 {"ranges=1\nrange_moved=-10\n", false},  // another range
                 {"ranges=1\nrange_extra=1\n", false},    // a byte too many
                 {"ranges=1\nrange_extra=-1\n", false}};  // a byte too few
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rules);
        std::wstring name = Name(L"part");
        ASSERT_TRUE(Serve(name, body));
        ASSERT_TRUE(SetRule(name, c.rules));
        CTestBuffer buf(kWindowBufSize);
        HttpResume part = {{0}, 5000, 3000, 100000};
        const std::wstring url = ServerUrl(name);
        const BOOL bTaken = HttpDownload(url.c_str(), &buf.pBuf, &buf.nSize, &buf.nCapacity,
                                         buf.szUser, buf.szPassword, NULL, MAXDWORD, NULL, &part);
        const DWORD dwError = ::GetLastError();
        EXPECT_EQ(c.bTaken, !!bTaken);
        if (c.bTaken)
            EXPECT_TRUE(buf.Data() == body.substr(5000, 3000));
        else  // what the caller takes for "fetch the whole file instead"
            EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), dwError);
    }
}

// A body that keeps trickling in ends at the deadline, with what arrived held
// for a resume; without a deadline this one would take over eight minutes.
TEST_F(HttpDownloadTest, ABodyStillArrivingAtTheDeadlineFails) {
    std::wstring slow = Name(L"slow");
    std::string body = Pattern(1000, 9);
    ASSERT_TRUE(Serve(slow, body));
    ASSERT_TRUE(SetRule(slow, "trickle=0.5\n"));
    CTestBuffer buf(kWindowBufSize);
    std::wstring url = ServerUrl(slow);
    const DWORD dwStart = ::GetTickCount();
    const BOOL bFetched =
        HttpDownload(url.c_str(), &buf.pBuf, &buf.nSize, &buf.nCapacity, buf.szUser, buf.szPassword,
                     NULL, MAXDWORD, NULL, NULL, 2000);
    const DWORD dwError = ::GetLastError();
    EXPECT_FALSE(bFetched);
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), dwError);
    EXPECT_LT(::GetTickCount() - dwStart, 120000u);
    EXPECT_GE(buf.nSize, 1u);
    EXPECT_TRUE(buf.Data() == body.substr(0, buf.nSize));
    EXPECT_EQ(1, m_log.Count(L"][HttpDownload  InternetReadFile]  too slow: "));
}
