#include "Log.h"

#include "StrFormat.h"

wchar_t g_szLogPath[MAX_PATH] = {0};
int g_nLogLevel = 1;

namespace {

const wchar_t g_szLevelTag[LOG_LEVEL_COUNT][32] = {
    L"[Error]",   L"[Normal]",   L"[Normal2]",  L"[Normal3]",  L"[Normal4]",  L"[Normal5]",
    L"[Warning]", L"[Warning2]", L"[Warning3]", L"[Warning4]", L"[Warning5]",
};

}  // namespace

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
    // call returns and survives a crash of the process.
    HANDLE hFile =
        ::CreateFileW(pszPath, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) return;
    if (::SetFilePointer(hFile, 0, NULL, FILE_END) != INVALID_SET_FILE_POINTER ||
        ::GetLastError() == NO_ERROR) {
        DWORD cbText = static_cast<DWORD>(wcslen(pszText) * sizeof(wchar_t));
        DWORD cbWritten = 0;
        ::WriteFile(hFile, pszText, cbText, &cbWritten, NULL);
    }
    ::CloseHandle(hFile);
}
