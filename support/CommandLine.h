#pragma once
// The switches of setup.exe and UnInstall.exe: "/NAME" or "-NAME", in any
// letter case, "/NAME=VALUE" for those that take a value; anything else is
// an argument. A switch the program does not know, one given twice, or a
// value where none belongs (or none where one does) is refused, never
// ignored: an administrator's typo must not install with other settings.
#include <windows.h>

#include <string>
#include <vector>

struct CommandSwitch {
    const wchar_t* pszName;
    bool bTakesValue;
    // Filled by ReadSwitches.
    bool bGiven;
    std::wstring strValue;
};

// Reads argv[1..argc-1] against the table. Arguments that are not switches
// go to *pArguments in order. False, with the refused argument in
// *pRefused, at the first one not understood.
bool ReadSwitches(int argc, wchar_t* const* argv, CommandSwitch* pSwitches, size_t nSwitches,
                  std::vector<std::wstring>* pArguments, std::wstring* pRefused);
