#include "HttpDownload.h"

#include <string.h>
#include <wchar.h>

#include <new>

#include "Handle.h"
#include "Log.h"
#include "ProxyAuthDlg.h"
#include "ProxyChoice.h"
#include "StrFormat.h"
#include "WinInet.h"

namespace {

// Handles close on the way out of a failure: the caller reads that
// failure's last error, not what closing a half-read request left.
struct InternetHandleTraits {
    static HINTERNET Invalid() { return NULL; }
    static void Close(HINTERNET h) {
        const DWORD dwError = ::GetLastError();
        WinInet::InternetCloseHandle(h);
        ::SetLastError(dwError);
    }
};
typedef CHandleOwner<HINTERNET, InternetHandleTraits> CInternetHandle;

const DWORD kTimeoutMs = 15000;
const DWORD kConnectRetries = 5;
// Nothing is read from or written to WinINet's cache (another program of the
// user can fill it), and caching proxies are asked for a fresh answer: last
// release's list must not meet this release's packages.
const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE |
                            INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                            INTERNET_FLAG_TRANSFER_ASCII;
const DWORD kReadChunk = 1000;
const DWORD kGrowthHeadroom = 0x100000;
const int kMaxRedirects = 5;
// The stop event is looked at every 64 KB of a body.
const DWORD kStopCheckChunks = 64;

void SetDwordOption(HINTERNET hInternet, DWORD dwOption, DWORD dwValue) {
    WinInet::InternetSetOptionExW(hInternet, dwOption, &dwValue, sizeof(dwValue), 0);
}

// The status line's code as text, into a zeroed 64-character buffer.
bool QueryStatus(HINTERNET hRequest, wchar_t (&szStatus)[64]) {
    wmemset(szStatus, 0, 64);
    DWORD cbStatus = sizeof(szStatus) - sizeof(wchar_t);
    if (WinInet::HttpQueryInfoW(hRequest, HTTP_QUERY_STATUS_CODE, szStatus, &cbStatus, NULL))
        return true;
    LogError(L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  error=%lu", ::GetLastError());
    return false;
}

bool IsSuccessStatus(const wchar_t* pszStatus) {
    return wcslen(pszStatus) == 3 && pszStatus[0] == L'2' && iswdigit(pszStatus[1]) &&
           iswdigit(pszStatus[2]);
}

// Dialogs shown in this run for credentials that a proxy then rejected
// counts against this: a rejected entry is asked for again, but not for ever.
const int kMaxProxyAsks = 3;
int g_nProxyAsks = 0;
int g_nProxyAsksAllowed = kMaxProxyAsks;

void ForgetCredentials(wchar_t (&szProxyUser)[64], wchar_t (&szProxyPassword)[64]) {
    ::SecureZeroMemory(szProxyUser, sizeof(szProxyUser));
    ::SecureZeroMemory(szProxyPassword, sizeof(szProxyPassword));
}

// What the network did, in words, the first time this run it did something
// a person must hear about (a web page instead of a file, a proxy nobody
// could answer).
wchar_t g_szNote[256] = {0};
PFN_DOWNLOAD_PROGRESS g_pfnProgress = NULL;
void* g_pProgressContext = NULL;

bool StopSet(HANDLE hStopEvent) {
    if (!hStopEvent || ::WaitForSingleObject(hStopEvent, 0) != WAIT_OBJECT_0) return false;
    ::SetEvent(hStopEvent);  // left set for the caller
    return true;
}

// One answer to a 407: the caller's credentials, or the dialog's when either
// is still empty. False when the user did not confirm the dialog, or the
// run has asked as often as it may.
bool GetProxyCredentials(wchar_t (&szProxyUser)[64], wchar_t (&szProxyPassword)[64]) {
    if (szProxyUser[0] && szProxyPassword[0]) return true;
    if (g_nProxyAsks >= g_nProxyAsksAllowed) {
        LogError(
            L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  asked %d times: not "
            L"again in this run",
            g_nProxyAsks);
        return false;
    }
    ++g_nProxyAsks;
    CProxyAuthDlg dlg(NULL);
    if (dlg.DoModal() != IDOK) return false;
    // The dialog hands out at most 63 characters; check anyway, so the
    // buffers are either both filled or both left as they were.
    if (dlg.GetName().size() >= 64 || dlg.GetPassword().size() >= 64) return false;
    CopyInto(szProxyUser, dlg.GetName().c_str());
    CopyInto(szProxyPassword, dlg.GetPassword().c_str());
    return true;
}

// The body's announced length, when the answer has one.
bool QueryContentLength(HINTERNET hRequest, ULONGLONG* pullLength) {
    wchar_t szLength[32] = {0};
    DWORD cbLength = sizeof(szLength) - sizeof(wchar_t);
    if (!WinInet::HttpQueryInfoW(hRequest, HTTP_QUERY_CONTENT_LENGTH, szLength, &cbLength, NULL))
        return false;
    wchar_t* pEnd = NULL;
    *pullLength = _wcstoui64(szLength, &pEnd, 10);
    return pEnd != szLength && *pEnd == 0;
}

bool IsHttpsUrl(const wchar_t* pszUrl) { return _wcsnicmp(pszUrl, L"https://", 8) == 0; }

// What the platform says when a server's certificate does not validate.
// Wine reports an untrusted authority as 12057 where Windows says 12045.
const wchar_t* DescribeCertificateError(DWORD dwError) {
    switch (dwError) {
        case ERROR_INTERNET_INVALID_CA:
            return L"certificate issued by an untrusted authority";
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
            return L"certificate names another host";
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
            return L"certificate expired or not yet valid";
        case ERROR_INTERNET_SEC_CERT_REV_FAILED:
        case ERROR_INTERNET_SEC_CERT_NO_REV:
            return L"certificate could not be validated";
        case ERROR_INTERNET_SEC_CERT_REVOKED:
            return L"certificate revoked";
        case ERROR_INTERNET_SEC_INVALID_CERT:
        case ERROR_INTERNET_SEC_CERT_ERRORS:
            return L"certificate invalid";
        case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
            return L"secure channel failed";
        case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
            return L"redirect from HTTPS to plain HTTP";
        default:
            return NULL;
    }
}

bool IsRedirectStatus(const wchar_t* pszStatus) {
    static const wchar_t* const kRedirects[] = {L"301", L"302", L"303", L"307", L"308"};
    for (const wchar_t* pszRedirect : kRedirects)
        if (wcscmp(pszStatus, pszRedirect) == 0) return true;
    return false;
}

// One request for lpUrl; a failure is logged, by name when it is the
// server's certificate.
bool OpenUrl(HINTERNET hInternet, LPCWSTR lpUrl, LPCWSTR pszHeaders, DWORD dwFlags,
             CInternetHandle& hRequest) {
    hRequest.Reset(WinInet::InternetOpenUrlW(hInternet, lpUrl, pszHeaders[0] ? pszHeaders : NULL,
                                             pszHeaders[0] ? static_cast<DWORD>(-1) : 0,
                                             dwFlags, 1));
    if (hRequest) return true;
    const DWORD dwError = ::GetLastError();
    if (const wchar_t* pszWhy = DescribeCertificateError(dwError))
        LogError(L"[HttpDownload  InternetOpenUrl]  refused: %s error=%lu lpUrl=%s", pszWhy,
                 dwError, lpUrl);
    else
        LogError(L"[HttpDownload  InternetOpenUrl]  error=%lu lpUrl=%s", dwError, lpUrl);
    return false;
}

// Opens lpUrl and answers its proxy challenges (407): rejected credentials
// are said so, forgotten and asked for again while the run may still ask
// and no stop is set. On success the request is in hRequest and its status
// in szStatus.
bool OpenAnswered(HINTERNET hInternet, LPCWSTR lpUrl, LPCWSTR pszHeaders, DWORD dwFlags,
                  CInternetHandle& hRequest, wchar_t (&szStatus)[64],
                  wchar_t (&szProxyUser)[64], wchar_t (&szProxyPassword)[64], HWND hWndParent,
                  HANDLE hStopEvent) {
    if (!OpenUrl(hInternet, lpUrl, pszHeaders, dwFlags, hRequest)) return false;
    if (!QueryStatus(hRequest.Get(), szStatus)) return false;
    if (_wcsicmp(szStatus, L"407") != 0) return true;

    LogNormal(
        L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  need check username and "
        L"password");
    for (;;) {
        if (StopSet(hStopEvent)) {
            ::SetLastError(ERROR_CANCELLED);
            return false;
        }
        if (!g_nProxyAsksAllowed) {
            // Only Basic gets here: WinINet has answered NTLM and Negotiate
            // with the signed-in account already, and it was refused.
            LogError(L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  the proxy asks "
                     L"for a name and password (407) and nobody can answer it in an unattended "
                     L"run lpUrl=%s",
                     lpUrl);
            NoteNetwork(L"the proxy asks for a name and password (407), which an unattended run "
                 L"cannot give: name another proxy with /PROXY");
        }
        if (!GetProxyCredentials(szProxyUser, szProxyPassword)) {
            LogNormal(
                L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]] check username and "
                L"password cancle");
            ::SetLastError(ERROR_INTERNET_INCORRECT_PASSWORD);
            return false;
        }
        WinInet::InternetSetOptionExW(hRequest.Get(), INTERNET_OPTION_PROXY_USERNAME, szProxyUser,
                                      static_cast<DWORD>(wcslen(szProxyUser) + 1), 0);
        WinInet::InternetSetOptionExW(hRequest.Get(), INTERNET_OPTION_PROXY_PASSWORD,
                                      szProxyPassword,
                                      static_cast<DWORD>(wcslen(szProxyPassword) + 1), 0);
        WinInet::HttpSendRequestW(hRequest.Get(), NULL, 0, NULL, 0);
        if (!QueryStatus(hRequest.Get(), szStatus)) return false;
        if (IsHttpsUrl(lpUrl) && !IsSuccessStatus(szStatus) && _wcsicmp(szStatus, L"407") != 0) {
            // Some WinINet versions (Wine's) resend on the proxy connection
            // without a new CONNECT, and the proxy refuses the bare request. A
            // new request tunnels afresh with the credentials the session holds.
            if (!OpenUrl(hInternet, lpUrl, pszHeaders, dwFlags, hRequest) ||
                !QueryStatus(hRequest.Get(), szStatus))
                return false;
        }
        // Only another 407 means the credentials were rejected; any other
        // failing status is the server's answer about the file.
        if (_wcsicmp(szStatus, L"407") != 0) break;
        ::MessageBoxW(hWndParent, L"用户名密码验证失败", L"提示", MB_OK | MB_SETFOREGROUND);
        LogError(
            L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  check username and "
            L"password failed");
        ForgetCredentials(szProxyUser, szProxyPassword);
    }
    LogNormal(
        L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  check username and "
        L"password success");
    return true;
}

