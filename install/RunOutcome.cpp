#include "RunOutcome.h"

#include "ExitCodes.h"
#include "Log.h"

const wchar_t kRefusedMessage[] = L"安装包校验失败";

void ReportFailure(CInstallState& state, IInstallView& view, const wchar_t* pszMessage,
                   int nExitCode) {
    state.m_bConfirmStop = 0;
    if ((nExitCode == kSetupListFailed || nExitCode == kSetupDownloadFailed) &&
        state.m_bProxyRefused)
        nExitCode = kSetupProxyAuth;
    state.m_nExitCode = nExitCode;
    view.ShowFailure(pszMessage);
}

void SetProgress(CInstallState& state, IInstallView& view, int nProgress) {
    state.m_nProgress = nProgress;
    view.ShowProgress(nProgress);
}

bool RefuseFolder(CInstallState& state, IInstallView& view, const wchar_t* pszFolder) {
    LogError(L"[CSetupDlg::Execute] folder refused: %s error=%lu", pszFolder, ::GetLastError());
    ReportFailure(state, view, L"无法确定安装位置", kSetupFailed);
    return false;
}

bool StopRequested(HANDLE hStopEvent) {
    return ::WaitForSingleObject(hStopEvent, 0) == WAIT_OBJECT_0;
}

bool IsDiskFull(DWORD dwError) {
    return dwError == ERROR_DISK_FULL || dwError == ERROR_HANDLE_DISK_FULL;
}
