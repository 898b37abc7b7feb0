#include "ArchiveEntryInfo.h"

#include <wchar.h>
#include <zlib.h>

namespace {

void DropLeading(wchar_t* pszName, size_t cch) {
    size_t cchName = wcslen(pszName);
    if (cch > cchName) cch = cchName;
    wmemmove(pszName, pszName + cch, cchName - cch + 1);
}

// Drops everything up to and including the first occurrence of pszPattern.
bool DropThrough(wchar_t* pszName, const wchar_t* pszPattern) {
    const wchar_t* pszHit = wcsstr(pszName, pszPattern);
    if (!pszHit) return false;
    DropLeading(pszName, (pszHit - pszName) + wcslen(pszPattern));
    return true;
}

bool ApplyOneRule(wchar_t* pszName) {
    // "./" (bsdtar writes one) is the target folder itself.
    if (pszName[0] == L'.' && (pszName[1] == 0 || IsPathSeparator(pszName[1]))) {
        DropLeading(pszName, 2);
        return true;
    }
    if (pszName[0] && pszName[1] == L':') {
        DropLeading(pszName, 2);
        return true;
    }
    if (pszName[0] == L'\\' || pszName[0] == L'/') {
        DropLeading(pszName, 1);
        return true;
    }
    return DropThrough(pszName, L"\\..\\") || DropThrough(pszName, L"\\../") ||
           DropThrough(pszName, L"/../") || DropThrough(pszName, L"/..\\");
}

uint32_t ReadLe16(const BYTE* p) { return p[0] | (p[1] << 8); }

uint32_t ReadLe32(const BYTE* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

void SanitizeEntryName(wchar_t* pszName) {
    while (ApplyOneRule(pszName)) {
    }
}

bool HasParentComponent(const wchar_t* pszName) {
    // Windows drops trailing dots and spaces from a path component, so
    // ".. " or "..." may reach the parent as well: refuse every component of
    // dots and spaces that holds two dots or more.
    size_t nDots = 0;
    bool bOnlyDots = true;
    for (const wchar_t* p = pszName;; ++p) {
        if (*p == 0 || IsPathSeparator(*p)) {
            if (bOnlyDots && nDots >= 2) return true;
            if (*p == 0) return false;
            nDots = 0;
            bOnlyDots = true;
        } else if (*p == L'.') {
            ++nDots;
        } else if (*p != L' ') {
            bOnlyDots = false;
        }
    }
}

bool IsDeviceName(const wchar_t* psz, size_t cch) {
    size_t n = 0;
    while (n < cch && psz[n] != L'.') ++n;
    while (n > 0 && psz[n - 1] == L' ') --n;
    static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* pszDevice : kNames)
        if (n == wcslen(pszDevice) && _wcsnicmp(psz, pszDevice, n) == 0) return true;
    if (n == 4 && (_wcsnicmp(psz, L"COM", 3) == 0 || _wcsnicmp(psz, L"LPT", 3) == 0)) {
        // Superscript one to three count as digits here too.
        wchar_t ch = psz[3];
        return (ch >= L'1' && ch <= L'9') || ch == 0xB9 || ch == 0xB2 || ch == 0xB3;
    }
    return false;
}

bool HasDeviceComponent(const wchar_t* pszName) {
    const wchar_t* pszStart = pszName;
    for (const wchar_t* p = pszName;; ++p) {
        if (*p == 0 || IsPathSeparator(*p)) {
            if (IsDeviceName(pszStart, p - pszStart)) return true;
            if (*p == 0) return false;
            pszStart = p + 1;
        }
    }
}

namespace {

// "BASE~N" or "BASE~N.EXT": a base of one to six characters, digits after
// the tilde, an extension of at most three.
bool IsShortNameShape(const wchar_t* psz, size_t cch) {
    const wchar_t* pTilde = static_cast<const wchar_t*>(wmemchr(psz, L'~', cch));
    if (!pTilde || pTilde == psz || pTilde - psz > 6) return false;
    const wchar_t* p = pTilde + 1;
    const wchar_t* pEnd = psz + cch;
    const wchar_t* pDigits = p;
    while (p < pEnd && *p >= L'0' && *p <= L'9') ++p;
    if (p == pDigits) return false;
    if (p == pEnd) return true;
    return *p == L'.' && pEnd - (p + 1) <= 3 && !wmemchr(p + 1, L'.', pEnd - (p + 1));
}

}  // namespace

bool HasUnusableComponent(const wchar_t* pszName) {
    const wchar_t* pszStart = pszName;
    for (const wchar_t* p = pszName;; ++p) {
        if (*p == 0 || IsPathSeparator(*p)) {
            const size_t cch = p - pszStart;
            const bool bSelf = cch == 1 && pszStart[0] == L'.';
            if (cch > 0 && !bSelf &&
                (pszStart[cch - 1] == L'.' || pszStart[cch - 1] == L' ' ||
                 IsShortNameShape(pszStart, cch)))
                return true;
            if (*p == 0) return false;
            pszStart = p + 1;
        } else if (*p < 0x20 || wcschr(L":*?<>|\"", *p)) {
            return true;
        }
    }
}

DWORD MapEntryAttributes(uint32_t nVersionMadeBy, uint32_t nExternal) {
    uint32_t nHost = (nVersionMadeBy >> 8) & 0xFF;
    bool bReadOnly, bHidden, bSystem, bDirectory, bArchive;
    if (nHost != 0 && nHost != 7 && nHost != 11 && nHost != 14 && (nExternal >> 16) == 0) {
        // A Unix-like host that recorded no mode says nothing: an ordinary
        // writable file, not a read-only one.
        return FILE_ATTRIBUTE_ARCHIVE;
    }
    if (nHost == 0 || nHost == 7 || nHost == 11 || nHost == 14) {
        bReadOnly = (nExternal & 0x01) != 0;
        bHidden = (nExternal & 0x02) != 0;
        bSystem = (nExternal & 0x04) != 0;
        bDirectory = (nExternal & 0x10) != 0;
        bArchive = (nExternal & 0x20) != 0;
    } else {
        // Unix-like hosts keep the mode in the high half: S_IFDIR and the
        // owner-write bit are what Windows can express.
        bDirectory = (nExternal & 0x40000000) != 0;
        bReadOnly = (nExternal & 0x00800000) == 0;
        bHidden = bSystem = false;
        bArchive = true;
    }
    return (bDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0) | (bArchive ? FILE_ATTRIBUTE_ARCHIVE : 0) |
           (bHidden ? FILE_ATTRIBUTE_HIDDEN : 0) | (bReadOnly ? FILE_ATTRIBUTE_READONLY : 0) |
           (bSystem ? FILE_ATTRIBUTE_SYSTEM : 0);
}

FILETIME DosTimeToFileTime(uint32_t nDosDateTime) {
    uint32_t nDate = nDosDateTime >> 16, nTime = nDosDateTime & 0xFFFF;
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>((nDate >> 9) + 1980);
    st.wMonth = static_cast<WORD>((nDate >> 5) & 15);
    st.wDay = static_cast<WORD>(nDate & 31);
    st.wHour = static_cast<WORD>(nTime >> 11);
    st.wMinute = static_cast<WORD>((nTime >> 5) & 63);
    st.wSecond = static_cast<WORD>((nTime & 31) * 2);
    FILETIME ftLocal, ftUtc;
    if (!::SystemTimeToFileTime(&st, &ftLocal)) {
        SYSTEMTIME stEpoch = {};
        stEpoch.wYear = 1980;
        stEpoch.wMonth = stEpoch.wDay = 1;
        ::SystemTimeToFileTime(&stEpoch, &ftLocal);
    }
    if (!::LocalFileTimeToFileTime(&ftLocal, &ftUtc)) ftUtc = ftLocal;
    return ftUtc;
}

FILETIME UnixTimeToFileTime(int32_t nUnixTime) {
    uint64_t n = static_cast<uint64_t>(static_cast<int64_t>(nUnixTime) + 11644473600LL) * 10000000u;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(n);
    ft.dwHighDateTime = static_cast<DWORD>(n >> 32);
    return ft;
}

void ApplyExtendedTimestamp(const BYTE* pExtra, size_t cbExtra, FILETIME* pftWrite,
                            FILETIME* pftAccess, FILETIME* pftCreation) {
    size_t nOffset = 0;
    while (nOffset + 4 < cbExtra) {
        size_t cbData = ReadLe16(pExtra + nOffset + 2);
        if (pExtra[nOffset] != 'U' || pExtra[nOffset + 1] != 'T') {
            nOffset += 4 + cbData;
            continue;
        }
        // The times must lie inside both the block and the field.
        size_t nEnd = nOffset + 4 + cbData;
        if (nEnd > cbExtra) nEnd = cbExtra;
        BYTE nFlags = pExtra[nOffset + 4];
        size_t nPos = nOffset + 5;
        FILETIME* apTimes[3] = {pftWrite, pftAccess, pftCreation};
        for (int i = 0; i < 3; ++i) {
            if (!(nFlags & (1 << i))) continue;
            if (nPos + 4 > nEnd) break;
            *apTimes[i] = UnixTimeToFileTime(static_cast<int32_t>(ReadLe32(pExtra + nPos)));
            nPos += 4;
        }
        return;
    }
}

namespace {

bool HasHighBit(const char* pRaw, size_t cbRaw) {
    for (size_t i = 0; i < cbRaw; ++i)
        if (static_cast<unsigned char>(pRaw[i]) >= 0x80) return true;
    return false;
}

// The whole of pRaw into pszOut with its terminator; false when the bytes
// are not valid in the code page (strictly checked for UTF-8) or the result
// does not fit.
bool Convert(UINT nCodePage, const char* pRaw, size_t cbRaw, wchar_t* pszOut, size_t cchOut,
             NameResult* pResult) {
    if (cbRaw == 0) {
        pszOut[0] = 0;
        return true;
    }
    DWORD dwFlags = nCodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int cch = ::MultiByteToWideChar(nCodePage, dwFlags, pRaw, static_cast<int>(cbRaw), pszOut,
                                    static_cast<int>(cchOut - 1));
    if (cch <= 0) {
        *pResult = ::GetLastError() == ERROR_INSUFFICIENT_BUFFER ? NameTooLong : NameInvalid;
        return false;
    }
    pszOut[cch] = 0;
    // A NUL inside the stored bytes would hide what follows it.
    if (wcslen(pszOut) != static_cast<size_t>(cch)) {
        *pResult = NameInvalid;
        return false;
    }
    return true;
}

// Info-ZIP's Unicode Path field (0x7075, version 1) when it belongs to this
// raw name (its CRC-32 matches): its UTF-8 name, else NULL.
const BYTE* FindUnicodePath(const char* pRaw, size_t cbRaw, const BYTE* pExtra, size_t cbExtra,
                            size_t* pcbName) {
    size_t nOffset = 0;
    while (pExtra && nOffset + 4 <= cbExtra) {
        size_t cbData = ReadLe16(pExtra + nOffset + 2);
        if (nOffset + 4 + cbData > cbExtra) return NULL;
        const BYTE* pData = pExtra + nOffset + 4;
        if (ReadLe16(pExtra + nOffset) == 0x7075 && cbData >= 5 && pData[0] == 1) {
            uLong nCrc = crc32(0L, reinterpret_cast<const Bytef*>(pRaw), static_cast<uInt>(cbRaw));
            if (ReadLe32(pData + 1) != nCrc) return NULL;
            *pcbName = cbData - 5;
            return pData + 5;
        }
        nOffset += 4 + cbData;
    }
    return NULL;
}

}  // namespace

NameResult DecodeEntryName(uint32_t nFlags, uint32_t nVersionMadeBy, const char* pRaw, size_t cbRaw,
                           const BYTE* pExtra, size_t cbExtra, wchar_t* pszOut, size_t cchOut) {
    NameResult result = NameOk;
    pszOut[0] = 0;
    if (nFlags & 0x800)
        return Convert(CP_UTF8, pRaw, cbRaw, pszOut, cchOut, &result) ? NameOk : result;
    size_t cbUnicode = 0;
    const BYTE* pUnicode = FindUnicodePath(pRaw, cbRaw, pExtra, cbExtra, &cbUnicode);
    if (pUnicode) {
        return Convert(CP_UTF8, reinterpret_cast<const char*>(pUnicode), cbUnicode, pszOut, cchOut,
                       &result)
                   ? NameOk
                   : result;
    }
    // Info-ZIP's zip on Unix stores the file system's UTF-8 bytes and says so nowhere.
    if (((nVersionMadeBy >> 8) & 0xFF) == 3 && HasHighBit(pRaw, cbRaw) &&
        Convert(CP_UTF8, pRaw, cbRaw, pszOut, cchOut, &result))
        return NameOk;
    result = NameOk;
    return Convert(CP_ACP, pRaw, cbRaw, pszOut, cchOut, &result) ? NameOk : result;
}

bool NameNeedsUnicodePath(uint32_t nFlags, const char* pRaw, size_t cbRaw) {
    return !(nFlags & 0x800) && HasHighBit(pRaw, cbRaw);
}