// Replaces szUrl with where its HTTPS answer redirects to, when that is
// HTTPS again. A redirect to anything else is refused: what came over TLS
// must not continue in the clear.
bool FollowSecureRedirect(HINTERNET hRequest, wchar_t (&szUrl)[2048]) {
    wchar_t szLocation[2048] = {0};
    DWORD cbLocation = sizeof(szLocation) - sizeof(wchar_t);
    wchar_t szNext[2048];
    DWORD cchNext = 2048;
    if (!WinInet::HttpQueryInfoW(hRequest, HTTP_QUERY_LOCATION, szLocation, &cbLocation, NULL) ||
        !WinInet::InternetCombineUrlW(szUrl, szLocation, szNext, &cchNext, ICU_NO_ENCODE)) {
        LogError(L"[HttpDownload  redirect]  no usable location error=%lu lpUrl=%s",
                 ::GetLastError(), szUrl);
        return false;
    }
    if (!IsHttpsUrl(szNext)) {
        LogError(L"[HttpDownload  redirect]  refused: not HTTPS location=%s lpUrl=%s", szNext,
                 szUrl);
        return false;
    }
    CopyInto(szUrl, szNext);
    return true;
}

// The answer's validator for a later If-Range: a strong ETag (a weak one
// may not be used there), else its Last-Modified date; empty when neither.
void QueryValidator(HINTERNET hRequest, HttpResume* pResume) {
    wchar_t (&szValidator)[128] = pResume->szValidator;
    wmemset(szValidator, 0, 128);
    DWORD cb = sizeof(szValidator) - sizeof(wchar_t);
    if (WinInet::HttpQueryInfoW(hRequest, HTTP_QUERY_ETAG, szValidator, &cb, NULL) &&
        szValidator[0] == L'"')
        return;
    wmemset(szValidator, 0, 128);
    cb = sizeof(szValidator) - sizeof(wchar_t);
    if (!WinInet::HttpQueryInfoW(hRequest, HTTP_QUERY_LAST_MODIFIED, szValidator, &cb, NULL))
        wmemset(szValidator, 0, 128);
}

