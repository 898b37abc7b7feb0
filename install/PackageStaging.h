#pragma once
// One package of the list into the tree built aside: fetched (or taken from
// what a failed run of this release staged), written to the staging folder,
// unpacked, and removed once it is no longer needed.
#include <windows.h>

#include "InstallSequence.h"

// Up to AttemptsPerFile() attempts of any kind (at least one per server),
// each after a look at the stop event. A package that can never unpack
// fails at once. False when the installation must stop (a failure is
// already reported; a stop is not one).
bool InstallPackage(CInstallState& state, IInstallView& view, const SetupListEntry& entry,
                    HANDLE hStopEvent, HWND hWndOwner);
