#pragma once
// The installer's diagnostic log: one line per call, to the debugger output
// and appended to g_szLogPath (UTF-16LE, no byte-order mark, CR LF).
#include <stdarg.h>
#include <windows.h>

#include <string>

enum LogLevel {
    LOG_ERROR = 0,
    LOG_NORMAL = 1,
    LOG_NORMAL2,
    LOG_NORMAL3,
    LOG_NORMAL4,
    LOG_NORMAL5,
    LOG_WARNING,
    LOG_WARNING2,
    LOG_WARNING3,
    LOG_WARNING4,
    LOG_WARNING5,
    LOG_LEVEL_COUNT
};

extern wchar_t g_szLogPath[MAX_PATH];
extern int g_nLogLevel;

void LogError(const wchar_t* pszFormat, ...);
void LogNormal(const wchar_t* pszFormat, ...);
void WriteLogLine(int nLevel, const wchar_t* pszFormat, va_list args);
void AppendLogText(const wchar_t* pszPath, const wchar_t* pszText);

// Starts this run's log pszFile in pszFolder, which any user may have made
// or may own. Before anything is written: the folder is opened as itself
// (never a link), and held without delete sharing so that it cannot be
// renamed or replaced; the log file is opened as itself, must be a plain
// file with one name, must really lie in that folder (the folder must not
// have become a link meanwhile), and is emptied through that handle, never
// deleted by name; then it too is held without delete sharing for the run,
// so the folder never becomes empty (a folder must be empty to be made a
// mount point). When any check fails there is no log: g_szLogPath is
// cleared and false returned.
bool StartLogFile(const wchar_t* pszFolder, const wchar_t* pszFile);

// From now on every line also goes to pszPath (a place the administrator
// who started the run named): made new or emptied, opened once and held,
// and written through that handle only. False when it cannot be opened.
bool StartLogCopy(const wchar_t* pszPath);

// Fields 1 to 12 of a line: "%s[%s %s:%3d %04x:%04x]".
std::wstring BuildLogPrefix(int nLevel, const wchar_t* pszDate, const wchar_t* pszTime,
                            int nMilliseconds, DWORD dwProcessId, DWORD dwThreadId);
