#include "DownloadServer.h"

#include <wchar.h>

#include "StrFormat.h"

#ifndef SETUP_SERVER_URL
#error "SETUP_SERVER_URL must come from the build"
#endif

const wchar_t kPackagePathFormat[] = L"/EX/%s";
const wchar_t kManifestName[] = L"manifest.txt";
const wchar_t kSetupListName[] = L"orbsetup.txt";
const wchar_t kUnInstallName[] = L"UnInstall.exe";

namespace {
// The bases, separated by single spaces (the build checked each).
const wchar_t kServerBases[] = L"" SETUP_SERVER_URL;

// Start and length of base n, counting from 0.
bool FindBase(int nServer, const wchar_t** ppStart, size_t* pcch) {
    const wchar_t* p = kServerBases;
    for (int i = 0;; ++i) {
        const wchar_t* pEnd = wcschr(p, L' ');
        size_t cch = pEnd ? static_cast<size_t>(pEnd - p) : wcslen(p);
        if (i == nServer) {
            *ppStart = p;
            *pcch = cch;
            return cch != 0;
        }
        if (!pEnd) return false;
        p = pEnd + 1;
    }
}
}  // namespace

int GetDownloadServerCount() {
    int nCount = 1;
    for (const wchar_t* p = kServerBases; *p; ++p)
        if (*p == L' ') ++nCount;
    return nCount;
}

bool GetDownloadServerBase(int nServer, wchar_t* pszBase, size_t cchBase) {
    const wchar_t* pStart = NULL;
    size_t cch = 0;
    if (cchBase == 0) return false;
    pszBase[0] = 0;
    if (nServer < 0 || !FindBase(nServer % GetDownloadServerCount(), &pStart, &cch) ||
        cch >= cchBase)
        return false;
    wmemcpy(pszBase, pStart, cch);
    pszBase[cch] = 0;
    return true;
}

bool BuildServerUrlV(wchar_t* pszUrl, size_t cchUrl, int nServer, const wchar_t* pszPathFormat,
                     va_list args) {
    if (!GetDownloadServerBase(nServer, pszUrl, cchUrl)) return false;
    size_t nPrefix = wcslen(pszUrl);
    if (!FormatBufV(pszUrl + nPrefix, cchUrl - nPrefix, pszPathFormat, args)) {
        pszUrl[0] = 0;
        return false;
    }
    return true;
}
