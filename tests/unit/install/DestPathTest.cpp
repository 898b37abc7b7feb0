#include <gtest/gtest.h>

#include "DestPath.h"
#include "Log.h"
#include "TestUtil.h"

namespace {
std::wstring Choose(const wchar_t* pszList, DWORD n) {
    wchar_t szRoot[4] = L"?";
    if (!ChooseDriveRoot(pszList, n, szRoot)) return L"<none>";
    return szRoot;
}
}  // namespace

TEST(DriveChoice, PrefersCAnyCaseElseTheFirstRoot) {
    // Lists as GetLogicalDriveStringsW returns them: roots NUL-separated.
    EXPECT_EQ(L"C:\\", Choose(L"A:\\\0C:\\\0D:\\\0", 12));
    EXPECT_EQ(L"D:\\", Choose(L"D:\\\0E:\\\0", 8));
    EXPECT_EQ(L"c:\\", Choose(L"A:\\\0c:\\\0", 8));
    EXPECT_EQ(L"Z:\\", Choose(L"Z:\\\0", 4));
    // C: beyond the reported length is not seen.
    EXPECT_EQ(L"A:\\", Choose(L"A:\\\0C:\\\0", 4));
    EXPECT_EQ(L"<none>", Choose(L"", 0));
    EXPECT_EQ(L"<none>", Choose(L"C:\\", 3));
}

TEST(DriveChoice, PathsFollowTheChosenRoot) {
    wchar_t szSetup[MAX_PATH], szTemp[MAX_PATH], szUninst[MAX_PATH];
    wchar_t szRoot[4];
    ASSERT_TRUE(ChooseDriveRoot(L"D:\\\0E:\\\0", 8, szRoot));
    ASSERT_TRUE(BuildDestPaths(szRoot, szSetup, szTemp, szUninst));
    EXPECT_STREQ(L"D:\\Tarvelo", szSetup);
    EXPECT_STREQ(L"D:\\temp", szTemp);
    EXPECT_STREQ(L"D:\\UnInstall Tarvelo", szUninst);

    // A root that would overflow the fixed buffers is refused, not cut.
    std::wstring longRoot(MAX_PATH - 5, L'x');
    EXPECT_FALSE(BuildDestPaths(longRoot.c_str(), szSetup, szTemp, szUninst));
    EXPECT_STREQ(L"", szSetup);
    EXPECT_STREQ(L"", szTemp);
    EXPECT_STREQ(L"", szUninst);
}

// The real thing in the test prefix, whose drives are C: and Z:.
TEST(GetDestPath, CreatesFoldersAndStartsAFreshLog) {
    ::CreateDirectoryW(L"C:\\temp", NULL);
    ASSERT_TRUE(WriteFileBytes(L"C:\\temp\\log.txt", Utf16Bytes(L"old run\r\n")));
    ::RemoveDirectoryW(L"C:\\UnInstall Tarvelo");
    ForceRemoveTree(L"C:\\Tarvelo");  // left by other tests in this prefix

    wchar_t szSetup[MAX_PATH] = L"junk", szTemp[MAX_PATH] = L"", szUninst[MAX_PATH] = L"";
    GetDestPath(szSetup, szTemp, szUninst);
    EXPECT_STREQ(L"C:\\Tarvelo", szSetup);
    EXPECT_STREQ(L"C:\\temp", szTemp);
    EXPECT_STREQ(L"C:\\UnInstall Tarvelo", szUninst);
    EXPECT_STREQ(L"C:\\temp\\log.txt", g_szLogPath);
    EXPECT_TRUE(FolderExists(L"C:\\temp"));
    EXPECT_TRUE(FolderExists(L"C:\\UnInstall Tarvelo"));
    EXPECT_FALSE(FolderExists(L"C:\\Tarvelo"));  // made by the first package

    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(L"C:\\temp\\log.txt", &bytes));
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_EQ(std::wstring::npos, text.find(L"old run"));
    EXPECT_EQ(0u, text.find(L"[Normal]["));
    EXPECT_NE(std::wstring::npos, text.find(L"][CSetupDlg::GetDestPath] setuppath=C:\\Tarvelo "
                                            L"UnInstallPath=C:\\UnInstall Tarvelo\r\n"));

    // A second run reuses the folders and again starts from an empty log.
    GetDestPath(szSetup, szTemp, szUninst);
    ASSERT_TRUE(ReadFileBytes(L"C:\\temp\\log.txt", &bytes));
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_EQ(text.find(L"GetDestPath"), text.rfind(L"GetDestPath"));
    g_szLogPath[0] = 0;
}
