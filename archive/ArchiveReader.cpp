#include "ArchiveReader.h"

#include <wchar.h>

#include <memory>
#include <new>
#include <vector>

#include "ArchiveEntryInfo.h"
#include "ArchiveStream.h"
#include "EncryptedEntry.h"
#include "Handle.h"
#include "StrFormat.h"
#include "unzip.h"

int32_t g_nArchiveLastResult = Ok;

namespace {
const uint32_t kExtractBufSize = 0x4000;
const uLong kNameBufSize = MAX_PATH;
}  // namespace

struct ArchiveReader {
    ArchiveReader() : uf(NULL), nEntryCount(0), nCachedIndex(-1), cached(), cachedInfo() {
        stream.hFile = INVALID_HANDLE_VALUE;
        stream.bError = false;
        szTargetFolder[0] = 0;
        szMadeFolder[0] = 0;
    }

    unzFile uf;
    CFileHandle file;
    ArchiveStream stream;
    int32_t nEntryCount;
    int32_t nCachedIndex;  // -1: nothing cached
    ArchiveEntry cached;
    unz_file_info64 cachedInfo;  // the core's record behind the cached entry
    std::unique_ptr<BYTE[]> pExtractBuf;
    wchar_t szTargetFolder[MAX_PATH];
    // The folder last made for a file entry (target folder included): the
    // entries of one folder follow each other, and asking the file system
    // for every level of it again for each file is most of the cost of
    // small files.
    wchar_t szMadeFolder[MAX_PATH];
};

