#pragma once
// WinINet through wininet.dll loaded from the system folder at first use:
// the program does not import it, so the loader never looks for it in the
// folder the installer was downloaded to. Each function behaves as the
// platform's; when the DLL or the function is missing it fails with the
// last error set (NULL or FALSE).
#include <windows.h>
// After windows.h, which it needs.
#include <wininet.h>

namespace WinInet {

HINTERNET InternetOpenW(LPCWSTR lpszAgent, DWORD dwAccessType, LPCWSTR lpszProxy,
                        LPCWSTR lpszProxyBypass, DWORD dwFlags);
HINTERNET InternetOpenUrlW(HINTERNET hInternet, LPCWSTR lpszUrl, LPCWSTR lpszHeaders,
                           DWORD dwHeadersLength, DWORD dwFlags, DWORD_PTR dwContext);
BOOL InternetCloseHandle(HINTERNET hInternet);
BOOL InternetSetOptionExW(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                          DWORD dwBufferLength, DWORD dwFlags);
BOOL InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                      LPDWORD lpdwNumberOfBytesRead);
BOOL InternetQueryDataAvailable(HINTERNET hFile, LPDWORD lpdwNumberOfBytesAvailable,
                                DWORD dwFlags, DWORD_PTR dwContext);
BOOL HttpQueryInfoW(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer,
                    LPDWORD lpdwBufferLength, LPDWORD lpdwIndex);
BOOL HttpSendRequestW(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                      LPVOID lpOptional, DWORD dwOptionalLength);

BOOL InternetCombineUrlW(LPCWSTR lpszBaseUrl, LPCWSTR lpszRelativeUrl, LPWSTR lpszBuffer,
                         LPDWORD lpdwBufferLength, DWORD dwFlags);

}  // namespace WinInet
