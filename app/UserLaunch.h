#pragma once
#include <windows.h>

// Starts a program with the rights of the signed-in user rather than this
// elevated process's: the shell of the interactive desktop (Explorer, which
// runs unelevated) is asked to open it. False when there is no such shell
// (none running, or one that does not offer it); nothing is started then.
bool ShellExecuteAsUser(const wchar_t* pszFile, const wchar_t* pszFolder);
