#pragma once
// The release manifest (EX/manifest.txt): every file the installer fetches
// with its size and SHA-256, the release's serial and expiry, and the
// publisher's signature over all of it. ASCII, LF line ends:
//
//   tarvelo-release 1
//   serial N
//   expires N                      (Unix time, UTC)
//   file NAME SIZE SHA256          (one per file, SHA256 in lower-case hex)
//   sig R||S                       (128 lower-case hex digits, last)
//
// The signature is ECDSA P-256 over the SHA-256 of every byte before the
// "sig" line.
#include <windows.h>

#include <vector>

#include "Signature.h"

enum {
    kManifestMaxBytes = 262144,
    kManifestMaxLine = 200,
    kManifestMaxFiles = 2048,
    kManifestMaxFileBytes = 536870912
};

struct ManifestFile {
    wchar_t szName[32];
    DWORD cbSize;
    BYTE digest[kSha256Bytes];
};

struct ReleaseManifest {
    ULONGLONG ullSerial;
    ULONGLONG ullExpires;
    std::vector<ManifestFile> vecFiles;
    bool bSigned;
    // The signed bytes are the first cbSigned of the file.
    DWORD cbSigned;
    BYTE signature[kP256SignatureBytes];
};

// NULL when the bytes are a well-formed manifest (then *pManifest holds it);
// otherwise why not, and *pManifest is empty. Nothing is accepted in part.
const wchar_t* ParseReleaseManifest(const BYTE* pData, DWORD cbData, ReleaseManifest* pManifest);

// The entry for a file name (exact, as the server is asked for it), or NULL.
const ManifestFile* FindManifestFile(const ReleaseManifest& manifest, const wchar_t* pszName);

// What a release must pass before anything of it is used: a well-formed
// manifest, signed with key, not expired at ullNow (Unix time; a clock up
// to kClockSkewSeconds fast is allowed for) and not older than the release
// installed (ullInstalledSerial, 0 for none). NULL when accepted.
enum { kClockSkewSeconds = 86400 };
const wchar_t* AcceptReleaseManifest(const BYTE* pData, DWORD cbData,
                                     const BYTE (&key)[kP256KeyBytes], ULONGLONG ullNow,
                                     ULONGLONG ullInstalledSerial, ReleaseManifest* pManifest);

// Whether the bytes are the file the entry describes; digest receives their
// SHA-256 for the log either way.
bool MatchesManifestFile(const ManifestFile& file, const BYTE* pData, DWORD cbData,
                         BYTE (&digest)[kSha256Bytes]);

// The build's release key; false for a build that does not verify releases.
bool GetReleaseKey(BYTE (&key)[kP256KeyBytes]);
