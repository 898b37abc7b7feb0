#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ArchiveTestData.h"
#include "PackageExtract.h"
#include "TestUtil.h"

TEST(ExtractPackage, ThreeEntriesOfWhichTheSecondFails) {
    CTempFolder tmp(L"pkg");
    std::wstring out = tmp.Sub(L"Tarvelo");
    EXPECT_EQ(PackageDamaged, ExtractPackage(ZipPath(L"three.zip").c_str(), out.c_str(), 0));
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
    EXPECT_EQ(PackageExtracted, ExtractPackage(staging.c_str(), out.c_str(), 0));
    EXPECT_EQ(ReadAll(TestDataPath(L"payload\\roundtrip\\docs\\img\\a.png")),
              ReadAll(out + L"docs\\img\\a.png"));
    EXPECT_TRUE(::DeleteFileW(staging.c_str()));  // the archive was closed
}

TEST(ExtractPackage, NothingHappensForNullsNonArchivesAndEmptyArchives) {
    CTempFolder tmp(L"pkg");
    std::wstring out = tmp.Sub(L"Tarvelo");
    EXPECT_EQ(PackageUnusable, ExtractPackage(nullptr, out.c_str(), 0));
    EXPECT_EQ(PackageUnusable, ExtractPackage(ZipPath(L"empty.zip").c_str(), nullptr, 0));
    EXPECT_EQ(PackageUnusable, ExtractPackage(ZipPath(L"roundtrip.zip").c_str(), L"", 0));
    EXPECT_EQ(PackageDamaged, ExtractPackage(ZipPath(L"notzip.zip").c_str(), out.c_str(), 0));
    EXPECT_EQ(PackageExtracted, ExtractPackage(ZipPath(L"empty.zip").c_str(), out.c_str(), 0));
    EXPECT_FALSE(FolderExists(out));
}

// The pause only costs time: the stop is looked at between entries, not
// during it, so its length is all there is to see. Each package with an
// entry pauses once; one without entries not at all (its pause alone would
// pass the bound).
TEST(ExtractPackage, EachPackageWithEntriesPausesOnce) {
    CTempFolder tmp(L"pkg");
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(PackageExtracted,
              ExtractPackage(ZipPath(L"empty.zip").c_str(), tmp.Sub(L"e").c_str(), 60000));
    EXPECT_EQ(PackageExtracted,
              ExtractPackage(ZipPath(L"roundtrip.zip").c_str(), tmp.Sub(L"a").c_str()));
    EXPECT_EQ(PackageExtracted,
              ExtractPackage(ZipPath(L"infozip.zip").c_str(), tmp.Sub(L"b").c_str()));
    DWORD dwElapsed = ::GetTickCount() - dwStart;
    EXPECT_GE(dwElapsed, 2u * kPackagePauseMs - 100);
    EXPECT_LT(dwElapsed, 30000u);
}

TEST(ExtractPackage, PackagesThatCanNeverUnpackAreUnusableAndSayWhichEntryWhy) {
    CTempFolder tmp(L"pkg");
    CLogFile log;
    EXPECT_EQ(PackageUnusable,
              ExtractPackage(ZipPath(L"unsafe.zip").c_str(), tmp.Sub(L"a").c_str(), 0));
    EXPECT_EQ(1, log.Count(L"entry 0 \"../x.txt\" refused: name refused"));
    EXPECT_EQ("x", ReadAll(tmp.Sub(L"a\\ok.txt")));  // the others are still extracted
    // Unusable outweighs damaged (a bad CRC beside an unsupported method).
    EXPECT_EQ(PackageUnusable,
              ExtractPackage(ZipPath(L"faults.zip").c_str(), tmp.Sub(L"b").c_str(), 0));
    EXPECT_EQ(1, log.Count(L"refused: compression method not supported"));
    // A folder where a file goes; access denied alone would look like a lock.
    ASSERT_TRUE(::CreateDirectoryW(tmp.Sub(L"c").c_str(), NULL));
    ASSERT_TRUE(::CreateDirectoryW(tmp.Sub(L"c\\empty.txt").c_str(), NULL));
    EXPECT_EQ(PackageUnusable,
              ExtractPackage(ZipPath(L"roundtrip.zip").c_str(), tmp.Sub(L"c").c_str(), 0));
    EXPECT_EQ(1, log.Count(L"\"empty.txt\" refused: a folder and a file of the same name"));
}