namespace {

ArchiveResult SetResult(ArchiveResult result) {
    g_nArchiveLastResult = result;
    return result;
}

bool IsAbsolute(const wchar_t* pszPath) {
    return IsPathSeparator(pszPath[0]) || (pszPath[0] && pszPath[1] == L':');
}

bool PathExists(const wchar_t* pszPath) {
    return ::GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const wchar_t* pszPath) {
    DWORD dwAttributes = ::GetFileAttributesW(pszPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder's length as CreateDirectoryW counts it: without a trailing
// separator.
size_t FolderPathLength(const wchar_t* pszPath) {
    size_t cch = wcslen(pszPath);
    while (cch > 0 && IsPathSeparator(pszPath[cch - 1])) --cch;
    return cch;
}

// Ok when the folder is there; PlaceTaken when a file holds its name or the
// name of a folder above it. Looked at without the trailing separator: a
// file is not found under its name with one.
ArchiveResult FolderResult(const wchar_t* pszPath) {
    wchar_t szPath[MAX_PATH];
    if (!CopyInto(szPath, pszPath)) return FileError;
    for (size_t cch = FolderPathLength(szPath), cchFolder = cch; cch > 0;) {
        szPath[cch] = 0;
        DWORD dwAttributes = ::GetFileAttributesW(szPath);
        if (dwAttributes != INVALID_FILE_ATTRIBUTES) {
            if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) return PlaceTaken;
            return cch == cchFolder ? Ok : FileError;
        }
        while (cch > 0 && !IsPathSeparator(szPath[cch - 1])) --cch;
        while (cch > 0 && IsPathSeparator(szPath[cch - 1])) --cch;
    }
    return FileError;
}

// Copies at most 259 characters and makes sure the folder ends in a
// separator. False, and the buffer untouched, when that does not fit.
bool SetFolderWithSeparator(wchar_t (&szFolder)[MAX_PATH], const wchar_t* pszFolder) {
    size_t cch = wcslen(pszFolder);
    bool bNeedsSeparator = cch == 0 || !IsPathSeparator(pszFolder[cch - 1]);
    if (cch + (bNeedsSeparator ? 1 : 0) > MAX_PATH - 1) return false;
    wmemcpy(szFolder, pszFolder, cch);
    if (bNeedsSeparator) szFolder[cch++] = L'/';
    szFolder[cch] = 0;
    return true;
}

// Moves the core to entry nIndex: forwards from where it stands, from the
// first entry only when asked for an earlier one.
bool StepTo(ArchiveReader* pReader, int32_t nIndex) {
    unz64_file_pos pos;
    int64_t nCurrent = -1;
    if (unzGetFilePos64(pReader->uf, &pos) == UNZ_OK) nCurrent = pos.num_of_file;
    if (nCurrent < 0 || nIndex < nCurrent) {
        if (unzGoToFirstFile(pReader->uf) != UNZ_OK) return false;
        nCurrent = 0;
    }
    while (nCurrent < nIndex) {
        if (unzGoToNextFile(pReader->uf) != UNZ_OK) return false;
        ++nCurrent;
    }
    return true;
}

// Every entry has a central record of at least this many bytes: an end
// record that counts more entries than the file could hold lies.
const ZPOS64_T kMinCentralRecord = 46;

// minizip takes an end record at offset 0 for a missing one, so it cannot
// open a zip with no entries and nothing before its end record; we can.
bool IsBareEmptyArchive(HANDLE hFile) {
    BYTE ab[22];
    DWORD cbRead = 0;
    LARGE_INTEGER liZero = {}, liSize = {};
    if (!::GetFileSizeEx(hFile, &liSize) || !::SetFilePointerEx(hFile, liZero, NULL, FILE_BEGIN) ||
        !::ReadFile(hFile, ab, sizeof(ab), &cbRead, NULL) || cbRead != sizeof(ab))
        return false;
    static const BYTE kEmptyEnd[20] = {'P', 'K', 5, 6};  // no disks, entries, directory
    uint32_t cbComment = ab[20] | (ab[21] << 8);
    return memcmp(ab, kEmptyEnd, sizeof(kEmptyEnd)) == 0 &&
           liSize.QuadPart == static_cast<LONGLONG>(sizeof(ab) + cbComment);
}

int32_t ClampToInt32(ZPOS64_T n) { return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n); }

// The entry's name in UTF-16, decoded as the archive's maker meant it.
ArchiveResult DecodeName(ArchiveReader* pReader, const unz_file_info64& info, const char* szRaw,
                         wchar_t (&szName)[MAX_PATH]) {
    std::vector<BYTE> extra;
    size_t cbRaw = info.size_filename;
    // Only a name that is neither ASCII nor flagged UTF-8 needs the central
    // extra field, where Info-ZIP keeps its UTF-8 copy.
    if (NameNeedsUnicodePath(info.flag, szRaw, cbRaw) && info.size_file_extra > 0) {
        extra.resize(info.size_file_extra);
        unz_file_info64 again;
        if (unzGetCurrentFileInfo64(pReader->uf, &again, NULL, 0, extra.data(),
                                    static_cast<uLong>(extra.size()), NULL, 0) != UNZ_OK)
            return BadEntryHeader;
    }
    switch (DecodeEntryName(info.flag, static_cast<uint32_t>(info.version), szRaw, cbRaw,
                            extra.data(), extra.size(), szName, MAX_PATH)) {
        case NameOk:
            return Ok;
        case NameTooLong:
            return PathTooLong;
        default:
            return NameRefused;
    }
}

// Reads the record of the core's current entry (nIndex) into the cache.
ArchiveResult ReadCurrentRecord(ArchiveReader* pReader, int32_t nIndex) {
    unz_file_info64 info;
    char szName[kNameBufSize];
    if (unzGetCurrentFileInfo64(pReader->uf, &info, szName, kNameBufSize, NULL, 0, NULL, 0) !=
        UNZ_OK)
        return BadEntryHeader;
    // Longer names would be cut by the core: refuse them rather than
    // extract under a different name.
    if (info.size_filename >= kNameBufSize) return PathTooLong;
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED)
        return MethodUnsupported;
    ArchiveEntry entry = {};
    ArchiveResult nameResult = DecodeName(pReader, info, szName, entry.szEntryName);
    if (nameResult != Ok) return nameResult;
    // Opening the entry raw makes the core check its local header against
    // the central record and tells where the local extra field lies.
    if (unzOpenCurrentFile2(pReader->uf, NULL, NULL, 1) != UNZ_OK) return BadEntryHeader;
    std::vector<BYTE> extra;
    int cbExtra = unzGetLocalExtrafield(pReader->uf, NULL, 0);
    if (cbExtra > 0) {
        extra.resize(cbExtra);
        if (unzGetLocalExtrafield(pReader->uf, extra.data(), cbExtra) != cbExtra) {
            unzCloseCurrentFile(pReader->uf);
            return ReadError;
        }
    }
    unzCloseCurrentFile(pReader->uf);

