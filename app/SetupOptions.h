#pragma once
// setup.exe's command line. Without one it is the window a person clicks.
//
//   setup.exe [/S [/LAUNCH]] [/LOG=FILE] [/LAYOUT=DIR | /SOURCE=DIR]
//             [/PROXY=host:port | /PROXY=DIRECT] [/?]
#include <string>

#include "ProxyChoice.h"

struct SetupOptions {
    // /S: no window, no box, no dialog; the exit code says how it went.
    bool bSilent;
    // /LAUNCH: an unattended run starts the client when it is installed.
    bool bLaunch;
    // /?: the switches are shown (nothing with /S).
    bool bHelp;
    // /LOG=FILE: the log is also written there.
    std::wstring strLog;
    // /LAYOUT=DIR: the release's files are fetched into DIR, nothing is
    // installed (never a window). /SOURCE=DIR: installed from such a
    // folder instead of the servers. Both full paths.
    std::wstring strLayout;
    std::wstring strSource;
    // /PROXY=host:port or /PROXY=DIRECT: every request of the run through
    // that proxy, or through none (bProxy).
    bool bProxy;
    ProxyChoice proxy;
};

// False with the refused argument in *pRefused when the command line holds
// anything but these switches. bSilent is set even then, when /S is among
// the arguments: a refusal must not show a box to an unattended run.
bool ReadSetupOptions(const wchar_t* pszCommandLine, SetupOptions* pOptions,
                      std::wstring* pRefused);

// The text the /? box shows.
extern const wchar_t kSetupUsage[];
