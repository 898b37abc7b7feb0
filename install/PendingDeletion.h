#pragma once
// Deletions the system runs at the next restart (PendingFileRenameOperations)
// that an uninstaller scheduled for itself and its folder: a new
// installation before that restart reuses those names.
#include <windows.h>

// Takes the deletions of pszFolder itself and of pszFolder\pszName off the
// list (renames and other files stay). False when the list could not be
// rewritten.
bool KeepFromPendingDeletion(const wchar_t* pszFolder, const wchar_t* pszName);
