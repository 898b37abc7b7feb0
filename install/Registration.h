#pragma once
// Registering the installed client with the system: the uninstaller, the
// shortcuts (ShellLinks.h) and the entry under the installed programs.
#include <windows.h>

#include "ShellLinks.h"

// Writes the Uninstall entry "Tarvelo" below HKLM's Uninstall key: icon,
// executable, name, publisher, version, location and uninstall command, and
// the serial of a verified release (ullReleaseSerial; 0 leaves it as it is).
// False when the entry, its uninstall command or the serial was not written.
bool WriteRegistry(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath,
                   ULONGLONG ullReleaseSerial = 0);

// The serial below which no release installs: the highest of the release
// floor and the Uninstall entry's serial (both where only administrators can
// write); 0 when there is none.
ULONGLONG ReadInstalledReleaseSerial();

// Raises the release floor to ullReleaseSerial (never lowers it). It stays
// when the client is uninstalled, so an older signed release cannot come
// back through a new installation. False when it could not be written.
bool RaiseReleaseFloor(ULONGLONG ullReleaseSerial);

// Whether the Uninstall entry "Tarvelo" exists.
bool IsClientRegistered();

// Writes the downloaded uninstaller, when it is a Windows program (an MZ
// header pointing at a PE signature), as a new file
// "<pszUnInstallPath>\UnInstall.exe.new" with the protected security; the
// swap of the installation moves it into place. False when it is not
// written whole.
bool WriteUninstallFile(const wchar_t* pszUnInstallPath, const BYTE* pData, DWORD cbData);

// The desktop shortcut and the Start-menu folder with its two shortcuts, for
// an installation in place.
void CreateClientShortcuts(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath);

// The Uninstall entry (with the serial of a verified release) and the
// client's rights in its own folder, for an installation in place: set
// through hSetupFolder, the tree the swap put there and holds. False
// (logged) when either failed.
bool RegisterInstallation(const wchar_t* pszSetupPath, HANDLE hSetupFolder,
                          const wchar_t* pszUnInstallPath, ULONGLONG ullReleaseSerial);
