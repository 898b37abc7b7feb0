// A bounded mutation fuzzer for the setup-list parser, the release manifest
// reader, the zip reader and the entry index reader.
//
//   fuzz.exe SEEDS WORK [ITERATIONS [SEED]]
//
// Every file in SEEDS (names ending .txt: setup lists; .mf: release
// manifests; .zip: archives; .idx: entry indexes; .hex: any of them, as hex text, the kind given
// by the name before .hex) is run once as
// it is, then ITERATIONS times mutated: bit flips, byte and field overwrites
// with boundary values, truncation, removed and repeated ranges. Fails (exit 1)
// on a result that contradicts the input or a write outside the target folder;
// a crash (exit 2) or a hang (exit 3) stops at once. Each failing input is
// saved as hex text in WORK and printed, so it can be kept as a regression.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ArchiveEntryInfo.h"
#include "ArchiveReader.h"
#include "EntryIndex.h"
#include "PackageExtract.h"
#include "ReleaseManifest.h"
#include "SetupList.h"
#include "TestUtil.h"

namespace {

typedef std::vector<BYTE> Bytes;

// xorshift64*: the same sequence on every platform and compiler.
struct Rng {
    uint64_t s;
    uint32_t Next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return static_cast<uint32_t>((s * 2685821657736338717ull) >> 32);
    }
    uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
};

std::wstring g_work, g_target, g_cwd, g_zipPath;
const Bytes* g_pCurrent = NULL;
volatile LONG g_nTick = 0;
int g_nFailures = 0;
bool g_bVerbose = false;  // FUZZ_VERBOSE: each entry and its result

std::string Hex(const Bytes& data) {
    std::string out;
    char sz[4];
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(sz, sizeof(sz), "%02x", data[i]);
        out += sz;
        if (i % 32 == 31) out += '\n';
    }
    return out + "\n";
}

void SaveFailure(const char* pszKind, const char* pszWhy) {
    static int nSaved = 0;
    if (!g_pCurrent) return;
    std::wstring path = g_work + L"\\failure-" + std::to_wstring(++nSaved) + L"." +
                        std::wstring(pszKind, pszKind + strlen(pszKind)) + L".hex";
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f) {
        fprintf(f, "# %s\n%s", pszWhy, Hex(*g_pCurrent).c_str());
        fclose(f);
    }
    fprintf(stderr, "input (%s):\n%s", pszKind, Hex(*g_pCurrent).c_str());
}

const char* g_pszKind = "";

bool g_bCurrentFailed = false;  // the input is saved once, at its first failure

void Fail(const char* pszFormat, const wchar_t* pszDetail = L"") {
    ++g_nFailures;
    fprintf(stderr, "FAIL: ");
    fprintf(stderr, pszFormat, pszDetail);
    fprintf(stderr, "\n");
    if (!g_bCurrentFailed) SaveFailure(g_pszKind, pszFormat);
    g_bCurrentFailed = true;
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* pInfo) {
    fprintf(stderr, "CRASH: exception 0x%08lx\n",
            static_cast<unsigned long>(pInfo->ExceptionRecord->ExceptionCode));
    SaveFailure(g_pszKind, "crash");
    fflush(stderr);
    ::ExitProcess(2);
}

// One input may take a while (a large declared size); none may take long.
DWORD WINAPI Watchdog(LPVOID) {
    LONG nLast = -1;
    for (int nStill = 0;;) {
        ::Sleep(1000);
        LONG nNow = g_nTick;
        nStill = nNow == nLast ? nStill + 1 : 0;
        nLast = nNow;
        if (nStill >= 30) {
            fprintf(stderr, "HANG: one input ran for 30 s\n");
            SaveFailure(g_pszKind, "hang");
            fflush(stderr);
            ::ExitProcess(3);
        }
    }
}

// ---- files ------------------------------------------------------------

bool ReadWhole(const std::wstring& path, Bytes* pOut) {
    std::string bytes;
    if (!ReadFileBytes(path, &bytes)) return false;
    pOut->assign(bytes.begin(), bytes.end());
    return true;
}

