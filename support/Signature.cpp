#include "Signature.h"

#include <string.h>

#include <new>
// After windows.h, which it needs.
#include <bcrypt.h>

#include "DllSearch.h"
#include "Handle.h"
#include "Log.h"

// Every function below, and no other, is taken from bcrypt.dll.
extern "C" const char g_szBcryptProcs[] =
    "bcrypt.dll\0"
    "BCryptOpenAlgorithmProvider\0BCryptCloseAlgorithmProvider\0BCryptCreateHash\0"
    "BCryptHashData\0BCryptFinishHash\0BCryptDestroyHash\0BCryptImportKeyPair\0"
    "BCryptDestroyKey\0BCryptVerifySignature\0";

namespace {

CSystemDll g_bcrypt(g_szBcryptProcs);

const NTSTATUS kNotAvailable = static_cast<NTSTATUS>(0xC0000225);  // STATUS_NOT_FOUND

NTSTATUS OpenAlgorithm(BCRYPT_ALG_HANDLE* phAlg, LPCWSTR pszAlgId) {
    const auto pfn = g_bcrypt.Get(&::BCryptOpenAlgorithmProvider, "BCryptOpenAlgorithmProvider");
    return pfn ? pfn(phAlg, pszAlgId, NULL, 0) : kNotAvailable;
}

void CloseAlgorithm(BCRYPT_ALG_HANDLE hAlg) {
    const auto pfn = g_bcrypt.Get(&::BCryptCloseAlgorithmProvider, "BCryptCloseAlgorithmProvider");
    if (pfn) pfn(hAlg, 0);
}

struct AlgorithmTraits {
    static BCRYPT_ALG_HANDLE Invalid() { return NULL; }
    static void Close(BCRYPT_ALG_HANDLE h) { CloseAlgorithm(h); }
};
typedef CHandleOwner<BCRYPT_ALG_HANDLE, AlgorithmTraits> CAlgorithm;

struct HashTraits {
    static BCRYPT_HASH_HANDLE Invalid() { return NULL; }
    static void Close(BCRYPT_HASH_HANDLE h) {
        const auto pfn = g_bcrypt.Get(&::BCryptDestroyHash, "BCryptDestroyHash");
        if (pfn) pfn(h);
    }
};
typedef CHandleOwner<BCRYPT_HASH_HANDLE, HashTraits> CHash;

struct KeyTraits {
    static BCRYPT_KEY_HANDLE Invalid() { return NULL; }
    static void Close(BCRYPT_KEY_HANDLE h) {
        const auto pfn = g_bcrypt.Get(&::BCryptDestroyKey, "BCryptDestroyKey");
        if (pfn) pfn(h);
    }
};
typedef CHandleOwner<BCRYPT_KEY_HANDLE, KeyTraits> CKey;

}  // namespace

// The hash object is left to CNG (allowed from Windows 7 on), and the three
// calls work on every version the programs support, unlike BCryptHash.
struct CSha256::State {
    CHash hash;
    NTSTATUS status = kNotAvailable;
};

namespace {

// Opening the provider is the slow part of a small hash: one for the
// process (an update hashes thousands of files), never closed.
BCRYPT_ALG_HANDLE g_hSha256 = NULL;

NTSTATUS Sha256Provider(BCRYPT_ALG_HANDLE* phAlg) {
    if (!g_hSha256) {
        BCRYPT_ALG_HANDLE hAlg = NULL;
        const NTSTATUS status = OpenAlgorithm(&hAlg, BCRYPT_SHA256_ALGORITHM);
        if (status != 0) return status;
        if (::InterlockedCompareExchangePointer(&g_hSha256, hAlg, NULL) != NULL)
            CloseAlgorithm(hAlg);
    }
    *phAlg = g_hSha256;
    return 0;
}

}  // namespace

CSha256::CSha256() : m_pState(new (std::nothrow) State) {
    const auto pfnCreate = g_bcrypt.Get(&::BCryptCreateHash, "BCryptCreateHash");
    if (!m_pState || !pfnCreate) return;
    BCRYPT_ALG_HANDLE hAlg = NULL;
    m_pState->status = Sha256Provider(&hAlg);
    if (m_pState->status != 0) return;
    BCRYPT_HASH_HANDLE hHash = NULL;
    m_pState->status = pfnCreate(hAlg, &hHash, NULL, 0, NULL, 0, 0);
    if (m_pState->status == 0) m_pState->hash.Reset(hHash);
}

