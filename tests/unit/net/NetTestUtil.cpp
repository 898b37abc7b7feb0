#include "NetTestUtil.h"

#include <string.h>

#include "HttpDownload.h"

namespace {
const wchar_t kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kDialogTitle[] = L"代理验证";
const wchar_t kMessageBoxCaption[] = L"提示";
}  // namespace

std::wstring GetEnv(const wchar_t* pszName) {
    wchar_t szValue[1024];
    DWORD n = ::GetEnvironmentVariableW(pszName, szValue, 1024);
    if (n == 0 || n >= 1024) return std::wstring();
    return std::wstring(szValue, n);
}

bool HaveServers() { return !GetEnv(L"TEST_SERVER_PORT").empty(); }

std::wstring ServerUrl(const std::wstring& name) {
    return L"http://127.0.0.1:" + GetEnv(L"TEST_SERVER_PORT") + L"/EX/" + name;
}

bool Serve(const std::wstring& name, const std::string& bytes) {
    return WriteFileBytes(GetEnv(L"TEST_SERVE_DIR") + L"\\" + name, bytes);
}

bool SetRule(const std::wstring& name, const std::string& rules) {
    return Serve(name + L".rule", rules);
}

std::string ReadProxyLog() {
    std::string text;
    ReadFileBytes(GetEnv(L"TEST_SERVE_DIR") + L"\\proxy.log", &text);
    return text;
}

bool RequestTypist(const std::string& name, const std::string& password, bool bOk) {
    return Serve(L"xdo-request", name + "\n" + password + "\n" + (bOk ? "ok" : "cancel") + "\n");
}

std::string Pattern(size_t nBytes, unsigned nSeed) {
    std::string bytes(nBytes, '\0');
    unsigned x = nSeed * 2654435761u + 1;
    for (size_t i = 0; i < nBytes; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 23);
    }
    return bytes;
}

CProxySettings::CProxySettings() : m_hKey(NULL) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, NULL, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &m_hKey, NULL);
    Save(L"ProxyEnable", &m_enable);
    Save(L"ProxyServer", &m_server);
    DWORD dwEnable = 1;
    ::RegSetValueExW(m_hKey, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dwEnable),
                     sizeof(dwEnable));
    std::wstring server = L"127.0.0.1:" + GetEnv(L"TEST_PROXY_PORT");
    ::RegSetValueExW(m_hKey, L"ProxyServer", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(server.c_str()),
                     static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t)));
}

CProxySettings::~CProxySettings() {
    Restore(L"ProxyEnable", m_enable);
    Restore(L"ProxyServer", m_server);
    if (m_hKey) ::RegCloseKey(m_hKey);
}

void CProxySettings::Save(const wchar_t* pszName, Saved* pSaved) {
    DWORD cb = 0;
    pSaved->bPresent =
        ::RegQueryValueExW(m_hKey, pszName, NULL, &pSaved->dwType, NULL, &cb) == ERROR_SUCCESS;
    if (!pSaved->bPresent) return;
    pSaved->data.resize(cb);
    ::RegQueryValueExW(m_hKey, pszName, NULL, &pSaved->dwType,
                       pSaved->data.empty() ? NULL : pSaved->data.data(), &cb);
}

void CProxySettings::Restore(const wchar_t* pszName, const Saved& saved) {
    if (!saved.bPresent) {
        ::RegDeleteValueW(m_hKey, pszName);
        return;
    }
    ::RegSetValueExW(m_hKey, pszName, 0, saved.dwType, saved.data.data(),
                     static_cast<DWORD>(saved.data.size()));
}

CTestBuffer::CTestBuffer(DWORD nCap) : pBuf(NULL), nSize(0), nCapacity(nCap) {
    if (nCap) pBuf = new BYTE[nCap]();
    wmemset(szUser, 0, 64);
    wmemset(szPassword, 0, 64);
}

CTestBuffer::~CTestBuffer() { delete[] pBuf; }

BOOL CTestBuffer::Fetch(const std::wstring& url, HWND hWndParent) {
    if (pBuf) memset(pBuf, 0, nCapacity);
    nSize = 0;
    return HttpDownload(url.c_str(), &pBuf, &nSize, &nCapacity, szUser, szPassword, hWndParent);
}

std::string CTestBuffer::Data() const {
    return pBuf ? std::string(reinterpret_cast<const char*>(pBuf), nSize) : std::string();
}

CUiDriver::CUiDriver() : m_nDialogs(0), m_hLeftAlone(NULL), m_dwLeftAt(0) {
    ::InitializeCriticalSection(&m_lock);
    m_hStop = ::CreateEventW(NULL, TRUE, FALSE, NULL);
    m_hThread = ::CreateThread(NULL, 0, ThreadProc, this, 0, NULL);
}

CUiDriver::~CUiDriver() {
    ::SetEvent(m_hStop);
    ::WaitForSingleObject(m_hThread, INFINITE);
    ::CloseHandle(m_hThread);
    ::CloseHandle(m_hStop);
    ::DeleteCriticalSection(&m_lock);
}

void CUiDriver::Queue(Action action, const std::wstring& name, const std::wstring& password) {
    ::EnterCriticalSection(&m_lock);
    m_answers.push_back(Answer{action, name, password});
    ::LeaveCriticalSection(&m_lock);
}

