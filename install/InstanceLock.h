#pragma once
// One installer or uninstaller at a time on the machine: both take this
// named mutex (machine-wide, in a private namespace only administrators can
// open) before they touch anything, and hold it until they end.
#include <windows.h>

// The mutex's handle, to be held for the process's life; NULL when another
// installer or uninstaller holds it.
HANDLE TakeInstanceLock();

// Held by an installer (not the uninstaller) for its life, beside the lock,
// so that another one can tell an installer that is still closing (its
// window gone, its last step finishing) from an uninstallation.
HANDLE MarkInstallerRunning();
bool IsInstallerRunning();
