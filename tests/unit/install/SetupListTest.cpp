#include <gtest/gtest.h>
#include <string.h>

#include "SetupList.h"
#include "TestUtil.h"

namespace {

std::vector<std::wstring> Split(const std::wstring& text, wchar_t ch) {
    std::vector<std::wstring> pieces{L"stale"};
    int n = SplitString(text, ch, &pieces);
    EXPECT_EQ(static_cast<int>(pieces.size()), n);
    return pieces;
}

typedef std::vector<std::wstring> Pieces;

// The list as the server sends it: byte-order mark and UTF-16LE text, in a
// zeroed block of the given size.
struct ListBuffer {
    ListBuffer(const std::wstring& text, DWORD nCapacity, bool bMark = true)
        : bytes((bMark ? std::string("\xFF\xFE", 2) : std::string()) + Utf16Bytes(text)),
          block(nCapacity, 0) {
        memcpy(block.data(), bytes.data(), std::min<size_t>(bytes.size(), nCapacity));
    }
    SetupListResult Validate(std::vector<SetupListEntry>* pList, BOOL bDownloaded = TRUE) {
        return ValidateSetupList(bDownloaded, block.data(), static_cast<DWORD>(bytes.size()),
                                 static_cast<DWORD>(block.size()), pList);
    }
    std::string bytes;
    std::vector<BYTE> block;
};

const wchar_t kDownloadFailed[] = L"下载Setupconfig.txt失败";
const wchar_t kEmpty[] = L"orbsetup.txt为空";
const wchar_t kNoContent[] = L"[CSetupDlg::Execute]Setupconfig.txt no content";

}  // namespace

TEST(SplitString, KeepsNonEmptyPiecesInOrderIncludingAfterALeadingSeparator) {
    EXPECT_EQ((Pieces{L"a", L"b", L"c"}), Split(L"a;b;c", L';'));
    EXPECT_EQ((Pieces{L"a", L"b"}), Split(L"a;;b;", L';'));
    EXPECT_EQ((Pieces{L"abc"}), Split(L"abc", L';'));
    EXPECT_EQ(Pieces{}, Split(L"", L';'));
    EXPECT_EQ(Pieces{}, Split(L";;;", L';'));
    // A leading separator only drops the empty piece before it.
    EXPECT_EQ((Pieces{L"x", L"y"}), Split(L";x;y", L';'));
    EXPECT_EQ((Pieces{L" a ", L"\n"}), Split(L" a \r\n", L'\r'));
}

TEST(ParseSetupList, CrLfLinesWithBlankLinesGiveOneEntryPerLineInOrder) {
    std::vector<SetupListEntry> list(3);  // cleared by the parse
    EXPECT_EQ(
        3, ParseSetupList(L"base.zip;1;1\r\n\r\nfont.zip;20;2\r\n\r\n\r\nold.zip;-3;3\r\n", &list));
    ASSERT_EQ(3u, list.size());
    EXPECT_STREQ(L"base.zip", list[0].szName);
    EXPECT_EQ(1, list[0].nValue);
    EXPECT_EQ(1, list[0].nKind);
    EXPECT_STREQ(L"font.zip", list[1].szName);
    EXPECT_EQ(20, list[1].nValue);
    EXPECT_EQ(2, list[1].nKind);
    EXPECT_STREQ(L"old.zip", list[2].szName);
    EXPECT_EQ(-3, list[2].nValue);
    EXPECT_EQ(3, list[2].nKind);
}

