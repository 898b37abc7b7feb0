#include "FetchAttempts.h"

#include "ExitCodes.h"
#include "Log.h"
#include "RunOutcome.h"
#include "StrFormat.h"

bool CAttempts::Fail(CInstallState& state, IInstallView& view, bool bRefused,
                     const wchar_t* pszFormat, const wchar_t* pszName, int nExitCode) {
    if (++m_nAttempt < AttemptsPerFile()) return false;
    wchar_t szMessage[64];
    if (bRefused)
        CopyInto(szMessage, kRefusedMessage);
    else
        FormatInto(szMessage, pszFormat, pszName);
    ReportFailure(state, view, szMessage, bRefused ? kSetupReleaseRefused : nExitCode);
    return true;
}

void CAttempts::SpendAll() { m_nAttempt = AttemptsPerFile() - 1; }

AttemptsEnd FetchWithAttempts(CInstallState& state, IInstallView& view, CAttempts& attempts,
                              const wchar_t* pszName, HANDLE hStopEvent, HWND hWndOwner,
                              PFN_FETCH pfnFetch, bool bLogAttempts) {
    for (;;) {
        if (StopRequested(hStopEvent)) return AttemptsStopped;
        const FetchResult fetched = pfnFetch(state, pszName, hWndOwner);
        if (fetched == FetchOk) return AttemptsFetched;
        attempts.m_bRefused = attempts.m_bRefused || fetched == FetchRefused;
        if (attempts.Fail(state, view, attempts.m_bRefused, L"下载%s失败", pszName,
                          kSetupDownloadFailed))
            return AttemptsSpent;
        if (bLogAttempts)
            LogError(L"[CSetupDlg::Execute] %d download %s failed", attempts.Count(), pszName);
    }
}

FetchResult FetchFile(CInstallState& state, const wchar_t* pszName, HWND hWndOwner) {
    return FetchReleaseFile(state, pszName, hWndOwner);
}
