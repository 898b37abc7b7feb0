#pragma once
// The zip reader: entry records with safe relative names, Windows attributes
// and times, and extraction below a target folder. A thin layer over
// minizip's unzip part, reading through our own file handle.
#include <stdint.h>
#include <windows.h>

struct ArchiveEntry {
    int32_t nIndex;  // position in the central directory; the count for index -1
    wchar_t szEntryName[MAX_PATH];
    DWORD dwAttributes;
    FILETIME ftAccessTime;
    FILETIME ftCreationTime;
    FILETIME ftWriteTime;
    int32_t nCompressedSize;
    int32_t nUncompressedSize;
};

enum ArchiveResult : int32_t {
    Ok = 0,
    FileError = 0x200,
    WriteError = 0x400,
    BadEntryHeader = 0x700,
    ReadError = 0x800,
    PasswordError = 0x1000,
    BadArgument = 0x10000,
    // The entry can never be extracted, however often the package is
    // fetched again: its name is refused (a parent or device component, not
    // decodable), its path exceeds the limits, its method is not stored or
    // deflated, or a folder stands where its file goes (or a file where its
    // folder goes).
    NameRefused = 0x20000,
    PathTooLong = 0x40000,
    MethodUnsupported = 0x80000,
    PlaceTaken = 0x100000,
    // The archive's directory ends before this entry: its count lies.
    EntryUnreachable = 0x200000,
    InflateError = 0x5000000,
};

// The unusable results above, as opposed to a damaged archive or a failing
// disk, which another download or another try may mend.
bool IsUnusableEntry(ArchiveResult result);
// A short English reason for a result, for the log.
const wchar_t* DescribeArchiveResult(ArchiveResult result);

// Folders whose paths reach this length cannot be created on Windows
// (CreateDirectoryW's limit, which Wine does not enforce).
enum { kMaxFolderPath = 247 };

// The result of the last operation of any reader.
extern int32_t g_nArchiveLastResult;

struct ArchiveReader;

// Null on failure (g_nArchiveLastResult = FileError).
ArchiveReader* ArchiveOpen(const wchar_t* pszPath);
// Relative entry names are extracted below this folder (default: the
// current directory). An empty folder, or one that does not fit, is refused.
ArchiveResult ArchiveSetTargetFolder(ArchiveReader* hArchive, const wchar_t* pszFolder);
// nIndex -1 asks for the count only (in nIndex). The last record read is cached.
ArchiveResult ArchiveGetEntry(ArchiveReader* hArchive, int32_t nIndex, ArchiveEntry* pEntry);
// Extracts entry nIndex to pszName, below the target folder unless absolute.
// A name with a ".." component is refused. An entry whose name ends in a
// separator is a folder, whatever its attributes.
ArchiveResult ArchiveExtractToFile(ArchiveReader* hArchive, int32_t nIndex, const wchar_t* pszName);
ArchiveResult ArchiveClose(ArchiveReader* hArchive);

// Creates pszRoot (one level) and every folder of pszPath below it; pszRoot
// may be null when pszPath is absolute. Failures are left for the caller to
// meet when it creates the file.
void MakeFolderPath(const wchar_t* pszRoot, const wchar_t* pszPath);

// The file at pszPath made for an entry's content, unshared, with dwAccess:
// new, or in place of a file that is there (a retried package, a name
// listed twice), read-only or not. INVALID_HANDLE_VALUE when neither.
HANDLE CreateEntryTarget(const wchar_t* pszPath, DWORD dwAccess, DWORD dwAttributes);
