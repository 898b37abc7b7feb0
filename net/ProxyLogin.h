#pragma once
// A run's answer to a proxy that asks for credentials: the name and password
// given once and reused for every later download, wiped when the run ends.
#include <windows.h>

#include "HttpDownload.h"

class CProxyLogin {
public:
    CProxyLogin() {}
    ~CProxyLogin() { ForgetProxyCredentials(m_szProxyUser, m_szProxyPassword); }
    CProxyLogin(const CProxyLogin&) = delete;
    CProxyLogin& operator=(const CProxyLogin&) = delete;

    wchar_t m_szProxyUser[64] = {};
    wchar_t m_szProxyPassword[64] = {};
    // A proxy asked for credentials and none were given or accepted.
    bool m_bProxyRefused = false;
    // Whether the proxy dialog may ask (false in an unattended run).
    bool m_bProxyDialogs = true;
};
