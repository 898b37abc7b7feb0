#pragma once
// The new installation is built aside and then swapped in for the old one
// by renames on the same volume, so that a failed, stopped or killed
// installation leaves either the old installation whole or the new one.
//
// A small record in the uninstaller's folder (which only administrators can
// change) says that a swap is under way, which release it installs, the
// new tree's identity (volume and file ID, taken before it moves) and how
// far the swap got, written through after each rename. The commit point is
// the rename of the new tree into place. A run that finds the record
// decides from it alone, never from which names exist at the drive's root
// (anyone can make those): only a tree at the install folder with the
// recorded identity is ours and finished; anything else there is moved
// aside and the old tree comes back.
#include <windows.h>

#include "Handle.h"

struct SwapPaths {
    wchar_t szSetup[MAX_PATH];         // the installation: "C:\Tarvelo"
    wchar_t szNew[MAX_PATH];           // built aside: "C:\Tarvelo.new"
    wchar_t szOld[MAX_PATH];           // the old tree on its way out
    wchar_t szUnInstallExe[MAX_PATH];  // the registered uninstaller
    wchar_t szNewUnInstallExe[MAX_PATH];
    wchar_t szRecord[MAX_PATH];
};

// From the install folder and the uninstaller's folder; false when a path
// does not fit.
bool MakeSwapPaths(const wchar_t* pszSetupPath, const wchar_t* pszUnInstallPath, SwapPaths* pPaths);

// Puts the complete new tree in place of the old one (if there is one) and
// records it. False, with the old installation as it was, when it cannot
// (another program holds a file of the old tree open). *phTree: the tree in
// place, held as itself (it cannot be renamed or replaced while held), for
// its security to be set through.
bool SwapInNewTree(const SwapPaths& paths, ULONGLONG ullReleaseSerial, CFileHandle* phTree);

// After the commit: the new uninstaller in place and the record gone; the
// old tree is litter from then on (RemoveOldTree). Safe to repeat. False
// when the new uninstaller could not replace the old one (the installation
// itself is in place).
bool FinishSwap(const SwapPaths& paths);

// The old tree, out of place since the commit, removed. Apart from
// FinishSwap so that it need not delay the client's start: what a killed
// run leaves of it, the next swap removes first.
void RemoveOldTree(const SwapPaths& paths);

enum SwapRecovery {
    SwapNothingToDo,
    // The old installation is back as it was; the new tree is gone.
    SwapUndone,
    // The new installation is in place; it still needs registering.
    SwapFinished,
    // What a killed run left could not be put right: install nothing.
    SwapStuck
};

// What a killed run left: undone or finished. *pullReleaseSerial receives
// the serial a finished swap installed (0 when not verified), *phTree the
// finished tree held as SwapInNewTree holds it.
SwapRecovery RecoverSwap(const SwapPaths& paths, ULONGLONG* pullReleaseSerial,
                         CFileHandle* phTree);
