#include "ReleaseManifest.h"

#include <string.h>
#include <wchar.h>

namespace {

const char kHeaderLine[] = "tarvelo-release 1";

// A decimal without sign or leading zeros, 1 to nMax.
bool ParseDecimal(const char* psz, ULONGLONG ullMax, ULONGLONG* pValue) {
    size_t cch = strlen(psz);
    if (cch == 0 || cch > 19 || psz[0] == '0') return false;
    ULONGLONG ullValue = 0;
    for (size_t i = 0; i < cch; ++i) {
        if (psz[i] < '0' || psz[i] > '9') return false;
        // 19 digits stay below 2^64; the limit is checked after each digit.
        ullValue = ullValue * 10 + static_cast<ULONGLONG>(psz[i] - '0');
        if (ullValue > ullMax) return false;
    }
    *pValue = ullValue;
    return true;
}

// "KEY VALUE" with one space: VALUE, or NULL when the line is another key.
const char* ValueOf(const char* pszLine, const char* pszKey) {
    size_t cch = strlen(pszKey);
    if (strncmp(pszLine, pszKey, cch) != 0 || pszLine[cch] != ' ') return NULL;
    return pszLine + cch + 1;
}

bool IsNameChar(char ch) {
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '.' || ch == '_' || ch == '-';
}

// "NAME SIZE SHA256": NULL when the fields are good, else why not.
const wchar_t* ParseFileLine(char* pszFields, ManifestFile* pFile) {
    char* pszSize = strchr(pszFields, ' ');
    char* pszHash = pszSize ? strchr(pszSize + 1, ' ') : NULL;
    if (!pszHash || strchr(pszHash + 1, ' ')) return L"file line without three fields";
    *pszSize++ = 0;
    *pszHash++ = 0;
    size_t cchName = strlen(pszFields);
    if (cchName == 0 || cchName >= 32) return L"file name empty or too long";
    memset(pFile, 0, sizeof(*pFile));
    for (size_t i = 0; i < cchName; ++i) {
        if (!IsNameChar(pszFields[i])) return L"file name with a character it may not have";
        pFile->szName[i] = static_cast<unsigned char>(pszFields[i]);
    }
    if (!strcmp(pszFields, ".") || !strcmp(pszFields, "..")) return L"file name . or ..";
    ULONGLONG ullSize = 0;
    if (!ParseDecimal(pszSize, kManifestMaxFileBytes, &ullSize)) return L"bad file size";
    pFile->cbSize = static_cast<DWORD>(ullSize);
    if (!DecodeHex(pszHash, strlen(pszHash), pFile->digest, kSha256Bytes))
        return L"bad SHA-256";
    return NULL;
}

const wchar_t* Refuse(ReleaseManifest* pManifest, const wchar_t* pszWhy) {
    pManifest->vecFiles.clear();
    pManifest->ullSerial = pManifest->ullExpires = 0;
    pManifest->bSigned = false;
    pManifest->cbSigned = 0;
    return pszWhy;
}

// Every line, in order, must be the one the format has in that place.
const wchar_t* ParseLines(const BYTE* pData, DWORD cbData, ReleaseManifest* pManifest) {
    if (!pData || cbData == 0) return L"empty";
    if (cbData > kManifestMaxBytes) return L"too large";
    DWORD nOffset = 0;
    for (int nLine = 0; nOffset < cbData; ++nLine) {
        if (pManifest->bSigned) return L"text after the signature";
        const BYTE* pEnd =
            static_cast<const BYTE*>(memchr(pData + nOffset, '\n', cbData - nOffset));
        if (!pEnd) return L"last line without a line end (cut short)";
        DWORD cchLine = static_cast<DWORD>(pEnd - (pData + nOffset));
        if (cchLine > kManifestMaxLine) return L"line too long";
        char szLine[kManifestMaxLine + 1];
        memcpy(szLine, pData + nOffset, cchLine);
        szLine[cchLine] = 0;
        for (DWORD i = 0; i < cchLine; ++i)
            if (szLine[i] < 0x20 || szLine[i] > 0x7E) return L"not plain text";
        const DWORD nLineStart = nOffset;
        nOffset += cchLine + 1;

        const char* pszValue = NULL;
        if (nLine == 0) {
            if (strcmp(szLine, kHeaderLine) != 0) return L"not a release manifest of version 1";
        } else if (nLine == 1) {
            if (!(pszValue = ValueOf(szLine, "serial")) ||
                !ParseDecimal(pszValue, 0x7FFFFFFFFFFFFFFFull, &pManifest->ullSerial))
                return L"bad serial line";
        } else if (nLine == 2) {
            if (!(pszValue = ValueOf(szLine, "expires")) ||
                !ParseDecimal(pszValue, 0x7FFFFFFFFFFFFFFFull, &pManifest->ullExpires))
                return L"bad expires line";
        } else if (ValueOf(szLine, "file")) {
            if (pManifest->vecFiles.size() >= kManifestMaxFiles) return L"too many files";
            ManifestFile file;
            if (const wchar_t* pszWhy = ParseFileLine(szLine + 5, &file)) return pszWhy;
            // Names are one file on Windows whatever their case.
            for (const ManifestFile& other : pManifest->vecFiles)
                if (_wcsicmp(other.szName, file.szName) == 0) return L"file named twice";
            pManifest->vecFiles.push_back(file);
        } else if ((pszValue = ValueOf(szLine, "sig")) != NULL) {
            if (pManifest->vecFiles.empty()) return L"signature before any file";
            if (!DecodeHex(pszValue, strlen(pszValue), pManifest->signature, kP256SignatureBytes))
                return L"bad signature encoding";
            pManifest->bSigned = true;
            pManifest->cbSigned = nLineStart;
        } else {
            return L"unknown line";
        }
    }
    if (pManifest->vecFiles.empty()) return L"no files";
    if (!FindManifestFile(*pManifest, L"orbsetup.txt") ||
        !FindManifestFile(*pManifest, L"UnInstall.exe"))
        return L"orbsetup.txt or UnInstall.exe not named";
    return NULL;
}

}  // namespace


