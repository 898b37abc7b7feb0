#pragma once
// The uninstaller, fetched like a package and written beside the registered
// one, for the swap to move into place.
#include <windows.h>

#include "InstallSequence.h"

// Attempts, servers and checks as for a package; false when the installation
// must stop (a failure is already reported; a stop is not one).
bool InstallUninstaller(CInstallState& state, IInstallView& view, HANDLE hStopEvent,
                        HWND hWndOwner);
