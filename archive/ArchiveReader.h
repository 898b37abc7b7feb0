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
    InflateError = 0x5000000,
};

// The result of the last operation of any reader.
extern int32_t g_nArchiveLastResult;

struct ArchiveReader;

// Null on failure (g_nArchiveLastResult = FileError).
ArchiveReader* ArchiveOpen(const wchar_t* pszPath);
// Relative entry names are extracted below this folder (default: the
// current directory). A folder that does not fit is refused.
ArchiveResult ArchiveSetTargetFolder(ArchiveReader* hArchive, const wchar_t* pszFolder);
// nIndex -1 asks for the count only (in nIndex). The last record read is cached.
ArchiveResult ArchiveGetEntry(ArchiveReader* hArchive, int32_t nIndex, ArchiveEntry* pEntry);
// Extracts entry nIndex to pszName, below the target folder unless absolute.
// A name with a ".." component is refused.
ArchiveResult ArchiveExtractToFile(ArchiveReader* hArchive, int32_t nIndex, const wchar_t* pszName);
ArchiveResult ArchiveClose(ArchiveReader* hArchive);

// Creates pszRoot (one level) and every folder of pszPath below it; pszRoot
// may be null when pszPath is absolute. Failures are left for the caller to
// meet when it creates the file.
void MakeFolderPath(const wchar_t* pszRoot, const wchar_t* pszPath);