// Hex text: '#' starts a comment line; other characters than hex digits are
// ignored, so the bytes may be laid out freely.
Bytes FromHex(const Bytes& text) {
    Bytes out;
    int nHigh = -1;
    bool bComment = false;
    for (BYTE ch : text) {
        if (ch == '\n') bComment = false;
        if (bComment) continue;
        if (ch == '#') {
            bComment = true;
            continue;
        }
        int v = (ch >= '0' && ch <= '9')   ? ch - '0'
                : (ch >= 'a' && ch <= 'f') ? ch - 'a' + 10
                : (ch >= 'A' && ch <= 'F') ? ch - 'A' + 10
                                           : -1;
        if (v < 0) continue;
        if (nHigh < 0) {
            nHigh = v;
        } else {
            out.push_back(static_cast<BYTE>(nHigh << 4 | v));
            nHigh = -1;
        }
    }
    return out;
}

// ---- mutation ---------------------------------------------------------

void Mutate(Rng& rng, Bytes& data) {
    static const uint32_t kBoundary[] = {0,          1,          0x7F,    0x80,       0xFF,
                                         0x7FFF,     0xFFFF,     0x10000, 0x7FFFFFFF, 0x80000000,
                                         0xFFFFFFFE, 0xFFFFFFFF, 0x104,   0x105};
    int nSteps = 1 + rng.Below(4);
    for (int s = 0; s < nSteps; ++s) {
        uint32_t n = static_cast<uint32_t>(data.size());
        switch (rng.Below(7)) {
            case 0:  // bit flip
                if (n) data[rng.Below(n)] ^= static_cast<BYTE>(1u << rng.Below(8));
                break;
            case 1:  // random byte
                if (n) data[rng.Below(n)] = static_cast<BYTE>(rng.Next());
                break;
            case 2:  // a 16- or 32-bit field set to a boundary value
                if (n >= 4) {
                    uint32_t v = kBoundary[rng.Below(sizeof(kBoundary) / sizeof(kBoundary[0]))];
                    uint32_t nWidth = rng.Below(2) ? 4 : 2;
                    uint32_t nAt = rng.Below(n - nWidth + 1);
                    for (uint32_t i = 0; i < nWidth; ++i)
                        data[nAt + i] = static_cast<BYTE>(v >> (8 * i));
                }
                break;
            case 3:  // truncation
                if (n) data.resize(rng.Below(n));
                break;
            case 4:  // a range removed
                if (n > 1) {
                    uint32_t nAt = rng.Below(n), nLen = 1 + rng.Below(n - nAt);
                    data.erase(data.begin() + nAt, data.begin() + nAt + nLen);
                }
                break;
            case 5:  // a range repeated
                if (n > 1 && n < (1u << 20)) {
                    uint32_t nAt = rng.Below(n), nLen = 1 + rng.Below(n - nAt < 64 ? n - nAt : 64);
                    Bytes range(data.begin() + nAt, data.begin() + nAt + nLen);
                    data.insert(data.begin() + nAt, range.begin(), range.end());
                }
                break;
            default:  // a separator or zip signature byte dropped in
                if (n) {
                    static const BYTE kSpecial[] = {';',  '\r', '\n', '.', '/',
                                                    '\\', ':',  0,    'P', 'K'};
                    data[rng.Below(n)] = kSpecial[rng.Below(sizeof(kSpecial))];
                }
                break;
        }
    }
}

// ---- setup list ---------------------------------------------------------

