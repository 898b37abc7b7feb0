#include <gtest/gtest.h>

#include "Handle.h"
#include "Log.h"
#include "SecureFolder.h"
#include "TestUtil.h"

namespace {

// Points the log at a file of the test's own and restores the globals after.
class LogFile : public testing::Test {
protected:
    void SetUp() override {
        m_path = m_folder.Sub(L"log.txt");
        wcscpy(g_szLogPath, m_path.c_str());
        g_nLogLevel = 1;
    }
    void TearDown() override {
        g_szLogPath[0] = 0;
        g_nLogLevel = 1;
    }
    std::wstring ReadLog() {
        std::string bytes;
        if (!ReadFileBytes(m_path, &bytes)) return L"<missing>";
        EXPECT_EQ(0u, bytes.size() % 2);
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    }
    CTempFolder m_folder{L"log"};
    std::wstring m_path;
};

}  // namespace

TEST(LogPrefix, PadsMillisecondsAndIds) {
    EXPECT_EQ(L"[Error][D T:  7 01a4:0002]", BuildLogPrefix(LOG_ERROR, L"D", L"T", 7, 0x1a4, 2));
    EXPECT_EQ(L"[Normal][D T: 45 0000:abcd]",
              BuildLogPrefix(LOG_NORMAL, L"D", L"T", 45, 0, 0xabcd));
    EXPECT_EQ(L"[Normal][2026/12/8 10:01:02:123 12345:fffffff]",
              BuildLogPrefix(LOG_NORMAL, L"2026/12/8", L"10:01:02", 123, 0x12345, 0xfffffff));
    EXPECT_EQ(L"[Warning5][a b:999 ffffffff:10000]",
              BuildLogPrefix(LOG_WARNING5, L"a", L"b", 999, 0xffffffff, 0x10000));
}

TEST_F(LogFile, LinesAreUtf16WithCrLfAppendedInOrderWithoutBom) {
    LogNormal(L"[Test] first %s %d %lu", L"塔维罗", -5, 4000000000ul);
    LogError(L"[Test] second");
    std::wstring text = ReadLog();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(L'[', text[0]);  // no byte-order mark
    size_t first = text.find(L"\r\n");
    ASSERT_NE(std::wstring::npos, first);
    std::wstring line1 = text.substr(0, first);
    std::wstring line2 = text.substr(first + 2);
    EXPECT_EQ(0u, line1.find(L"[Normal]["));
    EXPECT_NE(std::wstring::npos, line1.find(L"][Test] first 塔维罗 -5 4000000000"));
    EXPECT_EQ(0u, line2.find(L"[Error]["));
    ASSERT_GE(line2.size(), 2u);
    EXPECT_EQ(L"\r\n", line2.substr(line2.size() - 2));
    EXPECT_EQ(line2.size() - 2, line2.find(L"\r\n"));  // exactly two lines

    // The ids in the prefix are this process's and thread's.
    wchar_t szIds[32];
    swprintf(szIds, 32, L" %04x:%04x]", (unsigned)::GetCurrentProcessId(),
             (unsigned)::GetCurrentThreadId());
    EXPECT_NE(std::wstring::npos, line1.find(szIds)) << line1;
}

TEST_F(LogFile, EmptyMessageStillWritesPrefixAndLineEnd) {
    LogNormal(L"%s", L"");
    std::wstring text = ReadLog();
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(L"]\r\n", text.substr(text.size() - 3));
    EXPECT_EQ(0u, text.find(L"[Normal]["));
}

TEST_F(LogFile, LongMessagesAreNotCut) {
    std::wstring big(5000, L'x');
    LogNormal(L"[Test] %s|", big.c_str());
    std::wstring text = ReadLog();
    EXPECT_NE(std::wstring::npos, text.find(big + L"|\r\n"));
}

TEST_F(LogFile, NothingReachesAFileWhileThePathIsEmptyOrLoggingIsOff) {
    g_szLogPath[0] = 0;
    LogNormal(L"[Test] before the path");
    EXPECT_FALSE(FileExists(m_path));

    wcscpy(g_szLogPath, m_path.c_str());
    g_nLogLevel = -1;
    LogNormal(L"[Test] silenced");
    LogError(L"[Test] silenced");
    EXPECT_FALSE(FileExists(m_path));

    g_nLogLevel = 0;
    LogError(L"[Test] level zero writes");
    EXPECT_NE(std::wstring::npos, ReadLog().find(L"level zero writes"));
}

