#pragma once
#include <windows.h>

// A hardware fault (an access violation, say) on any thread writes one
// [Error] line with the exception code and address to the log before the
// process ends, so a crash on a user's machine leaves a trace. The line is
// written without the heap, which may be what broke; then the filter that
// was there before decides.
void InstallCrashLog();

// One [Error] line built the same way, for the end of a process that cannot
// go on (pszWhat: "[Where] what").
void LogFatal(const wchar_t* pszWhat);