// Whether a 206's Content-Range ("bytes FIRST-LAST/TOTAL") says its body
// begins at ullFirst in the file and, when ullLast is given, ends at it in a
// file of ullTotal bytes.
bool ContentRangeIs(HINTERNET hRequest, ULONGLONG ullFirst, const ULONGLONG* pullLast = NULL,
                    ULONGLONG ullTotal = 0) {
    wchar_t szRange[96] = L"Content-Range";
    DWORD cbRange = sizeof(szRange) - sizeof(wchar_t);
    if (!WinInet::HttpQueryInfoW(hRequest, HTTP_QUERY_CUSTOM, szRange, &cbRange, NULL) ||
        _wcsnicmp(szRange, L"bytes ", 6) != 0 || !iswdigit(szRange[6]))
        return false;
    wchar_t* pEnd = NULL;
    if (_wcstoui64(szRange + 6, &pEnd, 10) != ullFirst || *pEnd != L'-') return false;
    if (!pullLast) return true;
    if (!iswdigit(pEnd[1]) || _wcstoui64(pEnd + 1, &pEnd, 10) != *pullLast || *pEnd != L'/' ||
        !iswdigit(pEnd[1]))
        return false;
    return _wcstoui64(pEnd + 1, &pEnd, 10) == ullTotal && *pEnd == 0;
}

}  // namespace

