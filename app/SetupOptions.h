#pragma once
// setup.exe's command line. Without one it is the window a person clicks.
//
//   setup.exe [/S [/LAUNCH]] [/LOG=FILE] [/?]
#include <string>

struct SetupOptions {
    // /S: no window, no box, no dialog; the exit code says how it went.
    bool bSilent;
    // /LAUNCH: an unattended run starts the client when it is installed.
    bool bLaunch;
    // /?: the switches are shown (nothing with /S).
    bool bHelp;
    // /LOG=FILE: the log is also written there.
    std::wstring strLog;
};

// False with the refused argument in *pRefused when the command line holds
// anything but these switches. bSilent is set even then, when /S is among
// the arguments: a refusal must not show a box to an unattended run.
bool ReadSetupOptions(const wchar_t* pszCommandLine, SetupOptions* pOptions,
                      std::wstring* pRefused);

// The text the /? box shows.
extern const wchar_t kSetupUsage[];
