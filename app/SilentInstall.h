#pragma once
// setup.exe /S: the installation without a window, on the same sequence the
// window runs, with its progress on the console that started it (if any).
#include "InstallSequence.h"

class CSilentInstall : public CInstallState, private IInstallView {
public:
    CSilentInstall();
    ~CSilentInstall();
    CSilentInstall(const CSilentInstall&) = delete;
    CSilentInstall& operator=(const CSilentInstall&) = delete;

    // Installs; with bLaunch starts the client when installed. Returns the
    // exit code (SetupExitCode). The log must have been started.
    int Run(bool bLaunch);
    // Fetches the release into pszLayout (/LAYOUT); the exit code.
    int RunLayout(const wchar_t* pszLayout);
    // Installs from pszSource (/SOURCE) instead of the servers.
    void SetSource(const wchar_t* pszSource);

private:
    void ShowStatusText(const wchar_t* pszText) override;
    void ShowFailure(const wchar_t* pszText) override;
    void ShowProgress(int nProgress) override;
    void ArmLaunchTimer() override {}
    void ShowPackageDone(const wchar_t* pszName, DWORD cbBytes) override;
    void Print(const wchar_t* pszFormat, ...);
    // A file's bytes, speed and time left, at most once a second.
    static void OnDownloadProgress(void* pContext, LPCWSTR lpUrl, ULONGLONG ullDone,
                                   ULONGLONG ullTotal);
    // The install (or layout) sequence with a stop that Ctrl+C on the
    // console sets; its exit code, a stop's when it left none, or -1 when
    // no stop could be made.
    int RunStoppable(bool bLayout);

    HANDLE m_hOut;
    bool m_bConsole;
    // The file whose progress shows, since when, and when it last showed.
    std::wstring m_strProgressUrl;
    DWORD m_dwFileStart = 0;
    DWORD m_dwShown = 0;
};
