#include <gtest/gtest.h>

#include <string>

#include "CrashLog.h"
#include "Log.h"
#include "StrFormat.h"
#include "TestUtil.h"

namespace {

const wchar_t kChildLogVar[] = L"CRASHLOG_TEST_LOG";
const wchar_t kChildThrowVar[] = L"CRASHLOG_TEST_THROW_LOG";

// Stands for the system's own last resort, which would start a debugger:
// the process ends at once with the exception code.
LONG WINAPI EndProcess(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

DWORD WINAPI Fault(LPVOID) {
    *static_cast<volatile int*>(NULL) = 1;
    return 0;
}

// A container error nothing catches.
DWORD WINAPI ThrowUncaught(LPVOID) {
    std::wstring text(L"abc");
    return text.at(7);
}

// The child's side (these switches exist in the test program alone): false
// in the parent's own run; in the child, the log goes where the parent said.
bool IsChild(const wchar_t* pszVar) {
    wchar_t szLog[MAX_PATH];
    if (!::GetEnvironmentVariableW(pszVar, szLog, MAX_PATH)) return false;
    CopyInto(g_szLogPath, szLog);
    return true;
}

// Runs pfn on a worker thread, which must end the process.
void RunOnWorker(LPTHREAD_START_ROUTINE pfn) {
    HANDLE hThread = ::CreateThread(NULL, 0, pfn, NULL, 0, NULL);
    ::WaitForSingleObject(hThread, 30000);
}

// Runs the child test and returns its exit code; the log it left must be
// one [Error] line holding pszPart.
long RunChildForOneLine(const wchar_t* pszTest, const wchar_t* pszVar, const wchar_t* pszPart) {
    CTempFolder tmp(L"crash");
    std::wstring log = tmp.Sub(L"log.txt");
    long nCode = RunChildTest(pszTest, pszVar, log.c_str());
    std::wstring text = ReadUtf16File(log);
    EXPECT_EQ(0u, text.find(L"[Error]["));
    EXPECT_NE(std::wstring::npos, text.find(pszPart));
    EXPECT_EQ(text.size() - 2, text.find(L"\r\n"));  // one line
    return nCode;
}

}  // namespace

TEST(CrashLog, ChildFaultsOnAWorkerThread) {
    if (!IsChild(kChildLogVar)) GTEST_SKIP();
    ::SetUnhandledExceptionFilter(EndProcess);
    InstallCrashLog();
    RunOnWorker(Fault);
    FAIL() << "the fault did not end the process";
}

TEST(CrashLog, AFaultOnAnyThreadLeavesOneErrorLineThenTheOldFilterDecides) {
    // The old filter ends the process with the exception's code.
    EXPECT_EQ(static_cast<long>(EXCEPTION_ACCESS_VIOLATION),
              RunChildForOneLine(L"CrashLog.ChildFaultsOnAWorkerThread", kChildLogVar,
                                 L"][UnhandledException] code=0xC0000005 address=0x"));
}

TEST(CrashLog, ChildThrowsUncaught) {
    if (!IsChild(kChildThrowVar)) GTEST_SKIP();
    RunOnWorker(ThrowUncaught);
    FAIL() << "the exception did not end the process";
}

TEST(CrashLog, AnUncaughtExceptionLeavesOneErrorLineAndAborts) {
    EXPECT_EQ(3, RunChildForOneLine(L"CrashLog.ChildThrowsUncaught", kChildThrowVar,
                                    L"][Terminate] uncaught C++ exception\r\n"));
}
