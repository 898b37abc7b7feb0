#pragma once
// Where the installation lives: the drive root, the install, temp and
// uninstall folders, and the log file of this run.
#include <windows.h>

// Picks the drive root from a GetLogicalDriveStringsW list of n characters:
// C:\ (any case) when present, else the first root. Writes the 3-character
// root into szRoot; false when the list holds no root (n < 4).
bool ChooseDriveRoot(const wchar_t* pszDrives, DWORD n, wchar_t (&szRoot)[4]);

// Builds the three folder paths from a drive root. False (and all empty) if
// any of them would not fit.
bool BuildDestPaths(const wchar_t* pszRoot, wchar_t (&szSetupPath)[MAX_PATH],
                    wchar_t (&szTempPath)[MAX_PATH], wchar_t (&szUnInstallPath)[MAX_PATH]);

// Chooses the drive, fills the three paths, creates the temp and uninstall
// folders, points the log at "<root>temp\log.txt" (deleting an earlier log)
// and writes the first log line.
void GetDestPath(wchar_t (&szSetupPath)[MAX_PATH], wchar_t (&szTempPath)[MAX_PATH],
                 wchar_t (&szUnInstallPath)[MAX_PATH]);
