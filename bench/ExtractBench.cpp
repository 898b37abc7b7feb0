// Unpacks each zip into one folder with the installer's package extraction,
// without its fixed pause, so only the reader's own work is timed.
//   bench_extract FOLDER ZIP...
#include <stdio.h>

#include "BenchCommon.h"
#include "PackageExtract.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: bench_extract FOLDER ZIP...\n");
        return 2;
    }
    double dTotal = 0;
    int nFailed = 0;
    for (int i = 2; i < argc; ++i) {
        double t0 = NowMs();
        if (ExtractPackage(argv[i], argv[1], 0) != PackageExtracted) ++nFailed;
        double t1 = NowMs();
        dTotal += t1 - t0;
        printf("zip %ls extract_ms %.1f\n", argv[i], t1 - t0);
    }
    printf("extract_ms %.1f\nfailed %d\n", dTotal, nFailed);
    PrintPeakMemory();
    return nFailed ? 1 : 0;
}
