#include "EntryIndex.h"

#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>

#include "ArchiveEntryInfo.h"
#include "Handle.h"
#include "PackageExtract.h"
#include "zlib.h"

namespace {

const char kIndexHeader[] = "tarvelo-index 1";
const DWORD kInflateChunk = 0x10000;

// "0", or 1 to 10 digits without a leading zero, at most ullMax; the
// field ends at a space (or the line's end for the last).
bool ReadNumber(const char*& p, ULONGLONG ullMax, ULONGLONG* pValue) {
    ULONGLONG ullValue = 0;
    const char* pStart = p;
    while (*p >= '0' && *p <= '9' && p - pStart < 11) ullValue = ullValue * 10 + (*p++ - '0');
    if (p == pStart || p - pStart > 10 || (*pStart == '0' && p - pStart > 1) || ullValue > ullMax)
        return false;
    *pValue = ullValue;
    return true;
}

// A number field followed by one space.
bool ReadField(const char*& p, ULONGLONG ullMax, DWORD* pValue) {
    ULONGLONG ullValue = 0;
    if (!ReadNumber(p, ullMax, &ullValue) || *p++ != ' ') return false;
    *pValue = static_cast<DWORD>(ullValue);
    return true;
}

// A hex field of exactly cb bytes followed by one space.
bool ReadHex(const char*& p, BYTE* pOut, size_t cb) {
    const char* pSpace = strchr(p, ' ');
    if (!pSpace || !DecodeHex(p, pSpace - p, pOut, cb)) return false;
    p = pSpace + 1;
    return true;
}

// The name as the extraction would write it, appended to the index's
// names, or why not: every name it would change or refuse is refused here.
const wchar_t* ReadName(const char* psz, IndexEntry* pEntry, std::wstring* pNames) {
    wchar_t szName[MAX_PATH];
    const int cbRaw = static_cast<int>(strlen(psz));
    const int cch = cbRaw ? ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, psz, cbRaw,
                                                  szName, MAX_PATH - 1)
                          : 0;
    if (cch <= 0) return L"bad name";
    szName[cch] = 0;
    wchar_t szSanitized[MAX_PATH];
    wcscpy(szSanitized, szName);
    SanitizeEntryName(szSanitized);
    // One spelling per path: "/" only, no empty component.
    if (wcscmp(szSanitized, szName) != 0 || HasParentComponent(szName) ||
        HasDeviceComponent(szName) || HasUnusableComponent(szName) || wcschr(szName, L'\\') ||
        wcsstr(szName, L"//"))
        return L"name the extraction refuses";
    pEntry->cbRawName = static_cast<DWORD>(cbRaw);
    pEntry->nName = static_cast<DWORD>(pNames->size());
    pEntry->bFolder = szName[cch - 1] == L'/';
    pNames->append(szName, cch + 1);
    return NULL;
}

// "entry OFFSET LENGTH METHOD CSIZE USIZE CRC32 MTIME ATTRS SHA256 NAME"
const wchar_t* ReadEntry(const char* pszLine, IndexEntry* pEntry, std::wstring* pNames) {
    if (strncmp(pszLine, "entry ", 6) != 0) return L"not an entry line";
    const char* p = pszLine + 6;
    DWORD dwTime = 0;
    if (!ReadField(p, 0xFFFFFFFFull, &pEntry->dwOffset) ||
        !ReadField(p, 0xFFFFFFFFull, &pEntry->cbLength) || !ReadField(p, 8, &pEntry->nMethod) ||
        !ReadField(p, 0xFFFFFFFFull, &pEntry->cbCompressed) ||
        !ReadField(p, 0xFFFFFFFFull, &pEntry->cbSize))
        return L"bad number in an entry line";
    BYTE crc[4];
    if (!ReadHex(p, crc, sizeof(crc))) return L"bad CRC-32";
    pEntry->dwCrc = static_cast<DWORD>(crc[0]) << 24 | crc[1] << 16 | crc[2] << 8 | crc[3];
    if (!ReadField(p, 0x7FFFFFFFull, &dwTime) ||
        !ReadField(p, 0xFFFFFFFFull, &pEntry->dwAttributes))
        return L"bad number in an entry line";
    if (!ReadHex(p, pEntry->digest, kSha256Bytes)) return L"bad SHA-256";
    pEntry->ftTime = UnixTimeToFileTime(static_cast<int32_t>(dwTime));
    if (const wchar_t* pszWhy = ReadName(p, pEntry, pNames)) return pszWhy;
    if (pEntry->nMethod != 0 && pEntry->nMethod != 8) return L"method neither stored nor deflated";
    if (pEntry->nMethod == 0 && pEntry->cbCompressed != pEntry->cbSize)
        return L"stored entry with two sizes";
    if (pEntry->dwAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                                   FILE_ATTRIBUTE_DIRECTORY))
        return L"attributes a file cannot be given";
    if (pEntry->bFolder && (pEntry->nMethod != 0 || pEntry->cbSize != 0))
        return L"folder entry with data";
    // Header, name and data at least must lie in the range.
    if (static_cast<ULONGLONG>(kLocalHeaderBytes) + pEntry->cbRawName + pEntry->cbCompressed >
        pEntry->cbLength)
        return L"entry range shorter than its data";
    return NULL;
}

