#pragma once
// File-system services of the install sequence.
#include <windows.h>

// Deletes a folder tree depth first, however long its paths. True only if
// the folder itself was removed. Items it cannot delete stay, and so does
// every folder above them. A folder link (junction, symbolic link),
// the folder itself included, is removed as a link; what it points to is
// never touched. bClearReadOnly: read-only items are made writable first
// (the uninstaller); the installer leaves them, and so their folders.
bool DeleteFolder(const wchar_t* pszPath, bool bClearReadOnly = false);
// The same for everything inside the folder; the folder itself stays, and
// so does the item named pszKeep (a name inside it, not a path).
void DeleteFolderContents(const wchar_t* pszPath, bool bClearReadOnly = false,
                          const wchar_t* pszKeep = NULL);

// Writes [Client] Version=<nVersion> into "<setup>/config/ORB.System.config".
// Nothing is written when the config folder is missing; failures are silent.
void WriteClientVersion(const wchar_t* pszSetupPath, int nVersion);
