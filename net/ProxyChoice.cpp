#include "ProxyChoice.h"

#include <wchar.h>
#include <wctype.h>
// After windows.h, which it needs; WinHTTP's types only, not WinINet's.
#include <winhttp.h>

#include "DllSearch.h"
#include "Handle.h"
#include "Log.h"
#include "SecureFolder.h"
#include "StrFormat.h"

// INTERNET_OPEN_TYPE_* of wininet.h, which cannot be included beside
// winhttp.h.
enum { kOpenPreconfig = 0, kOpenDirect = 1, kOpenProxy = 3 };

// Every function below, and no other, is taken from winhttp.dll.
extern "C" const char g_szWinHttpProcs[] = "winhttp.dll\0WinHttpGetDefaultProxyConfiguration\0";

namespace {

CSystemDll g_winhttp(g_szWinHttpProcs);

ProxyChoice g_run = {kOpenPreconfig, {0}, {0}, L"the user's settings"};

bool IsHostChar(wchar_t c) { return iswalnum(c) || c == L'.' || c == L'-' || c == L'_'; }

// The machine's WinHTTP proxy, when it names one.
bool ReadMachineProxy(wchar_t (&szProxy)[256], wchar_t (&szBypass)[256]) {
    szProxy[0] = szBypass[0] = 0;
    const auto pfn = g_winhttp.Get(&::WinHttpGetDefaultProxyConfiguration,
                                   "WinHttpGetDefaultProxyConfiguration");
    WINHTTP_PROXY_INFO info = {};
    if (!pfn || !pfn(&info)) return false;
    const bool bNamed = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy &&
                        CopyInto(szProxy, info.lpszProxy) &&
                        (!info.lpszProxyBypass || CopyInto(szBypass, info.lpszProxyBypass));
    if (info.lpszProxy) ::GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) ::GlobalFree(info.lpszProxyBypass);
    return bNamed && szProxy[0];
}

bool RunsAsLocalSystem() {
    HANDLE hToken = NULL;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken)) return false;
    CHandle token(hToken);
    BYTE abUser[SECURITY_MAX_SID_SIZE];
    BYTE abSystem[SECURITY_MAX_SID_SIZE];
    return GetTokenUserSid(token.Get(), abUser) && MakeSid(WinLocalSystemSid, abSystem) &&
           ::EqualSid(abUser, abSystem);
}

}  // namespace

bool ReadProxySwitch(const wchar_t* pszValue, ProxyChoice* pChoice) {
    *pChoice = ProxyChoice();
    pChoice->pszSource = L"the /PROXY switch";
    if (_wcsicmp(pszValue, L"DIRECT") == 0) {
        pChoice->dwAccessType = kOpenDirect;
        return true;
    }
    const wchar_t* p = pszValue;
    if (*p == L'[') {
        // An IPv6 address: hex digits, colons and dots up to its bracket.
        for (++p; iswxdigit(*p) || *p == L':' || *p == L'.'; ++p) {
        }
        if (*p != L']' || p == pszValue + 1) return false;
        ++p;
    } else {
        for (; IsHostChar(*p); ++p) {
        }
        if (p == pszValue) return false;
    }
    if (*p++ != L':' || !iswdigit(*p)) return false;
    unsigned long ulPort = 0;
    for (; iswdigit(*p) && ulPort <= 65535; ++p) ulPort = ulPort * 10 + (*p - L'0');
    if (*p || ulPort == 0 || ulPort > 65535 || !CopyInto(pChoice->szProxy, pszValue))
        return false;
    pChoice->dwAccessType = kOpenProxy;
    return true;
}

ProxyChoice ChooseProxy(const ProxyChoice* pSwitch, bool bLocalSystem,
                        const wchar_t* pszMachineProxy, const wchar_t* pszMachineBypass) {
    if (pSwitch) return *pSwitch;
    ProxyChoice choice = {kOpenPreconfig, {0}, {0}, L"the user's settings"};
    if (bLocalSystem && pszMachineProxy && pszMachineProxy[0] &&
        CopyInto(choice.szProxy, pszMachineProxy) &&
        CopyInto(choice.szBypass, pszMachineBypass ? pszMachineBypass : L"")) {
        choice.dwAccessType = kOpenProxy;
        choice.pszSource = L"the machine's WinHTTP setting (the run is SYSTEM's)";
    } else {
        choice.szProxy[0] = choice.szBypass[0] = 0;
    }
    return choice;
}

void ChooseRunProxy(const ProxyChoice* pSwitch) {
    wchar_t szProxy[256];
    wchar_t szBypass[256];
    const bool bSystem = !pSwitch && RunsAsLocalSystem();
    const bool bMachine = bSystem && ReadMachineProxy(szProxy, szBypass);
    g_run = ChooseProxy(pSwitch, bSystem, bMachine ? szProxy : NULL, szBypass);
    if (g_run.dwAccessType == kOpenProxy)
        LogNormal(L"[CSetupApp::InitInstance] proxy %s (bypass: %s), from %s", g_run.szProxy,
                  g_run.szBypass[0] ? g_run.szBypass : L"none", g_run.pszSource);
    else if (g_run.dwAccessType == kOpenDirect)
        LogNormal(L"[CSetupApp::InitInstance] no proxy, from %s", g_run.pszSource);
    else
        LogNormal(L"[CSetupApp::InitInstance] proxy as %s say%s", g_run.pszSource,
                  bSystem ? L" (SYSTEM, and the machine names no WinHTTP proxy)" : L"");
}

const ProxyChoice& RunProxy() { return g_run; }