int CUiDriver::DialogCount() {
    ::EnterCriticalSection(&m_lock);
    int n = m_nDialogs;
    ::LeaveCriticalSection(&m_lock);
    return n;
}

std::vector<CUiDriver::MessageBoxSeen> CUiDriver::MessageBoxes() {
    ::EnterCriticalSection(&m_lock);
    std::vector<MessageBoxSeen> boxes = m_boxes;
    ::LeaveCriticalSection(&m_lock);
    return boxes;
}

DWORD WINAPI CUiDriver::ThreadProc(void* pParam) {
    CUiDriver* pThis = static_cast<CUiDriver*>(pParam);
    while (::WaitForSingleObject(pThis->m_hStop, 20) == WAIT_TIMEOUT) pThis->Poll();
    return 0;
}

BOOL CALLBACK CUiDriver::EnumProc(HWND hWnd, LPARAM lParam) {
    std::vector<HWND>* pFound = reinterpret_cast<std::vector<HWND>*>(lParam);
    DWORD dwPid = 0;
    ::GetWindowThreadProcessId(hWnd, &dwPid);
    wchar_t szClass[64] = {0};
    ::GetClassNameW(hWnd, szClass, 64);
    if (dwPid == ::GetCurrentProcessId() && wcscmp(szClass, L"#32770") == 0 &&
        ::IsWindowVisible(hWnd))
        pFound->push_back(hWnd);
    return TRUE;
}

void CUiDriver::Poll() {
    std::vector<HWND> found;
    ::EnumWindows(EnumProc, reinterpret_cast<LPARAM>(&found));
    for (HWND hWnd : found) {
        if (m_handled.count(hWnd)) continue;
        wchar_t szTitle[64] = {0};
        ::GetWindowTextW(hWnd, szTitle, 64);
        if (wcscmp(szTitle, kDialogTitle) == 0) {
            m_handled.insert(hWnd);
            HandleDialog(hWnd);
        } else if (wcscmp(szTitle, kMessageBoxCaption) == 0) {
            m_handled.insert(hWnd);
            HandleMessageBox(hWnd);
        }
    }
    if (m_hLeftAlone && ::IsWindow(m_hLeftAlone) && ::GetTickCount() - m_dwLeftAt > 30000) {
        ::PostMessageW(m_hLeftAlone, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        m_hLeftAlone = NULL;
    }
    // Handles of windows that are gone may be reused by later windows.
    for (auto it = m_handled.begin(); it != m_handled.end();) {
        it = ::IsWindow(*it) ? std::next(it) : m_handled.erase(it);
    }
}

void CUiDriver::HandleDialog(HWND hDlg) {
    ::EnterCriticalSection(&m_lock);
    ++m_nDialogs;
    // A dialog nobody expected is cancelled, so a test fails instead of hanging.
    Answer answer = {kCancelButton, L"", L""};
    if (!m_answers.empty()) {
        answer = m_answers.front();
        m_answers.pop_front();
    }
    ::LeaveCriticalSection(&m_lock);

    HWND hFocus = ::GetDlgItem(hDlg, IDOK);
    switch (answer.action) {
        case kOk:
        case kEnter:
            ::SendDlgItemMessageW(hDlg, 1000, WM_SETTEXT, 0,
                                  reinterpret_cast<LPARAM>(answer.name.c_str()));
            ::SendDlgItemMessageW(hDlg, 1001, WM_SETTEXT, 0,
                                  reinterpret_cast<LPARAM>(answer.password.c_str()));
            if (answer.action == kOk)
                ::PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                               reinterpret_cast<LPARAM>(hFocus));
            else
                ::PostMessageW(hFocus, WM_KEYDOWN, VK_RETURN, 0);
            break;
        case kCancelButton:
            ::PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(hDlg, IDCANCEL)));
            break;
        case kEscape:
            ::PostMessageW(hFocus, WM_KEYDOWN, VK_ESCAPE, 0);
            break;
        case kCloseBox:
            ::PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
        case kLeaveAlone:
            m_hLeftAlone = hDlg;
            m_dwLeftAt = ::GetTickCount();
            break;
    }
}

void CUiDriver::HandleMessageBox(HWND hMsg) {
    MessageBoxSeen seen;
    seen.caption = kMessageBoxCaption;
    seen.hOwner = ::GetWindow(hMsg, GW_OWNER);
    for (HWND hChild = ::GetWindow(hMsg, GW_CHILD); hChild;
         hChild = ::GetWindow(hChild, GW_HWNDNEXT)) {
        wchar_t szText[256] = {0};
        ::GetWindowTextW(hChild, szText, 256);
        seen.texts.push_back(szText);
    }
    ::EnterCriticalSection(&m_lock);
    m_boxes.push_back(seen);
    ::LeaveCriticalSection(&m_lock);
    ::PostMessageW(hMsg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(hMsg, IDOK)));
}

COwnerWindow::COwnerWindow() {
    m_hWnd = ::CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL,
                               NULL, ::GetModuleHandleW(NULL), NULL);
}

COwnerWindow::~COwnerWindow() {
    if (m_hWnd) ::DestroyWindow(m_hWnd);
}
