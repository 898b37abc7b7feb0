#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "EntryIndex.h"
#include "Handle.h"
#include "TestUtil.h"
#include "zlib.h"

namespace {

const char kSha[] = "0000000000000000000000000000000000000000000000000000000000000000";

// An index of a 1000-byte package whose directory starts at 600: three
// entries of 100, 200 and 300 bytes.
std::string Line(const char* pszOffset, const char* pszLength, const char* pszName,
                 const char* pszMethod = "8", const char* pszSizes = "10 20",
                 const char* pszAttributes = "32") {
    return std::string("entry ") + pszOffset + " " + pszLength + " " + pszMethod + " " + pszSizes +
           " 0a0b0c0d 1700000000 " + pszAttributes + " " + kSha + " " + pszName + "\n";
}

std::string Index(const std::string& entries, const char* pszPackage = "1000 3 600") {
    return std::string("tarvelo-index 1\npackage ") + pszPackage + "\n" + entries;
}

const std::string kGood = Index(Line("0", "100", "a.txt") + Line("100", "200", "sub/b.dll") +
                                Line("300", "300", "sub/\xe4\xb8\xad.txt"));

const wchar_t* Parse(const std::string& text, EntryIndex* pIndex, DWORD cbPackage = 1000) {
    return ParseEntryIndex(reinterpret_cast<const BYTE*>(text.data()),
                           static_cast<DWORD>(text.size()), cbPackage, pIndex);
}

}  // namespace

TEST(EntryIndex, ReadsEntriesAndMergesAdjacentWantedOnesIntoRuns) {
    EntryIndex index;
    ASSERT_EQ(nullptr, Parse(kGood, &index));
    ASSERT_EQ(3u, index.entries.size());
    EXPECT_STREQ(L"sub/b.dll", index.NameOf(index.entries[1]));
    EXPECT_STREQ(L"sub/\x4e2d.txt", index.NameOf(index.entries[2]));
    EXPECT_EQ(100u, index.entries[1].dwOffset);
    EXPECT_EQ(0x0a0b0c0du, index.entries[0].dwCrc);
    EXPECT_EQ(32u, index.entries[0].dwAttributes);

    std::vector<IndexEntry> entries = index.entries;
    entries[1].bWanted = entries[2].bWanted = true;
    std::vector<EntryRun> runs = MergeWantedRuns(entries, 1000);
    ASSERT_EQ(1u, runs.size());
    EXPECT_EQ(1u, runs[0].nFirst);
    EXPECT_EQ(3u, runs[0].nEnd);
    // Split where an entry is not wanted, and where a run would grow too long.
    entries[0].bWanted = true;
    entries[1].bWanted = false;
    EXPECT_EQ(2u, MergeWantedRuns(entries, 1000).size());
    entries[1].bWanted = true;
    EXPECT_EQ(1u, MergeWantedRuns(entries, 600).size());
    EXPECT_EQ(2u, MergeWantedRuns(entries, 599).size());
}

TEST(EntryIndex, RefusesWhatWouldMisplaceOrMisnameAnyByte) {
    const std::string a = Line("0", "100", "a.txt"), c = Line("300", "300", "c.txt");
    const std::string bad[] = {
        "",
        kGood.substr(0, kGood.size() - 1),                                  // cut short
        "tarvelo-index 2\n" + kGood.substr(16),                             // another version
        Index(a + Line("100", "200", "b.txt") + c, "999 3 600"),            // not the release's size
        Index(a + Line("100", "200", "b.txt") + c, "1000 3 1001"),          // directory past the end
        Index(a + Line("100", "200", "b.txt"), "1000 3 600"),               // fewer entries
        Index(a + Line("100", "200", "b.txt") + c + c, "1000 3 600"),       // more entries
        Index(a + Line("110", "190", "b.txt") + c),                         // a gap
        Index(a + Line("90", "210", "b.txt") + c),                          // overlap
        Index(Line("100", "200", "b.txt") + a + c),                         // out of order
        Index(a + Line("100", "200", "b.txt") + Line("300", "301", "c.txt")),  // past the directory
        Index(a + Line("100", "200", "b.txt") + Line("300", "200", "c.txt")),  // ends before it
        Index(a + Line("100", "200", "../b.txt") + c),
        Index(a + Line("100", "200", "sub/../../b.txt") + c),
        Index(a + Line("100", "200", "nul.txt") + c),
        Index(a + Line("100", "200", "C:b.txt") + c),
        Index(a + Line("100", "200", "b.txt:stream") + c),
        Index(a + Line("100", "200", "\xff\xfe.txt") + c),                  // not UTF-8
        Index(a + Line("100", "200", "") + c),
        Index(a + Line("100", "200", "b.txt", "9") + c),                    // method
        Index(a + Line("100", "200", "b.txt", "0", "10 20") + c),           // stored, two sizes
        Index(a + Line("100", "200", "b.txt", "8", "180 20") + c),          // data past its range
        Index(a + Line("100", "200", "b.txt", "8", "10 20", "1024") + c),   // attributes
        Index(a + Line("100", "200", "dir/", "8", "10 20") + c),            // folder with data
        Index(a + Line("100", "0200", "b.txt") + c),                        // leading zero
        Index(a + Line("100", "200", "b.txt", "8", "10 4294967296") + c),   // over 32 bits
        Index(a + Line("100", "200", std::string(520, 'x').c_str()) + c),   // line too long
    };
    for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); ++i) {
        EntryIndex index;
        EXPECT_NE(nullptr, Parse(bad[i], &index)) << "case " << i;
        EXPECT_TRUE(index.entries.empty() && index.names.empty()) << "case " << i;
    }
}

