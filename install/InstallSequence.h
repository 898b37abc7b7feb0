#pragma once
// The installation itself, run once on the worker thread: setup list,
// packages, uninstaller, configuration, shortcuts, Uninstall entry.
#include <windows.h>

#include <set>
#include <vector>

#include "HttpDownload.h"
#include "ReleaseManifest.h"
#include "SecureFolder.h"
#include "SetupList.h"

// 17 MiB: a package of the publisher's largest size (16 MiB) arrives in the
// first block with room to spare, so it is never copied into a second one.
enum { kDownloadBufInitialSize = 17825792 };

// Everything the installation owns for the run. The setup window derives
// from it, so these are the window's own members.
class CInstallState {
public:
    CInstallState();
    ~CInstallState();
    CInstallState(const CInstallState&) = delete;
    CInstallState& operator=(const CInstallState&) = delete;

    BYTE* m_pDownloadBuf;
    DWORD m_nDownloadBufSize;
    DWORD m_nDownloadLen;
    wchar_t m_szSetupPath[MAX_PATH];
    wchar_t m_szUnInstallPath[MAX_PATH];
    volatile LONG m_nProgress;
    wchar_t m_szTempPath[MAX_PATH];
    volatile LONG m_bConfirmStop;
    wchar_t m_szProxyUser[64];
    wchar_t m_szProxyPassword[64];
    std::set<int> m_setInstallKind;
    std::vector<SetupListEntry> m_vecSetupList;
    // Packages are staged here, inside the uninstaller's folder, which only
    // administrators can change.
    wchar_t m_szStagingPath[MAX_PATH];
    // The new installation is built here and then swapped in.
    wchar_t m_szNewPath[MAX_PATH];
    // The worker's stop event, for the steps that wait on the network.
    HANDLE m_hDownloadStop;
    // The folders the installation writes to, held by handle while it runs.
    CFolderGuard m_guardTemp;
    CFolderGuard m_guardUnInstall;
    CFolderGuard m_guardStaging;
    CFolderGuard m_guardSetup;
    // The download server whose turn it is (an index into the build's list).
    int m_nServer;
    // A body the network cut short: the download buffer holds its first
    // m_nDownloadLen bytes, of file m_szCutName from server m_nCutServer,
    // whose answer gave m_cut's validator. Empty name: nothing to resume.
    wchar_t m_szCutName[MAX_PATH];
    int m_nCutServer;
    HttpResume m_cut;
    // How the run ended (SetupExitCode): set by its failure, or kSetupOk
    // when installed; -1 while neither (a run that was stopped).
    int m_nExitCode;
    // A proxy asked for credentials and none were given or accepted.
    bool m_bProxyRefused;
    // Whether the proxy dialog may ask (false in an unattended run).
    bool m_bProxyDialogs;
    // /SOURCE: the release's files are read from this folder (a layout),
    // not downloaded, and checked exactly as downloads are. Empty: servers.
    wchar_t m_szSourcePath[MAX_PATH];
    // /LAYOUT: each file, once fetched and checked, is also written here.
    wchar_t m_szLayoutPath[MAX_PATH];
    // The release's signed manifest, once accepted (m_bVerified).
    ReleaseManifest m_manifest;
    bool m_bVerified;
};

// What the installation shows. The window posts each call to its own thread,
// in order, and never makes the worker wait for it.
class IInstallView {
public:
    virtual ~IInstallView() {}
    // Text of the status label, while that label exists; visibility and
    // colour stay as they are.
    virtual void ShowStatusText(const wchar_t* pszText) = 0;
    // The failure: status label shown, red, with this text.
    virtual void ShowFailure(const wchar_t* pszText) = 0;
    // Percent label "%d%%" and a repaint of the progress bar.
    virtual void ShowProgress(int nProgress) = 0;
    // Arms the launch timer (4660, 1000 ms).
    virtual void ArmLaunchTimer() = 0;
    // A package is unpacked into the new installation.
    virtual void ShowPackageDone(const wchar_t* /*pszName*/, DWORD /*cbBytes*/) {}
};

// Progress after the i-th of count list entries (1-based): its share of 95,
// truncated toward zero.
int EntryProgress(int i, int nCount);

// Runs the whole sequence; hStopEvent is looked at before the old
// installation is deleted and before each attempt of a list entry. A C++
// exception ends it as a failure ("安装失败").
// hWndOwner owns the proxy dialogs' message boxes; NULL from a worker whose
// window's thread may be waiting for it.
void RunInstallSequence(CInstallState& state, IInstallView& view, HANDLE hStopEvent,
                        HWND hWndOwner);

// Fetches and checks the manifest, the setup list, every package of every
// kind and the uninstaller into state.m_szLayoutPath (made when missing),
// installing nothing: a folder that /SOURCE installs from without a network.
void RunLayoutSequence(CInstallState& state, IInstallView& view, HANDLE hStopEvent);
