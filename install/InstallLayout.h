#pragma once
// What an installation looks like on disk, for both programs: the client's
// program in the install folder, and what the installer keeps in the
// uninstaller's folder besides the uninstaller itself.

// The client the installation starts and the uninstaller stops.
const wchar_t kClientExeName[] = L"iKVTRemote.exe";

// In the uninstaller's folder, which only administrators can change:
// packages staged until the swap,
const wchar_t kStagingFolderName[] = L"packages";
// the old tree on its way out during a swap,
const wchar_t kOldTreeName[] = L"Tarvelo.old";
// the new uninstaller until the swap moves it into place,
const wchar_t kNewUninstallerName[] = L"UnInstall.exe.new";
// and the record of a swap under way.
const wchar_t kSwapRecordName[] = L"swap.txt";
