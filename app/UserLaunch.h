#pragma once
#include <windows.h>

// Starts a program with the rights of the signed-in user rather than this
// elevated process's: the shell of the interactive desktop (Explorer, which
// runs unelevated) is asked to open it. False when there is no such shell
// (none running, or one that does not offer it); nothing is started then.
bool ShellExecuteAsUser(const wchar_t* pszFile, const wchar_t* pszFolder);

// Starts a program itself, with this process's token stripped of its
// administrator rights: Administrators (and the local-administrator group)
// for deny only, no privileges, medium integrity, the user as owner of what
// it makes. False (last error set) when no such token can be made or the
// program cannot start; nothing runs with this process's rights then.
bool StartWithoutAdminRights(const wchar_t* pszFile, const wchar_t* pszFolder);

// Who may start the client when no desktop shell does it, from this
// process's user and the session's signed-in user (NULL: none known): as
// SYSTEM, the console's user with that user's own token; as the session's
// user, this token without administrator rights; as anyone else (an
// administrator who elevated over the user's shoulder), nobody.
enum LaunchAccount { LaunchAsConsoleUser, LaunchRestricted, LaunchNobody };
LaunchAccount ChooseLaunchAccount(const BYTE* pOwnSid, const BYTE* pSessionSid);

// Starts pszSetupPath\iKVTRemote.exe through the desktop shell, else as
// ChooseLaunchAccount says; a failure is logged.
void StartInstalledClient(const wchar_t* pszSetupPath);
