#include <gtest/gtest.h>

#include "TestUtil.h"
#include "WorkerThread.h"

namespace {

class CTestWorker : public CWorkerThread {
public:
    DWORD Execute() override {
        ::InterlockedIncrement(&m_nRuns);
        if (m_bWaitOnSelf) m_dwSelfWait = WaitForExit();
        // Reports whether a stop request was pending when the run began.
        m_bStopSeen = ::WaitForSingleObject(m_hStopEvent, 1) == WAIT_OBJECT_0;
        if (m_hRelease) ::WaitForSingleObject(m_hRelease, 10000);
        return 42;
    }
    HANDLE StopEvent() const { return m_hStopEvent; }
    HANDLE Thread() const { return m_hThread; }
    void ShortenWait() {
        m_dwFirstWaitMs = 200;
        m_nFurtherWaits = 0;
    }

    volatile LONG m_nRuns = 0;
    bool m_bWaitOnSelf = false;
    DWORD m_dwSelfWait = 0xFFFF;
    bool m_bStopSeen = false;
    HANDLE m_hRelease = NULL;
};

}  // namespace

TEST(WorkerThread, RunsOnceAndRefusesASecondStartEvenAfterTheEnd) {
    CTestWorker w;
    HANDLE hRelease = ::CreateEventW(NULL, TRUE, FALSE, NULL);
    w.m_hRelease = hRelease;
    ASSERT_TRUE(w.Start(0));
    EXPECT_FALSE(w.Start(0));  // while running
    ::SetEvent(hRelease);
    EXPECT_EQ(WAIT_OBJECT_0, w.WaitForExit());
    EXPECT_FALSE(w.Start(0));  // after the end
    EXPECT_EQ(WAIT_OBJECT_0, w.WaitForExit());
    EXPECT_EQ(1, w.m_nRuns);
    DWORD dwCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(w.Thread(), &dwCode));
    EXPECT_EQ(42u, dwCode);
    ::CloseHandle(hRelease);
}

TEST(WorkerThread, StopEventIsAutoResetAndClearedByStart) {
    CTestWorker w;
    ASSERT_NE(nullptr, w.StopEvent());
    ::SetEvent(w.StopEvent());  // left over from before the run
    ASSERT_TRUE(w.Start(0));
    w.WaitForExit();
    EXPECT_FALSE(w.m_bStopSeen);

    // One SetEvent satisfies exactly one wait.
    ::SetEvent(w.StopEvent());
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(w.StopEvent(), 1));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(w.StopEvent(), 1));
}

TEST(WorkerThread, WaitReturnsAtOnceWhenNeverStartedOrCalledFromTheWorker) {
    CTestWorker idle;
    EXPECT_EQ(WAIT_OBJECT_0, idle.WaitForExit());
    EXPECT_EQ(0, idle.m_nRuns);

    // A worker waiting for its own end would wait out the whole bound and
    // then report a time-out.
    CTestWorker self;
    self.m_bWaitOnSelf = true;
    self.ShortenWait();
    ASSERT_TRUE(self.Start(0));
    EXPECT_EQ(WAIT_OBJECT_0, self.WaitForExit());
    EXPECT_EQ(WAIT_OBJECT_0, self.m_dwSelfWait);
    EXPECT_EQ(1, self.m_nRuns);
}

namespace {
class CThrowingWorker : public CWorkerThread {
public:
    DWORD Execute() override { throw 7; }
    HANDLE Thread() const { return m_hThread; }
};
}  // namespace

TEST(WorkerThread, AnExceptionInExecuteEndsTheThreadWithCodeZero) {
    CThrowingWorker w;
    ASSERT_TRUE(w.Start(0));
    EXPECT_EQ(WAIT_OBJECT_0, w.WaitForExit());
    DWORD dwCode = 99;
    ASSERT_TRUE(::GetExitCodeThread(w.Thread(), &dwCode));
    EXPECT_EQ(0u, dwCode);
}

namespace {
const wchar_t kChildLogVar[] = L"WORKER_TEST_LOG";

class CStuckWorker : public CWorkerThread {
public:
    CStuckWorker() {
        m_dwFirstWaitMs = 100;
        m_nFurtherWaits = 1;
    }
    DWORD Execute() override {
        ::Sleep(INFINITE);
        return 0;
    }
};
}  // namespace

// Run only as the child of the test below.
TEST(WorkerThread, ChildOutlivedByItsWorker) {
    wchar_t szLog[MAX_PATH];
    if (!::GetEnvironmentVariableW(kChildLogVar, szLog, MAX_PATH)) GTEST_SKIP();
    CLogFile log(szLog);
    CStuckWorker w;
    ASSERT_TRUE(w.Start(0));
    w.WaitForExitOrEndProcess();
    FAIL() << "the process goes on while its worker runs";
}

TEST(WorkerThread, AWorkerThatOutlivesTheWaitEndsTheProcessAtOnceWithALogLine) {
    CTempFolder tmp(L"stuck");
    std::wstring path = tmp.Sub(L"log.txt");
    EXPECT_EQ(1,
              RunChildTest(L"WorkerThread.ChildOutlivedByItsWorker", kChildLogVar, path.c_str()));
    std::wstring text = ReadUtf16File(path);
    EXPECT_NE(std::wstring::npos,
              text.find(L"][CWorkerThread::WaitForExit] the worker still runs: the process ends"));
}