TEST(ExtractPackage, NamesWindowsWouldChangeAndCountsThatLieEndCleanly) {
    CTempFolder tmp(L"pkg");
    CLogFile log;
    // A stream, a wildcard, trailing dots and spaces, short-name shapes: each
    // refused by name (once: the package is unusable), the others unpacked.
    EXPECT_EQ(PackageUnusable,
              ExtractPackage(ZipPath(L"windows-names.zip").c_str(), tmp.Sub(L"a").c_str(), 0));
    EXPECT_EQ(6, log.Count(L"refused: name refused"));
    EXPECT_EQ((std::vector<std::wstring>{L"ok.txt", L"tilde~name.txt", L"v1.2~3.tar.gz"}),
              ListFolder(tmp.Sub(L"a")));
    // More entries counted than there are: the first unpacks, the next ends
    // it; more than the file could hold: not opened at all.
    EXPECT_EQ(PackageDamaged,
              ExtractPackage(ZipPath(L"lying-count.zip").c_str(), tmp.Sub(L"b").c_str(), 0));
    EXPECT_EQ(1, log.Count(L"entry 1 of 3 cannot be reached"));
    EXPECT_EQ("f", ReadAll(tmp.Sub(L"b\\first.txt")));
    EXPECT_EQ(PackageDamaged,
              ExtractPackage(ZipPath(L"huge-count.zip").c_str(), tmp.Sub(L"c").c_str(), 0));
    EXPECT_FALSE(FolderExists(tmp.Sub(L"c\\first.txt")) || FileExists(tmp.Sub(L"c\\first.txt")));
}

TEST(ExtractPackage, PackagesFromRealToolsUnpackUnderTheirRealNames) {
    for (const wchar_t* pszZip :
         {L"tool-zip.zip", L"tool-7z.zip", L"tool-jar.zip", L"tool-bsdtar.zip"}) {
        CTempFolder tmp(L"tool");
        EXPECT_EQ(PackageExtracted, ExtractPackage(ZipPath(pszZip).c_str(), tmp.Path().c_str(), 0))
            << pszZip;
        EXPECT_EQ((std::vector<std::wstring>{L"plain", L"中文目录", L"说明.txt"}),
                  ListFolder(tmp.Path()))
            << pszZip;
        EXPECT_EQ(ReadAll(TestDataPath(L"payload\\realtools\\中文目录\\文件.txt")),
                  ReadAll(tmp.Sub(L"中文目录\\文件.txt")))
            << pszZip;
    }
}

TEST(ExtractPackage, PackagesOverTheLimitsAreRefusedBeforeAnythingIsWritten) {
    CTempFolder tmp(L"pkg");
    CLogFile log;
    // roundtrip.zip: five entries declaring 277890 bytes in all.
    std::wstring zip = ZipPath(L"roundtrip.zip");
    const PackageLimits fewEntries = {4, kPackageMaxBytes};
    EXPECT_EQ(PackageTooLarge,
              ExtractPackage(zip.c_str(), tmp.Sub(L"a").c_str(), 0, NULL, fewEntries));
    EXPECT_EQ(1, log.Count(L"has 5 entries, more than 4"));
    EXPECT_TRUE(ListFolder(tmp.Sub(L"a")).empty());
    const PackageLimits fewBytes = {kPackageMaxEntries, 277889};
    EXPECT_EQ(PackageTooLarge,
              ExtractPackage(zip.c_str(), tmp.Sub(L"b").c_str(), 0, NULL, fewBytes));
    EXPECT_EQ(1, log.Count(L"declares more than 277889 uncompressed bytes"));
    EXPECT_TRUE(ListFolder(tmp.Sub(L"b")).empty());
    const PackageLimits justEnough = {5, 277890};
    EXPECT_EQ(PackageExtracted,
              ExtractPackage(zip.c_str(), tmp.Sub(L"c").c_str(), 0, NULL, justEnough));
}
