#pragma once
// SHA-256 and ECDSA P-256 verification through the system's CNG
// (bcrypt.dll, loaded from the system folder at first use).
#include <windows.h>

enum { kSha256Bytes = 32, kP256KeyBytes = 64, kP256SignatureBytes = 64 };

// False (and a log line) when CNG is missing or fails.
bool Sha256(const BYTE* pData, DWORD cbData, BYTE (&digest)[kSha256Bytes]);

// True only when signature (r || s, big-endian) is key's (X || Y,
// big-endian) signature over the SHA-256 of the data.
bool VerifyP256Signature(const BYTE (&key)[kP256KeyBytes], const BYTE* pData, DWORD cbData,
                         const BYTE (&signature)[kP256SignatureBytes]);
