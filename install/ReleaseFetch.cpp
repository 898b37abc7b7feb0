#include "ReleaseFetch.h"

#include <string.h>
#include <windows.h>
// After windows.h, which it needs; for the error codes only.
#include <wininet.h>

#include "DownloadServer.h"
#include "Handle.h"
#include "HttpDownload.h"
#include "Log.h"
#include "Registration.h"
#include "StrFormat.h"

namespace {

const int kMinAttemptsPerFile = 5;

// An attempt at a file of known size must deliver it at this speed at least,
// with a minute more for the connection (a 16 MiB package: 18 minutes), so
// that a server trickling the body costs one attempt, not the night.
const DWORD kFloorBytesPerSecond = 16384;
const DWORD kDeadlineBaseMs = 60000;

DWORD DeadlineFor(DWORD cbExpected) {
    if (cbExpected == MAXDWORD) return INFINITE;
    return kDeadlineBaseMs +
           static_cast<DWORD>(static_cast<ULONGLONG>(cbExpected) * 1000 / kFloorBytesPerSecond);
}

ULONGLONG CurrentUnixTime() {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER uli;
    uli.LowPart = ft.dwLowDateTime;
    uli.HighPart = ft.dwHighDateTime;
    const ULONGLONG kEpochDelta = 116444736000000000ull;  // 1601 to 1970 in 100 ns
    return uli.QuadPart > kEpochDelta ? (uli.QuadPart - kEpochDelta) / 10000000ull : 0;
}

// The download buffer holds nothing to build on.
void ForgetCutDownload(CReleaseFetch& fetch) {
    fetch.Clear();
    fetch.m_szCutName[0] = 0;
    fetch.m_cut.szValidator[0] = 0;
}

// After a failed or refused attempt the next server has its turn.
void PassTurn(CReleaseFetch& fetch) {
    fetch.m_nServer = (fetch.m_nServer % GetDownloadServerCount() + 1) % GetDownloadServerCount();
}

// The file pszName of the /SOURCE folder into the download buffer, at most
// dwMaxBody bytes: what a download would have given.
bool ReadFromSource(CReleaseFetch& fetch, const wchar_t* pszName, DWORD dwMaxBody,
                    bool* pbNotTheFile) {
    ForgetCutDownload(fetch);
    wchar_t szFile[MAX_PATH];
    if (!FormatInto(szFile, L"%s\\%s", fetch.m_szSourcePath, pszName)) return false;
    LogNormal(L"[CSetupDlg::Execute] read %s from %s", pszName, fetch.m_szSourcePath);
    CFileHandle file(::CreateFileW(szFile, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, NULL));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.Get(), &size)) {
        LogError(L"[CSetupDlg::Execute] %s cannot be read error=%lu", szFile, ::GetLastError());
        return false;
    }
    if (size.QuadPart > dwMaxBody || size.QuadPart >= 0x7FFFFFFF) {
        LogError(L"[CSetupDlg::Execute] %s too long size=%I64d limit=%lu", szFile, size.QuadPart,
                 dwMaxBody);
        *pbNotTheFile = true;
        return false;
    }
    const DWORD cbFile = static_cast<DWORD>(size.QuadPart);
    if (!fetch.Reserve(cbFile)) return false;
    DWORD cbRead = 0;
    if (!::ReadFile(file.Get(), fetch.m_pDownloadBuf, cbFile, &cbRead, NULL) || cbRead != cbFile) {
        LogError(L"[CSetupDlg::Execute] %s read failed error=%lu", szFile, ::GetLastError());
        ForgetCutDownload(fetch);
        return false;
    }
    fetch.m_nDownloadLen = cbRead;
    return true;
}

// The URL of EX/<pszName> on the server whose turn it is, and that server's
// base for the log; false (logged) when either does not fit.
bool TurnUrl(const CReleaseFetch& fetch, const wchar_t* pszName, wchar_t (&szUrl)[MAX_PATH],
             wchar_t (&szServer)[MAX_PATH]) {
    const int nServer = fetch.m_nServer % GetDownloadServerCount();
    if (BuildServerUrl(szUrl, nServer, kPackagePathFormat, pszName) &&
        GetDownloadServerBase(nServer, szServer, MAX_PATH))
        return true;
    LogError(L"[CSetupDlg::Execute] %s: URL too long", pszName);
    return false;
}

