#include <gtest/gtest.h>

#include "Handle.h"
#include "RegistrationTestUtil.h"
#include "RunningCheck.h"
#include "TestUtil.h"

namespace {

// The helper program the test build puts next to this test program.
std::wstring HelperPath() {
    wchar_t sz[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, sz, MAX_PATH);
    std::wstring path(sz);
    return path.substr(0, path.find_last_of(L"\\/")) + L"\\running-check\\IKVTREMOTE.EXE";
}

// Polls a condition for up to ten seconds; process start and end are
// asynchronous under Wine.
template <typename F>
bool WaitFor(F condition) {
    for (int i = 0; i < 200; ++i) {
        if (condition()) return true;
        ::Sleep(50);
    }
    return condition();
}

}  // namespace

TEST(IsProcessRunning, EmptyArgumentsGiveFalse) {
    EXPECT_FALSE(IsProcessRunning(L"", L"C:\\Tarvelo"));
    EXPECT_FALSE(IsProcessRunning(NULL, L"C:\\Tarvelo"));
    // This test program itself is running, yet the empty folder decides.
    wchar_t sz[MAX_PATH] = {0};
    ::GetModuleFileNameW(NULL, sz, MAX_PATH);
    std::wstring self(sz);
    self = self.substr(self.find_last_of(L"\\/") + 1);
    EXPECT_TRUE(IsProcessRunning(self.c_str(), L"C:\\Tarvelo"));
    EXPECT_FALSE(IsProcessRunning(self.c_str(), L""));
    EXPECT_FALSE(IsProcessRunning(self.c_str(), NULL));
}

TEST(IsProcessRunning, FindsTheClientStartedFromAnotherFolderInAnyCase) {
    CTempFolder tmp(L"run");
    std::wstring other = tmp.Sub(L"somewhere else");
    ASSERT_TRUE(::CreateDirectoryW(other.c_str(), NULL));
    std::wstring exe = other + L"\\IKVTREMOTE.EXE";
    ASSERT_TRUE(::CopyFileW(HelperPath().c_str(), exe.c_str(), FALSE)) << HelperPath().c_str();
    EXPECT_FALSE(IsProcessRunning(L"iKVTRemote.exe", L"C:\\Tarvelo"));

    STARTUPINFOW si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof(pi));
    std::wstring cmd = L"\"" + exe + L"\"";
    ASSERT_TRUE(::CreateProcessW(exe.c_str(), &cmd[0], NULL, NULL, FALSE, 0, NULL, other.c_str(),
                                 &si, &pi));
    CHandle hProcess(pi.hProcess);
    CHandle hThread(pi.hThread);

    EXPECT_TRUE(WaitFor([] { return IsProcessRunning(L"iKVTRemote.exe", L"C:\\Tarvelo"); }));
    EXPECT_TRUE(IsProcessRunning(L"ikvtremote.EXE", L"D:\\not the install folder"));
    EXPECT_FALSE(IsProcessRunning(L"iKVTRemote.exe", L""));
    EXPECT_FALSE(IsProcessRunning(L"iKVTRemote", L"C:\\Tarvelo"));
    EXPECT_FALSE(IsProcessRunning(L"iKVTRemote.exe.exe", L"C:\\Tarvelo"));

    ::TerminateProcess(hProcess.Get(), 0);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hProcess.Get(), 10000));
    EXPECT_TRUE(WaitFor([] { return !IsProcessRunning(L"iKVTRemote.exe", L"C:\\Tarvelo"); }));
}

TEST(IsProcessRunning, ClosesItsSnapshotBeforeReturning) {
    if (!HandleCountWorks()) GTEST_SKIP() << "this system does not count the process's handles";
    DWORD nBefore = HandleCount();
    const int kCalls = 20;
    for (int i = 0; i < kCalls; ++i) {
        IsProcessRunning(L"iKVTRemote.exe", L"C:\\Tarvelo");  // walks the whole list
        IsProcessRunning(L"no-such-client.exe", L"C:\\Tarvelo");
    }
    EXPECT_LT(HandleCount(), nBefore + kCalls);
}