    entry.nIndex = nIndex;
    size_t cchName = wcslen(entry.szEntryName);
    // By zip convention a name ending in a separator is a folder, whatever
    // the attributes say (jar writes none at all).
    bool bFolder = cchName > 0 && IsPathSeparator(entry.szEntryName[cchName - 1]);
    SanitizeEntryName(entry.szEntryName);
    entry.dwAttributes = MapEntryAttributes(info.version, info.external_fa);
    if (bFolder) entry.dwAttributes |= FILE_ATTRIBUTE_DIRECTORY;
    entry.nCompressedSize = ClampToInt32(info.compressed_size);
    entry.nUncompressedSize = ClampToInt32(info.uncompressed_size);
    entry.ftWriteTime = DosTimeToFileTime(info.dosDate);
    entry.ftAccessTime = entry.ftCreationTime = entry.ftWriteTime;
    ApplyExtendedTimestamp(extra.data(), extra.size(), &entry.ftWriteTime, &entry.ftAccessTime,
                           &entry.ftCreationTime);

    pReader->cached = entry;
    pReader->cachedInfo = info;
    pReader->nCachedIndex = nIndex;
    return Ok;
}

// Steps to nIndex and makes sure its record is the cached one.
ArchiveResult LoadEntry(ArchiveReader* pReader, int32_t nIndex) {
    unzCloseCurrentFile(pReader->uf);
    if (!StepTo(pReader, nIndex)) return EntryUnreachable;
    if (pReader->nCachedIndex == nIndex) return Ok;
    return ReadCurrentRecord(pReader, nIndex);
}

// Copies the open entry's data into hFile through the reader's buffer.
ArchiveResult CopyEntryData(ArchiveReader* pReader, HANDLE hFile, CEncryptedEntry* pEncrypted) {
    BYTE* pBuf = pReader->pExtractBuf.get();
    for (;;) {
        int n = pEncrypted ? pEncrypted->Read(pBuf, kExtractBufSize)
                           : unzReadCurrentFile(pReader->uf, pBuf, kExtractBufSize);
        if (n < 0) return InflateError;
        if (n == 0) {
            bool bEnd = pEncrypted ? pEncrypted->IsComplete() : unzeof(pReader->uf) == 1;
            return bEnd ? Ok : InflateError;
        }
        if (!WriteAll(hFile, pBuf, static_cast<DWORD>(n))) return WriteError;
    }
}

// Writes the core's current entry (record in the cache) to szPath.
ArchiveResult WriteEntryFile(ArchiveReader* pReader, const wchar_t* pszPath) {
    const ArchiveEntry& entry = pReader->cached;
    const unz_file_info64& info = pReader->cachedInfo;
    CFileHandle file(CreateEntryTarget(pszPath, GENERIC_WRITE, entry.dwAttributes));
    if (!file) return FileError;

    if (!pReader->pExtractBuf) {
        pReader->pExtractBuf.reset(new (std::nothrow) BYTE[kExtractBufSize]);
        if (!pReader->pExtractBuf) return WriteError;
    }
    ArchiveResult result;
    if (info.flag & 1) {
        if (unzOpenCurrentFile2(pReader->uf, NULL, NULL, 1) != UNZ_OK) return BadEntryHeader;
        CEncryptedEntry encrypted(pReader->uf, info);
        result = encrypted.CheckHeader() ? CopyEntryData(pReader, file.Get(), &encrypted)
                                         : PasswordError;
        unzCloseCurrentFile(pReader->uf);
    } else {
        if (unzOpenCurrentFile(pReader->uf) != UNZ_OK) return BadEntryHeader;
        result = CopyEntryData(pReader, file.Get(), NULL);
        // After a full read the core compares the CRC-32; a mismatch means
        // the file on disk is not what was packed.
        if (unzCloseCurrentFile(pReader->uf) != UNZ_OK && result == Ok) result = InflateError;
    }
    if (result == Ok)
        ::SetFileTime(file.Get(), &entry.ftCreationTime, &entry.ftAccessTime, &entry.ftWriteTime);
    return result;
}

}  // namespace

