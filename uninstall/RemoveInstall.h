#pragma once
// Taking away what the installer made: the install folder and the
// shortcuts. Only shortcuts that point into the installation are touched.
#include <objidl.h>
#include <windows.h>

// Deletes the folder and everything below it, read-only files included.
// Links and junctions below it are removed without following them; a link
// in the folder's own place is refused (false). True when the folder no
// longer exists.
bool DeleteFolderTree(const wchar_t* pszFolder);

// True when the shell link read from pStream points at pszTarget (any slash
// form, any case). Runs inside the caller's COM initialisation.
bool ShellLinkStreamPointsAt(IStream* pStream, const wchar_t* pszTarget);

// The desktop shortcut, the Start-menu shortcuts of the client and of the
// uninstaller, and the Start-menu folder when nothing else is left in it.
void RemoveShellLinks(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallExe);
