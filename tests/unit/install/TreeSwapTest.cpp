#include <gtest/gtest.h>

#include <string>

#include "Handle.h"
#include "InstallFolders.h"
#include "TestUtil.h"
#include "TreeSwap.h"

namespace {

// An installation and its uninstaller's folder in a temp folder, with an
// old tree in place and a new one built aside, as the installer leaves them
// just before the swap.
class TreeSwapTest : public testing::Test {
protected:
    void SetUp() override {
        m_setup = m_tmp.Sub(L"Tarvelo");
        m_un = m_tmp.Sub(L"UnInstall Tarvelo");
        ASSERT_TRUE(MakeSwapPaths(m_setup.c_str(), m_un.c_str(), &m_paths));
        ASSERT_TRUE(::CreateDirectoryW(m_un.c_str(), NULL));
        ASSERT_TRUE(WriteFileBytes(m_paths.szUnInstallExe, "old uninstaller"));
        ASSERT_TRUE(WriteFileBytes(m_paths.szNewUnInstallExe, "new uninstaller"));
        MakeTree(m_setup, "old");
        // A read-only file of the old release must not survive it.
        std::wstring readOnly = m_setup + L"\\sub\\ro.txt";
        ASSERT_TRUE(WriteFileBytes(readOnly, "read-only"));
        ASSERT_TRUE(::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
        MakeTree(m_paths.szNew, "new");
    }
    void MakeTree(const std::wstring& root, const std::string& content) {
        ASSERT_TRUE(::CreateDirectoryW(root.c_str(), NULL));
        ASSERT_TRUE(::CreateDirectoryW((root + L"\\sub").c_str(), NULL));
        ASSERT_TRUE(WriteFileBytes(root + L"\\iKVTRemote.exe", content));
    }
    std::string Read(const std::wstring& path) {
        std::string bytes;
        return ReadFileBytes(path, &bytes) ? bytes : "(missing)";
    }
    void ExpectOld() {
        EXPECT_EQ("old", Read(m_setup + L"\\iKVTRemote.exe"));
        EXPECT_TRUE(FileExists(m_setup + L"\\sub\\ro.txt"));
        EXPECT_EQ("old uninstaller", Read(m_paths.szUnInstallExe));
    }
    void ExpectNewAlone() {
        EXPECT_EQ("new", Read(m_setup + L"\\iKVTRemote.exe"));
        EXPECT_FALSE(FileExists(m_setup + L"\\sub\\ro.txt"));
        EXPECT_EQ("new uninstaller", Read(m_paths.szUnInstallExe));
        EXPECT_EQ(std::vector<std::wstring>{L"UnInstall.exe"}, ListFolder(m_un));
        EXPECT_FALSE(FolderExists(m_paths.szNew));
    }

    // The swap and the recovery, the tree they hold let go at once.
    bool Swap(ULONGLONG ullSerial) {
        CFileHandle hTree;
        return SwapInNewTree(m_paths, ullSerial, &hTree);
    }
    SwapRecovery Recover(ULONGLONG* pullSerial) {
        CFileHandle hTree;
        return RecoverSwap(m_paths, pullSerial, &hTree);
    }

    CTempFolder m_tmp{L"swap"};
    CLogFile m_log;
    std::wstring m_setup, m_un;
    SwapPaths m_paths;
};

}  // namespace

TEST_F(TreeSwapTest, TheNewTreeReplacesTheOldOneWhole) {
    {
        // Held as itself once in place: nobody renames it away meanwhile.
        CFileHandle hTree;
        ASSERT_TRUE(SwapInNewTree(m_paths, 42, &hTree));
        EXPECT_FALSE(::MoveFileW(m_setup.c_str(), m_tmp.Sub(L"moved").c_str()));
    }
    {
        // An uninstaller held open cannot be replaced, and the swap says so.
        CFileHandle held(::CreateFileW(m_paths.szUnInstallExe, GENERIC_READ, FILE_SHARE_READ, NULL,
                                       OPEN_EXISTING, 0, NULL));
        ASSERT_TRUE(held);
        EXPECT_FALSE(FinishSwap(m_paths));
    }
    ASSERT_TRUE(WriteFileBytes(m_paths.szNewUnInstallExe, "new uninstaller"));
    EXPECT_TRUE(FinishSwap(m_paths));
    // Committed without waiting for the old tree, which goes after.
    EXPECT_FALSE(FileExists(m_paths.szRecord));
    EXPECT_TRUE(FolderExists(m_paths.szOld));
    RemoveOldTree(m_paths);
    ExpectNewAlone();

    // A first installation has no old tree to move.
    ForceRemoveTree(m_setup);
    MakeTree(m_paths.szNew, "new");
    ASSERT_TRUE(WriteFileBytes(m_paths.szNewUnInstallExe, "new uninstaller"));
    ASSERT_TRUE(Swap(0));
    FinishSwap(m_paths);
    RemoveOldTree(m_paths);
    ExpectNewAlone();
}

TEST_F(TreeSwapTest, ANextRunUndoesAnUncommittedSwapAndFinishesACommittedOne) {
    ULONGLONG ullSerial = 1;
    EXPECT_EQ(SwapNothingToDo, Recover(&ullSerial));
    EXPECT_EQ(0u, ullSerial);
    ExpectOld();

    // Killed after the record, before any rename; then after the old tree
    // left, before the new one came. Both come back as the old installation.
    for (int nRenames = 0; nRenames < 2; ++nRenames) {
        ASSERT_TRUE(Swap(42));
        ASSERT_TRUE(::MoveFileW(m_setup.c_str(), m_paths.szNew));
        if (nRenames == 0) {
            ASSERT_TRUE(::MoveFileW(m_paths.szOld, m_setup.c_str()));
        }
        EXPECT_EQ(SwapUndone, Recover(&ullSerial)) << nRenames;
        ExpectOld();
        EXPECT_EQ(std::vector<std::wstring>{L"UnInstall.exe"}, ListFolder(m_un));
        EXPECT_FALSE(FolderExists(m_paths.szNew));
        MakeTree(m_paths.szNew, "new");
        ASSERT_TRUE(WriteFileBytes(m_paths.szNewUnInstallExe, "new uninstaller"));
    }

    // Killed after the commit: the next run finishes it, with its serial.
    ASSERT_TRUE(Swap(1796786037ull));
    CFileHandle hTree;
    EXPECT_EQ(SwapFinished, RecoverSwap(m_paths, &ullSerial, &hTree));
    EXPECT_TRUE(hTree);
    EXPECT_EQ(1796786037ull, ullSerial);
    ExpectNewAlone();
}

// A user makes the install folder between the two renames (and the failed
// run removes what it built): the next run must not take that folder for
// the new installation and delete the old one, which comes back instead;
// the foreign folder goes aside, untouched.
TEST_F(TreeSwapTest, AFolderSomeoneMadeInPlaceIsNeverTakenForTheNewTree) {
    ASSERT_TRUE(Swap(42));
    // Kept (elsewhere), so that no new folder can reuse its file ID.
    ASSERT_TRUE(::MoveFileW(m_setup.c_str(), m_tmp.Sub(L"built").c_str()));
    MakeTree(m_setup, "theirs");
    ULONGLONG ullSerial = 1;
    EXPECT_EQ(SwapUndone, Recover(&ullSerial));
    EXPECT_EQ(0u, ullSerial);
    ExpectOld();
    std::vector<std::wstring> names = ListFolder(m_tmp.Path());
    ASSERT_EQ(4u, names.size());
    EXPECT_EQ(0u, names[1].find(L"Tarvelo.quarantine-"));
    EXPECT_EQ("theirs", Read(m_tmp.Sub(names[1]) + L"\\iKVTRemote.exe"));
    EXPECT_EQ(std::vector<std::wstring>{L"UnInstall.exe"}, ListFolder(m_un));

    // Nor is a foreign folder at the name the new tree is built under
    // removed: only the recorded tree is.
    MakeTree(m_paths.szNew, "new");
    ASSERT_TRUE(Swap(43));
    ASSERT_TRUE(::MoveFileW(m_setup.c_str(), m_tmp.Sub(L"built2").c_str()));
    ASSERT_TRUE(::MoveFileW(m_paths.szOld, m_setup.c_str()));
    MakeTree(m_paths.szNew, "theirs too");
    EXPECT_EQ(SwapUndone, Recover(&ullSerial));
    ExpectOld();
    EXPECT_EQ("theirs too", Read(std::wstring(m_paths.szNew) + L"\\iKVTRemote.exe"));
}

// The uninstaller's folder is kept between runs, so anything a user put in
// its place must go aside, not be adopted. (Links are refused by the guard;
// this Wine cannot make one from inside.)
TEST(HoldOwnFolder, AFileInTheFolderPlaceGoesAsideAndAFreshFolderIsMade) {
    CTempFolder tmp(L"hold");
    std::wstring path = tmp.Sub(L"UnInstall Tarvelo");
    ASSERT_TRUE(WriteFileBytes(path, "theirs"));
    CProtectedSecurity security;
    CFolderGuard guard;
    ASSERT_TRUE(HoldOwnFolder(path.c_str(), security, &guard));
    EXPECT_TRUE(guard.IsOpen());
    EXPECT_TRUE(FolderExists(path));
    EXPECT_TRUE(ListFolder(path).empty());
    std::vector<std::wstring> names = ListFolder(tmp.Path());
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ(0u, names[1].find(L"UnInstall Tarvelo.quarantine-"));
    std::string moved;
    EXPECT_TRUE(ReadFileBytes(tmp.Sub(names[1]), &moved));
    EXPECT_EQ("theirs", moved);
}
