// The check a signed release adds per file: SHA-256 over every byte of each
// zip, through the installer's CNG code, timed without the reading.
//   bench_verify FOLDER ZIP...     (FOLDER unused: the bench runner's shape)
#include <stdio.h>

#include <vector>

#include "BenchCommon.h"
#include "Signature.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: bench_verify FOLDER ZIP...\n");
        return 2;
    }
    double dTotal = 0;
    unsigned long long ullBytes = 0;
    std::vector<BYTE> data;
    for (int i = 2; i < argc; ++i) {
        HANDLE h = ::CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE) return 1;
        DWORD cbSize = ::GetFileSize(h, NULL), cbRead = 0;
        data.resize(cbSize ? cbSize : 1);
        BOOL bRead = ::ReadFile(h, data.data(), cbSize, &cbRead, NULL);
        ::CloseHandle(h);
        if (!bRead || cbRead != cbSize) return 1;
        BYTE digest[kSha256Bytes];
        double t0 = NowMs();
        if (!Sha256(data.data(), cbSize, digest)) return 1;
        dTotal += NowMs() - t0;
        ullBytes += cbSize;
    }
    printf("total_bytes %llu\nverify_ms %.1f\n", ullBytes, dTotal);
    return 0;
}
