#include "CrashLog.h"

#include <stdlib.h>

#include "Log.h"

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER g_pfnPreviousFilter = NULL;

// A fixed line on the stack, filled by hand: no formatting routine that
// might allocate.
class CStackLine {
public:
    CStackLine() : m_n(0) { m_sz[0] = 0; }
    void Text(const wchar_t* psz) {
        while (*psz && m_n + 1 < kSize) m_sz[m_n++] = *psz++;
        m_sz[m_n] = 0;
    }
    void Number(ULONGLONG n, unsigned nBase, int nMinDigits) {
        wchar_t szDigits[24];
        int i = 0;
        do {
            szDigits[i++] = L"0123456789ABCDEF"[n % nBase];
            n /= nBase;
        } while (n && i < 24);
        while (i < nMinDigits && i < 24) szDigits[i++] = L'0';
        wchar_t szOne[2] = {0, 0};
        while (i > 0) {
            szOne[0] = szDigits[--i];
            Text(szOne);
        }
    }
    const wchar_t* Get() const { return m_sz; }

private:
    static const size_t kSize = 200;
    wchar_t m_sz[kSize];
    size_t m_n;
};

// "[Error][date time pid:tid]", as the log's other lines begin.
void BeginLine(CStackLine& line) {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    const struct {
        DWORD n;
        int nDigits;
        const wchar_t* pszAfter;
    } stamp[] = {{st.wYear, 4, L"-"},        {st.wMonth, 2, L"-"},  {st.wDay, 2, L" "},
                 {st.wHour, 2, L":"},        {st.wMinute, 2, L":"}, {st.wSecond, 2, L":"},
                 {st.wMilliseconds, 3, L" "}};
    line.Text(L"[Error][");
    for (const auto& part : stamp) {
        line.Number(part.n, 10, part.nDigits);
        line.Text(part.pszAfter);
    }
    line.Number(::GetCurrentProcessId(), 16, 4);
    line.Text(L":");
    line.Number(::GetCurrentThreadId(), 16, 4);
    line.Text(L"]");
}

LONG WINAPI LogCrash(EXCEPTION_POINTERS* pInfo) {
    if (g_nLogLevel >= 0 && pInfo && pInfo->ExceptionRecord) {
        CStackLine line;
        BeginLine(line);
        line.Text(L"[UnhandledException] code=0x");
        line.Number(pInfo->ExceptionRecord->ExceptionCode, 16, 8);
        line.Text(L" address=0x");
        line.Number(reinterpret_cast<ULONG_PTR>(pInfo->ExceptionRecord->ExceptionAddress), 16,
                    static_cast<int>(sizeof(void*) * 2));
        line.Text(L"\r\n");
        AppendLogText(g_szLogPath, line.Get());
    }
    return g_pfnPreviousFilter ? g_pfnPreviousFilter(pInfo) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallCrashLog() {
    LPTOP_LEVEL_EXCEPTION_FILTER pfnPrevious = ::SetUnhandledExceptionFilter(LogCrash);
    // Installed twice, it must not hand on to itself.
    if (pfnPrevious != LogCrash) g_pfnPreviousFilter = pfnPrevious;
}

void LogFatal(const wchar_t* pszWhat) {
    if (g_nLogLevel < 0) return;
    CStackLine line;
    BeginLine(line);
    line.Text(pszWhat);
    line.Text(L"\r\n");
    AppendLogText(g_szLogPath, line.Get());
}

// The C++ runtime calls this for an exception nothing catches. It replaces
// the runtime's own handler, which prints the exception's demangled type to
// a console these GUI programs do not have, and links a demangler and a
// printf implementation (about 70 KB) into every program for it.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    LogFatal(L"[Terminate] uncaught C++ exception");
    abort();
}
}  // namespace __gnu_cxx