TEST(ParseSetupList, OnlyLinesWithThreeNonEmptyFieldsCount) {
    std::vector<SetupListEntry> list;
    EXPECT_EQ(4, ParseSetupList(L"four;1;1;1\r\ntwo;1\r\ntrail;1;1;\r\ndouble;;5;6\r\n"
                                L";lead;2;1\r\nkind7.zip;1;7\r\n \t\r\n",
                                &list));
    ASSERT_EQ(4u, list.size());
    EXPECT_STREQ(L"trail", list[0].szName);
    EXPECT_STREQ(L"double", list[1].szName);
    EXPECT_EQ(5, list[1].nValue);
    EXPECT_EQ(6, list[1].nKind);
    EXPECT_STREQ(L"lead", list[2].szName);
    // A kind that never applies is kept; the install sequence skips it.
    EXPECT_STREQ(L"kind7.zip", list[3].szName);
    EXPECT_EQ(7, list[3].nKind);
}

TEST(ParseSetupList, NumbersFollowAtolAndWhiteSpaceStaysInNames) {
    std::vector<SetupListEntry> list;
    EXPECT_EQ(4, ParseSetupList(L" a.zip ;12abc;x\r b;  +7;-0\r c;2147483648;1\rd;-99999999999;1",
                                &list));
    ASSERT_EQ(4u, list.size());
    EXPECT_STREQ(L" a.zip ", list[0].szName);
    EXPECT_EQ(12, list[0].nValue);
    EXPECT_EQ(0, list[0].nKind);
    EXPECT_EQ(7, list[1].nValue);
    EXPECT_EQ(0, list[1].nKind);
    // Out of range saturates rather than wrapping into another value.
    EXPECT_EQ(2147483647, list[2].nValue);
    EXPECT_EQ(-2147483647 - 1, list[3].nValue);
}

TEST(ParseSetupList, IgnoresNamesThatAreTooLongOrUnsafeAndNumbersTooLong) {
    std::wstring name31(31, L'n'), name32(32, L'm');
    std::wstring text = name31 + L";1;1\r" + name32 + L";1;1\r" + L"ok;1234567890123456789;1\r" +
                        L"long;12345678901234567890;1\r" +
                        L"..\\evil.zip;1;1\r../up.zip;1;1\r..;1;1\r.;1;1\rc:x.zip;1;1\r" +
                        L"a*b;1;1\rq?;1;1\r<x>;1;1\rp|q;1;1\r\"q\";1;1\rtab\there;1;1\r" +
                        L"sub/dir.zip;1;1\r包.zip;1;1\r...zip;1;1";
    std::vector<SetupListEntry> list;
    ASSERT_EQ(4, ParseSetupList(text, &list));
    EXPECT_EQ(name31, list[0].szName);
    EXPECT_STREQ(L"ok", list[1].szName);
    EXPECT_STREQ(L"包.zip", list[2].szName);
    EXPECT_STREQ(L"...zip", list[3].szName);
}

TEST(ParseSetupList, DuplicatesStaySeparateAndLfOnlyIsOneLine) {
    std::vector<SetupListEntry> list;
    EXPECT_EQ(2, ParseSetupList(L"same.zip;1;1\r\nsame.zip;1;1\r\n", &list));
    EXPECT_EQ(0, ParseSetupList(L"a.zip;1;1\nb.zip;1;1\n", &list));
    EXPECT_TRUE(list.empty());
    // One entry and LF line ends: the LF is stripped from the only line.
    EXPECT_EQ(1, ParseSetupList(L"a.zip;1;1\n", &list));
    EXPECT_STREQ(L"a.zip", list[0].szName);
}

