// Downloads each URL with the installer's HttpDownload into one reusable
// 10 MiB buffer, zeroed before each download as the install sequence does,
// and, when a staging folder is given, writes each body with one WriteFile
// as the install sequence stages it.
//   bench_download STAGING_FOLDER|- URL...
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>

#include "BenchCommon.h"
#include "HttpDownload.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: bench_download STAGING|- URL...\n");
        return 2;
    }
    const bool bStage = wcscmp(argv[1], L"-") != 0;
    DWORD dwCapacity = 0xA00000, dwSize = 0;
    BYTE* pBuf = new (std::nothrow) BYTE[dwCapacity]();
    if (!pBuf) return 1;
    wchar_t szUser[64] = {0}, szPassword[64] = {0};
    double dTotal = 0, dStageTotal = 0;
    unsigned long long ullBytes = 0;
    for (int i = 2; i < argc; ++i) {
        double t0 = NowMs();
        memset(pBuf, 0, dwCapacity);
        dwSize = 0;
        if (!HttpDownload(argv[i], &pBuf, &dwSize, &dwCapacity, szUser, szPassword, NULL)) {
            fprintf(stderr, "download failed: %ls\n", argv[i]);
            return 1;
        }
        double t1 = NowMs();
        if (bStage) {
            const wchar_t* pszName = wcsrchr(argv[i], L'/');
            std::wstring path = std::wstring(argv[1]) + L"\\" + (pszName ? pszName + 1 : L"x");
            HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (h == INVALID_HANDLE_VALUE) return 1;
            DWORD cb = 0;
            ::WriteFile(h, pBuf, dwSize, &cb, NULL);
            ::CloseHandle(h);
        }
        double t2 = NowMs();
        dTotal += t1 - t0;
        dStageTotal += t2 - t1;
        ullBytes += dwSize;
        printf("file %ls bytes %lu download_ms %.1f stage_ms %.1f\n", argv[i], dwSize, t1 - t0,
               t2 - t1);
    }
    printf("total_bytes %llu\ndownload_ms %.1f\nstage_ms %.1f\n", ullBytes, dTotal, dStageTotal);
    PrintPeakMemory();
    delete[] pBuf;
    return 0;
}
