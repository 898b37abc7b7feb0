#include <gtest/gtest.h>

#include "ArchiveTestData.h"
#include "PackageExtract.h"
#include "TestUtil.h"

TEST(ExtractPackage, ThreeEntriesOfWhichTheSecondFails) {
    CTempFolder tmp(L"pkg");
    std::wstring out = tmp.Sub(L"Tarvelo");
    EXPECT_FALSE(ExtractPackage(ZipPath(L"three.zip").c_str(), out.c_str(), 0));
    EXPECT_EQ("one", ReadAll(out + L"\\first.txt"));
    EXPECT_EQ("three", ReadAll(out + L"\\third.txt"));
}

TEST(ExtractPackage, WholePackageThenTheArchiveCanBeDeleted) {
    CTempFolder tmp(L"pkg");
    std::string zip;
    ASSERT_TRUE(ReadFileBytes(ZipPath(L"roundtrip.zip"), &zip));
    std::wstring staging = tmp.Sub(L"package.zip");
    ASSERT_TRUE(WriteFileBytes(staging, zip));
    std::wstring out = tmp.Sub(L"Tarvelo\\");  // with a trailing separator
    EXPECT_TRUE(ExtractPackage(staging.c_str(), out.c_str(), 0));
    EXPECT_EQ(ReadAll(TestDataPath(L"payload\\roundtrip\\docs\\img\\a.png")),
              ReadAll(out + L"docs\\img\\a.png"));
    EXPECT_TRUE(::DeleteFileW(staging.c_str()));  // the archive was closed
}

TEST(ExtractPackage, NothingHappensForNullsNonArchivesAndEmptyArchives) {
    CTempFolder tmp(L"pkg");
    std::wstring out = tmp.Sub(L"Tarvelo");
    EXPECT_FALSE(ExtractPackage(nullptr, out.c_str(), 0));
    EXPECT_FALSE(ExtractPackage(ZipPath(L"empty.zip").c_str(), nullptr, 0));
    EXPECT_FALSE(ExtractPackage(ZipPath(L"notzip.zip").c_str(), out.c_str(), 0));
    EXPECT_FALSE(FolderExists(out));

    // No entry, no pause: far quicker than the pause it would otherwise take.
    DWORD dwStart = ::GetTickCount();
    EXPECT_TRUE(ExtractPackage(ZipPath(L"empty.zip").c_str(), out.c_str(), 60000));
    EXPECT_LT(::GetTickCount() - dwStart, 30000u);
    EXPECT_FALSE(FolderExists(out));
}

TEST(ExtractPackage, EachPackagePausesThreeSecondsBeforeItsFirstEntry) {
    CTempFolder tmp(L"pkg");
    DWORD dwStart = ::GetTickCount();
    EXPECT_TRUE(ExtractPackage(ZipPath(L"roundtrip.zip").c_str(), tmp.Sub(L"a").c_str()));
    EXPECT_TRUE(ExtractPackage(ZipPath(L"infozip.zip").c_str(), tmp.Sub(L"b").c_str()));
    EXPECT_GE(::GetTickCount() - dwStart, 2u * kPackagePauseMs - 100);
}