// HttpDownload into the fetch's buffer, with its credentials and stop, at
// most dwMaxBody bytes. A proxy's refusal is noted for the run; the last
// error stays HttpDownload's.
bool DownloadFromTurn(CReleaseFetch& fetch, const wchar_t* pszUrl, DWORD dwMaxBody,
                      HttpResume* pResume, HWND hWndOwner) {
    if (HttpDownload(pszUrl, &fetch.m_pDownloadBuf, &fetch.m_nDownloadLen,
                     &fetch.m_nDownloadBufSize, fetch.m_szProxyUser, fetch.m_szProxyPassword,
                     hWndOwner, dwMaxBody, fetch.m_hDownloadStop, pResume,
                     DeadlineFor(dwMaxBody))) {
        fetch.m_bProxyRefused = false;
        return true;
    }
    if (::GetLastError() == ERROR_INTERNET_INCORRECT_PASSWORD) fetch.m_bProxyRefused = true;
    return false;
}

// One download of EX/<pszName> from the server whose turn it is, taking at
// most dwMaxBody bytes. The turn passes on after every failed attempt: a
// mirror that sends a byte and drops the connection each time must not
// spend every attempt. A body cut short is asked for from where it ended,
// from whichever server comes next: one that serves the same file (the same
// validator) sends the rest, any other the whole file.
bool DownloadFromServer(CReleaseFetch& fetch, const wchar_t* pszName, DWORD dwMaxBody,
                        HWND hWndOwner, bool* pbNotTheFile) {
    *pbNotTheFile = false;
    if (fetch.m_szSourcePath[0]) return ReadFromSource(fetch, pszName, dwMaxBody, pbNotTheFile);
    wchar_t szUrl[MAX_PATH];
    wchar_t szServer[MAX_PATH];
    if (!TurnUrl(fetch, pszName, szUrl, szServer)) return false;
    const bool bResume = fetch.m_nDownloadLen > 0 && wcscmp(fetch.m_szCutName, pszName) == 0;
    if (bResume) {
        LogNormal(L"[CSetupDlg::Execute] fetch %s from %s, from byte %lu", pszName, szServer,
                  fetch.m_nDownloadLen);
    } else {
        LogNormal(L"[CSetupDlg::Execute] fetch %s from %s", pszName, szServer);
        ForgetCutDownload(fetch);
    }
    fetch.m_szCutName[0] = 0;
    const DWORD dwHeld = fetch.m_nDownloadLen;
    if (DownloadFromTurn(fetch, szUrl, dwMaxBody, &fetch.m_cut, hWndOwner)) return true;
    const DWORD dwError = ::GetLastError();
    // Longer than the file may be, or a web page: no attempt at this file
    // can have given it.
    *pbNotTheFile = dwError == ERROR_FILE_TOO_LARGE || dwError == ERROR_INVALID_DATA;
    if (dwError == ERROR_CANCELLED || *pbNotTheFile || !fetch.m_cut.szValidator[0] ||
        fetch.m_nDownloadLen <= dwHeld || !CopyInto(fetch.m_szCutName, pszName))
        ForgetCutDownload(fetch);
    PassTurn(fetch);
    return false;
}

}  // namespace

int AttemptsPerFile() {
    const int nServers = GetDownloadServerCount();
    return nServers > kMinAttemptsPerFile ? nServers : kMinAttemptsPerFile;
}

const ManifestFile* FindReleaseFile(const CReleaseFetch& fetch, const wchar_t* pszName) {
    return fetch.m_bVerified ? FindManifestFile(fetch.m_manifest, pszName) : NULL;
}