// The DOS device names that matter here, however spelt.
bool IsDevice(const std::wstring& name) {
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& ch : base) ch = towupper(ch);
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL") return true;
    return base.size() == 4 &&
           (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

bool IsPlainLine(const std::wstring& line, std::wstring* pName, int* pnValue, int* pnKind) {
    // name;digits;digits with a plain ASCII name: the one shape whose
    // outcome is beyond doubt.
    size_t a = line.find(L';'), b = a == std::wstring::npos ? a : line.find(L';', a + 1);
    if (a == std::wstring::npos || b == std::wstring::npos || line.find(L';', b + 1) != line.npos)
        return false;
    std::wstring name = line.substr(0, a), v = line.substr(a + 1, b - a - 1),
                 k = line.substr(b + 1);
    if (name.empty() || name.size() > 31 || name == L"." || name == L".." || IsDevice(name))
        return false;
    for (wchar_t ch : name)
        if (!(ch < 0x80 && isalnum(ch)) && ch != L'.' && ch != L'_' && ch != L'-') return false;
    if (v.empty() || k.empty() || v.size() > 9 || k.size() > 9) return false;
    for (wchar_t ch : v + k)
        if (ch < L'0' || ch > L'9') return false;
    *pName = name;
    *pnValue = _wtoi(v.c_str());
    *pnKind = _wtoi(k.c_str());
    return true;
}

void CheckList(const Bytes& input) {
    // The block as the download leaves it: the body, then zeros.
    Bytes block(input);
    block.resize(input.size() + 1024, 0);
    std::vector<SetupListEntry> list;
    SetupListResult result = ValidateSetupList(TRUE, block.data(), static_cast<DWORD>(input.size()),
                                               static_cast<DWORD>(block.size()), &list);
    if (result.bOk == list.empty()) Fail("the result and the entries disagree");
    if (!result.bOk && (!result.pszMessage || !result.pszLogLine)) Fail("a failure without text");

    std::wstring text;
    for (size_t i = 2; i + 1 < block.size(); i += 2) {
        wchar_t ch = static_cast<wchar_t>(block[i] | block[i + 1] << 8);
        if (!ch) break;
        text.push_back(ch);
    }
    for (const SetupListEntry& e : list) {
        size_t cch = wcsnlen(e.szName, 32);
        if (cch == 0 || cch > 31) Fail("an entry name of bad length");
        std::wstring name(e.szName, cch);
        if (name == L"." || name == L"..") Fail("an entry named %ls", e.szName);
        for (wchar_t ch : name)
            if (ch < 0x20 || wcschr(L"\\/:*?\"<>|", ch)) Fail("an unsafe entry name %ls", e.szName);
        if (text.find(name + L";") == std::wstring::npos)
            Fail("a name not in the input: %ls", e.szName);
        // A device name would stage the download in a device.
        if (IsDevice(name)) Fail("a device entry name %ls", e.szName);
    }
    // A text whose last line has no line end was cut: nothing of it is taken.
    if (!text.empty() && text.back() != L'\r' && text.back() != L'\n') {
        if (result.bOk) Fail("a list without a final line end was accepted");
        return;
    }
    // Every plain line must be found, in order, with its numbers.
    size_t nNext = 0, nStart = 0;
    while (nStart <= text.size()) {
        size_t nEnd = text.find(L'\r', nStart);
        if (nEnd == std::wstring::npos) nEnd = text.size();
        std::wstring line = text.substr(nStart, nEnd - nStart);
        while (!line.empty() && line[0] == L'\n') line.erase(0, 1);
        while (!line.empty() && line.back() == L'\n') line.pop_back();
        std::wstring name;
        int nValue, nKind;
        if (IsPlainLine(line, &name, &nValue, &nKind)) {
            // Other lines may carry the same name: match the numbers too.
            while (nNext < list.size() &&
                   (name != list[nNext].szName || list[nNext].nValue != nValue ||
                    list[nNext].nKind != nKind))
                ++nNext;
            if (nNext == list.size()) {
                Fail("a valid line was lost or changed: %ls", name.c_str());
                return;
            }
            ++nNext;
        }
        nStart = nEnd + 1;
    }
}

// ---- zip ----------------------------------------------------------------

bool IsInside(const std::wstring& path) {
    wchar_t szFull[1024];
    DWORD cch = ::GetFullPathNameW(path.c_str(), 1024, szFull, NULL);
    if (!cch || cch >= 1024) return false;
    std::wstring full(szFull), root = g_target + L"\\";
    return _wcsnicmp(full.c_str(), root.c_str(), root.size()) == 0;
}

void CheckZip(const Bytes& input) {
    ForceRemoveTree(g_target);
    ::CreateDirectoryW(g_target.c_str(), NULL);
    if (!WriteFileBytes(g_zipPath, std::string(input.begin(), input.end()))) {
        Fail("cannot write the input");
        return;
    }
    ArchiveReader* pReader = ArchiveOpen(g_zipPath.c_str());
    if (pReader) {
        if (ArchiveSetTargetFolder(pReader, g_target.c_str()) != Ok) Fail("target refused");
        ArchiveEntry entry = {};
        ArchiveGetEntry(pReader, -1, &entry);
        int32_t nCount = entry.nIndex;
        if (nCount < 0) Fail("a negative count");
        for (int32_t i = 0; i < nCount && i < 5000; ++i) {
            InterlockedIncrement(&g_nTick);
            if (ArchiveGetEntry(pReader, i, &entry) != Ok) continue;
            const wchar_t* pszName = entry.szEntryName;
            if (wcsnlen(pszName, MAX_PATH) >= MAX_PATH) Fail("an unterminated name");
            if (IsPathSeparator(pszName[0]) || (pszName[0] && pszName[1] == L':'))
                Fail("an absolute name: %ls", pszName);
            ArchiveResult result = ArchiveExtractToFile(pReader, i, pszName);
            if (g_bVerbose) fprintf(stdout, "  %d [%ls] -> 0x%x\n", i, pszName, result);
            if (result != Ok) continue;
            if (HasParentComponent(pszName)) Fail("a parent component extracted: %ls", pszName);
            std::wstring path = g_target + L"\\" + pszName;
            if (!IsInside(path)) Fail("extracted outside the target: %ls", pszName);
            WIN32_FILE_ATTRIBUTE_DATA fad;
            if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fad)) {
                Fail("reported extracted but missing: %ls", pszName);
                continue;
            }
            bool bFolder = (entry.dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (!bFolder && entry.nUncompressedSize != INT32_MAX && fad.nFileSizeHigh == 0 &&
                (fad.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                fad.nFileSizeLow != static_cast<DWORD>(entry.nUncompressedSize))
                Fail("extracted size differs from the declared size: %ls", pszName);
        }
        ArchiveClose(pReader);
    }
    // Nothing beside the input and the target, nothing in the current folder.
    for (const std::wstring& name : ListFolder(g_work)) {
        if (name != L"in.zip" && name != L"t" && name != L"cwd" && name.find(L"failure-") != 0)
            Fail("written outside the target: %ls", name.c_str());
    }
    for (const std::wstring& name : ListFolder(g_work + L"\\t"))
        if (name != L"out") Fail("written beside the target: %ls", name.c_str());
    for (const std::wstring& name : ListFolder(g_cwd))
        Fail("written to the current folder: %ls", name.c_str());
}

// A manifest is taken whole or not at all, and what is taken keeps the
// format's limits whatever the bytes were.
void CheckManifest(const Bytes& input) {
    ReleaseManifest manifest;
    const wchar_t* pszWhy =
        ParseReleaseManifest(input.data(), static_cast<DWORD>(input.size()), &manifest);
    if (pszWhy) {
        if (!manifest.vecFiles.empty() || manifest.bSigned) Fail("a refused manifest kept entries");
        return;
    }
    if (input.empty() || input.back() != '\n') Fail("a manifest without a final line end");
    if (manifest.vecFiles.empty() || manifest.vecFiles.size() > kManifestMaxFiles)
        Fail("a manifest with no files or too many");
    if (manifest.bSigned && manifest.cbSigned >= input.size()) Fail("signed bytes past the end");
    for (size_t i = 0; i < manifest.vecFiles.size(); ++i) {
        const ManifestFile& file = manifest.vecFiles[i];
        size_t cch = wcsnlen(file.szName, 32);
        if (cch == 0 || cch > 31) Fail("a file name of bad length");
        if (file.cbSize == 0 || file.cbSize > kManifestMaxFileBytes) Fail("a size out of range");
        for (size_t j = 0; j < i; ++j)
            if (_wcsicmp(manifest.vecFiles[j].szName, file.szName) == 0)
                Fail("a file named twice: %ls", file.szName);
    }
    if (!FindManifestFile(manifest, L"orbsetup.txt") || !FindManifestFile(manifest, L"UnInstall.exe"))
        Fail("a manifest without the list or the uninstaller");
}

// The seed's first line is the package's size in the release, the rest the
// index as served.
void CheckIndex(const Bytes& whole) {
    const Bytes::const_iterator end = std::find(whole.begin(), whole.end(), '\n');
    const std::string size(whole.begin(), end);
    const DWORD cbPackage = strtoul(size.c_str(), NULL, 10);
    const Bytes input(end == whole.end() ? end : end + 1, whole.end());
    EntryIndex index;
    const wchar_t* pszWhy = ParseEntryIndex(input.empty() ? NULL : input.data(),
                                            static_cast<DWORD>(input.size()), cbPackage, &index);
    if (pszWhy) {
        if (!index.entries.empty() || !index.names.empty()) Fail("a refused index kept entries");
        return;
    }
    if (input.empty() || input.back() != '\n') Fail("an index without a final line end");
    if (index.entries.empty()) Fail("an index with no entries");
    ULONGLONG ullNext = 0, ullUnpacked = 0;
    for (const IndexEntry& entry : index.entries) {
        const wchar_t* pszName = index.NameOf(entry);
        if (entry.dwOffset != ullNext) Fail("ranges that do not follow each other");
        ullNext += entry.cbLength;
        ullUnpacked += entry.cbSize;
        if (ullNext > cbPackage) Fail("a range past the package");
        if (kLocalHeaderBytes + entry.cbRawName + ULONGLONG(entry.cbCompressed) > entry.cbLength)
            Fail("data past its range");
        if (!pszName[0] || HasParentComponent(pszName) || HasDeviceComponent(pszName) ||
            HasUnusableComponent(pszName))
            Fail("a name the extraction refuses: %ls", pszName);
        if (entry.nMethod != 0 && entry.nMethod != 8) Fail("an unknown method");
    }
    if (index.entries.size() > kPackageMaxEntries || ullUnpacked > kPackageMaxBytes)
        Fail("over the package limits");
}

enum InputKind { kList, kZip, kManifest, kIndex };

void RunOne(InputKind kind, const Bytes& input) {
    g_pCurrent = &input;
    g_pszKind = kind == kZip ? "zip" : kind == kManifest ? "mf" : kind == kIndex ? "idx" : "txt";
    g_bCurrentFailed = false;
    InterlockedIncrement(&g_nTick);
    if (kind == kZip)
        CheckZip(input);
    else if (kind == kManifest)
        CheckManifest(input);
    else if (kind == kIndex)
        CheckIndex(input);
    else
        CheckList(input);
}

bool EndsWith(const std::wstring& s, const wchar_t* pszEnd) {
    size_t n = wcslen(pszEnd);
    return s.size() >= n && _wcsicmp(s.c_str() + s.size() - n, pszEnd) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: fuzz SEEDS WORK [ITERATIONS [SEED]]\n");
        return 64;
    }
    std::wstring seeds = argv[1];
    wchar_t szWork[MAX_PATH];
    ::GetFullPathNameW(argv[2], MAX_PATH, szWork, NULL);
    g_work = szWork;
    int nIterations = argc > 3 ? _wtoi(argv[3]) : 200;
    uint64_t nSeed = argc > 4 ? _wcstoui64(argv[4], NULL, 10) : 20261208;

    ForceRemoveTree(g_work);
    ::CreateDirectoryW(g_work.c_str(), NULL);
    ::CreateDirectoryW((g_work + L"\\t").c_str(), NULL);
    g_target = g_work + L"\\t\\out";
    g_cwd = g_work + L"\\cwd";
    g_zipPath = g_work + L"\\in.zip";
    ::CreateDirectoryW(g_cwd.c_str(), NULL);
    ::SetCurrentDirectoryW(g_cwd.c_str());
    g_bVerbose = _wgetenv(L"FUZZ_VERBOSE") != NULL;
    ::SetUnhandledExceptionFilter(OnCrash);
    ::CreateThread(NULL, 0, Watchdog, NULL, 0, NULL);

    std::vector<std::wstring> names = ListFolder(seeds);
    int nRuns = 0, nInputs = 0;
    for (const std::wstring& name : names) {
        Bytes data;
        if (!ReadWhole(seeds + L"\\" + name, &data)) continue;
        std::wstring kindName = name;
        if (EndsWith(name, L".hex")) {
            data = FromHex(data);
            kindName = name.substr(0, name.size() - 4);
        }
        InputKind kind = EndsWith(kindName, L".zip")   ? kZip
                         : EndsWith(kindName, L".mf")  ? kManifest
                         : EndsWith(kindName, L".idx") ? kIndex
                                                       : kList;
        if (kind == kList && !EndsWith(kindName, L".txt")) continue;
        ++nInputs;
        fprintf(stdout, "%ls\n", name.c_str());
        fflush(stdout);
        RunOne(kind, data);
        // Each seed file its own stream: adding a seed changes no other's.
        uint64_t nHash = 14695981039346656037ull;  // FNV-1a of the file name
        for (wchar_t ch : name) nHash = (nHash ^ ch) * 1099511628211ull;
        Rng rng = {(nSeed ^ nHash) | 1};
        for (int i = 0; i < nIterations; ++i) {
            Bytes mutated(data);
            Mutate(rng, mutated);
            RunOne(kind, mutated);
            ++nRuns;
        }
    }
    g_pCurrent = NULL;
    ForceRemoveTree(g_target);
    fprintf(stdout, "%d inputs, %d mutations, %d failures\n", nInputs, nRuns, g_nFailures);
    if (nInputs == 0) return 1;
    return g_nFailures ? 1 : 0;
}
