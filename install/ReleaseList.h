#pragma once
// The release's list: the manifest (in a build with a release key) and the
// setup list, fetched and checked, and the room on the drive they need.
#include <windows.h>

#include <vector>

#include "InstallSequence.h"

// The manifest and the setup list, one attempt per server each; then, for a
// verified release, every list entry must be a file the manifest names. In a
// layout run both are saved there. False when the installation must stop
// (the failure is shown).
bool FetchSetupList(CInstallState& state, IInstallView& view, HWND hWndOwner);

// Bytes a verified release needs on the drive while the old tree still
// exists: the packages of the kinds that apply, unpacked, counted as four
// times their zipped size (generous for programs and documents), plus the
// zips themselves (staged until the swap), the uninstaller and 64 MiB to
// spare. Files the manifest does not name count nothing.
ULONGLONG SpaceNeeded(const ReleaseManifest& manifest, const std::vector<SetupListEntry>& list,
                      const CKindSet& kinds);

// Before the first package: room for the new tree (only a verified release
// says its sizes). Anything it misses fails later, at the write, with the
// old installation still whole. False when there is not (the failure is
// shown).
bool CheckFreeSpace(CInstallState& state, IInstallView& view);
