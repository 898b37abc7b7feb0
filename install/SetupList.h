#pragma once
// The setup list: the server's catalogue of packages to install, one entry
// per line "name;value;kind" in UTF-16LE text with a byte-order mark.
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

// One parsed line; a plain fixed-size record, copied by value.
struct SetupListEntry {
    wchar_t szName[32];
    int nValue;
    int nKind;
};

// The kinds of entries that apply to this machine: a few small numbers, so
// a fixed array (a std::set would bring its tree code into the download).
class CKindSet {
public:
    CKindSet() {}
    CKindSet(std::initializer_list<int> kinds) {
        for (int nKind : kinds) insert(nKind);
    }
    size_t count(int nKind) const {
        for (int i = 0; i < m_nCount; ++i)
            if (m_anKinds[i] == nKind) return 1;
        return 0;
    }
    // False when it is full (kMaxKinds).
    bool insert(int nKind) {
        if (count(nKind)) return true;
        if (m_nCount == kMaxKinds) return false;
        m_anKinds[m_nCount++] = nKind;
        return true;
    }
    bool operator==(const CKindSet& other) const {
        if (m_nCount != other.m_nCount) return false;
        for (int i = 0; i < m_nCount; ++i)
            if (!other.count(m_anKinds[i])) return false;
        return true;
    }

private:
    enum { kMaxKinds = 8 };
    int m_anKinds[kMaxKinds] = {};
    int m_nCount = 0;
};

// Splits text at one separator into its non-empty pieces, in order (output
// cleared first). Returns their number. A leading separator is no different
// from any other: the empty piece before it is dropped.
int SplitString(const std::wstring& text, wchar_t chSeparator, std::vector<std::wstring>* pOut);

// Fills *pList (cleared first) with the valid lines of the list text (mark
// already removed) and returns their number. A line is ignored unless it has
// exactly three non-empty fields, a name of at most 31 characters that is
// safe as a file name, and numeric fields of at most 19 characters.
int ParseSetupList(const std::wstring& text, std::vector<SetupListEntry>* pList);

// The outcome of fetching and validating the list. On failure, the status
// text the user sees and the [Error] log line.
struct SetupListResult {
    bool bOk;
    const wchar_t* pszMessage;
    const wchar_t* pszLogLine;
};

// Validates what the download of the list left in the buffer (bDownloaded:
// HttpDownload's result; pBuf/nLen/nBufSize: the block, held and allocated
// sizes) and parses it into *pList. Reads nothing past the block.
SetupListResult ValidateSetupList(BOOL bDownloaded, const BYTE* pBuf, DWORD nLen, DWORD nBufSize,
                                  std::vector<SetupListEntry>* pList);
