// The uninstaller's guards (which folder it may take away) and its folder
// removal.
#include <gtest/gtest.h>

#include "../install/RegistrationTestUtil.h"
#include "InstallRecord.h"
#include "RemoveInstall.h"
#include "TestUtil.h"

TEST(InstallRecord, ParsesOnlyTheTwoQuotedPartsTheInstallerWrites) {
    CInstallRecord record;
    ASSERT_TRUE(
        ParseUninstallString(L"\"C:\\UnInstall Tarvelo\\UnInstall.exe\" \"C:\\Tarvelo\"", &record));
    EXPECT_STREQ(L"C:\\UnInstall Tarvelo\\UnInstall.exe", record.m_szUnInstallExe);
    EXPECT_STREQ(L"C:\\Tarvelo", record.m_szSetupPath);

    // Anything else leaves the record empty: no folder to compare against.
    const wchar_t* apszBad[] = {L"C:\\UnInstall.exe C:\\Tarvelo",
                                L"\"C:\\UnInstall.exe\"",
                                L"\"C:\\UnInstall.exe\" \"\"",
                                L"\"C:\\UnInstall.exe\" \"C:\\Tarvelo",
                                L"\"C:\\a.exe\" \"C:\\Tarvelo\" \"C:\\x\"",
                                L"\"C:\\a.exe\" \"C:\\Tarvelo\" extra",
                                L""};
    for (const wchar_t* psz : apszBad) {
        EXPECT_FALSE(ParseUninstallString(psz, &record)) << psz;
        EXPECT_EQ(0, record.m_szSetupPath[0]) << psz;
    }
    std::wstring longPath = L"\"C:\\a.exe\" \"C:\\" + std::wstring(300, L'x') + L"\"";
    EXPECT_FALSE(ParseUninstallString(longPath.c_str(), &record));
}

TEST(InstallRecord, SameFolderIgnoresSlashFormAndCaseButNotTheName) {
    EXPECT_TRUE(IsSameFolder(L"C:\\Tarvelo", L"C:\\Tarvelo"));
    EXPECT_TRUE(IsSameFolder(L"c:/tarvelo/", L"C:\\Tarvelo"));
    EXPECT_TRUE(IsSameFolder(L"C:\\\\Tarvelo\\", L"C:/Tarvelo"));
    EXPECT_FALSE(IsSameFolder(L"C:\\Tarvelo\\docs", L"C:\\Tarvelo"));
    EXPECT_FALSE(IsSameFolder(L"C:\\", L"C:\\Tarvelo"));
    EXPECT_FALSE(IsSameFolder(L"D:\\Tarvelo", L"C:\\Tarvelo"));
    EXPECT_FALSE(IsSameFolder(L"", L""));
}

TEST(InstallRecord, OnlyANamedFolderBelowADriveRootIsRemovable) {
    EXPECT_TRUE(IsRemovableFolder(L"C:\\Tarvelo"));
    EXPECT_TRUE(IsRemovableFolder(L"d:/Games/Tarvelo/"));
    const wchar_t* apszRefused[] = {L"C:\\",
                                    L"C:",
                                    L"C:/",
                                    L"C:\\..",
                                    L"C:\\Tarvelo\\..",
                                    L"C:\\. .",
                                    L"Tarvelo",
                                    L"\\\\srv\\share",
                                    L"\\Tarvelo",
                                    L""};
    for (const wchar_t* psz : apszRefused) EXPECT_FALSE(IsRemovableFolder(psz)) << psz;
}

