#include "InstallFolders.h"

#include <string>

#include "DownloadServer.h"
#include "InstallLayout.h"
#include "InstallSequence.h"
#include "LocalFiles.h"
#include "Log.h"
#include "PendingDeletion.h"
#include "Registration.h"
#include "RunOutcome.h"
#include "SecureFolder.h"
#include "StrFormat.h"
#include "TreeSwap.h"

namespace {

// Made here and now, or not at all: one that reappeared is not ours.
bool MakeNewAndHold(const wchar_t* pszFolder, CProtectedSecurity& security, CFolderGuard* pGuard) {
    return ::CreateDirectoryW(pszFolder, security.Attributes()) && pGuard->Open(pszFolder) &&
           pGuard->Protect(security);
}

// Adds a name to a keep list for DeleteFolderContents ("a\0b\0", and the
// string's own terminator ends the list).
void KeepName(std::wstring* pKeep, const wchar_t* pszName) {
    *pKeep += pszName;
    *pKeep += L'\0';
}

// The manifest's file names as a keep list.
std::wstring ManifestNames(const CInstallState& state) {
    std::wstring names;
    for (const ManifestFile& file : state.m_manifest.vecFiles) KeepName(&names, file.szName);
    return names;
}

}  // namespace

bool MoveAside(const wchar_t* pszFolder) {
    wchar_t szAside[MAX_PATH];
    if (!FormatQuarantineName(szAside, pszFolder) || !::MoveFileExW(pszFolder, szAside, 0))
        return false;
    LogNormal(L"[CSetupDlg::Execute] %s was not made by an administrator: moved to %s", pszFolder,
              szAside);
    return true;
}

bool HoldOwnFolder(const wchar_t* pszFolder, CProtectedSecurity& security, CFolderGuard* pGuard) {
    DWORD dwAttributes = ::GetFileAttributesW(pszFolder);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return MakeNewAndHold(pszFolder, security, pGuard);
    // A link goes aside as itself, so that nobody can block every
    // installation with one; where that cannot be done it is refused.
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (!MoveLinkAside(pszFolder)) return false;
        LogNormal(L"[CSetupDlg::Execute] a link stood at %s: moved aside", pszFolder);
        return MakeNewAndHold(pszFolder, security, pGuard);
    }
    // Where the system keeps no file security (Wine), no owner can be told
    // apart and nothing could protect the folder anyway: a folder is kept.
    if (pGuard->Open(pszFolder) && (pGuard->IsOurs(security) || !FileSecurityIsKept()))
        return pGuard->Protect(security);
    pGuard->Close();
    return MoveAside(pszFolder) && MakeNewAndHold(pszFolder, security, pGuard);
}

bool MakeFreshAndHold(const wchar_t* pszFolder, CProtectedSecurity& security,
                      CFolderGuard* pGuard) {
    if (::GetFileAttributesW(pszFolder) != INVALID_FILE_ATTRIBUTES) {
        CFolderGuard existing;
        if (existing.Open(pszFolder) && existing.IsOwnedByAdministrators()) {
            existing.Close();
            DeleteFolder(pszFolder, true);
        } else {
            existing.Close();
            // Wine reports no such owner for any folder, so there every
            // leftover of a killed run takes this way.
            if (!MoveAside(pszFolder)) return false;
        }
    }
    return MakeNewAndHold(pszFolder, security, pGuard);
}

bool CheckExistingFolder(const wchar_t* pszFolder) {
    const DWORD dwAttributes = ::GetFileAttributesW(pszFolder);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) return true;
    // We never make a link there: one is nobody's installation, and goes.
    if ((dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && MoveLinkAside(pszFolder)) {
        LogNormal(L"[CSetupDlg::Execute] a link stood at %s: moved aside", pszFolder);
        return true;
    }
    CFolderGuard guard;
    return guard.Open(pszFolder);
}

bool RecoverFolders(CInstallState& state, IInstallView& view) {
    CProtectedSecurity security;
    if (!state.m_guardTemp.Open(state.m_szTempPath))
        return RefuseFolder(state, view, state.m_szTempPath);
    if (!HoldOwnFolder(state.m_szUnInstallPath, security, &state.m_guardUnInstall))
        return RefuseFolder(state, view, state.m_szUnInstallPath);
    // An uninstaller that ran from this folder scheduled it for the next
    // restart; this installation keeps it, and the uninstaller it brings.
    if (!KeepFromPendingDeletion(state.m_szUnInstallPath, kUnInstallName))
        LogError(L"[CSetupDlg::Execute] %s stays scheduled for deletion at the next restart",
                 state.m_szUnInstallPath);
    SwapPaths paths;
    if (!MakeSwapPaths(state.m_szSetupPath, state.m_szUnInstallPath, &paths))
        return RefuseFolder(state, view, state.m_szSetupPath);
    ULONGLONG ullSerial = 0;
    CFileHandle hTree;
    switch (RecoverSwap(paths, &ullSerial, &hTree)) {
        case SwapStuck:
            return RefuseFolder(state, view, paths.szRecord);
        case SwapFinished:
            CreateClientShortcuts(state.m_szSetupPath, state.m_szUnInstallPath);
            RegisterInstallation(state.m_szSetupPath, hTree.Get(), state.m_szUnInstallPath,
                                 ullSerial);
            break;
        default:
            break;
    }
    return true;
}

bool PrepareFolders(CInstallState& state, IInstallView& view) {
    CProtectedSecurity security;
    if (!CheckExistingFolder(state.m_szSetupPath))
        return RefuseFolder(state, view, state.m_szSetupPath);
    std::wstring keep;
    if (IsClientRegistered()) KeepName(&keep, kUnInstallName);
    KeepName(&keep, kStagingFolderName);
    DeleteFolderContents(state.m_szUnInstallPath, true, keep.c_str());
    if (!FormatInto(state.m_szStagingPath, L"%s\\%s", state.m_szUnInstallPath,
                    kStagingFolderName) ||
        !HoldOwnFolder(state.m_szStagingPath, security, &state.m_guardStaging))
        return RefuseFolder(state, view, state.m_szStagingPath);
    // Packages an earlier, failed run staged stay only when this release
    // names them: they are verified again before use.
    DeleteFolderContents(state.m_szStagingPath, true,
                         state.m_bVerified ? ManifestNames(state).c_str() : NULL);
    if (!FormatInto(state.m_szNewPath, L"%s.new", state.m_szSetupPath) ||
        !MakeFreshAndHold(state.m_szNewPath, security, &state.m_guardSetup)) {
        RefuseFolder(state, view, state.m_szNewPath);
        state.m_szNewPath[0] = 0;  // not ours: nothing to clean up
        return false;
    }
    return true;
}
