#include <windows.h>

#include "RunFigures.h"
// After windows.h, which it needs.
#include <psapi.h>

#include "Log.h"

// "[Bench] peak_private=N largest_free=N": the peak of the process's
// private (pagefile-backed) memory as the system counts it, and the largest
// free block of address space left, from a walk over the whole space.
void LogRunFigures() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));

    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    SIZE_T cbLargestFree = 0;
    const BYTE* p = static_cast<const BYTE*>(si.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION mbi;
    while (p < si.lpMaximumApplicationAddress && ::VirtualQuery(p, &mbi, sizeof(mbi)) != 0) {
        if (mbi.State == MEM_FREE && mbi.RegionSize > cbLargestFree) cbLargestFree = mbi.RegionSize;
        p = static_cast<const BYTE*>(mbi.BaseAddress) + mbi.RegionSize;
    }
    LogNormal(L"[Bench] peak_private=%Iu largest_free=%Iu", counters.PeakPagefileUsage,
              cbLargestFree);
}
