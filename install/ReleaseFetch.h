#pragma once
// Fetching the files of a release from the download servers. Each attempt
// goes to the server whose turn it is, and a failed one passes the turn on,
// so a dead or hostile mirror costs attempts, not the installation. In a
// build with a release key, the signed manifest comes first and every file
// is checked against it before anything uses it.
#include <windows.h>

#include "DownloadBuffer.h"
#include "DownloadServer.h"
#include "FetchCursor.h"
#include "ProxyLogin.h"
#include "ReleaseManifest.h"

// What fetching needs of a run: where the bytes go, where they come from,
// the proxy's answer, and the release they are checked against.
class CReleaseFetch : public CDownloadBuffer, public CFetchCursor, public CProxyLogin {
public:
    // The release's signed manifest, once accepted (m_bVerified).
    ReleaseManifest m_manifest = ReleaseManifest();
    bool m_bVerified = false;
};

enum FetchResult {
    FetchOk,
    // Not fetched: the network, the server, the proxy.
    FetchFailed,
    // Fetched, but not the file the signed release describes.
    FetchRefused
};

// Attempts per file: five, and at least one per server.
int AttemptsPerFile();

// One attempt per server, in turn, until one gives the file (the manifest,
// the setup list): FetchRefused when none did and any attempt was refused.
template <class Attempt>
FetchResult FetchFromEachServer(Attempt attempt) {
    bool bRefused = false;
    for (int i = 0; i < GetDownloadServerCount(); ++i) {
        const FetchResult fetched = attempt();
        if (fetched == FetchOk) return FetchOk;
        bRefused = bRefused || fetched == FetchRefused;
    }
    return bRefused ? FetchRefused : FetchFailed;
}

// One attempt at the release file pszName into the download buffer. With a
// verified release, the file must be named in the manifest, no more bytes
// than it declares are taken, and size and SHA-256 must match.
FetchResult FetchReleaseFile(CReleaseFetch& fetch, const wchar_t* pszName, HWND hWndOwner);

// One attempt at bytes [dwFirst, dwFirst + cbLength) of the verified
// release's file pszName, from the server whose turn it is, into the
// download buffer: FetchOk only when exactly those bytes came (the caller
// checks what they hold). Any failure passes the turn on.
FetchResult FetchReleaseRange(CReleaseFetch& fetch, const wchar_t* pszName, DWORD dwFirst,
                              DWORD cbLength, HWND hWndOwner);

// In a build with a release key: fetches the manifest (one attempt per
// server) and accepts it only when it is signed with that key, not expired
// and not older than the installed release; then m_bVerified is set.
// In a build without one: logs that the release is not verified.
// FetchFailed when no server gave a manifest, FetchRefused when none that
// came was accepted.
FetchResult FetchReleaseManifest(CReleaseFetch& fetch, HWND hWndOwner);

// The verified release's entry for a file, or NULL (also when not verified).
const ManifestFile* FindReleaseFile(const CReleaseFetch& fetch, const wchar_t* pszName);

// One attempt at the uninstaller (fetched as FetchReleaseFile does), written
// as "<pszUnInstallPath>\UnInstall.exe.new" only when it arrived whole and
// checked; a write that fails is a failed attempt.
FetchResult DownloadUninstallFile(CReleaseFetch& fetch, const wchar_t* pszUnInstallPath,
                                  HWND hWndOwner);
