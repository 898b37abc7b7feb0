#include "SilentInstall.h"

#include <stdarg.h>

#include "DestPath.h"
#include "ExitCodes.h"
#include "Handle.h"
#include "HttpDownload.h"
#include "InstallLayout.h"
#include "LayoutSequence.h"
#include "Log.h"
#include "RunningCheck.h"
#include "SetupDlg.h"
#include "StrFormat.h"
#include "UserLaunch.h"

namespace {

// Set by Ctrl+C or Ctrl+Break on the console: the run stops as the
// window's stop does.
HANDLE g_hStop = NULL;

BOOL WINAPI OnConsoleControl(DWORD dwType) {
    if (dwType != CTRL_C_EVENT && dwType != CTRL_BREAK_EVENT) return FALSE;
    if (g_hStop) ::SetEvent(g_hStop);
    return TRUE;
}

}  // namespace

CSilentInstall::CSilentInstall() : m_hOut(NULL), m_bConsole(false) {
    ::GetDestPath(m_szSetupPath, m_szTempPath, m_szUnInstallPath);
    m_setInstallKind.insert(1);
    m_setInstallKind.insert(CSetupDlg::IsFontAvailable(L"微软雅黑") ? 2 : 3);
    m_bProxyDialogs = false;
    // Output the caller redirected (a script's pipe or file) is used as it
    // is; otherwise the console of the caller, when there is one.
    m_hOut = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if ((!m_hOut || m_hOut == INVALID_HANDLE_VALUE) && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
        m_hOut = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL);
    }
    if (m_hOut == INVALID_HANDLE_VALUE) m_hOut = NULL;
    DWORD dwMode = 0;
    m_bConsole = m_hOut && ::GetConsoleMode(m_hOut, &dwMode);
}

CSilentInstall::~CSilentInstall() {}

void CSilentInstall::Print(const wchar_t* pszFormat, ...) {
    if (!m_hOut) return;
    va_list args;
    va_start(args, pszFormat);
    std::wstring line = FormatStringV(pszFormat, args);
    va_end(args);
    line += L"\r\n";
    DWORD dwDone = 0;
    if (m_bConsole) {
        ::WriteConsoleW(m_hOut, line.c_str(), static_cast<DWORD>(line.size()), &dwDone, NULL);
        return;
    }
    // A pipe or a file gets UTF-8.
    int cb = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), NULL,
                                   0, NULL, NULL);
    if (cb <= 0) return;
    std::string bytes(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], cb,
                          NULL, NULL);
    ::WriteFile(m_hOut, bytes.data(), static_cast<DWORD>(cb), &dwDone, NULL);
}

void CSilentInstall::ShowStatusText(const wchar_t* pszText) { Print(L"%s", pszText); }

void CSilentInstall::ShowFailure(const wchar_t* pszText) { Print(L"失败: %s", pszText); }

void CSilentInstall::ShowProgress(int nProgress) { Print(L"%d%%", nProgress); }

void CSilentInstall::ShowPackageDone(const wchar_t* pszName, DWORD cbBytes) {
    Print(L"%s: %lu bytes, installed", pszName, cbBytes);
}

void CSilentInstall::OnDownloadProgress(void* pContext, LPCWSTR lpUrl, ULONGLONG ullDone,
                                        ULONGLONG ullTotal) {
    CSilentInstall* pThis = static_cast<CSilentInstall*>(pContext);
    const DWORD dwNow = ::GetTickCount();
    if (pThis->m_strProgressUrl != lpUrl) {
        pThis->m_strProgressUrl = lpUrl;
        pThis->m_dwFileStart = pThis->m_dwShown = dwNow;
        return;
    }
    if (dwNow - pThis->m_dwShown < 1000) return;
    pThis->m_dwShown = dwNow;
    const DWORD dwMs = dwNow - pThis->m_dwFileStart;
    const ULONGLONG ullPerSecond = dwMs ? ullDone * 1000 / dwMs : 0;
    const wchar_t* pszName = wcsrchr(lpUrl, L'/');
    pszName = pszName ? pszName + 1 : lpUrl;
    if (ullTotal && ullPerSecond)
        pThis->Print(L"%s: %I64u / %I64u KB, %I64u KB/s, %I64u s left", pszName, ullDone / 1024,
                     ullTotal / 1024, ullPerSecond / 1024,
                     (ullTotal > ullDone ? ullTotal - ullDone : 0) / ullPerSecond);
    else
        pThis->Print(L"%s: %I64u KB, %I64u KB/s", pszName, ullDone / 1024, ullPerSecond / 1024);
}

void CSilentInstall::SetSource(const wchar_t* pszSource) { CopyInto(m_szSourcePath, pszSource); }

int CSilentInstall::RunStoppable(bool bLayout) {
    CHandle stop(::CreateEventW(NULL, FALSE, FALSE, NULL));
    if (!stop) return -1;
    g_hStop = stop.Get();
    if (m_bConsole) ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    SetDownloadProgress(OnDownloadProgress, this);
    if (bLayout)
        RunLayoutSequence(*this, *this, stop.Get());
    else
        RunInstallSequence(*this, *this, stop.Get(), NULL);
    SetDownloadProgress(NULL, NULL);
    if (m_bConsole) ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    // Once, however many attempts met it.
    if (NetworkNote()[0]) Print(L"network: %s", NetworkNote());
    g_hStop = NULL;
    return m_nExitCode < 0 ? static_cast<int>(kSetupStopped) : m_nExitCode;
}

int CSilentInstall::RunLayout(const wchar_t* pszLayout) {
    LogNormal(L"[CSilentInstall::RunLayout] layout in %s", pszLayout);
    if (!CopyInto(m_szLayoutPath, pszLayout)) return kSetupBadCommandLine;
    const int nCode = RunStoppable(true);
    if (nCode < 0) return kSetupFailed;
    LogNormal(L"[CSilentInstall::RunLayout] exit code %d", nCode);
    Print(L"exit code %d", nCode);
    return nCode;
}

int CSilentInstall::Run(bool bLaunch) {
    LogNormal(L"[CSilentInstall::Run] unattended installation");
    if (IsProcessRunning(kClientExeName, m_szSetupPath)) {
        LogError(L"[CSilentInstall::Run] the client is running: not installed");
        Print(L"失败: 程序正在运行，请先关闭程序再安装");
        return kSetupClientRunning;
    }
    const int nCode = RunStoppable(false);
    if (nCode < 0) return kSetupFailed;
    if (nCode == kSetupOk && bLaunch) StartInstalledClient(m_szSetupPath);
    LogNormal(L"[CSilentInstall::Run] exit code %d", nCode);
    Print(L"exit code %d", nCode);
    return nCode;
}
