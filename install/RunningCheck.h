#pragma once
// Whether the client is already running.
#include <windows.h>

// True when a running process's executable file name equals pszExeName,
// ignoring case, wherever it was started from. pszFolder (the install
// folder) must be non-empty but takes no part in the match.
bool IsProcessRunning(const wchar_t* pszExeName, const wchar_t* pszFolder);
