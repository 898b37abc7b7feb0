#include <gtest/gtest.h>

#include "Handle.h"
#include "Registration.h"
#include "RegistrationTestUtil.h"
#include "TestUtil.h"

namespace {

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kEntryKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvelo";

// The Uninstall key exists on every Windows; a fresh Wine prefix may lack it.
// The entry itself is removed before and after each test.
class WriteRegistryTest : public testing::Test {
protected:
    void SetUp() override {
        HKEY h = NULL;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, NULL, 0,
                                                   KEY_ALL_ACCESS, NULL, &h, NULL));
        ::RegCloseKey(h);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEntryKey);
    }
    void TearDown() override { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEntryKey); }

    // Checks one value: REG_SZ, exactly (length + 1) * 2 bytes, terminated.
    static DWORD Dword(HKEY hKey, const wchar_t* pszName) {
        DWORD dwType = 0, dwData = 0, cb = sizeof(dwData);
        if (::RegQueryValueExW(hKey, pszName, NULL, &dwType, reinterpret_cast<BYTE*>(&dwData),
                               &cb) != ERROR_SUCCESS ||
            dwType != REG_DWORD)
            return 0xFFFFFFFF;
        return dwData;
    }
    static void ExpectString(HKEY hKey, const wchar_t* pszName, const std::wstring& expected) {
        SCOPED_TRACE(pszName);
        DWORD dwType = 0;
        DWORD cb = 0;
        ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(hKey, pszName, NULL, &dwType, NULL, &cb));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), dwType);
        ASSERT_EQ((expected.size() + 1) * sizeof(wchar_t), cb);
        std::wstring data(cb / sizeof(wchar_t), L'#');
        ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(hKey, pszName, NULL, &dwType,
                                                    reinterpret_cast<BYTE*>(&data[0]), &cb));
        EXPECT_EQ(L'\0', data.back());
        data.pop_back();
        EXPECT_EQ(expected, data);
    }
};

}  // namespace

TEST_F(WriteRegistryTest, WritesEveryValueAsATerminatedStringAndLogsTheUninstallCommand) {
    CTempFolder tmp(L"reg");
    CLogFile log(tmp.Sub(L"log.txt"));
    // A stale entry of an earlier install is brought up to date, not doubled.
    HKEY hOld = NULL;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyW(HKEY_LOCAL_MACHINE, kEntryKey, &hOld));
    ::RegSetValueExW(hOld, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1.0"), 8);
    ::RegCloseKey(hOld);

    WriteRegistry(L"C:\\Tarvelo", L"C:\\UnInstall Tarvelo");

    HKEY h = NULL;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryKey, 0, KEY_READ, &h));
    CRegKey key(h);
    ExpectString(h, L"DisplayIcon", L"C:\\Tarvelo\\iKVTRemote.exe");
    ExpectString(h, L"AppExePath", L"iKVTRemote.exe");
    ExpectString(h, L"DisplayName", L"塔维罗");
    ExpectString(h, L"Publisher", L"塔维罗");
    ExpectString(h, L"DisplayVersion", L"2.0");
    ExpectString(h, L"InstallLocation", L"C:\\Tarvelo\\");
    ExpectString(h, L"UninstallString",
                 L"\"C:\\UnInstall Tarvelo\\UnInstall.exe\" \"C:\\Tarvelo\"");
    DWORD nValues = 0;
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(h, NULL, NULL, NULL, NULL, NULL, NULL, &nValues,
                                                NULL, NULL, NULL, NULL));
    EXPECT_EQ(12u, nValues);
    // What deployment tools and package managers read.
    ExpectString(h, L"QuietUninstallString",
                 L"\"C:\\UnInstall Tarvelo\\UnInstall.exe\" /S \"C:\\Tarvelo\"");
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t szToday[16];
    swprintf(szToday, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    ExpectString(h, L"InstallDate", szToday);
    EXPECT_EQ(1u, Dword(h, L"NoModify"));
    EXPECT_EQ(1u, Dword(h, L"NoRepair"));

    // The size is the installed files' in KiB, rounded up.
    std::wstring app = tmp.Sub(L"app");
    ASSERT_TRUE(::CreateDirectoryW(app.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((app + L"\\sub").c_str(), NULL));
    ASSERT_TRUE(WriteFileBytes(app + L"\\a.bin", std::string(2048, 'a')));
    ASSERT_TRUE(WriteFileBytes(app + L"\\sub\\b.bin", "b"));
    WriteRegistry(app.c_str(), L"C:\\UnInstall Tarvelo");
    EXPECT_EQ(3u, Dword(h, L"EstimatedSize"));

    std::wstring line = log.LineEndingWith(
        L"[CSetupDlg::WriteRegistry] UninstallString \"C:\\UnInstall Tarvelo\\UnInstall.exe\" "
        L"\"C:\\Tarvelo\" m_szUnInstallPath=C:\\UnInstall Tarvelo");
    EXPECT_EQ(0u, line.find(L"[Normal]")) << line;
}

TEST_F(WriteRegistryTest, DataThatWouldNotFitIsLeftOutNotCut) {
    // 250 characters: the folder fits, the quoted command with both folders
    // does not.
    std::wstring setup = L"C:\\" + std::wstring(247, L's');
    WriteRegistry(setup.c_str(), L"C:\\UnInstall Tarvelo");
    HKEY h = NULL;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryKey, 0, KEY_READ, &h));
    CRegKey key(h);
    ExpectString(h, L"InstallLocation", setup + L"\\");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegQueryValueExW(h, L"DisplayIcon", NULL, NULL, NULL, NULL));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              ::RegQueryValueExW(h, L"UninstallString", NULL, NULL, NULL, NULL));
}

