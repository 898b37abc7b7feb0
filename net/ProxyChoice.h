#pragma once
// Which proxy every request of a run goes through. By default the user's
// own settings (what WinINet reads for this account); an administrator's
// /PROXY=host:port or /PROXY=DIRECT overrides them; and a run as SYSTEM
// (a deployment agent), which has no settings of its own worth the name,
// takes the machine's WinHTTP proxy ("netsh winhttp set proxy") when one
// is set.
#include <windows.h>

struct ProxyChoice {
    // INTERNET_OPEN_TYPE_PRECONFIG, _DIRECT or _PROXY, as InternetOpenW
    // takes it.
    DWORD dwAccessType;
    // For _PROXY: "host:port", or WinHTTP's list ("http=host:port;...").
    wchar_t szProxy[256];
    // For _PROXY: names that go direct (WinHTTP's list), empty for none.
    wchar_t szBypass[256];
    // Where the choice came from, in words for the log.
    const wchar_t* pszSource;
};

// /PROXY's value: "DIRECT" (any case), or host:port with a host name, an
// IPv4 address or a bracketed IPv6 address, and a port of 1 to 65535.
// False for anything else.
bool ReadProxySwitch(const wchar_t* pszValue, ProxyChoice* pChoice);

// The choice for a run: the switch when given (pSwitch), else under
// LocalSystem the machine's proxy when it names one (pszMachineProxy not
// NULL or empty), else the user's settings.
ProxyChoice ChooseProxy(const ProxyChoice* pSwitch, bool bLocalSystem,
                        const wchar_t* pszMachineProxy, const wchar_t* pszMachineBypass);

// The run's choice from the switch (or NULL), this process's account and
// the machine's WinHTTP proxy, made the one every later request uses, and
// logged.
void ChooseRunProxy(const ProxyChoice* pSwitch);

// The choice every request of the run uses (the user's settings until
// ChooseRunProxy).
const ProxyChoice& RunProxy();
