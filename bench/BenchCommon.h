#pragma once
// Timing and memory figures the benchmark programs print, one result a line.
#include <windows.h>
#include <psapi.h>
#include <stdio.h>

inline double NowMs() {
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

// Peak private bytes as the process itself sees them (Wine's figure).
inline void PrintPeakMemory() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc)))
        printf("peak_working_set_bytes %llu\npeak_pagefile_bytes %llu\n",
               static_cast<unsigned long long>(pmc.PeakWorkingSetSize),
               static_cast<unsigned long long>(pmc.PeakPagefileUsage));
}