FetchResult FetchReleaseFile(CReleaseFetch& fetch, const wchar_t* pszName, HWND hWndOwner) {
    const ManifestFile* pFile = FindReleaseFile(fetch, pszName);
    if (fetch.m_bVerified && !pFile) {
        LogError(L"[CSetupDlg::Execute] %s refused: not in the release manifest", pszName);
        return FetchRefused;
    }
    bool bNotTheFile = false;
    if (!DownloadFromServer(fetch, pszName, pFile ? pFile->cbSize : MAXDWORD, hWndOwner, &bNotTheFile))
        return bNotTheFile && fetch.m_bVerified ? FetchRefused : FetchFailed;
    if (!pFile) return FetchOk;

    BYTE digest[kSha256Bytes];
    if (MatchesManifestFile(*pFile, fetch.m_pDownloadBuf, fetch.m_nDownloadLen, digest))
        return FetchOk;
    wchar_t szGot[2 * kSha256Bytes + 1];
    wchar_t szWanted[2 * kSha256Bytes + 1];
    FormatHex(digest, kSha256Bytes, szGot);
    FormatHex(pFile->digest, kSha256Bytes, szWanted);
    LogError(L"[CSetupDlg::Execute] %s refused: size=%lu sha256=%s expected size=%lu sha256=%s",
             pszName, fetch.m_nDownloadLen, szGot, pFile->cbSize, szWanted);
    wchar_t szNote[256];
    if (fetch.m_nDownloadLen != pFile->cbSize &&
        FormatInto(szNote, L"%s: the answer was %lu bytes where the release says %lu, not the "
                           L"file: a proxy or portal?",
                   pszName, fetch.m_nDownloadLen, pFile->cbSize)) {
        LogError(L"[CSetupDlg::Execute] %s", szNote);
        NoteNetwork(szNote);
    }
    // What it holds is not the release's: nothing may use it.
    ForgetCutDownload(fetch);
    PassTurn(fetch);
    return FetchRefused;
}

FetchResult FetchReleaseRange(CReleaseFetch& fetch, const wchar_t* pszName, DWORD dwFirst,
                              DWORD cbLength, HWND hWndOwner) {
    const ManifestFile* pFile = FindReleaseFile(fetch, pszName);
    wchar_t szUrl[MAX_PATH];
    wchar_t szServer[MAX_PATH];
    ForgetCutDownload(fetch);
    if (!pFile || !cbLength || cbLength > pFile->cbSize || dwFirst > pFile->cbSize - cbLength ||
        !TurnUrl(fetch, pszName, szUrl, szServer))
        return FetchFailed;
    LogNormal(L"[CSetupDlg::Execute] fetch %s bytes %lu-%lu from %s", pszName, dwFirst,
              dwFirst + cbLength - 1, szServer);
    HttpResume part = {{0}};
    part.dwPartFirst = dwFirst;
    part.cbPart = cbLength;
    part.cbPartFile = pFile->cbSize;
    if (DownloadFromTurn(fetch, szUrl, cbLength, &part, hWndOwner) &&
        fetch.m_nDownloadLen == cbLength)
        return FetchOk;
    ForgetCutDownload(fetch);
    PassTurn(fetch);
    return FetchFailed;
}

FetchResult FetchReleaseManifest(CReleaseFetch& fetch, HWND hWndOwner) {
    fetch.m_bVerified = false;
    BYTE key[kP256KeyBytes];
    if (!GetReleaseKey(key)) {
        LogNormal(L"[CSetupDlg::Execute] release not verified: this build has no release key");
        return FetchOk;
    }
    const ULONGLONG ullInstalled = ReadInstalledReleaseSerial();
    return FetchFromEachServer([&]() {
        bool bNotTheFile = false;
        if (!DownloadFromServer(fetch, kManifestName, kManifestMaxBytes, hWndOwner, &bNotTheFile))
            return bNotTheFile ? FetchRefused : FetchFailed;
        const wchar_t* pszWhy =
            AcceptReleaseManifest(fetch.m_pDownloadBuf, fetch.m_nDownloadLen, key,
                                  CurrentUnixTime(), ullInstalled, &fetch.m_manifest);
        if (!pszWhy) {
            fetch.m_bVerified = true;
            LogNormal(L"[CSetupDlg::Execute] release %I64u verified, expires %I64u",
                      fetch.m_manifest.ullSerial, fetch.m_manifest.ullExpires);
            return FetchOk;
        }
        LogError(L"[CSetupDlg::Execute] manifest.txt refused: %s (serial %I64u, installed %I64u)",
                 pszWhy, fetch.m_manifest.ullSerial, ullInstalled);
        PassTurn(fetch);
        return FetchRefused;
    });
}