TEST(RemoveInstall, DeletesANestedTreeWithReadOnlyFilesAndFolders) {
    CTempFolder temp(L"uninst");
    std::wstring root = temp.Sub(L"Tarvelo");
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((root + L"\\docs").c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((root + L"\\docs\\img").c_str(), NULL));
    ASSERT_TRUE(WriteFileBytes(root + L"\\iKVTRemote.exe", "MZ"));
    ASSERT_TRUE(WriteFileBytes(root + L"\\docs\\img\\a.png", "png"));
    std::wstring readonly = root + L"\\docs\\readonly.txt";
    ASSERT_TRUE(WriteFileBytes(readonly, "ro"));
    ::SetFileAttributesW(readonly.c_str(), FILE_ATTRIBUTE_READONLY);
    ::SetFileAttributesW((root + L"\\docs\\img").c_str(), FILE_ATTRIBUTE_READONLY);
    std::wstring sibling = temp.Sub(L"keep.txt");
    ASSERT_TRUE(WriteFileBytes(sibling, "keep"));

    EXPECT_TRUE(DeleteFolderTree(root.c_str()));
    EXPECT_FALSE(FolderExists(root));
    EXPECT_TRUE(FileExists(sibling));
    // Already gone is success; a file in the folder's place is not a folder.
    EXPECT_TRUE(DeleteFolderTree(root.c_str()));
    EXPECT_FALSE(DeleteFolderTree(sibling.c_str()));
    EXPECT_TRUE(FileExists(sibling));
}

TEST(RemoveInstall, AFileHeldOpenKeepsTheFolderAndSaysSo) {
    CTempFolder temp(L"uninst");
    std::wstring root = temp.Sub(L"Tarvelo");
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), NULL));
    std::wstring held = root + L"\\held.dat";
    ASSERT_TRUE(WriteFileBytes(held, "x"));
    HANDLE h = ::CreateFileW(held.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_FALSE(DeleteFolderTree(root.c_str()));
    EXPECT_TRUE(FolderExists(root));
    ::CloseHandle(h);
    EXPECT_TRUE(DeleteFolderTree(root.c_str()));
}

// Shortcuts of the same names that point elsewhere are someone else's (an
// older client, another program): they stay, and so does their folder.
TEST(RemoveInstall, OnlyShortcutsIntoTheInstallationGo) {
    CTempFolder tmp(L"links");
    const std::wstring desktop = tmp.Sub(L"Public"), programs = tmp.Sub(L"Programs");
    const std::wstring start = programs + L"\\塔维罗", inst = L"C:\\Tarvelo";
    const std::wstring un = L"C:\\UnInstall Tarvelo\\UnInstall.exe";
    for (const std::wstring& folder : {desktop, programs, start})
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), NULL));
    CRegValueOverride common(HKEY_LOCAL_MACHINE,
                             L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell "
                             L"Folders",
                             L"Common Desktop");
    ASSERT_TRUE(common.SetString(desktop));
    CRegValueOverride menu(HKEY_LOCAL_MACHINE,
                           L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                           L"Common Programs");
    ASSERT_TRUE(menu.SetString(programs));

    ASSERT_TRUE(SaveLink(desktop + L"\\塔维罗.lnk", L"D:\\Other\\iKVTRemote.exe", L"other"));
    ASSERT_TRUE(SaveLink(start + L"\\塔维罗.lnk", L"c:/tarvelo/iKVTRemote.exe", L"ours"));
    ASSERT_TRUE(SaveLink(start + L"\\卸载塔维罗.lnk", L"D:\\Other\\UnInstall.exe", L"other"));
    RemoveShellLinks(inst.c_str(), un.c_str());
    EXPECT_TRUE(FileExists(desktop + L"\\塔维罗.lnk"));
    EXPECT_FALSE(FileExists(start + L"\\塔维罗.lnk"));
    EXPECT_TRUE(FileExists(start + L"\\卸载塔维罗.lnk"));

    // Once only ours are left, the folder goes with them.
    ASSERT_TRUE(SaveLink(start + L"\\卸载塔维罗.lnk", un, L"ours"));
    RemoveShellLinks(inst.c_str(), un.c_str());
    EXPECT_FALSE(FolderExists(start));
    EXPECT_TRUE(FileExists(desktop + L"\\塔维罗.lnk"));
}
