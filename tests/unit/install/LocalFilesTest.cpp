#include <gtest/gtest.h>

#include "LocalFiles.h"
#include "TestUtil.h"

TEST(DeleteFolder, RemovesANestedTreeDepthFirst) {
    CTempFolder tmp(L"del");
    std::wstring top = tmp.Sub(L"top");
    ASSERT_TRUE(::CreateDirectoryW(top.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((top + L"\\a").c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((top + L"\\a\\b").c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((top + L"\\空").c_str(), NULL));
    ASSERT_TRUE(WriteFileBytes(top + L"\\f1.txt", "1"));
    ASSERT_TRUE(WriteFileBytes(top + L"\\a\\f2.bin", "22"));
    ASSERT_TRUE(WriteFileBytes(top + L"\\a\\b\\f3", "333"));
    ASSERT_TRUE(WriteFileBytes(top + L"\\a\\b\\.hidden", "4"));

    EXPECT_TRUE(DeleteFolder(top.c_str()));
    EXPECT_FALSE(FolderExists(top));
    EXPECT_TRUE(FolderExists(tmp.Path()));  // the parent is untouched
}

TEST(DeleteFolder, MissingPathGivesFalseAndTouchesNothing) {
    CTempFolder tmp(L"del");
    ASSERT_TRUE(WriteFileBytes(tmp.Sub(L"keep.txt"), "k"));
    EXPECT_FALSE(DeleteFolder(tmp.Sub(L"nope").c_str()));
    EXPECT_FALSE(DeleteFolder(L""));
    EXPECT_TRUE(FileExists(tmp.Sub(L"keep.txt")));
}

TEST(DeleteFolder, AReadOnlyFileKeepsItsFolderChainAndGivesFalse) {
    CTempFolder tmp(L"del");
    std::wstring top = tmp.Sub(L"top");
    ASSERT_TRUE(::CreateDirectoryW(top.c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((top + L"\\keep").c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW((top + L"\\gone").c_str(), NULL));
    ASSERT_TRUE(WriteFileBytes(top + L"\\keep\\ro.txt", "ro"));
    ASSERT_TRUE(WriteFileBytes(top + L"\\keep\\rw.txt", "rw"));
    ASSERT_TRUE(WriteFileBytes(top + L"\\gone\\x.txt", "x"));
    ASSERT_TRUE(::SetFileAttributesW((top + L"\\keep\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_FALSE(DeleteFolder(top.c_str()));
    EXPECT_TRUE(FileExists(top + L"\\keep\\ro.txt"));
    EXPECT_FALSE(FileExists(top + L"\\keep\\rw.txt"));
    EXPECT_FALSE(FolderExists(top + L"\\gone"));
    EXPECT_TRUE(FolderExists(top));
}

TEST(DeleteFolder, PathsAtTheReadersLimitsAreDeleted) {
    CTempFolder tmp(L"del");
    // The deepest folder the reader makes (247 characters) and the longest
    // file it writes in it (259).
    std::wstring top = tmp.Sub(L"t");
    ASSERT_TRUE(::CreateDirectoryW(top.c_str(), NULL));
    std::wstring folder = top + L"\\" + std::wstring(247 - top.size() - 1, L'd');
    ASSERT_EQ(247u, folder.size());
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), NULL));
    std::wstring file = folder + L"\\" + std::wstring(259 - folder.size() - 1, L'f');
    ASSERT_EQ(259u, file.size());
    ASSERT_TRUE(WriteFileBytes(file, "at the limit"));

    EXPECT_TRUE(DeleteFolder(top.c_str()));
    EXPECT_FALSE(FolderExists(top));
}

TEST(WriteClientVersion, ReplacesOnlyTheVersionKey) {
    CTempFolder tmp(L"ver");
    ASSERT_TRUE(::CreateDirectoryW(tmp.Sub(L"config").c_str(), NULL));
    std::wstring file = tmp.Sub(L"config\\ORB.System.config");
    ASSERT_TRUE(WritePrivateProfileStringW(L"Client", L"Name", L"orb", file.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringW(L"Client", L"Version", L"1", file.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringW(L"Server", L"Port", L"8080", file.c_str()));

    WriteClientVersion(tmp.Path().c_str(), 2);

    wchar_t sz[64];
    GetPrivateProfileStringW(L"Client", L"Version", L"", sz, 64, file.c_str());
    EXPECT_STREQ(L"2", sz);
    GetPrivateProfileStringW(L"Client", L"Name", L"", sz, 64, file.c_str());
    EXPECT_STREQ(L"orb", sz);
    GetPrivateProfileStringW(L"Server", L"Port", L"", sz, 64, file.c_str());
    EXPECT_STREQ(L"8080", sz);
}

TEST(WriteClientVersion, WritesNothingWithoutTheConfigFolderAndSaysWhenItCannotWrite) {
    CTempFolder tmp(L"ver");
    EXPECT_TRUE(WriteClientVersion(tmp.Path().c_str(), 2));
    EXPECT_FALSE(FolderExists(tmp.Sub(L"config")));
    EXPECT_FALSE(FileExists(tmp.Sub(L"config\\ORB.System.config")));

    // A fresh file in an existing folder gets the section.
    ASSERT_TRUE(::CreateDirectoryW(tmp.Sub(L"config").c_str(), NULL));
    EXPECT_TRUE(WriteClientVersion(tmp.Path().c_str(), -12));
    wchar_t sz[64];
    GetPrivateProfileStringW(L"Client", L"Version", L"", sz, 64,
                             tmp.Sub(L"config\\ORB.System.config").c_str());
    EXPECT_STREQ(L"-12", sz);

    // The folder is there but the file cannot be written: a failure.
    CTempFolder other(L"ver");
    ASSERT_TRUE(::CreateDirectoryW(other.Sub(L"config").c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW(other.Sub(L"config\\ORB.System.config").c_str(), NULL));
    EXPECT_FALSE(WriteClientVersion(other.Path().c_str(), 2));
}
