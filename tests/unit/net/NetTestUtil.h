#pragma once
// Helpers of the network tests: the servers that tests/servers/with_servers.py
// runs, the prefix's proxy setting, the log, and a thread that answers the
// proxy dialog and the message box like a user would.
#include <windows.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "TestUtil.h"

std::wstring GetEnv(const wchar_t* pszName);
// True when the test runs under with_servers.py.
bool HaveServers();
std::wstring ServerUrl(const std::wstring& name);
// Puts a file into the served folder, or its sidecar rule (see testservers.py).
bool Serve(const std::wstring& name, const std::string& bytes);
bool SetRule(const std::wstring& name, const std::string& rules);
// The proxy's request log: one line "407|forward USER PATH" per request.
std::string ReadProxyLog();
// Writes a request for the xdotool typist of with_servers.py.
bool RequestTypist(const std::string& name, const std::string& password, bool bOk);
std::string Pattern(size_t nBytes, unsigned nSeed);

// Points WinINet at the test proxy through the prefix's Internet Settings
// for the object's life, then puts back what was there.
class CProxySettings {
public:
    CProxySettings();
    ~CProxySettings();
    CProxySettings(const CProxySettings&) = delete;
    CProxySettings& operator=(const CProxySettings&) = delete;

private:
    struct Saved {
        bool bPresent;
        DWORD dwType;
        std::vector<BYTE> data;
    };
    void Save(const wchar_t* pszName, Saved* pSaved);
    void Restore(const wchar_t* pszName, const Saved& saved);
    HKEY m_hKey;
    Saved m_enable, m_server;
};

// A caller's download buffer: block from new[], held and allocated size.
struct CTestBuffer {
    explicit CTestBuffer(DWORD nCapacity);
    ~CTestBuffer();
    CTestBuffer(const CTestBuffer&) = delete;
    CTestBuffer& operator=(const CTestBuffer&) = delete;
    // Zeroes the block, resets the held size and downloads, as callers do.
    BOOL Fetch(const std::wstring& url, HWND hWndParent = NULL);
    std::string Data() const;

    BYTE* pBuf;
    DWORD nSize;
    DWORD nCapacity;
    wchar_t szUser[64];
    wchar_t szPassword[64];
};

// Watches this process's windows from a thread of its own. Each proxy
// dialog that shows takes the next queued answer; message boxes are read
// and closed with OK.
class CUiDriver {
public:
    enum Action { kOk, kCancelButton, kEscape, kCloseBox, kEnter, kLeaveAlone };
    struct Answer {
        Action action;
        std::wstring name;
        std::wstring password;
    };
    struct MessageBoxSeen {
        std::wstring caption;
        std::vector<std::wstring> texts;
        HWND hOwner;
    };

    CUiDriver();
    ~CUiDriver();
    CUiDriver(const CUiDriver&) = delete;
    CUiDriver& operator=(const CUiDriver&) = delete;

    void Queue(Action action, const std::wstring& name = L"", const std::wstring& password = L"");
    int DialogCount();
    std::vector<MessageBoxSeen> MessageBoxes();

private:
    static DWORD WINAPI ThreadProc(void* pParam);
    static BOOL CALLBACK EnumProc(HWND hWnd, LPARAM lParam);
    void Poll();
    void HandleDialog(HWND hDlg);
    void HandleMessageBox(HWND hMsg);

    CRITICAL_SECTION m_lock;
    HANDLE m_hStop;
    HANDLE m_hThread;
    std::deque<Answer> m_answers;
    std::set<HWND> m_handled;
    int m_nDialogs;
    // A dialog left to someone else is cancelled if still up after a while,
    // so a test fails instead of hanging.
    HWND m_hLeftAlone;
    DWORD m_dwLeftAt;
    std::vector<MessageBoxSeen> m_boxes;
};

// A plain top-level window of the test thread, owner of message boxes.
class COwnerWindow {
public:
    COwnerWindow();
    ~COwnerWindow();
    HWND Get() const { return m_hWnd; }

private:
    HWND m_hWnd;
};