const wchar_t* ParseLines(const BYTE* pData, DWORD cbData, DWORD cbPackage,
                          EntryIndex* pIndex) {
    std::vector<IndexEntry>* pEntries = &pIndex->entries;
    if (!pData || cbData == 0) return L"empty";
    if (cbData > kIndexMaxBytes) return L"too large";
    ULONGLONG ullCount = 0, ullDirectory = 0, ullUnpacked = 0;
    DWORD dwNext = 0;  // where the next entry's range must begin
    DWORD nOffset = 0;
    for (int nLine = 0; nOffset < cbData; ++nLine) {
        const BYTE* pEnd =
            static_cast<const BYTE*>(memchr(pData + nOffset, '\n', cbData - nOffset));
        if (!pEnd) return L"last line without a line end (cut short)";
        const DWORD cchLine = static_cast<DWORD>(pEnd - (pData + nOffset));
        if (cchLine > kIndexMaxLine) return L"line too long";
        char szLine[kIndexMaxLine + 1];
        memcpy(szLine, pData + nOffset, cchLine);
        szLine[cchLine] = 0;
        nOffset += cchLine + 1;
        if (strlen(szLine) != cchLine) return L"NUL in a line";
        if (nLine == 0) {
            if (strcmp(szLine, kIndexHeader) != 0) return L"not an entry index of version 1";
            continue;
        }
        if (nLine == 1) {
            const char* p = szLine + 8;
            ULONGLONG ullSize = 0;
            if (strncmp(szLine, "package ", 8) != 0 || !ReadNumber(p, 0xFFFFFFFFull, &ullSize) ||
                *p++ != ' ' || !ReadNumber(p, kPackageMaxEntries, &ullCount) || *p++ != ' ' ||
                !ReadNumber(p, 0xFFFFFFFFull, &ullDirectory) || *p)
                return L"bad package line";
            if (ullSize != cbPackage) return L"package size is not the release's";
            if (ullCount == 0 || ullDirectory > ullSize) return L"bad package line";
            pEntries->reserve(static_cast<size_t>(ullCount));
            continue;
        }
        if (pEntries->size() >= ullCount) return L"more entries than the package line says";
        IndexEntry entry = IndexEntry();
        if (const wchar_t* pszWhy = ReadEntry(szLine, &entry, &pIndex->names)) return pszWhy;
        if (entry.dwOffset != dwNext) return L"entry ranges overlap, leave a gap or are out of order";
        if (entry.cbLength > ullDirectory - dwNext) return L"entry range past the directory";
        dwNext += entry.cbLength;
        ullUnpacked += entry.cbSize;
        if (ullUnpacked > kPackageMaxBytes) return L"more unpacked bytes than a package may hold";
        pEntries->push_back(entry);
    }
    if (ullCount == 0) return L"no package line";
    if (pEntries->size() != ullCount) return L"fewer entries than the package line says";
    if (dwNext != ullDirectory) return L"entries end before the directory";
    return NULL;
}

DWORD ReadLe(const BYTE* p, int cb) {
    DWORD dw = 0;
    for (int i = cb - 1; i >= 0; --i) dw = dw << 8 | p[i];
    return dw;
}

}  // namespace

