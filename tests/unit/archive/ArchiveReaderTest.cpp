#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ArchiveReader.h"
#include "ArchiveTestData.h"
#include "TestUtil.h"

namespace {

// Opens an archive for a test and closes it at the end.
class CArchive {
public:
    explicit CArchive(const wchar_t* pszZip) : m_h(ArchiveOpen(ZipPath(pszZip).c_str())) {}
    ~CArchive() {
        if (m_h) ArchiveClose(m_h);
    }
    ArchiveReader* Get() const { return m_h; }
    ArchiveEntry Entry(int32_t nIndex, ArchiveResult expected = Ok) const {
        ArchiveEntry entry;
        memset(&entry, 0xCC, sizeof(entry));
        EXPECT_EQ(expected, ArchiveGetEntry(m_h, nIndex, &entry)) << "index " << nIndex;
        return entry;
    }
    int32_t Count() const { return Entry(-1).nIndex; }
    ArchiveResult Extract(int32_t nIndex) const {
        return ArchiveExtractToFile(m_h, nIndex, Entry(nIndex).szEntryName);
    }

private:
    ArchiveReader* m_h;
};

const char kDosStamp[] = "2021-06-15 10:20:30";  // local time, as the archives store it

}  // namespace

TEST(ArchiveReader, StoredDeflatedNestedAndEmptyEntriesRoundTrip) {
    CTempFolder tmp(L"arc");
    std::wstring out = tmp.Sub(L"out");  // not there yet: the reader makes it
    CArchive zip(L"roundtrip.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), out.c_str()));
    ASSERT_EQ(5, zip.Count());
    for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(Ok, zip.Extract(i)) << i;

    for (const wchar_t* name : {L"stored.bin", L"deflated.txt", L"docs\\img\\a.png", L"empty.txt"})
        EXPECT_EQ(ReadAll(TestDataPath(L"payload\\roundtrip\\") + name),
                  ReadAll(out + L"\\" + name))
            << name;
    EXPECT_TRUE(FolderExists(out + L"\\docs"));  // the directory entry wrote no file
    ArchiveEntry stored = zip.Entry(0);
    EXPECT_STREQ(L"stored.bin", stored.szEntryName);
    EXPECT_EQ(40000, stored.nCompressedSize);
    EXPECT_EQ(40000, stored.nUncompressedSize);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE, zip.Entry(2).dwAttributes);
}

