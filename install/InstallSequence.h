#pragma once
// The installation itself, run once on the worker thread: setup list,
// packages, uninstaller, configuration, shortcuts, Uninstall entry.
#include <windows.h>

#include <vector>

#include "InstallView.h"
#include "ReleaseFetch.h"
#include "RunFolders.h"
#include "SetupList.h"

// Everything the installation owns for the run, in parts: what fetching
// needs (ReleaseFetch.h), the folders it holds (RunFolders.h), and the
// window's own paths, list and progress. The setup window derives from it,
// so these are the window's own members.
class CInstallState : public CReleaseFetch, public CRunFolders {
public:
    CInstallState();
    CInstallState(const CInstallState&) = delete;
    CInstallState& operator=(const CInstallState&) = delete;

    wchar_t m_szSetupPath[MAX_PATH];
    wchar_t m_szUnInstallPath[MAX_PATH];
    volatile LONG m_nProgress;
    wchar_t m_szTempPath[MAX_PATH];
    volatile LONG m_bConfirmStop;
    CKindSet m_setInstallKind;
    std::vector<SetupListEntry> m_vecSetupList;
    // How the run ended (SetupExitCode): set by its failure, or kSetupOk
    // when installed; -1 while neither (a run that was stopped).
    int m_nExitCode;
    // /LAYOUT: each file, once fetched and checked, is also written here.
    wchar_t m_szLayoutPath[MAX_PATH];
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
