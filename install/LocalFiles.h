#pragma once
// File-system services of the install sequence.
#include <windows.h>

// Deletes a folder tree depth first. True only if the folder itself was
// removed. Items it cannot delete (or whose path would not fit) stay, and
// so does every folder above them. A folder link (junction, symbolic link)
// is removed as a link; what it points to is never touched.
bool DeleteFolder(const wchar_t* pszPath);

// Writes [Client] Version=<nVersion> into "<setup>/config/ORB.System.config".
// Nothing is written when the config folder is missing; failures are silent.
void WriteClientVersion(const wchar_t* pszSetupPath, int nVersion);
