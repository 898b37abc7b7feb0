#pragma once
// A package's entry index (EX/STEM.idx beside EX/STEM.zip): where each
// entry's bytes lie in the zip and what they unpack to, so that an update
// fetches only the entries whose files changed. The release manifest
// vouches for the index; docs/publishing.md has the format:
//
//   tarvelo-index 1
//   package SIZE COUNT CDOFFSET
//   entry OFFSET LENGTH METHOD CSIZE USIZE CRC32 MTIME ATTRS SHA256 NAME
//
// The entries tile the zip from 0 to its central directory, in order.
#include <windows.h>

#include <string>
#include <vector>

#include "Signature.h"

enum {
    kIndexMaxBytes = 4194304,
    kIndexMaxLine = 512,
    // The zip's local header before the name: what a range starts with.
    kLocalHeaderBytes = 30
};

struct IndexEntry {
    DWORD dwOffset;
    DWORD cbLength;  // local header to the next entry: the range to fetch
    DWORD nMethod;   // 0 stored, 8 deflated
    DWORD cbCompressed;
    DWORD cbSize;
    DWORD dwCrc;
    FILETIME ftTime;  // write, access and creation, as the extraction sets them
    DWORD dwAttributes;
    BYTE digest[kSha256Bytes];
    DWORD cbRawName;  // the stored name's UTF-8 bytes
    DWORD nName;      // where the name starts in the index's names
    bool bFolder;     // the name ends in "/"
    bool bWanted;     // to be fetched (the caller's)
};

// The entries, and their names (as the extraction names the files, "/"
// separators) one after the other, each ended by a NUL.
struct EntryIndex {
    std::vector<IndexEntry> entries;
    std::wstring names;
    const wchar_t* NameOf(const IndexEntry& entry) const { return names.c_str() + entry.nName; }
};

// NULL when the bytes are a well-formed index of a package of cbPackage
// bytes (then *pIndex holds it), else why not (and *pIndex is empty).
// Refused: lines malformed or over the limits, more entries or unpacked
// bytes than a package may hold, ranges that do not tile the zip, a method
// other than stored or deflated, a name the extraction would refuse. (A
// name given twice is not: the extraction writes both, the last one stays,
// and so does it here.)
const wchar_t* ParseEntryIndex(const BYTE* pData, DWORD cbData, DWORD cbPackage,
                               EntryIndex* pIndex);

// Adjacent wanted entries, merged into one range each of at most cbMaxRun
// bytes (an entry longer than that alone): [nFirst, nEnd) of the entries.
struct EntryRun {
    size_t nFirst;
    size_t nEnd;
};
std::vector<EntryRun> MergeWantedRuns(const std::vector<IndexEntry>& entries, DWORD cbMaxRun);

// Unpacks the entry whose bytes (local header on, entry.cbLength of them)
// are at pRange into hFile, and checks that they are what the index says:
// the local header agrees with it, the data inflates to exactly cbSize
// bytes with its CRC-32 and SHA-256. False, with why in *ppszWhy, otherwise;
// what was written must then be thrown away.
bool UnpackEntryRange(const BYTE* pRange, const IndexEntry& entry, HANDLE hFile,
                      const wchar_t** ppszWhy);