void StartProxyAsking(bool bDialogs) {
    g_nProxyAsks = 0;
    g_nProxyAsksAllowed = bDialogs ? kMaxProxyAsks : 0;
    g_szNote[0] = 0;
}

const wchar_t* NetworkNote() { return g_szNote; }

void NoteNetwork(const wchar_t* pszText) {
    if (!g_szNote[0]) CopyInto(g_szNote, pszText);
}

void SetDownloadProgress(PFN_DOWNLOAD_PROGRESS pfn, void* pContext) {
    g_pfnProgress = pfn;
    g_pProgressContext = pContext;
}

void ForgetProxyCredentials(wchar_t (&szProxyUser)[64], wchar_t (&szProxyPassword)[64]) {
    ForgetCredentials(szProxyUser, szProxyPassword);
}

bool GrowDownloadBuffer(BYTE** ppBuffer, DWORD* pdwCapacity, DWORD dwHeld, ULONGLONG ullNeeded) {
    if (ullNeeded <= *pdwCapacity) return true;
    const ULONGLONG ullNewSize = ullNeeded + kGrowthHeadroom;
    if (ullNewSize > 0xFFFFFFFFull) return false;
    BYTE* pNew = new (std::nothrow) BYTE[static_cast<size_t>(ullNewSize)]();
    if (!pNew) return false;
    if (dwHeld) memcpy(pNew, *ppBuffer, dwHeld);
    delete[] * ppBuffer;
    *ppBuffer = pNew;
    *pdwCapacity = static_cast<DWORD>(ullNewSize);
    return true;
}

