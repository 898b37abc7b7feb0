#include "StrFormat.h"

#include <stdio.h>
#include <wchar.h>

// The formats of this program use the platform's wide-printf conventions:
// "%s" is a wide string inside a wide format. _vsnwprintf is msvcrt's own
// implementation, which follows them (the C99 one MinGW may substitute for
// vswprintf does not).
bool FormatBufV(wchar_t* pszBuf, size_t cchBuf, const wchar_t* pszFormat, va_list args) {
    if (!pszBuf || cchBuf == 0) return false;
    pszBuf[0] = 0;
    if (!pszFormat) return false;
    int n = _vsnwprintf(pszBuf, cchBuf, pszFormat, args);
    if (n < 0 || static_cast<size_t>(n) >= cchBuf) {
        pszBuf[0] = 0;
        return false;
    }
    pszBuf[n] = 0;
    return true;
}

bool FormatBuf(wchar_t* pszBuf, size_t cchBuf, const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    bool bOk = FormatBufV(pszBuf, cchBuf, pszFormat, args);
    va_end(args);
    return bOk;
}

std::wstring FormatStringV(const wchar_t* pszFormat, va_list args) {
    if (!pszFormat) return std::wstring();
    std::wstring text(256, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = _vsnwprintf(&text[0], text.size(), pszFormat, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < text.size()) {
            text.resize(n);
            return text;
        }
        // msvcrt answers -1 when the text does not fit; grow and retry.
        if (text.size() >= (64u << 20)) return std::wstring();
        text.resize(text.size() * 2);
    }
}

std::wstring FormatString(const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::wstring text = FormatStringV(pszFormat, args);
    va_end(args);
    return text;
}

bool CopyBuf(wchar_t* pszBuf, size_t cchBuf, const wchar_t* pszSrc) {
    if (!pszBuf || cchBuf == 0) return false;
    pszBuf[0] = 0;
    if (!pszSrc) return false;
    size_t n = wcslen(pszSrc);
    if (n >= cchBuf) return false;
    wmemcpy(pszBuf, pszSrc, n + 1);
    return true;
}