// Uninstalling removes the entry and its serial, not the floor: an older
// signed release stays refused on the next installation.
TEST_F(WriteRegistryTest, TheReleaseFloorOutlivesTheEntryAndNeverFalls) {
    const wchar_t kFloorKey[] = L"SOFTWARE\\Tarvelo";
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFloorKey);
    CLogFile log;
    ASSERT_TRUE(WriteRegistry(L"C:\\Tarvelo", L"C:\\UnInstall Tarvelo", 7));
    ASSERT_TRUE(RaiseReleaseFloor(7));
    ASSERT_EQ(7u, ReadInstalledReleaseSerial());
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEntryKey));
    EXPECT_EQ(7u, ReadInstalledReleaseSerial());
    EXPECT_TRUE(RaiseReleaseFloor(3));
    EXPECT_EQ(7u, ReadInstalledReleaseSerial());
    // An entry written before the floor existed still counts.
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFloorKey);
    ASSERT_TRUE(WriteRegistry(L"C:\\Tarvelo", L"C:\\UnInstall Tarvelo", 5));
    EXPECT_EQ(5u, ReadInstalledReleaseSerial());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFloorKey);
}

TEST(WriteUninstallFile, WritesOnlyAProgramAndBesideTheRegisteredOne) {
    CTempFolder tmp(L"unf");
    CLogFile log(tmp.Sub(L"log.txt"));
    std::wstring file = tmp.Sub(L"UnInstall.exe.new");
    ASSERT_TRUE(WriteFileBytes(file, std::string(5000, 'o')));  // a killed run's

    std::string body = ProgramBytes(300);
    EXPECT_TRUE(WriteUninstallFile(tmp.Path().c_str(), reinterpret_cast<const BYTE*>(body.data()),
                                   static_cast<DWORD>(body.size())));
    std::string got;
    ASSERT_TRUE(ReadFileBytes(file, &got));
    EXPECT_EQ(body, got);
    EXPECT_FALSE(FileExists(tmp.Sub(L"UnInstall.exe")));
    std::wstring line =
        log.LineEndingWith(L"[CSetupDlg::DownloadUninstallFile] Create file UnInstall.exe seccuss");
    EXPECT_EQ(0u, line.find(L"[Normal]")) << line;

    // An error page, an empty body, an MZ header whose PE offset points past
    // the end: none is a program, and none is written.
    std::string pointsOut = body.substr(0, 0x44);
    pointsOut[0x3C] = 0x42;
    for (const std::string& bad : {std::string("<html>404</html>"), std::string(), pointsOut}) {
        ::DeleteFileW(file.c_str());
        EXPECT_FALSE(WriteUninstallFile(tmp.Path().c_str(),
                                        reinterpret_cast<const BYTE*>(bad.data()),
                                        static_cast<DWORD>(bad.size())));
        EXPECT_FALSE(FileExists(file));
    }
    EXPECT_EQ(3, log.Count(L"UnInstall.exe is not a program"));
}

TEST(WriteUninstallFile, NoFolderMeansNoFileAndAnErrorLine) {
    CTempFolder tmp(L"unf");
    CLogFile log(tmp.Sub(L"log.txt"));
    const std::string program = ProgramBytes(100);
    const BYTE* body = reinterpret_cast<const BYTE*>(program.data());
    const DWORD cbBody = static_cast<DWORD>(program.size());
    EXPECT_FALSE(WriteUninstallFile(tmp.Sub(L"missing").c_str(), body, cbBody));
    EXPECT_FALSE(FolderExists(tmp.Sub(L"missing")));
    std::wstring line =
        log.LineEndingWith(L"[CSetupDlg::DownloadUninstallFile] Create file UnInstall.exe failed");
    EXPECT_EQ(0u, line.find(L"[Error]")) << line;
    EXPECT_EQ(std::wstring::npos, log.Text().find(L"seccuss"));

    // An empty folder would name the drive's root: refused the same way.
    wchar_t szOld[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, szOld);
    ::SetCurrentDirectoryW(tmp.Path().c_str());
    bool bWritten = WriteUninstallFile(L"", body, cbBody);
    ::SetCurrentDirectoryW(szOld);
    EXPECT_FALSE(bWritten);
    EXPECT_FALSE(FileExists(tmp.Path().substr(0, 2) + L"\\UnInstall.exe.new"));
}
