#pragma once
// Fetching the files of a release from the download servers. Each attempt
// goes to the server whose turn it is, and a failed one passes the turn on,
// so a dead or hostile mirror costs attempts, not the installation. In a
// build with a release key, the signed manifest comes first and every file
// is checked against it before anything uses it.
#include <windows.h>

#include "InstallSequence.h"

enum FetchResult {
    FetchOk,
    // Not fetched: the network, the server, the proxy.
    FetchFailed,
    // Fetched, but not the file the signed release describes.
    FetchRefused
};

// Attempts per file: five, and at least one per server.
int AttemptsPerFile();

// One attempt at the release file pszName into the state's download buffer.
// With a verified release, the file must be named in the manifest, no more
// bytes than it declares are taken, and size and SHA-256 must match.
FetchResult FetchReleaseFile(CInstallState& state, const wchar_t* pszName, HWND hWndOwner);

// In a build with a release key: fetches the manifest (one attempt per
// server) and accepts it only when it is signed with that key, not expired
// and not older than the installed release; then state.m_bVerified is set.
// In a build without one: logs that the release is not verified.
// FetchFailed when no server gave a manifest, FetchRefused when none that
// came was accepted.
FetchResult FetchReleaseManifest(CInstallState& state, HWND hWndOwner);

// The verified release's entry for a file, or NULL (also when not verified).
const ManifestFile* FindReleaseFile(const CInstallState& state, const wchar_t* pszName);

// One attempt at the uninstaller (fetched as FetchReleaseFile does), written
// as "<m_szUnInstallPath>\UnInstall.exe" only when it arrived whole and
// checked; a write that fails is a failed attempt.
FetchResult DownloadUninstallFile(CInstallState& state, HWND hWndOwner);
