#include "LayoutSequence.h"

#include <string>
#include <vector>

#include "DownloadServer.h"
#include "ExitCodes.h"
#include "FetchAttempts.h"
#include "Handle.h"
#include "Log.h"
#include "PackageUpdate.h"
#include "ReleaseList.h"
#include "RunOutcome.h"
#include "SecureFolder.h"
#include "StrFormat.h"

bool SaveToLayout(CInstallState& state, IInstallView& view, const wchar_t* pszName) {
    if (!state.m_szLayoutPath[0]) return true;
    wchar_t szFile[MAX_PATH];
    DWORD dwError = ERROR_BUFFER_OVERFLOW;
    if (FormatInto(szFile, L"%s\\%s", state.m_szLayoutPath, pszName)) {
        // The folder is the administrator's choice, its files maybe not:
        // none is written through a link.
        CFileHandle file;
        if (CreatePlainFile(szFile, 0, &file) &&
            WriteAll(file.Get(), state.m_pDownloadBuf, state.m_nDownloadLen) &&
            ::FlushFileBuffers(file.Get())) {
            LogNormal(L"[CSetupDlg::Layout] %s written, %lu bytes", szFile, state.m_nDownloadLen);
            view.ShowPackageDone(pszName, state.m_nDownloadLen);
            return true;
        }
        dwError = ::GetLastError();
    }
    LogError(L"[CSetupDlg::Layout] %s\\%s not written error=%lu", state.m_szLayoutPath, pszName,
             dwError);
    ReportFailure(state, view, L"安装包保存失败",
                  IsDiskFull(dwError) ? kSetupDiskFull : kSetupFailed);
    return false;
}

void RunLayoutSequence(CInstallState& state, IInstallView& view, HANDLE hStopEvent) {
    StartProxyAsking(state.m_bProxyDialogs);
    state.m_bProxyRefused = false;
    state.m_hDownloadStop = hStopEvent;
    if (!::CreateDirectoryW(state.m_szLayoutPath, NULL) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
        LogError(L"[CSetupDlg::Layout] %s cannot be made error=%lu", state.m_szLayoutPath,
                 ::GetLastError());
        ReportFailure(state, view, L"无法确定安装位置", kSetupFailed);
        return;
    }
    try {
        if (!FetchSetupList(state, view, NULL)) return;
        // Every kind: the machines the layout serves differ in fonts. With
        // their indexes, so that the layout can be served as a mirror.
        std::vector<std::wstring> names;
        wchar_t szIndex[32];
        for (const SetupListEntry& entry : state.m_vecSetupList) {
            if (!entry.szName[0]) continue;
            names.push_back(entry.szName);
            if (IndexNameOf(entry.szName, szIndex) && FindReleaseFile(state, szIndex))
                names.push_back(szIndex);
        }
        names.push_back(kUnInstallName);
        for (const std::wstring& name : names) {
            const wchar_t* pszName = name.c_str();
            CAttempts attempts;
            if (FetchWithAttempts(state, view, attempts, pszName, hStopEvent, NULL, FetchFile,
                                  false) != AttemptsFetched ||
                !SaveToLayout(state, view, pszName))
                return;
        }
        state.m_nExitCode = kSetupOk;
    } catch (...) {
        LogError(L"[CSetupDlg::Layout] exception");
        ReportFailure(state, view, L"安装失败", kSetupFailed);
    }
}