ArchiveReader* ArchiveOpen(const wchar_t* pszPath) {
    if (!pszPath) {
        SetResult(FileError);
        return NULL;
    }
    std::unique_ptr<ArchiveReader> pReader(new (std::nothrow) ArchiveReader());
    if (!pReader) {
        SetResult(FileError);
        return NULL;
    }
    wchar_t szCurrent[MAX_PATH - 1];
    DWORD cch = ::GetCurrentDirectoryW(MAX_PATH - 1, szCurrent);
    if (cch > 0 && cch < MAX_PATH - 1) SetFolderWithSeparator(pReader->szTargetFolder, szCurrent);

    // Write sharing lets the installer hold its staged package open for
    // writing (and so closed to everyone else) while it is read here.
    pReader->file.Reset(::CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!pReader->file) {
        SetResult(FileError);
        return NULL;
    }
    pReader->stream.hFile = pReader->file.Get();
    zlib_filefunc64_def funcs;
    InitStreamFuncs(&funcs, &pReader->stream);
    pReader->uf = unzOpen2_64(pszPath, &funcs);
    unz_global_info64 global;
    LARGE_INTEGER liSize = {};
    if (pReader->uf && unzGetGlobalInfo64(pReader->uf, &global) == UNZ_OK &&
        ::GetFileSizeEx(pReader->file.Get(), &liSize) &&
        global.number_entry <= static_cast<ZPOS64_T>(liSize.QuadPart) / kMinCentralRecord) {
        pReader->nEntryCount = ClampToInt32(global.number_entry);
    } else if (pReader->uf || !IsBareEmptyArchive(pReader->file.Get())) {
        if (pReader->uf) unzClose(pReader->uf);
        SetResult(FileError);
        return NULL;
    }
    SetResult(Ok);
    return pReader.release();
}

ArchiveResult ArchiveSetTargetFolder(ArchiveReader* hArchive, const wchar_t* pszFolder) {
    // An empty folder would become "/", the drive's root.
    if (!hArchive || !pszFolder || !pszFolder[0]) return SetResult(BadArgument);
    // A cut folder would be a different folder: refuse it.
    if (!SetFolderWithSeparator(hArchive->szTargetFolder, pszFolder)) return SetResult(BadArgument);
    return SetResult(Ok);
}

ArchiveResult ArchiveGetEntry(ArchiveReader* hArchive, int32_t nIndex, ArchiveEntry* pEntry) {
    if (pEntry) {
        pEntry->nIndex = 0;
        pEntry->szEntryName[0] = 0;
        pEntry->nUncompressedSize = 0;
    }
    if (!hArchive || !pEntry) return SetResult(BadArgument);
    if (nIndex < -1 || nIndex >= hArchive->nEntryCount) return SetResult(BadArgument);
    if (nIndex >= 0 && nIndex == hArchive->nCachedIndex) {
        *pEntry = hArchive->cached;
        return SetResult(Ok);
    }
    if (nIndex == -1) {
        *pEntry = ArchiveEntry();
        pEntry->nIndex = hArchive->nEntryCount;
        return SetResult(Ok);
    }
    ArchiveResult result = LoadEntry(hArchive, nIndex);
    if (result == Ok) *pEntry = hArchive->cached;
    return SetResult(result);
}

ArchiveResult ArchiveExtractToFile(ArchiveReader* hArchive, int32_t nIndex,
                                   const wchar_t* pszName) {
    if (!hArchive || !pszName) return SetResult(BadArgument);
    if (nIndex < 0 || nIndex >= hArchive->nEntryCount) return SetResult(BadArgument);
    ArchiveResult result = LoadEntry(hArchive, nIndex);
    if (result != Ok) return SetResult(result);
    // Whatever the archive says, nothing is written above the target folder.
    if (HasParentComponent(pszName)) return SetResult(NameRefused);
    // Nor into a device that a name such as "nul.txt" or "COM1" opens, nor
    // into a stream, a wildcard or another entry's short name.
    if (HasDeviceComponent(pszName) || HasUnusableComponent(pszName))
        return SetResult(NameRefused);

    bool bAbsolute = IsAbsolute(pszName);
    const wchar_t* pszRoot = bAbsolute ? NULL : hArchive->szTargetFolder;
    wchar_t szFullPath[MAX_PATH];
    if (hArchive->cached.dwAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!FormatInto(szFullPath, L"%s%s", pszRoot ? pszRoot : L"", pszName) ||
            FolderPathLength(szFullPath) > kMaxFolderPath)
            return SetResult(PathTooLong);
        MakeFolderPath(pszRoot, pszName);
        // A folder that is not there after all is a failure, not an empty success.
        return SetResult(FolderResult(szFullPath));
    }

    const wchar_t* pszFile = pszName;
    for (const wchar_t* p = pszName; *p; ++p)
        if (IsPathSeparator(*p)) pszFile = p + 1;
    if (*pszFile == 0) return SetResult(NameRefused);
    wchar_t szFolderPart[MAX_PATH];
    size_t cchFolder = pszFile - pszName;
    if (cchFolder >= MAX_PATH) return SetResult(PathTooLong);
    wmemcpy(szFolderPart, pszName, cchFolder);
    szFolderPart[cchFolder] = 0;
    if (!FormatInto(szFullPath, L"%s%s%s", pszRoot ? pszRoot : L"", szFolderPart, pszFile))
        return SetResult(PathTooLong);
    // szFullPath fits, so its folder part does too.
    wchar_t szFolder[MAX_PATH];
    FormatInto(szFolder, L"%s%s", pszRoot ? pszRoot : L"", szFolderPart);
    if (FolderPathLength(szFolder) > kMaxFolderPath) return SetResult(PathTooLong);
    if (wcscmp(szFolder, hArchive->szMadeFolder) != 0) {
        MakeFolderPath(pszRoot, szFolderPart);
        CopyInto(hArchive->szMadeFolder, szFolder);
    }
    result = WriteEntryFile(hArchive, szFullPath);
    // The folder may have gone since it was made: make it again once.
    if (result == FileError && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
        MakeFolderPath(pszRoot, szFolderPart);
        result = WriteEntryFile(hArchive, szFullPath);
    }
    // Access denied is also what a locked file gives: look at what is there.
    if (result == FileError && (IsFolder(szFullPath) || FolderResult(szFolder) == PlaceTaken))
        result = PlaceTaken;
    return SetResult(result);
}

