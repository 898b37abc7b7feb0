#include "WinInet.h"

#include "DllSearch.h"

// Every function below, and no other, is taken from wininet.dll.
extern "C" const char g_szWinInetProcs[] =
    "wininet.dll\0"
    "InternetOpenW\0InternetOpenUrlW\0InternetCloseHandle\0InternetSetOptionExW\0"
    "InternetReadFile\0InternetQueryDataAvailable\0HttpQueryInfoW\0HttpSendRequestW\0"
    "InternetCombineUrlW\0";

namespace {
CSystemDll g_wininet(g_szWinInetProcs);

template <typename R>
R Unavailable(R rFailed) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return rFailed;
}
}  // namespace

namespace WinInet {

HINTERNET InternetOpenW(LPCWSTR lpszAgent, DWORD dwAccessType, LPCWSTR lpszProxy,
                        LPCWSTR lpszProxyBypass, DWORD dwFlags) {
    const auto pfn = g_wininet.Get(&::InternetOpenW, "InternetOpenW");
    return pfn ? pfn(lpszAgent, dwAccessType, lpszProxy, lpszProxyBypass, dwFlags)
               : Unavailable<HINTERNET>(NULL);
}

HINTERNET InternetOpenUrlW(HINTERNET hInternet, LPCWSTR lpszUrl, LPCWSTR lpszHeaders,
                           DWORD dwHeadersLength, DWORD dwFlags, DWORD_PTR dwContext) {
    const auto pfn = g_wininet.Get(&::InternetOpenUrlW, "InternetOpenUrlW");
    return pfn ? pfn(hInternet, lpszUrl, lpszHeaders, dwHeadersLength, dwFlags, dwContext)
               : Unavailable<HINTERNET>(NULL);
}

BOOL InternetCloseHandle(HINTERNET hInternet) {
    const auto pfn = g_wininet.Get(&::InternetCloseHandle, "InternetCloseHandle");
    return pfn ? pfn(hInternet) : Unavailable<BOOL>(FALSE);
}

BOOL InternetSetOptionExW(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                          DWORD dwBufferLength, DWORD dwFlags) {
    const auto pfn = g_wininet.Get(&::InternetSetOptionExW, "InternetSetOptionExW");
    return pfn ? pfn(hInternet, dwOption, lpBuffer, dwBufferLength, dwFlags)
               : Unavailable<BOOL>(FALSE);
}

BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                      LPDWORD lpdwNumberOfBytesRead) {
    const auto pfn = g_wininet.Get(&::InternetReadFile, "InternetReadFile");
    return pfn ? pfn(hFile, lpBuffer, dwNumberOfBytesToRead, lpdwNumberOfBytesRead)
               : Unavailable<BOOL>(FALSE);
}

BOOL InternetQueryDataAvailable(HINTERNET hFile, LPDWORD lpdwNumberOfBytesAvailable,
                                DWORD dwFlags, DWORD_PTR dwContext) {
    const auto pfn =
        g_wininet.Get(&::InternetQueryDataAvailable, "InternetQueryDataAvailable");
    return pfn ? pfn(hFile, lpdwNumberOfBytesAvailable, dwFlags, dwContext)
               : Unavailable<BOOL>(FALSE);
}

BOOL HttpQueryInfoW(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                    LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
    const auto pfn = g_wininet.Get(&::HttpQueryInfoW, "HttpQueryInfoW");
    return pfn ? pfn(hRequest, dwInfoLevel, lpBuffer, lpdwBufferLength, lpdwIndex)
               : Unavailable<BOOL>(FALSE);
}

BOOL HttpSendRequestW(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                      LPVOID lpOptional, DWORD dwOptionalLength) {
    const auto pfn = g_wininet.Get(&::HttpSendRequestW, "HttpSendRequestW");
    return pfn ? pfn(hRequest, lpszHeaders, dwHeadersLength, lpOptional, dwOptionalLength)
               : Unavailable<BOOL>(FALSE);
}

BOOL InternetCombineUrlW(LPCWSTR lpszBaseUrl, LPCWSTR lpszRelativeUrl, LPWSTR lpszBuffer,
                         LPDWORD lpdwBufferLength, DWORD dwFlags) {
    const auto pfn = g_wininet.Get(&::InternetCombineUrlW, "InternetCombineUrlW");
    return pfn ? pfn(lpszBaseUrl, lpszRelativeUrl, lpszBuffer, lpdwBufferLength, dwFlags)
               : Unavailable<BOOL>(FALSE);
}

}  // namespace WinInet
