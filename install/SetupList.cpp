#include "SetupList.h"

#include <stdlib.h>
#include <string.h>

#include "ArchiveEntryInfo.h"

namespace {

const size_t kMaxNameChars = 31;
// The conversion room of a numeric field: 19 bytes and the terminator.
const size_t kMaxNumberChars = 19;

const wchar_t kDownloadFailedMessage[] = L"下载Setupconfig.txt失败";
const wchar_t kEmptyMessage[] = L"orbsetup.txt为空";

SetupListResult Failure(const wchar_t* pszMessage, const wchar_t* pszLogLine) {
    SetupListResult result = {false, pszMessage, pszLogLine};
    return result;
}

// The name becomes a URL path below /EX/ and a file name in the temporary
// folder: refuse anything that could leave that folder or that Windows
// refuses in a file name.
bool IsSafeFileName(const std::wstring& name) {
    if (name.empty() || name.size() > kMaxNameChars) return false;
    if (name == L"." || name == L"..") return false;
    // "nul.zip" or "COM1" would stage the download in a device, not a file.
    if (IsDeviceName(name.c_str(), name.size())) return false;
    for (wchar_t ch : name) {
        if (ch < 0x20 || ch == 0x7F) return false;
        if (wcschr(L"\\/:*?\"<>|", ch)) return false;
    }
    return true;
}

// The field in the system ANSI code page, read by atol's rules. strtol
// shares those rules and saturates instead of overflowing.
bool ConvertNumber(const std::wstring& field, int* pnValue) {
    if (field.size() > kMaxNumberChars) return false;
    char szAnsi[kMaxNumberChars + 1];
    memset(szAnsi, 0, sizeof(szAnsi));
    // Characters that take two bytes in the code page may not fit the room.
    if (!::WideCharToMultiByte(CP_ACP, 0, field.c_str(), -1, szAnsi, sizeof(szAnsi), NULL, NULL))
        return false;
    szAnsi[kMaxNumberChars] = 0;
    long nValue = strtol(szAnsi, NULL, 10);
    *pnValue = static_cast<int>(nValue);
    return true;
}

}  // namespace

int SplitString(const std::wstring& text, wchar_t chSeparator, std::vector<std::wstring>* pOut) {
    pOut->clear();
    size_t nStart = 0;
    while (nStart <= text.size()) {
        size_t nEnd = text.find(chSeparator, nStart);
        if (nEnd == std::wstring::npos) nEnd = text.size();
        if (nEnd > nStart) pOut->push_back(text.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return static_cast<int>(pOut->size());
}

int ParseSetupList(const std::wstring& text, std::vector<SetupListEntry>* pList) {
    pList->clear();
    std::vector<std::wstring> lines;
    std::vector<std::wstring> fields;
    SplitString(text, L'\r', &lines);
    for (const std::wstring& rawLine : lines) {
        size_t nFirst = rawLine.find_first_not_of(L"\r\n");
        if (nFirst == std::wstring::npos) continue;
        size_t nLast = rawLine.find_last_not_of(L"\r\n");
        std::wstring line = rawLine.substr(nFirst, nLast - nFirst + 1);

        if (SplitString(line, L';', &fields) != 3) continue;
        if (!IsSafeFileName(fields[0])) continue;
        SetupListEntry entry;
        memset(&entry, 0, sizeof(entry));
        if (!ConvertNumber(fields[1], &entry.nValue) || !ConvertNumber(fields[2], &entry.nKind))
            continue;
        wmemcpy(entry.szName, fields[0].c_str(), fields[0].size());
        pList->push_back(entry);
    }
    return static_cast<int>(pList->size());
}

SetupListResult ValidateSetupList(BOOL bDownloaded, const BYTE* pBuf, DWORD nLen, DWORD nBufSize,
                                  std::vector<SetupListEntry>* pList) {
    pList->clear();
    if (!bDownloaded || !pBuf) {
        return Failure(kDownloadFailedMessage,
                       L"[CSetupDlg::Execute] download Setupconfig.txt failed");
    }
    if (nLen < 3) {
        return Failure(kDownloadFailedMessage,
                       L"[CSetupDlg::Execute] download Setupconfig.txt faile");
    }
    // The text ends at the first zero character, which only the zeroed rest
    // of the block provides: a list that fills the block has none.
    if (nLen >= nBufSize) {
        return Failure(kDownloadFailedMessage,
                       L"[CSetupDlg::Execute] download Setupconfig.txt too large");
    }
    std::wstring text;
    for (DWORD nOffset = 2; nOffset + 1 < nBufSize; nOffset += 2) {
        wchar_t ch = static_cast<wchar_t>(pBuf[nOffset] | (pBuf[nOffset + 1] << 8));
        if (!ch) break;
        text.push_back(ch);
    }
    // The publisher ends every line; a list cut without a length header
    // would otherwise install part of a release and report success.
    if (!text.empty() && text.back() != L'\r' && text.back() != L'\n') {
        return Failure(kDownloadFailedMessage,
                       L"[CSetupDlg::Execute] download Setupconfig.txt cut short");
    }
    if (text.empty() || ParseSetupList(text, pList) <= 0) {
        return Failure(kEmptyMessage, L"[CSetupDlg::Execute]Setupconfig.txt no content");
    }
    SetupListResult result = {true, NULL, NULL};
    return result;
}
