#include "Log.h"

#include "Handle.h"
#include "SecureFolder.h"
#include "StrFormat.h"

wchar_t g_szLogPath[MAX_PATH] = {0};
int g_nLogLevel = 1;

namespace {

const wchar_t* const g_szLevelTag[LOG_LEVEL_COUNT] = {
    L"[Error]",   L"[Normal]",   L"[Normal2]",  L"[Normal3]",  L"[Normal4]",  L"[Normal5]",
    L"[Warning]", L"[Warning2]", L"[Warning3]", L"[Warning4]", L"[Warning5]",
};

// The copy of the log that StartLogCopy opened.
HANDLE g_hLogCopy = INVALID_HANDLE_VALUE;

void WriteLogCopy(const std::wstring& line) {
    if (g_hLogCopy == INVALID_HANDLE_VALUE) return;
    DWORD cbWritten = 0;
    ::WriteFile(g_hLogCopy, line.c_str(), static_cast<DWORD>(line.size() * sizeof(wchar_t)),
                &cbWritten, NULL);
}

}  // namespace

bool StartLogCopy(const wchar_t* pszPath) {
    CFileHandle file;
    if (!CreatePlainFile(pszPath, FILE_SHARE_READ, &file)) return false;
    if (g_hLogCopy != INVALID_HANDLE_VALUE) ::CloseHandle(g_hLogCopy);
    g_hLogCopy = file.Detach();
    return true;
}

std::wstring BuildLogPrefix(int nLevel, const wchar_t* pszDate, const wchar_t* pszTime,
                            int nMilliseconds, DWORD dwProcessId, DWORD dwThreadId) {
    if (nLevel < 0 || nLevel >= LOG_LEVEL_COUNT) nLevel = LOG_ERROR;
    return FormatString(L"%s[%s %s:%3d %04x:%04x]", g_szLevelTag[nLevel], pszDate, pszTime,
                        nMilliseconds, dwProcessId, dwThreadId);
}

void WriteLogLine(int nLevel, const wchar_t* pszFormat, va_list args) {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    wchar_t szTime[256] = {0};
    wchar_t szDate[256] = {0};
    ::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &st, NULL, szTime, 256);
    ::GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &st, NULL, szDate, 256);
    DWORD dwThreadId = ::GetCurrentThreadId();
    DWORD dwProcessId = ::GetCurrentProcessId();

    std::wstring line =
        BuildLogPrefix(nLevel, szDate, szTime, st.wMilliseconds, dwProcessId, dwThreadId);
    line += FormatStringV(pszFormat, args);
    line += L"\r\n";

    ::OutputDebugStringW(line.c_str());
    AppendLogText(g_szLogPath, line.c_str());
    WriteLogCopy(line);
}

void LogError(const wchar_t* pszFormat, ...) {
    if (g_nLogLevel < 0) return;
    va_list args;
    va_start(args, pszFormat);
    WriteLogLine(LOG_ERROR, pszFormat, args);
    va_end(args);
}

void LogNormal(const wchar_t* pszFormat, ...) {
    if (g_nLogLevel < 0) return;
    va_list args;
    va_start(args, pszFormat);
    WriteLogLine(LOG_NORMAL, pszFormat, args);
    va_end(args);
}

void AppendLogText(const wchar_t* pszPath, const wchar_t* pszText) {
    if (!pszPath || !pszPath[0] || !pszText || !pszText[0]) return;
    // Opened, written and closed per line, so every line is on disk when the
    // call returns and survives a crash of the process. Append-only access
    // puts each line at the end whoever else writes, and sharing lets a
    // viewer keep the file open; a reader that denies writing still blocks
    // it, so try a few times within 100 ms, then drop the line.
    HANDLE hFile = INVALID_HANDLE_VALUE;
    for (int nTry = 0; nTry < 5; ++nTry) {
        hFile = ::CreateFileW(pszPath, FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (hFile != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION) break;
        ::Sleep(20);
    }
    if (hFile == INVALID_HANDLE_VALUE) return;
    if (IsPlainFile(hFile)) {
        DWORD cbText = static_cast<DWORD>(wcslen(pszText) * sizeof(wchar_t));
        DWORD cbWritten = 0;
        ::WriteFile(hFile, pszText, cbText, &cbWritten, NULL);
    }
    ::CloseHandle(hFile);
}

namespace {

// Held for the life of the process (see StartLogFile).
CFileHandle g_logFolder;
CFileHandle g_logFile;

bool StartLog(const wchar_t* pszFolder, const wchar_t* pszFile) {
    const wchar_t* pszName = wcsrchr(pszFile, L'\\');
    if (!pszName) return false;
    ++pszName;
    g_logFolder.Reset(
        OpenFolderItself(pszFolder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE));
    if (!g_logFolder) return false;
    // Made inside the held folder, never through its name: a user who owns
    // the folder could make it a mount point between the check above and
    // the open, and have the file made anywhere. Held from here on without
    // delete sharing, the file keeps the folder from being emptied (and so
    // from becoming a mount point), so the later appends by name stay here.
    g_logFile.Reset(OpenInFolder(g_logFolder.Get(), pszName, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                                 FILE_NON_DIRECTORY_FILE));
    if (!g_logFile || !IsPlainFile(g_logFile.Get()) ||
        !LiesIn(g_logFolder.Get(), g_logFile.Get(), pszName))
        return false;
    LARGE_INTEGER liZero = {};
    return ::SetFilePointerEx(g_logFile.Get(), liZero, NULL, FILE_BEGIN) &&
           ::SetEndOfFile(g_logFile.Get());
}

}  // namespace

bool StartLogFile(const wchar_t* pszFolder, const wchar_t* pszFile) {
    if (pszFolder && pszFile && StartLog(pszFolder, pszFile)) return true;
    g_logFile.Close();
    g_logFolder.Close();
    g_szLogPath[0] = 0;
    return false;
}