TEST(ValidateSetupList, DownloadFailuresAndShortFilesGiveTheDownloadMessage) {
    std::vector<SetupListEntry> list;
    ListBuffer good(L"a.zip;1;1\r\n", 4096);
    SetupListResult r = good.Validate(&list, FALSE);
    EXPECT_FALSE(r.bOk);
    EXPECT_STREQ(kDownloadFailed, r.pszMessage);
    EXPECT_STREQ(L"[CSetupDlg::Execute] download Setupconfig.txt failed", r.pszLogLine);

    // Only the mark: two bytes are too short, whatever follows in the block.
    ListBuffer mark(L"", 4096);
    r = mark.Validate(&list);
    EXPECT_FALSE(r.bOk);
    EXPECT_STREQ(kDownloadFailed, r.pszMessage);
    EXPECT_STREQ(L"[CSetupDlg::Execute] download Setupconfig.txt faile", r.pszLogLine);

    // A list that fills its block has no terminating zero: refused, and
    // nothing past the block is read.
    ListBuffer full(L"a.zip;1;1\r\n", 24);
    ASSERT_EQ(24u, full.bytes.size());
    r = full.Validate(&list);
    EXPECT_FALSE(r.bOk);
    EXPECT_STREQ(kDownloadFailed, r.pszMessage);
    EXPECT_TRUE(list.empty());
}

TEST(ValidateSetupList, EmptyTextAndListsWithoutEntriesGiveTheEmptyMessage) {
    std::vector<SetupListEntry> list;
    // Four bytes: the mark and one CR.
    ListBuffer cr(L"\r", 4096);
    SetupListResult r = cr.Validate(&list);
    EXPECT_FALSE(r.bOk);
    EXPECT_STREQ(kEmpty, r.pszMessage);
    EXPECT_STREQ(kNoContent, r.pszLogLine);

    // Three bytes: the mark and a lone zero byte, so the text is empty.
    ListBuffer zero(L"", 4096);
    zero.bytes.push_back('\0');
    r = zero.Validate(&list);
    EXPECT_FALSE(r.bOk);
    EXPECT_STREQ(kNoContent, r.pszLogLine);

    // An error page (as a 404 would bring) has no line end; a list cut
    // mid-line (no length header told) would install part of a release.
    for (const wchar_t* pszCut : {L"<html><body>404 Not Found</body></html>",
                                  L"a.zip;1;1\r\nb.zip;1;1\r\nc.zip;1"}) {
        ListBuffer cut(pszCut, 4096);
        r = cut.Validate(&list);
        EXPECT_FALSE(r.bOk);
        EXPECT_STREQ(kDownloadFailed, r.pszMessage);
        EXPECT_STREQ(L"[CSetupDlg::Execute] download Setupconfig.txt cut short", r.pszLogLine);
        EXPECT_TRUE(list.empty());
    }
    // An LF-only list has no entry.
    ListBuffer lf(L"a.zip;1;1\nb.zip;1;1\n", 4096);
    EXPECT_FALSE(lf.Validate(&list).bOk);
    EXPECT_TRUE(list.empty());
}

TEST(ValidateSetupList, AGoodListSkipsTheMarkUnreadAndEndsAtTheFirstZero) {
    std::vector<SetupListEntry> list;
    // The mark is not inspected; the text ends at the first zero character
    // even when the data goes on after it.
    ListBuffer odd(std::wstring(L"a.zip;1;1\r\nb.zip;2;2\r\n") + L'\0' + L"c.zip;3;3\r\n", 4096,
                   false);
    odd.bytes = "XY" + odd.bytes;
    memcpy(odd.block.data(), odd.bytes.data(), odd.bytes.size());
    SetupListResult r = odd.Validate(&list);
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(2u, list.size());
    EXPECT_STREQ(L"b.zip", list[1].szName);
    EXPECT_EQ(2, list[1].nKind);

    // Odd-sized data one byte short of the block: no zero character
    // follows, so the scan must stop at the block's end by itself (and the
    // cut last line refuses the list).
    ListBuffer tight(L"a.zip;1;1\r\nz", 26);
    tight.bytes.resize(25);
    EXPECT_STREQ(L"[CSetupDlg::Execute] download Setupconfig.txt cut short",
                 tight.Validate(&list).pszLogLine);
    ListBuffer whole(L"a.zip;1;1\r\n", 26);
    whole.bytes.resize(25);
    EXPECT_TRUE(whole.Validate(&list).bOk);
    EXPECT_EQ(1u, list.size());
}