TEST_F(LogFile, AFileHeldOpenByAnotherWriterDropsTheLineQuietly) {
    LogNormal(L"[Test] one");
    HANDLE h = ::CreateFileW(m_path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LogNormal(L"[Test] dropped");
    ::CloseHandle(h);
    LogNormal(L"[Test] three");
    std::wstring text = ReadLog();
    EXPECT_EQ(std::wstring::npos, text.find(L"dropped"));
    EXPECT_LT(text.find(L"one"), text.find(L"three"));
}

TEST_F(LogFile, ReadersThatShareWritingKeepTheirLinesAndHardLinksAreRefused) {
    LogNormal(L"[Test] one");
    // A viewer holding the file open (sharing writes) loses no line.
    HANDLE h = ::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LogNormal(L"[Test] two");
    ::CloseHandle(h);
    std::wstring text = ReadLog();
    EXPECT_LT(text.find(L"one"), text.find(L"two"));
    EXPECT_NE(std::wstring::npos, text.find(L"two"));

    // The log made a second name of another file: nothing is written to it.
    std::wstring other = m_path + L".other";
    ASSERT_TRUE(WriteFileBytes(other, "victim"));
    ASSERT_TRUE(::DeleteFileW(m_path.c_str()));
    ASSERT_TRUE(::CreateHardLinkW(m_path.c_str(), other.c_str(), NULL));
    LogNormal(L"[Test] refused");
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(other, &bytes));
    EXPECT_EQ("victim", bytes);
    ::DeleteFileW(other.c_str());
}

TEST(StartLogFile, EmptiesTheOldLogInPlaceAndRefusesAFileItCannotTrust) {
    CTempFolder tmp(L"logstart");
    const std::wstring log = tmp.Sub(L"log.txt");
    auto fileIndex = [](const std::wstring& path) {
        CFileHandle h(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                    OPEN_EXISTING, 0, NULL));
        BY_HANDLE_FILE_INFORMATION info = {};
        ::GetFileInformationByHandle(h.Get(), &info);
        return (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    };
    ASSERT_TRUE(WriteFileBytes(log, "last run's lines"));
    const ULONGLONG ullBefore = fileIndex(log);
    wcscpy(g_szLogPath, log.c_str());
    // The same file, emptied (never deleted and made anew), then written.
    EXPECT_TRUE(StartLogFile(tmp.Path().c_str(), g_szLogPath));
    EXPECT_EQ(ullBefore, fileIndex(log));
    LogNormal(L"[Test] first");
    EXPECT_EQ(0u, ReadUtf16File(log).find(L"[Normal]"));

    // A log with a second name would empty and fill the other file: no log.
    const std::wstring other = tmp.Sub(L"system.dat");
    ASSERT_TRUE(WriteFileBytes(other, "keep"));
    StartLogFile(NULL, NULL);  // let go of the log held above
    ASSERT_TRUE(::DeleteFileW(log.c_str()));
    ASSERT_TRUE(::CreateHardLinkW(log.c_str(), other.c_str(), NULL));
    wcscpy(g_szLogPath, log.c_str());
    EXPECT_FALSE(StartLogFile(tmp.Path().c_str(), g_szLogPath));
    EXPECT_EQ(L'\0', g_szLogPath[0]);
    LogNormal(L"[Test] nowhere");
    std::string kept;
    ASSERT_TRUE(ReadFileBytes(other, &kept));
    EXPECT_EQ("keep", kept);
    // No folder, or a file in its place: no log either.
    wcscpy(g_szLogPath, log.c_str());
    EXPECT_FALSE(StartLogFile(other.c_str(), g_szLogPath));
    EXPECT_FALSE(StartLogFile(tmp.Sub(L"missing").c_str(), g_szLogPath));
}

// /LOG and /LAYOUT name a path an administrator chose, maybe in a folder
// other users write to: a name that is a second name of another file is
// refused with that file untouched; a plain file is emptied and reused.
TEST(StartLogCopy, AFileWithASecondNameIsRefusedAndLeftAsItWas) {
    CTempFolder tmp(L"logcopy");
    const std::wstring other = tmp.Sub(L"system.dat");
    const std::wstring copy = tmp.Sub(L"copy.log");
    ASSERT_TRUE(WriteFileBytes(other, "keep"));
    ASSERT_TRUE(::CreateHardLinkW(copy.c_str(), other.c_str(), NULL));
    EXPECT_FALSE(StartLogCopy(copy.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_ACCESS_FILE), ::GetLastError());
    CFileHandle file;
    EXPECT_FALSE(CreatePlainFile(copy.c_str(), 0, &file));
    std::string kept;
    ASSERT_TRUE(ReadFileBytes(other, &kept));
    EXPECT_EQ("keep", kept);

    ASSERT_TRUE(::DeleteFileW(copy.c_str()));
    ASSERT_TRUE(WriteFileBytes(copy, "an earlier layout's file"));
    ASSERT_TRUE(CreatePlainFile(copy.c_str(), 0, &file));
    DWORD cbWritten = 0;
    ASSERT_TRUE(::WriteFile(file.Get(), "new", 3, &cbWritten, NULL));
    file.Close();
    ASSERT_TRUE(ReadFileBytes(copy, &kept));
    EXPECT_EQ("new", kept);
}
