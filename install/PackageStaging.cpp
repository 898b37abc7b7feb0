#include "PackageStaging.h"

#include <utility>

#include "ExitCodes.h"
#include "FetchAttempts.h"
#include "Handle.h"
#include "Log.h"
#include "PackageExtract.h"
#include "PackageUpdate.h"
#include "RunOutcome.h"
#include "StrFormat.h"

namespace {

// A package a failed run of this release staged and the manifest still
// vouches for: read into the download buffer, checked, and held open (for
// reading only) until the extraction has opened it. Anything else there is
// removed, and downloaded again.
bool TakeVerifiedStaged(CInstallState& state, const wchar_t* pszName, const wchar_t* pszStaging,
                        CFileHandle* pStaged) {
    const ManifestFile* pFile = FindReleaseFile(state, pszName);
    if (!pFile || ::GetFileAttributesW(pszStaging) == INVALID_FILE_ATTRIBUTES) return false;
    CFileHandle staged(::CreateFileW(pszStaging, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    LARGE_INTEGER size = {};
    DWORD cbRead = 0;
    BYTE digest[kSha256Bytes];
    if (staged && ::GetFileSizeEx(staged.Get(), &size) && size.QuadPart == pFile->cbSize &&
        pFile->cbSize < state.m_nDownloadBufSize &&
        ::ReadFile(staged.Get(), state.m_pDownloadBuf, pFile->cbSize, &cbRead, NULL) &&
        cbRead == pFile->cbSize &&
        MatchesManifestFile(*pFile, state.m_pDownloadBuf, cbRead, digest)) {
        state.m_nDownloadLen = cbRead;
        *pStaged = std::move(staged);
        LogNormal(L"[CSetupDlg::Execute] %s verified in the staging folder: not downloaded again",
                  pszName);
        return true;
    }
    staged.Close();
    ::DeleteFileW(pszStaging);
    return false;
}

// How one attempt to fetch and stage a package ended.
enum StageResult { StageDone, StageAgain, StageFailed };

// Writes the fetched package to the staging folder, held open from its
// writing until the extraction has opened it, and shared for reading only:
// no one can change or delete it between. StageFailed when the entry's
// failure is shown.
StageResult StageDownload(CInstallState& state, IInstallView& view, CAttempts& attempts,
                          const SetupListEntry& entry, const wchar_t* szStaging,
                          CFileHandle* pStaged) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, FALSE};
    CFileHandle& staged = *pStaged;
    staged.Reset(::CreateFileW(szStaging, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL));
    if (!staged) {
        DWORD dwError = ::GetLastError();
        if (attempts.Fail(state, view, false, L"安装%s失败", entry.szName, kSetupUnpackFailed)) {
            LogNormal(L"[CSetupDlg::Execute] %s CreateFile(%s) Error(%d)", entry.szName, szStaging,
                      static_cast<int>(dwError));
            return StageFailed;
        }
        LogNormal(L"[CSetupDlg::Execute] %d CreateFile(%s) Error(%d)", attempts.Count(), szStaging,
                  static_cast<int>(dwError));
        return StageAgain;
    }
    DWORD cbWritten = 0;
    if (!::WriteFile(staged.Get(), state.m_pDownloadBuf, state.m_nDownloadLen, &cbWritten, NULL) ||
        cbWritten != state.m_nDownloadLen) {
        // A full disk is no damaged download: one failure, naming it.
        const DWORD dwError = ::GetLastError();
        staged.Close();
        ::DeleteFileW(szStaging);
        LogError(L"[CSetupDlg::Execute] %s staging write failed error=%lu written=%lu of %lu",
                 entry.szName, dwError, cbWritten, state.m_nDownloadLen);
        if (IsDiskFull(dwError)) {
            ReportFailure(state, view, L"磁盘空间不足", kSetupDiskFull);
            return StageFailed;
        }
        if (attempts.Fail(state, view, false, L"安装%s失败", entry.szName, kSetupUnpackFailed))
            return StageFailed;
        return StageAgain;
    }
    return StageDone;
}

}  // namespace

bool InstallPackage(CInstallState& state, IInstallView& view, const SetupListEntry& entry,
                    HANDLE hStopEvent, HWND hWndOwner) {
    wchar_t szStaging[MAX_PATH];
    wchar_t szMessage[64];
    if (!FormatInto(szStaging, L"%s\\%s", state.m_szStagingPath, entry.szName)) {
        // A name that cannot be made into a staging path cannot be
        // installed; say so rather than skip it silently.
        FormatInto(szMessage, L"安装%s失败", entry.szName);
        ReportFailure(state, view, szMessage, kSetupUnpackFailed);
        LogError(L"[CSetupDlg::Execute] %s path too long", entry.szName);
        return false;
    }
    // A package an earlier run staged costs nothing to read; any other is
    // first built from what is installed, when the release allows it.
    DWORD dwPauseMs = kPackagePauseMs;
    if (::GetFileAttributesW(szStaging) == INVALID_FILE_ATTRIBUTES) {
        const UpdateResult updated =
            UpdatePackage(state, view, entry, hStopEvent, hWndOwner, &dwPauseMs);
        if (updated != UpdateWhole) return updated == UpdateInstalled;
    }
    CAttempts attempts;
    for (;;) {
        if (StopRequested(hStopEvent)) return false;
        CFileHandle staged;
        if (!TakeVerifiedStaged(state, entry.szName, szStaging, &staged)) {
            const AttemptsEnd end = FetchWithAttempts(state, view, attempts, entry.szName,
                                                      hStopEvent, hWndOwner, FetchFile, true);
            if (end == AttemptsSpent)
                LogError(L"[CSetupDlg::Execute] download %s failed", entry.szName);
            if (end != AttemptsFetched) return false;
            LogNormal(L"[CSetupDlg::Execute] download %s sccuss", entry.szName);
            LogNormal(L"[CSetupDlg::Execute] %s fetched whole: %lu bytes", entry.szName,
                      state.m_nDownloadLen);
            const StageResult result =
                StageDownload(state, view, attempts, entry, szStaging, &staged);
            if (result == StageFailed) return false;
            if (result == StageAgain) continue;
        }

        PackageResult extracted =
            ExtractPackage(szStaging, state.m_szNewPath, dwPauseMs, hStopEvent);
        staged.Close();
        if (extracted == PackageStopped) {
            ::DeleteFileW(szStaging);
            return false;
        }
        // A verified package stays staged until the installation is in, so
        // that a run after a failure need not download it again.
        if (extracted == PackageExtracted) {
            view.ShowPackageDone(entry.szName, state.m_nDownloadLen);
            if (!state.m_bVerified) ::DeleteFileW(szStaging);
            return true;
        }
        ::DeleteFileW(szStaging);
        // A package that does not unpack whole (not a zip, cut short, a bad
        // CRC) would leave a broken installation reported as a success. A body
        // cut without a length header arrives looking whole, so fetch again;
        // stop with the entry's failure when it never unpacks, and at once
        // when it never can (its entries, or its figures over the limits, are
        // logged).
        if (extracted == PackageUnusable || extracted == PackageTooLarge) attempts.SpendAll();
        if (attempts.Fail(state, view, false, L"安装%s失败", entry.szName, kSetupUnpackFailed)) {
            LogError(L"[CSetupDlg::Execute] extract %s failed", entry.szName);
            return false;
        }
        LogError(L"[CSetupDlg::Execute] %d extract %s failed", attempts.Count(), entry.szName);
    }
}