BOOL HttpDownload(LPCWSTR lpUrl, BYTE** ppBuffer, DWORD* pdwSize, DWORD* pdwCapacity,
                  wchar_t (&szProxyUser)[64], wchar_t (&szProxyPassword)[64], HWND hWndParent,
                  DWORD dwMaxBody, HANDLE hStopEvent, HttpResume* pResume,
                  DWORD dwDeadlineMs) {
    const DWORD dwStart = ::GetTickCount();
    HTTP_VERSION_INFO version = {1, 1};
    if (!WinInet::InternetSetOptionExW(NULL, INTERNET_OPTION_HTTP_VERSION, &version,
                                       sizeof(version), 0)) {
        LogError(L"[HttpDownload  InternetSetOptionEx]  error=%lu", ::GetLastError());
        return FALSE;
    }
    if (!lpUrl) {
        LogError(L"[HttpDownload  lpUrl]  lpUrl is null");
        return FALSE;
    }
    if (!ppBuffer || !pdwSize || !pdwCapacity || *pdwSize > *pdwCapacity ||
        (!*ppBuffer && *pdwCapacity != 0)) {
        LogError(L"[HttpDownload  ppBuffer]  bad buffer lpUrl=%s", lpUrl);
        return FALSE;
    }

    const ProxyChoice& proxy = RunProxy();
    const bool bNamed = proxy.dwAccessType == INTERNET_OPEN_TYPE_PROXY;
    CInternetHandle hInternet(WinInet::InternetOpenW(NULL, proxy.dwAccessType,
                                                     bNamed ? proxy.szProxy : NULL,
                                                     bNamed ? proxy.szBypass : NULL, 0));
    if (!hInternet) {
        LogError(L"[HttpDownload  InternetOpen]  error=%lu", ::GetLastError());
        return FALSE;
    }
    SetDwordOption(hInternet.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, kTimeoutMs);
    SetDwordOption(hInternet.Get(), INTERNET_OPTION_CONNECT_BACKOFF, kTimeoutMs);
    SetDwordOption(hInternet.Get(), INTERNET_OPTION_CONNECT_RETRIES, kConnectRetries);
    SetDwordOption(hInternet.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, kTimeoutMs);
    SetDwordOption(hInternet.Get(), INTERNET_OPTION_SEND_TIMEOUT, kTimeoutMs);
    SetDwordOption(hInternet.Get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, kTimeoutMs);
    SetDwordOption(hInternet.Get(), INTERNET_OPTION_DATA_SEND_TIMEOUT, kTimeoutMs);

    // Declared after the Internet handle, so it is closed first.
    CInternetHandle hRequest;
    wchar_t szStatus[64];
    // HTTPS redirects are followed here, not by WinINet, so that one to
    // plain HTTP is refused before anything is sent to it.
    const bool bHttps = IsHttpsUrl(lpUrl);
    const DWORD dwFlags = kRequestFlags | (bHttps ? INTERNET_FLAG_NO_AUTO_REDIRECT : 0);
    wchar_t szUrl[2048];
    if (!CopyInto(szUrl, lpUrl)) {
        LogError(L"[HttpDownload  lpUrl]  too long lpUrl=%s", lpUrl);
        return FALSE;
    }
    // Only the rest of a body cut short, and only while the file is the one
    // whose first bytes are held.
    const bool bPart = pResume && pResume->cbPart > 0;
    const bool bAskRest = !bPart && pResume && pResume->szValidator[0] && *pdwSize > 0;
    const ULONGLONG ullPartLast = bPart ? pResume->dwPartFirst + pResume->cbPart - 1ull : 0;
    wchar_t szHeaders[192] = {0};
    if (bAskRest && !FormatInto(szHeaders, L"Range: bytes=%lu-\r\nIf-Range: %s\r\n", *pdwSize,
                                pResume->szValidator)) {
        LogError(L"[HttpDownload  lpUrl]  validator too long lpUrl=%s", lpUrl);
        return FALSE;
    }
    if (bPart) FormatInto(szHeaders, L"Range: bytes=%lu-%I64u\r\n", pResume->dwPartFirst, ullPartLast);
    for (int nHops = 0;; ++nHops) {
        if (!OpenAnswered(hInternet.Get(), szUrl, szHeaders, dwFlags, hRequest, szStatus,
                          szProxyUser, szProxyPassword, hWndParent, hStopEvent))
            return FALSE;
        if (!bHttps || !IsRedirectStatus(szStatus)) break;
        if (nHops == kMaxRedirects) {
            LogError(L"[HttpDownload  redirect]  too many redirects lpUrl=%s", lpUrl);
            return FALSE;
        }
        if (!FollowSecureRedirect(hRequest.Get(), szUrl)) return FALSE;
        hRequest.Reset();
    }
    if (!IsSuccessStatus(szStatus)) {
        // An error page is not the file that was asked for: a 404 must never
        // be installed as a package or parsed as a setup list.
        LogError(L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  status=%s lpUrl=%s",
                 szStatus, lpUrl);
        return FALSE;
    }

    // A proxy's or a captive portal's page in place of the file (none of
    // the release's files is a web page): counted, said in words, never kept.
    wchar_t szType[64] = {0};
    DWORD cbType = sizeof(szType) - sizeof(wchar_t);
    if (WinInet::HttpQueryInfoW(hRequest.Get(), HTTP_QUERY_CONTENT_TYPE, szType, &cbType, NULL) &&
        _wcsnicmp(szType, L"text/html", 9) == 0) {
        BYTE page[1024];
        DWORD cbPage = 0;
        DWORD dwRecv = 0;
        while (cbPage < dwMaxBody && cbPage < 0x100000 &&
               WinInet::InternetReadFile(hRequest.Get(), page, sizeof(page), &dwRecv) && dwRecv)
            cbPage += dwRecv;
        wchar_t szNote[128];
        FormatInto(szNote, L"the answer was a web page of %lu bytes, not the file: a proxy or "
                           L"portal?", cbPage);
        LogError(L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_CONTENT_TYPE]]  %s lpUrl=%s", szNote,
                 lpUrl);
        NoteNetwork(szNote);
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }

    // Where this body begins in the buffer, and how much of it is held.
    DWORD dwStartSize = *pdwSize;
    DWORD dwHeld = 0;
    const bool bPartial = wcscmp(szStatus, L"206") == 0;
    if (bPart) {
        // A server that ignores Range sends the whole file: not what was asked.
        if (!bPartial || !ContentRangeIs(hRequest.Get(), pResume->dwPartFirst, &ullPartLast,
                                         pResume->cbPartFile)) {
            LogError(L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  not the part "
                     L"asked for status=%s lpUrl=%s",
                     szStatus, lpUrl);
            ::SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
    } else if (bPartial) {
        // Part of a file is a whole body only when it is the part asked for.
        if (!bAskRest || !ContentRangeIs(hRequest.Get(), *pdwSize)) {
            LogError(L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_STATUS_CODE]]  partial answer "
                     L"not asked for lpUrl=%s",
                     lpUrl);
            if (pResume) wmemset(pResume->szValidator, 0, 128);
            return FALSE;
        }
        dwStartSize = 0;
        dwHeld = *pdwSize;
        LogNormal(L"[HttpDownload  InternetReadFile]  resumed at %lu lpUrl=%s", dwHeld, lpUrl);
    } else if (bAskRest) {
        // The file changed, or the server ignores Range: take it whole.
        LogNormal(L"[HttpDownload  InternetReadFile]  whole body again lpUrl=%s", lpUrl);
        memset(*ppBuffer, 0, *pdwSize);
        *pdwSize = 0;
        dwStartSize = 0;
    }
    if (pResume) QueryValidator(hRequest.Get(), pResume);

    ULONGLONG ullLength = 0;
    const bool bHasLength = QueryContentLength(hRequest.Get(), &ullLength);
    ullLength += dwHeld;
    if (bHasLength && ullLength > dwMaxBody) {
        LogError(
            L"[HttpDownload  HttpQueryInfo[HTTP_QUERY_CONTENT_LENGTH]]  too long length=%I64u "
            L"limit=%lu lpUrl=%s",
            ullLength, dwMaxBody, lpUrl);
        ::SetLastError(ERROR_FILE_TOO_LARGE);
        return FALSE;
    }

    BYTE scratch[1024];
    memset(scratch, 0, sizeof(scratch));
    DWORD dwRecv = 0;
    for (DWORD nChunk = 0;; ++nChunk) {
        // A confirmed stop ends the download now, not when the body is in.
        if (hStopEvent && nChunk % kStopCheckChunks == 0 &&
            ::WaitForSingleObject(hStopEvent, 0) == WAIT_OBJECT_0) {
            ::SetEvent(hStopEvent);
            LogNormal(L"[HttpDownload  InternetReadFile]  stopped lpUrl=%s", lpUrl);
            ::SetLastError(ERROR_CANCELLED);
            return FALSE;
        }
        memset(scratch, 0, sizeof(scratch));
        // A read waits until its whole chunk is in; asked for no more than
        // has arrived, it returns at once, so a trickling body meets the
        // deadline within one receive time-out. 0 available: the end.
        DWORD dwAvailable = 0;
        if (!WinInet::InternetQueryDataAvailable(hRequest.Get(), &dwAvailable, 0, 0)) {
            LogError(L"[HttpDownload  InternetReadFile]  error=%lu  size=%lu", ::GetLastError(),
                     dwRecv);
            return FALSE;
        }
        const DWORD dwAsk = dwAvailable && dwAvailable < kReadChunk ? dwAvailable : kReadChunk;
        if (!WinInet::InternetReadFile(hRequest.Get(), scratch, dwAsk, &dwRecv)) {
            LogError(L"[HttpDownload  InternetReadFile]  error=%lu  size=%lu", ::GetLastError(),
                     dwRecv);
            return FALSE;
        }
        if (dwRecv > kReadChunk) {
            LogError(L"[HttpDownload  InternetReadFile]  dwRecv > 1000 dwRecv=%lu", dwRecv);
            return FALSE;
        }
        if (dwRecv == 0) break;
        // A body that does not end where it should is cut off, not kept.
        if (static_cast<ULONGLONG>(*pdwSize - dwStartSize) + dwRecv > dwMaxBody) {
            LogError(L"[HttpDownload  InternetReadFile]  longer than %lu bytes lpUrl=%s", dwMaxBody,
                     lpUrl);
            ::SetLastError(ERROR_FILE_TOO_LARGE);
            return FALSE;
        }

        // 64-bit sums: the sizes are 32-bit and a body near 4 GiB must fail,
        // not wrap around into a small block.
        if (!GrowDownloadBuffer(ppBuffer, pdwCapacity, *pdwSize,
                                static_cast<ULONGLONG>(*pdwSize) + dwRecv)) {
            LogError(L"[HttpDownload  InternetReadFile]  new buffer failed");
            return FALSE;
        }
        memcpy(*ppBuffer + *pdwSize, scratch, dwRecv);
        *pdwSize += dwRecv;
        if (g_pfnProgress)
            g_pfnProgress(g_pProgressContext, lpUrl, *pdwSize - dwStartSize,
                          bHasLength ? ullLength : 0);
        // A server that trickles the body would hold the run for hours.
        if (dwDeadlineMs != INFINITE && ::GetTickCount() - dwStart > dwDeadlineMs) {
            LogError(L"[HttpDownload  InternetReadFile]  too slow: %lu bytes in %lu ms lpUrl=%s",
                     *pdwSize - dwStartSize, ::GetTickCount() - dwStart, lpUrl);
            ::SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
    }

    // A connection that ends before the announced length is a cut transfer,
    // not a whole body, even where the network layer reports a clean end.
    if ((bHasLength && *pdwSize - dwStartSize < ullLength) ||
        (bPart && *pdwSize - dwStartSize != pResume->cbPart)) {
        LogError(L"[HttpDownload  InternetReadFile]  incomplete size=%lu length=%I64u lpUrl=%s",
                 *pdwSize - dwStartSize, ullLength, lpUrl);
        if (bPart) ::SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return TRUE;
}