const wchar_t* ParseEntryIndex(const BYTE* pData, DWORD cbData, DWORD cbPackage,
                               EntryIndex* pIndex) {
    pIndex->entries.clear();
    pIndex->names.clear();
    const wchar_t* pszWhy = ParseLines(pData, cbData, cbPackage, pIndex);
    if (pszWhy) {
        pIndex->entries.clear();
        pIndex->names.clear();
    }
    return pszWhy;
}

std::vector<EntryRun> MergeWantedRuns(const std::vector<IndexEntry>& entries, DWORD cbMaxRun) {
    std::vector<EntryRun> runs;
    ULONGLONG ullRun = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].bWanted) continue;
        if (!runs.empty() && runs.back().nEnd == i && ullRun + entries[i].cbLength <= cbMaxRun) {
            runs.back().nEnd = i + 1;
            ullRun += entries[i].cbLength;
        } else {
            runs.push_back(EntryRun{i, i + 1});
            ullRun = entries[i].cbLength;
        }
    }
    return runs;
}

bool UnpackEntryRange(const BYTE* pRange, const IndexEntry& entry, HANDLE hFile,
                      const wchar_t** ppszWhy) {
    *ppszWhy = L"local header does not match the index";
    const DWORD dwFlags = ReadLe(pRange + 6, 2);
    const DWORD cbName = ReadLe(pRange + 26, 2);
    const DWORD cbExtra = ReadLe(pRange + 28, 2);
    if (ReadLe(pRange, 4) != 0x04034B50 || (dwFlags & 1) || ReadLe(pRange + 8, 2) != entry.nMethod ||
        cbName != entry.cbRawName ||
        static_cast<ULONGLONG>(kLocalHeaderBytes) + cbName + cbExtra + entry.cbCompressed >
            entry.cbLength)
        return false;
    // Without a data descriptor the local header carries the figures too.
    if (!(dwFlags & 8) && (ReadLe(pRange + 14, 4) != entry.dwCrc ||
                           ReadLe(pRange + 18, 4) != entry.cbCompressed ||
                           ReadLe(pRange + 22, 4) != entry.cbSize))
        return false;
    const BYTE* pData = pRange + kLocalHeaderBytes + cbName + cbExtra;

    CSha256 hash;
    uLong nCrc = crc32(0, Z_NULL, 0);
    DWORD cbOut = 0;
    *ppszWhy = L"file could not be written";
    if (entry.nMethod == 0) {
        if (!WriteAll(hFile, pData, entry.cbSize)) return false;
        nCrc = crc32(nCrc, pData, entry.cbSize);
        hash.Add(pData, entry.cbSize);
        cbOut = entry.cbSize;
    } else {
        std::unique_ptr<BYTE[]> pChunk(new (std::nothrow) BYTE[kInflateChunk]);
        z_stream stream = z_stream();
        if (!pChunk || inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
        stream.next_in = const_cast<BYTE*>(pData);
        stream.avail_in = entry.cbCompressed;
        int nResult = Z_OK;
        while (nResult == Z_OK) {
            stream.next_out = pChunk.get();
            stream.avail_out = kInflateChunk;
            nResult = inflate(&stream, Z_NO_FLUSH);
            const DWORD cbChunk = kInflateChunk - stream.avail_out;
            // Never more than the index says, whatever the data would give.
            if (cbChunk > entry.cbSize - cbOut) {
                nResult = Z_DATA_ERROR;
                break;
            }
            if (!WriteAll(hFile, pChunk.get(), cbChunk)) {
                inflateEnd(&stream);
                return false;
            }
            nCrc = crc32(nCrc, pChunk.get(), cbChunk);
            hash.Add(pChunk.get(), cbChunk);
            cbOut += cbChunk;
        }
        inflateEnd(&stream);
        *ppszWhy = L"data does not inflate to its size";
        if (nResult != Z_STREAM_END || stream.avail_in != 0) return false;
    }
    BYTE digest[kSha256Bytes];
    *ppszWhy = L"data is not what the index says (size, CRC-32 or SHA-256)";
    return cbOut == entry.cbSize && nCrc == entry.dwCrc && hash.Finish(digest) &&
           memcmp(digest, entry.digest, kSha256Bytes) == 0;
}
