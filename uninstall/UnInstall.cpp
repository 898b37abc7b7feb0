// UnInstall.exe: removes the installation that setup.exe made.
//
//   UnInstall.exe [/S] "C:\Tarvelo"
//
// The one argument is the install folder, as the Uninstall entry and the
// Start-menu shortcut pass it; any other folder is refused. /S (the entry's
// QuietUninstallString) asks nothing and shows nothing: the exit code
// (ExitCodes.h) says how it went. Such a run does not hand over (its exit
// code must be the outcome), so its own file and folder go at the next
// restart. After the user
// confirms, and while the client is not running, it removes the shortcuts,
// the install folder, the Uninstall entry and its own folder; the log folder
// stays.
//
// Not leaving itself behind: a running program cannot delete its own file,
// so the copy in the uninstall folder hands over to a copy of itself in a
// folder made for it under the system's Temp folder, readable by
// administrators only (command line: folder, "/continue", an inherited
// handle to the first process). That copy waits for the first to end, deletes it
// and the uninstall folder, and asks Windows to delete the copy itself at the
// next restart (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT, which needs the
// administrator rights the manifest asks for anyway).
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <vector>

#include "CrashLog.h"
#include "DllSearch.h"
#include "ExitCodes.h"
#include "Handle.h"
#include "InstallLayout.h"
#include "InstallRecord.h"
#include "InstanceLock.h"
#include "LocalFiles.h"
#include "RemoveInstall.h"
#include "RunningCheck.h"
#include "SecureFolder.h"
#include "StrFormat.h"

namespace {

const wchar_t kCaption[] = L"卸载塔维罗";
const wchar_t kContinueSwitch[] = L"/continue";

// /S: nobody is there to answer a box.
bool g_bSilent = false;

int Message(const wchar_t* pszText, UINT uType) {
    if (g_bSilent) return IDOK;
    return ::MessageBoxW(NULL, pszText, kCaption, uType | MB_SETFOREGROUND | MB_TOPMOST);
}

int Refuse(const wchar_t* pszText, int nCode) {
    Message(pszText, MB_OK | MB_ICONERROR);
    return nCode;
}

bool ClientRunning(const wchar_t* pszSetupPath) {
    return IsProcessRunning(kClientExeName, pszSetupPath);
}

// This program's own path; false when it does not fit.
bool GetSelfPath(wchar_t (&szSelf)[MAX_PATH]) {
    DWORD cch = ::GetModuleFileNameW(NULL, szSelf, MAX_PATH);
    return cch && cch < MAX_PATH;
}

// A folder made new for the copy, that only administrators can even read:
// the user's own temporary folder is the user's, and code running as the
// user could put another program in the copy's place before it starts.
bool MakeCopyFolder(wchar_t (&szFolder)[MAX_PATH]) {
    wchar_t szWindows[MAX_PATH];
    UINT cch = ::GetSystemWindowsDirectoryW(szWindows, MAX_PATH);
    CProtectedSecurity security(CProtectedSecurity::kUsersNone);
    return cch && cch < MAX_PATH &&
           FormatInto(szFolder, L"%s\\Temp\\Tarvelo-UnInstall-%lu-%lu", szWindows,
                      ::GetCurrentProcessId(), ::GetTickCount()) &&
           ::CreateDirectoryW(szFolder, security.Attributes());
}

// Starts the copy by the path of a handle held on it without write or
// delete sharing, from its check until it runs.
bool StartHeldCopy(const wchar_t* pszSelf, const wchar_t* pszCopy, const wchar_t* pszFolder,
                   const wchar_t* pszSetupPath) {
    CFileHandle copy(::CreateFileW(pszCopy, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    WIN32_FILE_ATTRIBUTE_DATA own;
    LARGE_INTEGER copySize = {};
    if (!copy || !::GetFileAttributesExW(pszSelf, GetFileExInfoStandard, &own) ||
        !::GetFileSizeEx(copy.Get(), &copySize) || copySize.LowPart != own.nFileSizeLow ||
        static_cast<DWORD>(copySize.HighPart) != own.nFileSizeHigh)
        return false;
    wchar_t szHeld[MAX_PATH + 8];
    DWORD cchHeld = ::GetFinalPathNameByHandleW(copy.Get(), szHeld, MAX_PATH + 8,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (!cchHeld || cchHeld >= MAX_PATH + 8) return false;
    // The short form where it fits: "\\?\" is not a working folder.
    const wchar_t* pszHeld = wcsncmp(szHeld, L"\\\\?\\", 4) ? szHeld : szHeld + 4;
    HANDLE hSelf = NULL;
    if (wcslen(pszHeld) >= MAX_PATH ||
        !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(),
                           &hSelf, SYNCHRONIZE, TRUE, 0))
        return false;
    CHandle self(hSelf);
    wchar_t szCommand[3 * MAX_PATH];
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!FormatInto(szCommand, L"\"%s\" \"%s\" %s %llu", pszHeld, pszSetupPath, kContinueSwitch,
                    static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hSelf))) ||
        !::CreateProcessW(pszHeld, szCommand, NULL, NULL, TRUE, 0, NULL, pszFolder, &si, &pi))
        return false;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return true;
}

