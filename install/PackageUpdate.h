#pragma once
// A package of a signed release built file by file from its entry index:
// each file the installed release already has (same path, same SHA-256) is
// copied from it into the new tree and hashed there; every other entry is
// fetched alone, by byte range, and checked before it is kept. Anything
// unexpected (no index, a server that ignores Range, an entry that is not
// what the index says) leaves the package to be fetched whole.
#include <windows.h>

#include "InstallSequence.h"

enum UpdateResult {
    UpdateInstalled,  // every entry is in the new tree, checked
    UpdateWhole,      // fetch the whole package (the reason is logged)
    UpdateStopped
};

// The index of a package named STEM.zip is STEM.idx; false for other names.
bool IndexNameOf(const wchar_t* pszPackage, wchar_t (&szIndex)[32]);

// *pdwPauseMs: the package's pause (the design's one a package), set to 0
// once taken here, so that a package fetched whole after all pauses once.
UpdateResult UpdatePackage(CInstallState& state, IInstallView& view, const SetupListEntry& entry,
                           HANDLE hStopEvent, HWND hWndOwner, DWORD* pdwPauseMs);

// The registered uninstaller, when it is the release's: copied as the new
// one ("UnInstall.exe.new") without a download. False when it is not there
// or not the release's (then it is fetched).
bool ReuseUninstaller(CInstallState& state);
