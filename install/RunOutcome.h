#pragma once
// How a run tells its end and its progress: the failure the user reads (with
// the exit code it stands for), the percent shown, and the stop asked for.
#include <windows.h>

#include "InstallSequence.h"

// The one failure text for anything the signed release refuses.
extern const wchar_t kRefusedMessage[];

// Shows the failure and records its class (SetupExitCode). A download that
// failed because a proxy wanted credentials nobody gave is that.
void ReportFailure(CInstallState& state, IInstallView& view, const wchar_t* pszMessage,
                   int nExitCode);

void SetProgress(CInstallState& state, IInstallView& view, int nProgress);

// A folder that is a link, or cannot be made or held, stops the
// installation: nothing is written through it. Always false.
bool RefuseFolder(CInstallState& state, IInstallView& view, const wchar_t* pszFolder);

// Whether the stop event is set (and so taken: it resets itself).
bool StopRequested(HANDLE hStopEvent);

bool IsDiskFull(DWORD dwError);
