#pragma once
// The attempt policy of one file: AttemptsPerFile() attempts of any kind
// (fetch, staging, unpacking), each after a look at the stop event; the last
// failure is the file's failure, or the refusal when the signed release
// refused anything an attempt brought.
#include <windows.h>

#include "InstallSequence.h"

class CAttempts {
public:
    // Counts one failed attempt. On the last one the file's failure
    // (pszFormat over pszName, or the refusal when bRefused) is shown and
    // true returned: stop.
    bool Fail(CInstallState& state, IInstallView& view, bool bRefused, const wchar_t* pszFormat,
              const wchar_t* pszName, int nExitCode);
    // The next failure is the last (a file that can never be used).
    void SpendAll();
    int Count() const { return m_nAttempt; }
    // Whether the signed release refused what an attempt fetched.
    bool m_bRefused = false;

private:
    int m_nAttempt = 0;
};

enum AttemptsEnd {
    AttemptsFetched,
    AttemptsStopped,
    // Every attempt failed; the failure is shown ("下载%s失败" or the refusal).
    AttemptsSpent
};

typedef FetchResult (*PFN_FETCH)(CInstallState& state, const wchar_t* pszName, HWND hWndOwner);

// Fetches pszName into the download buffer with pfnFetch until it arrives,
// a stop is asked for, or attempts are spent. bLogAttempts: each failure
// but the last is logged ("%d download %s failed").
AttemptsEnd FetchWithAttempts(CInstallState& state, IInstallView& view, CAttempts& attempts,
                              const wchar_t* pszName, HANDLE hStopEvent, HWND hWndOwner,
                              PFN_FETCH pfnFetch, bool bLogAttempts);

// The release file itself, one attempt (FetchReleaseFile).
FetchResult FetchFile(CInstallState& state, const wchar_t* pszName, HWND hWndOwner);
