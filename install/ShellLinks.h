#pragma once
// Shortcuts to the installed client: on the user's desktop and in the
// client's folder of the all-users Start menu.
#include <windows.h>

// In place: backslashes become slashes and a run of separators shrinks to
// one, except that a leading separator always stays (a network path keeps
// both). Then one trailing slash is appended (bTrailingSlash) or one removed.
// cchPath is the buffer's size; a slash that would not fit is not appended.
// Returns pszPath (NULL for NULL).
wchar_t* NormalizePath(wchar_t* pszPath, size_t cchPath, bool bTrailingSlash);
template <size_t N>
wchar_t* NormalizePath(wchar_t (&szPath)[N], bool bTrailingSlash) {
    return NormalizePath(szPath, N, bTrailingSlash);
}

// Deletes at most one "*.lnk" in pszFolder (slash form, trailing slash) whose
// stored target equals pszTarget, unless it is already named pszName + ".lnk".
// Runs inside the caller's COM initialisation.
void DeleteOldShellLink(const wchar_t* pszFolder, const wchar_t* pszTarget, const wchar_t* pszName);

// Saves pszName + ".lnk" in szFolder. On return szFolder holds the link's
// path (or the normalised folder if the path would not fit). An empty or
// relative folder makes no link. pszArguments may be NULL or empty.
void CreateShellLink(const wchar_t* pszName, const wchar_t* pszWorkFolder, const wchar_t* pszTarget,
                     const wchar_t* pszIcon, wchar_t (&szFolder)[MAX_PATH],
                     const wchar_t* pszArguments);

// A REG_SZ value whole and terminated, or an empty buffer and an error code
// (ERROR_INVALID_DATA for another type, ERROR_MORE_DATA when it does not fit).
LONG ReadRegString(HKEY hKey, const wchar_t* pszName, wchar_t (&szValue)[MAX_PATH]);

// The "Desktop" value of the user's Shell Folders key, where earlier
// releases put the desktop link; szPath stays empty when the value is
// missing, not a string or does not fit. True when the key could be opened.
bool GetDesktopPath(wchar_t (&szPath)[MAX_PATH]);

// The all-users desktop (the public desktop's known folder); false, logged,
// and szPath empty when there is none or it does not fit.
bool GetPublicDesktopPath(wchar_t (&szPath)[MAX_PATH]);

// The client's shortcut on the all-users desktop; none without that folder.
void SetDesktopShellLink(const wchar_t* pszName, const wchar_t* pszWorkFolder,
                         const wchar_t* pszTarget, const wchar_t* pszIcon);

// The Start-menu folder "<Common Programs>\塔维罗" with the client's and the
// uninstaller's shortcuts, made anew. True when the Programs folder was found.
bool SetStartShellLink(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath);
