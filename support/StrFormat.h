#pragma once
// Bounded formatting into the fixed wide buffers the installer uses. A text
// that does not fit is refused: the result is false and the buffer is left
// empty, never truncated into a different, valid-looking path.
#include <stdarg.h>
#include <windows.h>

#include <string>

bool FormatBufV(wchar_t* pszBuf, size_t cchBuf, const wchar_t* pszFormat, va_list args);
bool FormatBuf(wchar_t* pszBuf, size_t cchBuf, const wchar_t* pszFormat, ...);

template <size_t N>
bool FormatInto(wchar_t (&szBuf)[N], const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    bool bOk = FormatBufV(szBuf, N, pszFormat, args);
    va_end(args);
    return bOk;
}

// Formats without a length limit (log messages).
std::wstring FormatStringV(const wchar_t* pszFormat, va_list args);
std::wstring FormatString(const wchar_t* pszFormat, ...);

// Copies a string whole or not at all.
bool CopyBuf(wchar_t* pszBuf, size_t cchBuf, const wchar_t* pszSrc);
template <size_t N>
bool CopyInto(wchar_t (&szBuf)[N], const wchar_t* pszSrc) {
    return CopyBuf(szBuf, N, pszSrc);
}
