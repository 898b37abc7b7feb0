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

}  // namespace

// The faulting side, run only as the child that the test below starts (this
// switch exists in the test program alone).
TEST(CrashLog, ChildFaultsOnAWorkerThread) {
    wchar_t szLog[MAX_PATH];
    if (!::GetEnvironmentVariableW(kChildLogVar, szLog, MAX_PATH)) GTEST_SKIP();
    ::SetUnhandledExceptionFilter(EndProcess);
    InstallCrashLog();
    CopyInto(g_szLogPath, szLog);
    HANDLE hThread = ::CreateThread(NULL, 0, Fault, NULL, 0, NULL);
    ::WaitForSingleObject(hThread, 30000);
    FAIL() << "the fault did not end the process";
}

TEST(CrashLog, AFaultOnAnyThreadLeavesOneErrorLineThenTheOldFilterDecides) {
    CTempFolder tmp(L"crash");
    std::wstring log = tmp.Sub(L"log.txt");
    // The old filter ends the process with the exception's code.
    EXPECT_EQ(static_cast<long>(EXCEPTION_ACCESS_VIOLATION),
              RunChildTest(L"CrashLog.ChildFaultsOnAWorkerThread", kChildLogVar, log.c_str()));

    std::wstring text = ReadUtf16File(log);
    EXPECT_EQ(0u, text.find(L"[Error]["));
    EXPECT_NE(std::wstring::npos, text.find(L"][UnhandledException] code=0xC0000005 address=0x"));
    EXPECT_EQ(text.size() - 2, text.find(L"\r\n"));  // one line
}

// A container error nothing catches, on a worker thread.
DWORD WINAPI ThrowUncaught(LPVOID) {
    std::wstring text(L"abc");
    return text.at(7);
}

TEST(CrashLog, ChildThrowsUncaught) {
    wchar_t szLog[MAX_PATH];
    if (!::GetEnvironmentVariableW(kChildThrowVar, szLog, MAX_PATH)) GTEST_SKIP();
    CopyInto(g_szLogPath, szLog);
    HANDLE hThread = ::CreateThread(NULL, 0, ThrowUncaught, NULL, 0, NULL);
    ::WaitForSingleObject(hThread, 30000);
    FAIL() << "the exception did not end the process";
}

TEST(CrashLog, AnUncaughtExceptionLeavesOneErrorLineAndAborts) {
    CTempFolder tmp(L"terminate");
    std::wstring log = tmp.Sub(L"log.txt");
    EXPECT_EQ(3, RunChildTest(L"CrashLog.ChildThrowsUncaught", kChildThrowVar, log.c_str()));
    std::wstring text = ReadUtf16File(log);
    EXPECT_EQ(0u, text.find(L"[Error]["));
    EXPECT_NE(std::wstring::npos, text.find(L"][Terminate] uncaught C++ exception\r\n"));
    EXPECT_EQ(text.size() - 2, text.find(L"\r\n"));
}