ArchiveResult ArchiveClose(ArchiveReader* hArchive) {
    if (!hArchive) return SetResult(BadArgument);
    if (hArchive->uf) {  // none for an archive without entries
        unzCloseCurrentFile(hArchive->uf);
        unzClose(hArchive->uf);
    }
    delete hArchive;  // closes the archive file and frees the buffer
    return SetResult(Ok);
}

bool IsUnusableEntry(ArchiveResult result) {
    return result == NameRefused || result == PathTooLong || result == MethodUnsupported ||
           result == PlaceTaken;
}

const wchar_t* DescribeArchiveResult(ArchiveResult result) {
    switch (result) {
        case Ok:
            return L"ok";
        case NameRefused:
            return L"name refused";
        case PathTooLong:
            return L"path too long";
        case MethodUnsupported:
            return L"compression method not supported";
        case PlaceTaken:
            return L"a folder and a file of the same name";
        case EntryUnreachable:
            return L"not in the archive's directory";
        case FileError:
            return L"file error";
        case WriteError:
            return L"write error";
        case BadEntryHeader:
            return L"bad entry header";
        case ReadError:
            return L"read error";
        case PasswordError:
            return L"password error";
        case InflateError:
            return L"data damaged";
        default:
            return L"bad argument";
    }
}

HANDLE CreateEntryTarget(const wchar_t* pszPath, DWORD dwAccess, DWORD dwAttributes) {
    // A read-only file left by an earlier extraction would refuse both the
    // delete and the overwrite. Only a file that is already there needs
    // that: try the common case of a new file first and spare two
    // file-system calls per entry.
    HANDLE hFile = ::CreateFileW(pszPath, dwAccess, 0, NULL, CREATE_NEW, dwAttributes, NULL);
    if (hFile != INVALID_HANDLE_VALUE) return hFile;
    ::SetFileAttributesW(pszPath, FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(pszPath);
    return ::CreateFileW(pszPath, dwAccess, 0, NULL, CREATE_ALWAYS, dwAttributes, NULL);
}

void MakeFolderPath(const wchar_t* pszRoot, const wchar_t* pszPath) {
    if (!pszPath) return;
    if (pszRoot) {
        wchar_t szRoot[MAX_PATH];
        if (CopyInto(szRoot, pszRoot) && szRoot[0]) {
            size_t cch = wcslen(szRoot);
            if (IsPathSeparator(szRoot[cch - 1])) szRoot[cch - 1] = 0;
            if (!PathExists(szRoot)) ::CreateDirectoryW(szRoot, NULL);
        }
    }
    if (*pszPath == 0) return;
    const wchar_t* pszLast = NULL;
    for (const wchar_t* p = pszPath; *p; ++p)
        if (IsPathSeparator(*p)) pszLast = p;
    if (pszLast && pszLast != pszPath) {
        wchar_t szParent[MAX_PATH];
        size_t cchParent = pszLast - pszPath;
        if (cchParent < MAX_PATH) {
            wmemcpy(szParent, pszPath, cchParent);
            szParent[cchParent] = 0;
            MakeFolderPath(pszRoot, szParent);
        }
    }
    // A path that does not fit is not cut: a cut path names another folder.
    wchar_t szFolder[MAX_PATH];
    if (FormatInto(szFolder, L"%s%s", pszRoot ? pszRoot : L"", pszPath) && !PathExists(szFolder))
        ::CreateDirectoryW(szFolder, NULL);
}
