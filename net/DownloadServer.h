#pragma once
// What the installer asks of the download servers: their bases (scheme, host
// and port) come from the build (SETUP_SERVER_URL, one or more mirrors), the
// paths are fixed.
#include <stdarg.h>
#include <windows.h>

// Every file of a release is "/EX/" + its name (verbatim): the release
// manifest, the setup list, each package, the uninstaller.
extern const wchar_t kPackagePathFormat[];
extern const wchar_t kManifestName[];
extern const wchar_t kSetupListName[];
extern const wchar_t kUnInstallName[];

// How many servers the build names (at least one), tried in that order.
int GetDownloadServerCount();

// Server nServer's base ("https://host[:port]"; nServer wraps around the
// list) into a fixed buffer, false when it does not fit.
bool GetDownloadServerBase(int nServer, wchar_t* pszBase, size_t cchBase);

// Server nServer's base + the formatted path, into a fixed buffer. A URL
// that does not fit is refused: false and an empty buffer.
bool BuildServerUrlV(wchar_t* pszUrl, size_t cchUrl, int nServer, const wchar_t* pszPathFormat,
                     va_list args);
template <size_t N>
bool BuildServerUrl(wchar_t (&szUrl)[N], int nServer, const wchar_t* pszPathFormat, ...) {
    va_list args;
    va_start(args, pszPathFormat);
    bool bOk = BuildServerUrlV(szUrl, N, nServer, pszPathFormat, args);
    va_end(args);
    return bOk;
}