const wchar_t* ParseReleaseManifest(const BYTE* pData, DWORD cbData, ReleaseManifest* pManifest) {
    Refuse(pManifest, NULL);
    if (const wchar_t* pszWhy = ParseLines(pData, cbData, pManifest))
        return Refuse(pManifest, pszWhy);
    return NULL;
}

const ManifestFile* FindManifestFile(const ReleaseManifest& manifest, const wchar_t* pszName) {
    for (const ManifestFile& file : manifest.vecFiles)
        if (wcscmp(file.szName, pszName) == 0) return &file;
    return NULL;
}

const wchar_t* AcceptReleaseManifest(const BYTE* pData, DWORD cbData,
                                     const BYTE (&key)[kP256KeyBytes], ULONGLONG ullNow,
                                     ULONGLONG ullInstalledSerial, ReleaseManifest* pManifest) {
    if (const wchar_t* pszWhy = ParseReleaseManifest(pData, cbData, pManifest)) return pszWhy;
    const wchar_t* pszWhy = NULL;
    if (!pManifest->bSigned)
        pszWhy = L"not signed";
    else if (!VerifyP256Signature(key, pData, pManifest->cbSigned, pManifest->signature))
        pszWhy = L"signature does not verify";
    else if (ullNow > pManifest->ullExpires + kClockSkewSeconds)
        pszWhy = L"expired";
    else if (pManifest->ullSerial < ullInstalledSerial)
        pszWhy = L"older than the installed release";
    if (!pszWhy) return NULL;
    // The serial and expiry stay for the log line; nothing else is kept.
    const ULONGLONG ullSerial = pManifest->ullSerial, ullExpires = pManifest->ullExpires;
    Refuse(pManifest, NULL);
    pManifest->ullSerial = ullSerial;
    pManifest->ullExpires = ullExpires;
    return pszWhy;
}

bool MatchesManifestFile(const ManifestFile& file, const BYTE* pData, DWORD cbData,
                         BYTE (&digest)[kSha256Bytes]) {
    memset(digest, 0, sizeof(digest));
    if (!Sha256(pData, cbData, digest)) return false;
    return cbData == file.cbSize && memcmp(digest, file.digest, kSha256Bytes) == 0;
}
