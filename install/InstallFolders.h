#pragma once
// The elevated installer's folders: made with the protected security,
// checked and held by handle, never adopted from anyone else.
#include <windows.h>

#include "SecureFolder.h"

// Moves what stands at pszFolder (a folder, a file or a link: renaming
// acts on the name itself) to a quarantine name beside it, and logs it.
bool MoveAside(const wchar_t* pszFolder);

// A folder kept between runs (the uninstaller's, its staging folder): one
// that is there is held and kept only when an administrator made it with
// security's list; anything else there (another user's folder, a file) is
// moved aside under a quarantine name and logged, and the folder made new
// with security. False for a link in its place, or when neither works.
bool HoldOwnFolder(const wchar_t* pszFolder, CProtectedSecurity& security, CFolderGuard* pGuard);

// Makes the folder new, with security, and holds it. One that exists is
// never taken over: an administrator's (left by a killed run) is removed
// first, anyone else's is moved aside under a quarantine name and logged.
// False when neither works, or when someone made it again meanwhile.
bool MakeFreshAndHold(const wchar_t* pszFolder, CProtectedSecurity& security, CFolderGuard* pGuard);

// A folder that may stand where the installation goes: false when it is
// there but a link or not a folder (nothing may be renamed through it).
bool CheckExistingFolder(const wchar_t* pszFolder);

class CInstallState;
class IInstallView;

// Before anything else in a run: the log's folder held, the uninstaller's
// folder made or taken, protected and held, and what a killed run left put
// right (an unfinished swap undone, a committed one finished and
// registered). False (the failure shown) when a folder is refused.
bool RecoverFolders(CInstallState& state, IInstallView& view);

// The folders the run writes: the uninstaller's emptied of anything but
// the registered uninstaller (which stays until the swap replaces it), the
// staging folder, and the folder the new installation is built in, made
// fresh. The installation's own folder is only checked: it is not touched
// before the swap. False (the failure shown) when a folder is refused.
bool PrepareFolders(CInstallState& state, IInstallView& view);
