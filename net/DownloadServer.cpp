#include "DownloadServer.h"

#include <wchar.h>

#include "StrFormat.h"

#ifndef SETUP_SERVER_URL
#error "SETUP_SERVER_URL must come from the build"
#endif

const wchar_t kSetupListPath[] = L"/EX/orbsetup.txt";
const wchar_t kPackagePathFormat[] = L"/EX/%s";
const wchar_t kUnInstallPath[] = L"/EX/UnInstall.exe";

namespace {
const wchar_t kServerBase[] = L"" SETUP_SERVER_URL;
}

bool BuildServerUrlV(wchar_t* pszUrl, size_t cchUrl, const wchar_t* pszPathFormat, va_list args) {
    if (!FormatBuf(pszUrl, cchUrl, L"%s", kServerBase)) return false;
    size_t nPrefix = wcslen(pszUrl);
    if (!FormatBufV(pszUrl + nPrefix, cchUrl - nPrefix, pszPathFormat, args)) {
        pszUrl[0] = 0;
        return false;
    }
    return true;
}
