#include "TestUtil.h"

#include <algorithm>

#include "Log.h"

CTempFolder::CTempFolder(const wchar_t* pszTag) {
    wchar_t szBase[MAX_PATH];
    DWORD n = ::GetTempPathW(MAX_PATH, szBase);
    m_path.assign(szBase, n);
    if (!m_path.empty() && m_path.back() == L'\\') m_path.pop_back();
    static LONG s_nCounter = 0;
    m_path += L"\\ut_" + std::wstring(pszTag) + L"_" + std::to_wstring(::GetCurrentProcessId()) +
              L"_" + std::to_wstring(::InterlockedIncrement(&s_nCounter));
    ForceRemoveTree(m_path);
    ::CreateDirectoryW(m_path.c_str(), NULL);
}

CTempFolder::~CTempFolder() { ForceRemoveTree(m_path); }

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD cb = 0;
    BOOL ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, NULL);
    ::CloseHandle(h);
    return ok && cb == bytes.size();
}

bool ReadFileBytes(const std::wstring& path, std::string* pBytes) {
    pBytes->clear();
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buf[65536];
    DWORD cb = 0;
    while (::ReadFile(h, buf, sizeof(buf), &cb, NULL) && cb > 0) pBytes->append(buf, cb);
    ::CloseHandle(h);
    return true;
}

bool FileExists(const std::wstring& path) {
    DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::wstring& path) {
    DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> ListFolder(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(h, &fd));
    ::FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

void ForceRemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW fd;
    HANDLE h = ::FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = path + L"\\" + name;
            ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                ForceRemoveTree(full);
            else
                ::DeleteFileW(full.c_str());
        } while (::FindNextFileW(h, &fd));
        ::FindClose(h);
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(path.c_str());
}

std::string Utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

CLogFile::CLogFile() : m_folder(new CTempFolder(L"log")), m_nOldLevel(g_nLogLevel) {
    m_path = m_folder->Sub(L"log.txt");
    lstrcpynW(g_szLogPath, m_path.c_str(), MAX_PATH);
    g_nLogLevel = LOG_NORMAL;
}

CLogFile::CLogFile(const std::wstring& path) : m_path(path), m_nOldLevel(g_nLogLevel) {
    ::DeleteFileW(path.c_str());
    lstrcpynW(g_szLogPath, path.c_str(), MAX_PATH);
    g_nLogLevel = LOG_NORMAL;
}

CLogFile::~CLogFile() {
    g_szLogPath[0] = 0;
    g_nLogLevel = m_nOldLevel;
}

std::wstring ReadUtf16File(const std::wstring& path) {
    std::string bytes;
    if (!ReadFileBytes(path, &bytes)) return std::wstring();
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()),
                        bytes.size() / sizeof(wchar_t));
}

std::wstring CLogFile::Text() const { return ReadUtf16File(m_path); }

int CLogFile::Count(const std::wstring& fragment) const {
    std::wstring text = Text();
    int n = 0;
    for (size_t pos = text.find(fragment); pos != std::wstring::npos;
         pos = text.find(fragment, pos + 1))
        ++n;
    return n;
}

std::wstring CLogFile::LineEndingWith(const std::wstring& message) const {
    std::wstring text = Text();
    size_t nEnd = text.find(message + L"\r\n");
    if (nEnd == std::wstring::npos) return L"";
    size_t nStart = text.rfind(L"\r\n", nEnd);
    nStart = nStart == std::wstring::npos ? 0 : nStart + 2;
    return text.substr(nStart, nEnd + message.size() - nStart);
}

long RunChildTest(const wchar_t* pszFilter, const wchar_t* pszVar, const wchar_t* pszValue) {
    wchar_t szExe[MAX_PATH];
    if (::GetModuleFileNameW(NULL, szExe, MAX_PATH) == 0) return -1;
    std::wstring cmd = L"\"" + std::wstring(szExe) + L"\" --gtest_filter=" + pszFilter;
    ::SetEnvironmentVariableW(pszVar, pszValue);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    BOOL bStarted = ::CreateProcessW(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
    ::SetEnvironmentVariableW(pszVar, NULL);
    if (!bStarted) return -1;
    DWORD dwCode = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(pi.hProcess, &dwCode);
    } else {
        ::TerminateProcess(pi.hProcess, 1);
    }
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return static_cast<long>(dwCode);
}

std::string ProgramBytes(size_t cb) {
    std::string bytes(cb < 68 ? 68 : cb, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    for (size_t i = 0x44; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    return bytes;
}
