#pragma once
// minizip's file functions over a file handle that the reader owns.
#include <windows.h>

#include "ioapi.h"

struct ArchiveStream {
    HANDLE hFile;
    bool bError;  // a read or seek failed
};

// Fills pFuncs so that minizip reads pStream. Closing the stream through
// minizip leaves the handle open: its owner closes it.
void InitStreamFuncs(zlib_filefunc64_def* pFuncs, ArchiveStream* pStream);
