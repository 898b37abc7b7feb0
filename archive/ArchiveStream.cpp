#include "ArchiveStream.h"

namespace {

ArchiveStream* AsStream(voidpf stream) { return static_cast<ArchiveStream*>(stream); }

// The reader opened the file already; "opening" hands minizip our stream.
voidpf ZCALLBACK StreamOpen(voidpf opaque, const void*, int) { return opaque; }

uLong ZCALLBACK StreamRead(voidpf, voidpf stream, void* pBuf, uLong cb) {
    DWORD cbRead = 0;
    if (!::ReadFile(AsStream(stream)->hFile, pBuf, cb, &cbRead, NULL)) {
        AsStream(stream)->bError = true;
        return 0;
    }
    return cbRead;
}

uLong ZCALLBACK StreamWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK StreamTell(voidpf, voidpf stream) {
    LARGE_INTEGER liZero = {}, liPos = {};
    if (!::SetFilePointerEx(AsStream(stream)->hFile, liZero, &liPos, FILE_CURRENT)) {
        AsStream(stream)->bError = true;
        return static_cast<ZPOS64_T>(-1);
    }
    return static_cast<ZPOS64_T>(liPos.QuadPart);
}

long ZCALLBACK StreamSeek(voidpf, voidpf stream, ZPOS64_T nOffset, int nOrigin) {
    DWORD dwMethod;
    switch (nOrigin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            dwMethod = FILE_BEGIN;
            break;
        case ZLIB_FILEFUNC_SEEK_CUR:
            dwMethod = FILE_CURRENT;
            break;
        case ZLIB_FILEFUNC_SEEK_END:
            dwMethod = FILE_END;
            break;
        default:
            return -1;
    }
    LARGE_INTEGER liOffset;
    liOffset.QuadPart = static_cast<LONGLONG>(nOffset);
    if (!::SetFilePointerEx(AsStream(stream)->hFile, liOffset, NULL, dwMethod)) {
        AsStream(stream)->bError = true;
        return -1;
    }
    return 0;
}

int ZCALLBACK StreamClose(voidpf, voidpf) { return 0; }

int ZCALLBACK StreamError(voidpf, voidpf stream) { return AsStream(stream)->bError ? 1 : 0; }

}  // namespace

void InitStreamFuncs(zlib_filefunc64_def* pFuncs, ArchiveStream* pStream) {
    pFuncs->zopen64_file = StreamOpen;
    pFuncs->zread_file = StreamRead;
    pFuncs->zwrite_file = StreamWrite;
    pFuncs->ztell64_file = StreamTell;
    pFuncs->zseek64_file = StreamSeek;
    pFuncs->zclose_file = StreamClose;
    pFuncs->zerror_file = StreamError;
    pFuncs->opaque = pStream;
}
