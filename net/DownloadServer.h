#pragma once
// What the installer asks of the download server: its base (scheme, host and
// port) comes from the build (SETUP_SERVER_URL), the paths are fixed.
#include <stdarg.h>
#include <windows.h>

// The setup list, one package (%s is the entry's name, verbatim), the
// uninstaller.
extern const wchar_t kSetupListPath[];
extern const wchar_t kPackagePathFormat[];
extern const wchar_t kUnInstallPath[];

// The server's base URL as the build configured it ("https://host[:port]"
// or "http://host[:port]") + the formatted path, into a fixed buffer. A URL
// that does not fit is refused: false and an empty buffer.
bool BuildServerUrlV(wchar_t* pszUrl, size_t cchUrl, const wchar_t* pszPathFormat, va_list args);
template <size_t N>
bool BuildServerUrl(wchar_t (&szUrl)[N], const wchar_t* pszPathFormat, ...) {
    va_list args;
    va_start(args, pszPathFormat);
    bool bOk = BuildServerUrlV(szUrl, N, pszPathFormat, args);
    va_end(args);
    return bOk;
}
