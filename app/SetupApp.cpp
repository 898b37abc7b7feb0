#include "SetupApp.h"

#include "DestPath.h"
#include "ExitCodes.h"
#include "GdiPlus.h"
#include "Handle.h"
#include "InstanceLock.h"
#include "Log.h"
#include "SetupDlg.h"
#include "SetupMessages.h"
#include "SetupOptions.h"
#include "SilentInstall.h"
#include "StrFormat.h"

namespace {
// Filled during static initialisation, before the application object.
Gdiplus::GdiplusStartupInput g_gdiplusStartupInput;
ULONG_PTR g_gdiplusToken = 0;
}  // namespace

CSetupApp theApp;

namespace {

// Another installer or the uninstaller holds the lock: bring the other
// installer's window to the front, or say that it is still closing, or that
// an uninstallation runs. An installer just starting may not show its
// window yet: look for a while.
void ShowTheOtherInstance() {
    for (int i = 0; i < 30; ++i) {
        HWND hWnd = ::FindWindowW(NULL, SETUP_WINDOW_TEXT);
        if (hWnd) {
            if (::IsIconic(hWnd)) ::ShowWindow(hWnd, SW_RESTORE);
            ::SetForegroundWindow(hWnd);
            return;
        }
        ::Sleep(100);
    }
    ::MessageBoxW(NULL,
                  IsInstallerRunning() ? L"塔维罗安装程序正在关闭，请稍后再安装。"
                                       : L"塔维罗卸载程序正在运行，请在卸载结束后再安装。",
                  L"提示", MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

// This run's log, started for a run that goes no further than its
// command line.
void StartRunLog() {
    wchar_t szSetupPath[MAX_PATH], szTempPath[MAX_PATH], szUnInstallPath[MAX_PATH];
    ::GetDestPath(szSetupPath, szTempPath, szUnInstallPath);
}

void Say(const SetupOptions& options, const wchar_t* pszText, UINT uIcon) {
    if (!options.bSilent) ::MessageBoxW(NULL, pszText, L"提示", MB_OK | uIcon | MB_SETFOREGROUND);
}

}  // namespace

BOOL CSetupApp::InitInstance() {
    m_nExitCode = Install();
    return FALSE;
}

int CSetupApp::Install() {
    SetupOptions options;
    std::wstring strRefused;
    const bool bRead = ReadSetupOptions(::GetCommandLineW(), &options, &strRefused);
    // Before anything is made: a second installer would start a new log
    // over the first one's and race its installation.
    CHandle lock(TakeInstanceLock());
    if (!lock) {
        if (!options.bSilent) ShowTheOtherInstance();
        return kSetupOtherInstance;
    }
    CHandle installer(MarkInstallerRunning());
    if (!bRead) {
        StartRunLog();
        LogError(L"[CSetupApp::InitInstance] command line refused: %s", strRefused.c_str());
        std::wstring text = L"无法识别的参数：" + strRefused + L"\n\n" + kSetupUsage;
        Say(options, text.c_str(), MB_ICONERROR);
        return kSetupBadCommandLine;
    }
    if (options.bHelp) {
        Say(options, kSetupUsage, MB_ICONINFORMATION);
        return kSetupOk;
    }
    // Before the log starts, so that the copy holds every line.
    if (!options.strLog.empty() && !StartLogCopy(options.strLog.c_str())) {
        const DWORD dwError = ::GetLastError();
        StartRunLog();
        LogError(L"[CSetupApp::InitInstance] /LOG=%s cannot be written error=%lu",
                 options.strLog.c_str(), dwError);
        std::wstring text = L"无法写入日志文件：" + options.strLog;
        Say(options, text.c_str(), MB_ICONERROR);
        return kSetupLogUnwritable;
    }
    Gdiplus::GdiplusStartup(&g_gdiplusToken, &g_gdiplusStartupInput, NULL);
    if (options.bSilent || !options.strLayout.empty()) {
        CSilentInstall silent;
        ChooseRunProxy(options.bProxy ? &options.proxy : NULL);
        if (!options.strLayout.empty()) return silent.RunLayout(options.strLayout.c_str());
        silent.SetSource(options.strSource.c_str());
        return silent.Run(options.bLaunch);
    }
    // Screen readers reach the window's accessible object through COM, on
    // this thread; it outlives the window.
    CComScope com;
    // The constructor loads images, so GDI+ must be up first; the object is
    // gone before ExitInstance takes GDI+ down.
    CSetupDlg dlg(NULL);
    CopyInto(dlg.m_szSourcePath, options.strSource.c_str());
    ChooseRunProxy(options.bProxy ? &options.proxy : NULL);
    m_pMainWnd = NULL;
    dlg.DoModal();
    // A window closed before the installation ended (or began) was stopped.
    return dlg.m_nExitCode < 0 ? static_cast<int>(kSetupStopped) : dlg.m_nExitCode;
}

int CSetupApp::ExitInstance() {
    if (g_gdiplusToken) Gdiplus::GdiplusShutdown(g_gdiplusToken);
    g_gdiplusToken = 0;
    CWinApp::ExitInstance();
    return m_nExitCode;
}