TEST(ArchiveReader, InfoZipArchiveRestoresContentAndTimes) {
    CTempFolder tmp(L"arc");
    CArchive zip(L"infozip.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), (tmp.Path() + L"\\").c_str()));
    for (int32_t i = 0, n = zip.Count(); i < n; ++i) EXPECT_EQ(Ok, zip.Extract(i));

    HANDLE h = ::CreateFileW(tmp.Sub(L"a\\b.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                             OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    FILETIME ftCreation, ftAccess, ftWrite;
    ASSERT_TRUE(::GetFileTime(h, &ftCreation, &ftAccess, &ftWrite));
    ::CloseHandle(h);
    EXPECT_EQ("2020-09-13 12:26:40", TimeText(ftWrite));   // Unix 1600000000
    EXPECT_EQ("2017-07-14 02:40:00", TimeText(ftAccess));  // Unix 1500000000
    // Read only now: reading may move the access time.
    EXPECT_EQ(ReadAll(TestDataPath(L"payload\\infozip\\a\\b.txt")), ReadAll(tmp.Sub(L"a\\b.txt")));
}

TEST(ArchiveReader, NamesLoseDrivesLeadingSeparatorsAndParentPrefixes) {
    CArchive zip(L"names.zip");
    ASSERT_TRUE(zip.Get());
    const wchar_t* expected[] = {L"data\\a.txt", L"etc/x", L"two\\b.txt",
                                 L"b.txt",       L"z",     L"plain.txt"};
    ASSERT_EQ(6, zip.Count());
    for (int32_t i = 0; i < 6; ++i) EXPECT_STREQ(expected[i], zip.Entry(i).szEntryName);
}

TEST(ArchiveReader, EmptyArchiveMissingFileAndNonArchive) {
    {
        CArchive zip(L"empty.zip");
        ASSERT_TRUE(zip.Get());
        EXPECT_EQ(0, zip.Count());
        zip.Entry(0, BadArgument);
        EXPECT_EQ(BadArgument, ArchiveExtractToFile(zip.Get(), 0, L"x"));
    }
    g_nArchiveLastResult = Ok;
    EXPECT_EQ(nullptr, ArchiveOpen(ZipPath(L"notzip.zip").c_str()));
    EXPECT_EQ(FileError, g_nArchiveLastResult);
    g_nArchiveLastResult = Ok;
    EXPECT_EQ(nullptr, ArchiveOpen(ZipPath(L"no-such.zip").c_str()));
    EXPECT_EQ(FileError, g_nArchiveLastResult);
}

TEST(ArchiveReader, TimesComeFromDosTimeAndTheFirstLocalUtBlock) {
    CArchive zip(L"times.zip");
    ASSERT_TRUE(zip.Get());
    struct Case {
        const char* pszWrite;
        const char* pszAccess;
        const char* pszCreation;
        bool bLocal;  // the expected texts are local times
    } cases[] = {
        {kDosStamp, kDosStamp, kDosStamp, true},  // no extra field
        // The central directory's "UT" block (another time) is not consulted.
        {"2020-09-13 12:26:40", nullptr, nullptr, false},
        // After a 259-byte block of another kind; creation time -1 is signed.
        {"2017-07-14 02:40:00", "2014-05-13 16:53:20", "1969-12-31 23:59:59", false},
        // Flags announce three times; the block holds one.
        {"2011-03-13 07:06:40", nullptr, nullptr, false},
        // The block's size runs past the end of the extra field.
        {"2008-01-10 21:20:00", nullptr, nullptr, false},
        // Month 0 and hour 31 are no calendar times: the DOS epoch.
        {"1980-01-01 00:00:00", "1980-01-01 00:00:00", "1980-01-01 00:00:00", true},
        {"1980-01-01 00:00:00", "1980-01-01 00:00:00", "1980-01-01 00:00:00", true},
    };
    ASSERT_EQ(7, zip.Count());
    for (int32_t i = 0; i < 7; ++i) {
        ArchiveEntry entry = zip.Entry(i);
        const Case& c = cases[i];
        EXPECT_EQ(c.pszWrite, TimeText(entry.ftWriteTime, c.bLocal)) << i;
        EXPECT_EQ(c.pszAccess ? c.pszAccess : kDosStamp,
                  TimeText(entry.ftAccessTime, c.bLocal || !c.pszAccess))
            << i;
        EXPECT_EQ(c.pszCreation ? c.pszCreation : kDosStamp,
                  TimeText(entry.ftCreationTime, c.bLocal || !c.pszCreation))
            << i;
    }
}

TEST(ArchiveReader, AttributesFollowTheHostSystemAndReadOnlyIsApplied) {
    CTempFolder tmp(L"arc");
    CArchive zip(L"attrs.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), tmp.Path().c_str()));
    const DWORD expected[] = {0x30, 0x21, 0x20, 0x22, 0x25, 0x01, 0x10};
    ASSERT_EQ(7, zip.Count());
    for (int32_t i = 0; i < 7; ++i) {
        EXPECT_EQ(expected[i], zip.Entry(i).dwAttributes) << i;
        EXPECT_EQ(Ok, zip.Extract(i)) << i;
    }
    EXPECT_TRUE(FolderExists(tmp.Sub(L"udir")));
    EXPECT_TRUE(FolderExists(tmp.Sub(L"vdir")));
    EXPECT_TRUE(::GetFileAttributesW(tmp.Sub(L"uro.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(::GetFileAttributesW(tmp.Sub(L"urw.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Ok, zip.Extract(2));  // an existing file is replaced
}

TEST(ArchiveReader, AFileThatCannotBeWrittenFailsAloneAndTouchesNothingElse) {
    CTempFolder tmp(L"arc");
    CArchive zip(L"roundtrip.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), tmp.Path().c_str()));
    ASSERT_TRUE(::CreateDirectoryW(tmp.Sub(L"dir.txt").c_str(), NULL));
    ASSERT_TRUE(WriteFileBytes(tmp.Sub(L"file"), "mine"));
    ASSERT_TRUE(WriteFileBytes(tmp.Sub(L"held.txt"), "held"));
    HANDLE hHeld =
        ::CreateFileW(tmp.Sub(L"held.txt").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    // A clash of names never mends; a file in use may be free on the next try.
    EXPECT_EQ(PlaceTaken, ArchiveExtractToFile(zip.Get(), 1, L"dir.txt"));
    EXPECT_EQ(PlaceTaken, ArchiveExtractToFile(zip.Get(), 1, L"file\\in.txt"));
    EXPECT_EQ(PlaceTaken, ArchiveExtractToFile(zip.Get(), 1, L"file\\sub\\in.txt"));
    EXPECT_EQ(PlaceTaken, ArchiveExtractToFile(zip.Get(), 2, L"file\\sub\\"));  // a folder entry
    EXPECT_EQ(FileError, ArchiveExtractToFile(zip.Get(), 1, L"held.txt"));
    EXPECT_EQ(Ok, zip.Extract(1));
    ::CloseHandle(hHeld);
    EXPECT_EQ("held", ReadAll(tmp.Sub(L"held.txt")));
    EXPECT_EQ("mine", ReadAll(tmp.Sub(L"file")));
    EXPECT_TRUE(ListFolder(tmp.Sub(L"dir.txt")).empty());
    EXPECT_EQ((std::vector<std::wstring>{L"deflated.txt", L"dir.txt", L"file", L"held.txt"}),
              ListFolder(tmp.Path()));
    EXPECT_EQ(ReadAll(TestDataPath(L"payload\\roundtrip\\deflated.txt")),
              ReadAll(tmp.Sub(L"deflated.txt")));
}

TEST(ArchiveReader, AFolderRemovedBetweenEntriesIsMadeAgainForTheNext) {
    CTempFolder tmp(L"arc");
    std::wstring out = tmp.Sub(L"out");
    CArchive zip(L"roundtrip.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), out.c_str()));
    ASSERT_EQ(Ok, ArchiveExtractToFile(zip.Get(), 0, L"sub\\one.bin"));
    ForceRemoveTree(out);
    ASSERT_FALSE(FolderExists(out));
    EXPECT_EQ(Ok, ArchiveExtractToFile(zip.Get(), 1, L"sub\\two.txt"));
    EXPECT_EQ(ReadAll(TestDataPath(L"payload\\roundtrip\\deflated.txt")),
              ReadAll(out + L"\\sub\\two.txt"));
    EXPECT_EQ(std::vector<std::wstring>{L"two.txt"}, ListFolder(out + L"\\sub"));
    EXPECT_EQ(std::vector<std::wstring>{L"out"}, ListFolder(tmp.Path()));
}

TEST(ArchiveReader, CachedRecordIsServedWholeAndArgumentsAreChecked) {
    CTempFolder tmp(L"arc");
    CArchive zip(L"times.zip");
    ASSERT_TRUE(zip.Get());
    ArchiveEntry first = zip.Entry(2);
    EXPECT_EQ(7, zip.Count());  // asking for the count keeps the cache
    ArchiveEntry second = zip.Entry(2);
    EXPECT_EQ(0, memcmp(&first, &second, sizeof(first)));
    EXPECT_EQ(2, second.nIndex);
    // A lower index after a higher one restarts at the first entry.
    EXPECT_STREQ(L"dos_only.txt", zip.Entry(0).szEntryName);
    EXPECT_STREQ(L"bad_hour.txt", zip.Entry(6).szEntryName);

    ArchiveEntry entry;
    wcscpy(entry.szEntryName, L"stale");
    EXPECT_EQ(BadArgument, ArchiveGetEntry(zip.Get(), 7, &entry));
    EXPECT_EQ(BadArgument, g_nArchiveLastResult);
    EXPECT_EQ(0, entry.szEntryName[0]);  // a failed call leaves an empty name
    EXPECT_EQ(BadArgument, ArchiveGetEntry(zip.Get(), -2, &entry));
    EXPECT_EQ(BadArgument, ArchiveGetEntry(nullptr, 0, &entry));
    EXPECT_EQ(BadArgument, ArchiveExtractToFile(zip.Get(), -1, L"x"));
    EXPECT_EQ(BadArgument, ArchiveExtractToFile(nullptr, 0, L"x"));
    EXPECT_EQ(BadArgument, ArchiveSetTargetFolder(nullptr, tmp.Path().c_str()));
    EXPECT_EQ(BadArgument, ArchiveClose(nullptr));
}

TEST(ArchiveReader, DamagedEntriesFailWithTheirCodes) {
    CTempFolder tmp(L"arc");
    CArchive zip(L"faults.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), tmp.Path().c_str()));
    EXPECT_EQ(Ok, zip.Extract(0));
    EXPECT_EQ(InflateError, zip.Extract(1));  // whole data, wrong CRC-32
    // Local header disagrees with the central record; bzip2 is not supported.
    EXPECT_EQ(0, zip.Entry(2, BadEntryHeader).szEntryName[0]);
    EXPECT_EQ(BadEntryHeader, ArchiveExtractToFile(zip.Get(), 2, L"x.txt"));
    EXPECT_EQ(0, zip.Entry(3, MethodUnsupported).szEntryName[0]);
    EXPECT_EQ(MethodUnsupported, ArchiveExtractToFile(zip.Get(), 3, L"x.txt"));
    EXPECT_FALSE(FileExists(tmp.Sub(L"x.txt")));
    EXPECT_EQ(InflateError, zip.Extract(4));  // deflate stream cut in half
    EXPECT_EQ(InflateError, zip.Extract(5));  // stored data shorter than its size
    EXPECT_EQ(Ok, zip.Extract(0));            // the reader still works afterwards
}

TEST(ArchiveReader, EncryptedEntriesOpenWithTheEmptyPassword) {
    CTempFolder tmp(L"arc");
    CArchive zip(L"encrypted.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), tmp.Path().c_str()));
    std::string text = ReadAll(TestDataPath(L"payload\\encrypted\\text.txt"));
    EXPECT_EQ(Ok, zip.Extract(0));  // stored; check byte from the CRC-32
    EXPECT_EQ(text, ReadAll(tmp.Sub(L"enc_stored.txt")));
    EXPECT_EQ(Ok, zip.Extract(1));  // deflated, data descriptor; check byte from the time
    EXPECT_EQ(text, ReadAll(tmp.Sub(L"enc_deflated.txt")));
    EXPECT_EQ(PasswordError, zip.Extract(2));
    EXPECT_EQ(InflateError, zip.Extract(3));  // header passes, data under another key
}

TEST(ArchiveReader, NothingIsWrittenOutsideTheTargetFolder) {
    CTempFolder tmp(L"arc");
    std::wstring out = tmp.Sub(L"box\\out");
    ASSERT_TRUE(::CreateDirectoryW(tmp.Sub(L"box").c_str(), NULL));
    CArchive zip(L"unsafe.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), out.c_str()));
    ASSERT_EQ(8, zip.Count());
    for (int32_t i = 0; i < 7; ++i) EXPECT_NE(Ok, zip.Extract(i)) << i;
    EXPECT_EQ(Ok, zip.Extract(7));
    EXPECT_NE(Ok, ArchiveExtractToFile(zip.Get(), 7, L"sub\\..\\..\\evil.txt"));
    EXPECT_EQ(Ok, ArchiveExtractToFile(zip.Get(), 7, L".hidden..txt"));  // dots within a name
    EXPECT_EQ(std::vector<std::wstring>{L"box"}, ListFolder(tmp.Path()));
    EXPECT_EQ(std::vector<std::wstring>{L"out"}, ListFolder(tmp.Sub(L"box")));
    EXPECT_EQ((std::vector<std::wstring>{L".hidden..txt", L"ok.txt"}), ListFolder(out));
}

TEST(ArchiveReader, OverlongNamesAndPathsFailCleanly) {
    CTempFolder tmp(L"arc");
    CArchive zip(L"long.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), tmp.Path().c_str()));
    EXPECT_EQ(259u, wcslen(zip.Entry(0).szEntryName));  // fits the record
    EXPECT_EQ(PathTooLong, zip.Extract(0));             // but not below the folder
    EXPECT_EQ(0, zip.Entry(1, PathTooLong).szEntryName[0]);
    EXPECT_EQ(PathTooLong, ArchiveExtractToFile(zip.Get(), 1, L"x.txt"));
    EXPECT_TRUE(ListFolder(tmp.Path()).empty());

    // Windows makes no folder path of 248 characters, nor a file path of 260.
    std::wstring folder(247 - (tmp.Path().size() + 1), L'd');
    EXPECT_EQ(PathTooLong, ArchiveExtractToFile(zip.Get(), 2, (folder + L"e/").c_str()));
    EXPECT_EQ(Ok, ArchiveExtractToFile(zip.Get(), 2, (folder + L"/").c_str()));
    std::wstring file = folder + L"/" + std::wstring(11, L'f');  // 259 in all
    EXPECT_EQ(PathTooLong, ArchiveExtractToFile(zip.Get(), 0, (file + L"g").c_str()));
    EXPECT_EQ(Ok, ArchiveExtractToFile(zip.Get(), 0, file.c_str()));
    EXPECT_TRUE(FileExists(tmp.Path() + L"\\" + folder + L"\\" + std::wstring(11, L'f')));

    std::wstring deep = tmp.Path() + L"\\" + std::wstring(300, L'f');
    EXPECT_EQ(BadArgument, ArchiveSetTargetFolder(zip.Get(), deep.c_str()));
    EXPECT_EQ(BadArgument, ArchiveSetTargetFolder(zip.Get(), L""));  // not the drive's root
}

TEST(ArchiveReader, NamesEndingInASeparatorAreFoldersAndHostsWithoutModesGiveWritableFiles) {
    CTempFolder tmp(L"arc");
    CArchive zip(L"folders.zip");
    ASSERT_TRUE(zip.Get());
    ASSERT_EQ(Ok, ArchiveSetTargetFolder(zip.Get(), tmp.Path().c_str()));
    ASSERT_EQ(6, zip.Count());
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(Ok, zip.Extract(i)) << i;
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, zip.Entry(0).dwAttributes);  // jar: attributes 0
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE, zip.Entry(2).dwAttributes);
    EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE, zip.Entry(3).dwAttributes);  // Unix host, mode 0
    EXPECT_STREQ(L"", zip.Entry(4).szEntryName);                   // "./": the folder itself
    EXPECT_EQ("j", ReadAll(tmp.Sub(L"jar\\in.txt")));
    EXPECT_FALSE(::GetFileAttributesW(tmp.Sub(L"unix0\\plain.txt").c_str()) &
                 FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ("p", ReadAll(tmp.Sub(L"inplace.txt")));
    EXPECT_EQ((std::vector<std::wstring>{L"inplace.txt", L"jar", L"unix0"}),
              ListFolder(tmp.Path()));
}

TEST(ArchiveReader, NameEncodingsFollowFlagThenUnicodePathFieldThenHost) {
    CArchive zip(L"encodings.zip");
    ASSERT_TRUE(zip.Get());
    EXPECT_STREQ(L"文档.txt", zip.Entry(0).szEntryName);  // the field's UTF-8 name
    // A field whose CRC-32 belongs to another name is not this name's: the
    // header's bytes (not UTF-8) are read in the ANSI code page instead.
    wchar_t szAnsi[32] = {0};
    ASSERT_LT(0, ::MultiByteToWideChar(CP_ACP, 0, "s\xce\xc4\xb5\xb5.txt", -1, szAnsi, 32));
    EXPECT_STREQ(szAnsi, zip.Entry(1).szEntryName);
    // Flagged UTF-8 that is not: an unusable name, never a garbled one.
    EXPECT_EQ(0, zip.Entry(2, NameRefused).szEntryName[0]);
    EXPECT_EQ(NameRefused, ArchiveExtractToFile(zip.Get(), 2, L"x.txt"));
}