TEST(EntryIndex, UnpacksOnlyAnEntryThatIsWhatTheIndexSays) {
    const std::string content(70000, 'q');
    // A deflated entry (raw deflate of two stored blocks, which any
    // inflater reads) after its local header and name, no extra field.
    std::vector<BYTE> data;
    for (size_t at = 0; at < content.size(); at += 65535) {
        const size_t cb = content.size() - at < 65535 ? content.size() - at : 65535;
        const BYTE block[] = {static_cast<BYTE>(at + cb == content.size()),
                              static_cast<BYTE>(cb), static_cast<BYTE>(cb >> 8),
                              static_cast<BYTE>(~cb), static_cast<BYTE>(~cb >> 8)};
        data.insert(data.end(), block, block + 5);
        data.insert(data.end(), content.begin() + at, content.begin() + at + cb);
    }
    const DWORD cbDeflated = static_cast<DWORD>(data.size());

    IndexEntry entry = IndexEntry();
    entry.nMethod = 8;
    entry.cbCompressed = cbDeflated;
    entry.cbSize = static_cast<DWORD>(content.size());
    entry.dwCrc = crc32(0, reinterpret_cast<const Bytef*>(content.data()), entry.cbSize);
    entry.cbRawName = 5;
    entry.cbLength = kLocalHeaderBytes + 5 + cbDeflated;
    ASSERT_TRUE(Sha256(reinterpret_cast<const BYTE*>(content.data()), entry.cbSize, entry.digest));
    std::vector<BYTE> range(kLocalHeaderBytes);
    const DWORD header[] = {0x04034B50, 20, 0, 8, 0, 0, entry.dwCrc, cbDeflated, entry.cbSize, 5, 0};
    const int widths[] = {4, 2, 2, 2, 2, 2, 4, 4, 4, 2, 2};
    for (size_t i = 0, at = 0; i < 11; at += widths[i++])
        memcpy(&range[at], &header[i], widths[i]);
    range.insert(range.end(), {'a', '.', 't', 'x', 't'});
    range.insert(range.end(), data.begin(), data.begin() + cbDeflated);

    CTempFolder tmp(L"entryrange");
    auto unpack = [&](const std::vector<BYTE>& bytes, const IndexEntry& e, std::string* pOut) {
        const std::wstring path = tmp.Sub(L"out.txt");
        CFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
        const wchar_t* pszWhy = nullptr;
        const bool bOk = UnpackEntryRange(bytes.data(), e, file.Get(), &pszWhy);
        file.Close();
        pOut->clear();
        ReadFileBytes(path, pOut);
        return bOk;
    };
    std::string out;
    ASSERT_TRUE(unpack(range, entry, &out));
    EXPECT_EQ(content, out);

    IndexEntry other = entry;
    other.digest[0] ^= 1;  // same CRC, other content
    EXPECT_FALSE(unpack(range, other, &out));
    other = entry;
    other.cbSize -= 1;  // inflates to more than it says
    EXPECT_FALSE(unpack(range, other, &out));
    EXPECT_LE(out.size(), other.cbSize);
    std::vector<BYTE> damaged = range;
    damaged[kLocalHeaderBytes + 5 + cbDeflated / 2] ^= 0x55;
    EXPECT_FALSE(unpack(damaged, entry, &out));
    damaged = range;
    damaged[26] = 6;  // a name of another length: another entry's header
    EXPECT_FALSE(unpack(damaged, entry, &out));
}
