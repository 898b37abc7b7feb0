#pragma once
// Registering the installed client with the system: the uninstaller, the
// shortcuts (ShellLinks.h) and the entry under the installed programs.
#include <windows.h>

#include "ShellLinks.h"

// Writes the Uninstall entry "Tarvelo" below HKLM's Uninstall key: icon,
// executable, name, publisher, version, location and uninstall command.
void WriteRegistry(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath);

// Writes the downloaded uninstaller as "<pszUnInstallPath>\UnInstall.exe",
// replacing an earlier one. False when the file could not be created.
bool WriteUninstallFile(const wchar_t* pszUnInstallPath, const BYTE* pData, DWORD cbData);

// Fetches "/EX/UnInstall.exe" from the download server into the caller's
// download buffer and writes it with WriteUninstallFile. The buffer, its
// sizes, the proxy credentials and the owner window are HttpDownload's.
bool DownloadUninstallFile(const wchar_t* pszUnInstallPath, BYTE** ppBuffer, DWORD* pdwSize,
                           DWORD* pdwCapacity, wchar_t (&szProxyUser)[64],
                           wchar_t (&szProxyPassword)[64], HWND hWndParent);