CSha256::~CSha256() { delete m_pState; }

void CSha256::Add(const BYTE* pData, DWORD cbData) {
    const auto pfnData = g_bcrypt.Get(&::BCryptHashData, "BCryptHashData");
    if (!m_pState || m_pState->status != 0 || !cbData) return;
    // CNG takes a non-const pointer but does not write through it.
    m_pState->status =
        pfnData ? pfnData(m_pState->hash.Get(), const_cast<BYTE*>(pData), cbData, 0) : kNotAvailable;
}

bool CSha256::Finish(BYTE (&digest)[kSha256Bytes]) {
    const auto pfnFinish = g_bcrypt.Get(&::BCryptFinishHash, "BCryptFinishHash");
    if (m_pState && m_pState->status == 0)
        m_pState->status =
            pfnFinish ? pfnFinish(m_pState->hash.Get(), digest, kSha256Bytes, 0) : kNotAvailable;
    const NTSTATUS status = m_pState ? m_pState->status : kNotAvailable;
    if (status == 0) return true;
    LogError(L"[Sha256] status=0x%08lx", static_cast<unsigned long>(status));
    return false;
}


bool Sha256(const BYTE* pData, DWORD cbData, BYTE (&digest)[kSha256Bytes]) {
    CSha256 hash;
    hash.Add(pData, cbData);
    return hash.Finish(digest);
}

bool VerifyP256Signature(const BYTE (&key)[kP256KeyBytes], const BYTE* pData, DWORD cbData,
                         const BYTE (&signature)[kP256SignatureBytes]) {
    const auto pfnImport = g_bcrypt.Get(&::BCryptImportKeyPair, "BCryptImportKeyPair");
    const auto pfnVerify = g_bcrypt.Get(&::BCryptVerifySignature, "BCryptVerifySignature");
    BYTE digest[kSha256Bytes];
    if (!pfnImport || !pfnVerify || !Sha256(pData, cbData, digest)) {
        LogError(L"[VerifyP256Signature] CNG not available");
        return false;
    }
    CAlgorithm alg;
    BCRYPT_ALG_HANDLE hAlg = NULL;
    NTSTATUS status = OpenAlgorithm(&hAlg, BCRYPT_ECDSA_P256_ALGORITHM);
    if (status == 0) alg.Reset(hAlg);

    BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + kP256KeyBytes];
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kP256KeyBytes / 2};
    memcpy(blob, &header, sizeof(header));
    memcpy(blob + sizeof(header), key, kP256KeyBytes);
    BCRYPT_KEY_HANDLE hKey = NULL;
    if (status == 0)
        status = pfnImport(alg.Get(), NULL, BCRYPT_ECCPUBLIC_BLOB, &hKey, blob, sizeof(blob), 0);
    CKey publicKey(status == 0 ? hKey : NULL);
    BYTE sig[kP256SignatureBytes];
    memcpy(sig, signature, sizeof(sig));
    if (status == 0)
        status = pfnVerify(publicKey.Get(), NULL, digest, kSha256Bytes, sig, sizeof(sig), 0);
    if (status == 0) return true;
    LogError(L"[VerifyP256Signature] refused status=0x%08lx", static_cast<unsigned long>(status));
    return false;
}

namespace {

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

}  // namespace

bool DecodeHex(const char* pszHex, size_t cchHex, BYTE* pOut, size_t cb) {
    if (cchHex != 2 * cb) return false;
    for (size_t i = 0; i < cb; ++i) {
        int nHigh = HexValue(pszHex[2 * i]);
        int nLow = HexValue(pszHex[2 * i + 1]);
        if (nHigh < 0 || nLow < 0) return false;
        pOut[i] = static_cast<BYTE>(nHigh << 4 | nLow);
    }
    return true;
}

void FormatHex(const BYTE* pData, size_t cb, wchar_t* pszHex) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    for (size_t i = 0; i < cb; ++i) {
        pszHex[2 * i] = kDigits[pData[i] >> 4];
        pszHex[2 * i + 1] = kDigits[pData[i] & 15];
    }
    pszHex[2 * cb] = 0;
}