// Starts a copy of this program in a folder of its own. True when the copy
// runs and has taken over; false to carry on in this process.
bool HandOver(const wchar_t* pszSetupPath) {
    wchar_t szSelf[MAX_PATH], szFolder[MAX_PATH], szCopy[MAX_PATH] = {0};
    if (!GetSelfPath(szSelf) || !MakeCopyFolder(szFolder)) return false;
    if (FormatInto(szCopy, L"%s\\UnInstall.exe", szFolder) && ::CopyFileW(szSelf, szCopy, TRUE) &&
        StartHeldCopy(szSelf, szCopy, szFolder, pszSetupPath))
        return true;
    ::DeleteFileW(szCopy);
    ::RemoveDirectoryW(szFolder);
    return false;
}

// The first process's file is locked until it has ended. bSelf: this
// process runs from it, so it and its folder can only go at restart.
void DeleteUninstaller(const CInstallRecord& record, HANDLE hFirst, bool bSelf) {
    if (hFirst) ::WaitForSingleObject(hFirst, 30000);
    for (int i = 0; i < 50 && !bSelf; ++i) {
        DWORD dwAttributes = ::GetFileAttributesW(record.m_szUnInstallExe);
        if (dwAttributes == INVALID_FILE_ATTRIBUTES) break;
        if (dwAttributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(record.m_szUnInstallExe, dwAttributes & ~FILE_ATTRIBUTE_READONLY);
        if (::DeleteFileW(record.m_szUnInstallExe)) break;
        ::Sleep(100);
    }
    if (::GetFileAttributesW(record.m_szUnInstallExe) != INVALID_FILE_ATTRIBUTES) {
        // Scheduled under a name of its own: an installation before the
        // restart puts a new uninstaller at the old name, which must stay.
        // A running program can be renamed, not deleted.
        wchar_t szAside[MAX_PATH];
        const wchar_t* pszGoes = record.m_szUnInstallExe;
        if (FormatInto(szAside, L"%s.%lu.remove", record.m_szUnInstallExe, ::GetTickCount()) &&
            ::MoveFileExW(record.m_szUnInstallExe, szAside, 0))
            pszGoes = szAside;
        ::MoveFileExW(pszGoes, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    // The uninstall folder, when nothing but the uninstaller was in it.
    wchar_t szFolder[MAX_PATH];
    if (CopyInto(szFolder, record.m_szUnInstallExe)) {
        wchar_t* pSlash = wcsrchr(szFolder, L'\\');
        if (pSlash) {
            *pSlash = 0;
            // What a killed installer left there (staged packages, an old
            // tree on its way out, a new uninstaller, the swap's record)
            // goes with it.
            wchar_t szLeft[MAX_PATH];
            if (IsRemovableFolder(szFolder)) {
                if (FormatInto(szLeft, L"%s\\%s", szFolder, kStagingFolderName))
                    DeleteFolder(szLeft, true);
                if (FormatInto(szLeft, L"%s\\%s", szFolder, kOldTreeName))
                    DeleteFolder(szLeft, true);
                if (FormatInto(szLeft, L"%s\\%s", szFolder, kNewUninstallerName))
                    ::DeleteFileW(szLeft);
                if (FormatInto(szLeft, L"%s\\%s", szFolder, kSwapRecordName)) ::DeleteFileW(szLeft);
                // After the uninstaller, when that waits for the restart
                // (renames at restart run in order).
                if (!::RemoveDirectoryW(szFolder))
                    ::MoveFileExW(szFolder, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
            }
        }
    }
}

bool RunningFrom(const wchar_t* pszExe) {
    wchar_t szSelf[MAX_PATH];
    return GetSelfPath(szSelf) && IsSameFolder(szSelf, pszExe);
}

// The temporary copy goes at the next restart, whatever its outcome.
void ScheduleSelfDeletion() {
    wchar_t szSelf[MAX_PATH];
    if (!GetSelfPath(szSelf)) return;
    ::MoveFileExW(szSelf, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    // Its own folder after it (renames at restart run in order), when it is
    // one that the hand-over made.
    wchar_t* pSlash = wcsrchr(szSelf, L'\\');
    if (!pSlash) return;
    *pSlash = 0;
    const wchar_t* pName = wcsrchr(szSelf, L'\\');
    if (pName && !wcsncmp(pName + 1, L"Tarvelo-UnInstall-", 18))
        ::MoveFileExW(szSelf, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
}

int Uninstall(const CInstallRecord& record, HANDLE hFirst, bool bCopy) {
    RemoveShellLinks(record.m_szSetupPath, record.m_szUnInstallExe);
    // A new installation a killed installer was building aside goes too.
    wchar_t szAside[MAX_PATH];
    if (!FormatInto(szAside, L"%s.new", record.m_szSetupPath) || !DeleteFolderTree(szAside) ||
        !DeleteFolderTree(record.m_szSetupPath)) {
        // The entry stays, so the user can run the uninstaller again.
        return Refuse(L"有些文件无法删除，卸载未完成。请关闭正在使用这些文件的程序后再次卸载。",
                      kUninstallIncomplete);
    }
    DeleteInstallRecord();
    // Run from its own file (silently, or no copy could take over): that
    // file and its folder go at the next restart.
    const bool bSelf = !bCopy && RunningFrom(record.m_szUnInstallExe);
    DeleteUninstaller(record, bSelf ? NULL : hFirst, bSelf);
    Message(L"塔维罗已从您的计算机中卸载。", MB_OK | MB_ICONINFORMATION);
    return kUninstallOk;
}

// *pbCopy: this process is the copy in the temporary folder.
int Run(bool* pbCopy) {
    int argc = 0;
    CArgvOwner argvOwner(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    LPWSTR* argv = argvOwner.Get();
    if (!argv) return kUninstallRefused;
    // /S anywhere, in any letter case, with / or -; any other switch but
    // the hand-over's own is refused.
    std::vector<LPWSTR> args;
    bool bBadSwitch = false;
    for (int i = 1; i < argc; ++i) {
        const bool bSwitch = argv[i][0] == L'/' || argv[i][0] == L'-';
        if (bSwitch && !_wcsicmp(argv[i] + 1, L"S") && !g_bSilent)
            g_bSilent = true;
        else if (bSwitch && !(args.size() == 1 && !wcscmp(argv[i], kContinueSwitch)))
            bBadSwitch = true;
        else
            args.push_back(argv[i]);
    }
    bool bCopy = *pbCopy = args.size() == 3 && !wcscmp(args[1], kContinueSwitch);
    if (bBadSwitch) {
        return Refuse(L"无法识别的参数。用法：UnInstall.exe [/S] \"安装文件夹\"",
                      kUninstallBadCommandLine);
    }
    if (args.size() != 1 && !bCopy) {
        return Refuse(L"请从“控制面板”或“开始”菜单卸载塔维罗。", kUninstallRefused);
    }
    wchar_t szArgument[MAX_PATH];
    bool bFits = CopyInto(szArgument, args[0]);
    HANDLE hFirst =
        bCopy ? reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(_wcstoui64(args[2], NULL, 10)))
              : NULL;
    argvOwner.Close();
    CHandle first(hFirst);
    // One installer or uninstaller at a time. The copy takes over the lock
    // once the first process, which held it, has ended.
    if (hFirst) ::WaitForSingleObject(hFirst, 30000);
    CHandle lock(TakeInstanceLock());
    if (!lock)
        return Refuse(L"塔维罗安装程序正在运行，请在安装结束后再卸载。", kUninstallOtherInstance);

    // Only the folder the installer recorded, and only one safe to delete.
    CInstallRecord record;
    if (!ReadInstallRecord(&record))
        return Refuse(L"没有找到塔维罗的安装信息，无法卸载。", kUninstallRefused);
    if (!bFits || !IsSameFolder(szArgument, record.m_szSetupPath) ||
        !IsRemovableFolder(record.m_szSetupPath)) {
        wchar_t szText[2 * MAX_PATH];
        if (!FormatInto(szText, L"“%s”不是塔维罗的安装文件夹，无法卸载。",
                        bFits ? szArgument : L""))
            CopyInto(szText, L"指定的文件夹不是塔维罗的安装文件夹，无法卸载。");
        return Refuse(szText, kUninstallRefused);
    }

    if (!bCopy) {
        if (Message(L"确定要卸载塔维罗及其所有组件吗？", MB_OKCANCEL | MB_ICONQUESTION) != IDOK)
            return kUninstallCancelled;
    }
    if (ClientRunning(record.m_szSetupPath))
        return Refuse(L"塔维罗正在运行，请先关闭塔维罗，然后再卸载。", kUninstallClientRunning);

    if (!bCopy && !g_bSilent && RunningFrom(record.m_szUnInstallExe) &&
        HandOver(record.m_szSetupPath))
        return kUninstallOk;
    return Uninstall(record, first.Get(), bCopy);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    // The copy runs from the temporary folder, where anyone may drop a DLL.
    RestrictDllSearchPath();
    InstallCrashLog();
    bool bCopy = false;
    int nCode = Run(&bCopy);
    if (bCopy) ScheduleSelfDeletion();
    return nCode;
}
