#include "ReleaseList.h"

#include "DownloadServer.h"
#include "ExitCodes.h"
#include "LayoutSequence.h"
#include "Log.h"
#include "ReleaseFetch.h"
#include "RunOutcome.h"

bool FetchSetupList(CInstallState& state, IInstallView& view, HWND hWndOwner) {
    FetchResult fetched = FetchReleaseManifest(state, hWndOwner);
    if (fetched == FetchOk && state.m_bVerified && !SaveToLayout(state, view, kManifestName))
        return false;
    if (fetched == FetchOk) {
        fetched = FetchFromEachServer(
            [&]() { return FetchReleaseFile(state, kSetupListName, hWndOwner); });
    }
    if (fetched == FetchRefused) {
        LogError(L"[CSetupDlg::Execute] release refused");
        ReportFailure(state, view, kRefusedMessage, kSetupReleaseRefused);
        return false;
    }
    SetupListResult list =
        ValidateSetupList(fetched == FetchOk, state.m_pDownloadBuf, state.m_nDownloadLen,
                          state.m_nDownloadBufSize, &state.m_vecSetupList);
    if (!list.bOk) {
        ReportFailure(state, view, list.pszMessage,
                      fetched == FetchOk ? kSetupFailed : kSetupListFailed);
        LogError(L"%s", list.pszLogLine);
        return false;
    }
    for (const SetupListEntry& entry : state.m_vecSetupList) {
        if (state.m_bVerified && !FindReleaseFile(state, entry.szName)) {
            LogError(L"[CSetupDlg::Execute] %s refused: listed, but not in the release manifest",
                     entry.szName);
            ReportFailure(state, view, kRefusedMessage, kSetupReleaseRefused);
            return false;
        }
    }
    return SaveToLayout(state, view, kSetupListName);
}

ULONGLONG SpaceNeeded(const ReleaseManifest& manifest, const std::vector<SetupListEntry>& list,
                      const CKindSet& kinds) {
    ULONGLONG ullNeeded = 64ull << 20;
    for (const SetupListEntry& entry : list) {
        const ManifestFile* pFile = FindManifestFile(manifest, entry.szName);
        if (!pFile || !kinds.count(entry.nKind)) continue;
        ullNeeded += 5ull * pFile->cbSize;
    }
    if (const ManifestFile* pFile = FindManifestFile(manifest, kUnInstallName))
        ullNeeded += pFile->cbSize;
    return ullNeeded;
}

bool CheckFreeSpace(CInstallState& state, IInstallView& view) {
    if (!state.m_bVerified) return true;
    const ULONGLONG ullNeeded =
        SpaceNeeded(state.m_manifest, state.m_vecSetupList, state.m_setInstallKind);
    wchar_t szRoot[4] = {state.m_szSetupPath[0], L':', L'\\', 0};
    ULARGE_INTEGER free = {};
    if (!::GetDiskFreeSpaceExW(szRoot, &free, NULL, NULL) || free.QuadPart >= ullNeeded)
        return true;
    LogError(L"[CSetupDlg::Execute] not enough disk space on %s: free=%I64u needed=%I64u", szRoot,
             free.QuadPart, ullNeeded);
    ReportFailure(state, view, L"磁盘空间不足", kSetupDiskFull);
    return false;
}
