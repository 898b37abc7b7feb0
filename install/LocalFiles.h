#pragma once
// File-system services of the install sequence.
#include <windows.h>

// Deletes a folder tree depth first, however long its paths, each item
// through a handle opened as itself while every folder above it is held (so
// another user's folder inside cannot be swapped for a junction on the way).
// True only if the folder itself was removed. Items it cannot delete stay,
// and so does every folder above them. A folder link (junction, symbolic link),
// the folder itself included, is removed as a link; what it points to is
// never touched. bClearReadOnly: read-only items are made writable first
// (the uninstaller); the installer leaves them, and so their folders.
bool DeleteFolder(const wchar_t* pszPath, bool bClearReadOnly = false);
// The same for everything inside the folder; the folder itself stays, and
// so do the items pszKeep names (names inside it, each ended by a NUL, the
// list by an empty name: L"a\0b\0").
void DeleteFolderContents(const wchar_t* pszPath, bool bClearReadOnly = false,
                          const wchar_t* pszKeep = NULL);

// Writes [Client] Version=<nVersion> into "<setup>/config/ORB.System.config".
// Nothing is written when the config folder is missing; failures are silent.
// False when the release has a config folder but the value could not be
// written there.
bool WriteClientVersion(const wchar_t* pszSetupPath, int nVersion);
