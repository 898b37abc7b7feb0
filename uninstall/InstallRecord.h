#pragma once
// What the installer recorded in its Uninstall entry, and the checks that
// keep the uninstaller to the installation it made.
#include <windows.h>

// The Uninstall entry's UninstallString, `"<uninstaller>" "<install folder>"`.
struct CInstallRecord {
    wchar_t m_szUnInstallExe[MAX_PATH];
    wchar_t m_szSetupPath[MAX_PATH];
};

// Splits an UninstallString of exactly two double-quoted, non-empty parts.
bool ParseUninstallString(const wchar_t* pszCommand, CInstallRecord* pRecord);

// Reads and parses the entry "Tarvelo" below HKLM's Uninstall key.
bool ReadInstallRecord(CInstallRecord* pRecord);

// The same folder whatever the slashes, repeated or trailing separators and
// letter case.
bool IsSameFolder(const wchar_t* pszA, const wchar_t* pszB);

// A folder the uninstaller may delete whole: a drive path with at least one
// named component below the root ("C:\Tarvelo", not "C:\" or "C:\..").
bool IsRemovableFolder(const wchar_t* pszFolder);

// Deletes the Uninstall entry. True when it is gone.
bool DeleteInstallRecord();
