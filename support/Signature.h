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

// SHA-256 of data given in parts; Finish once. A failure of CNG anywhere
// makes Finish false (and logs it).
class CSha256 {
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;
    void Add(const BYTE* pData, DWORD cbData);
    bool Finish(BYTE (&digest)[kSha256Bytes]);

private:
    struct State;
    State* m_pState;
};

// Lower-case hex of cb bytes into a buffer of at least 2 * cb + 1.
void FormatHex(const BYTE* pData, size_t cb, wchar_t* pszHex);

// Lower-case hex digits, exactly 2 * cb of them, into cb bytes.
bool DecodeHex(const char* pszHex, size_t cchHex, BYTE* pOut, size_t cb);
