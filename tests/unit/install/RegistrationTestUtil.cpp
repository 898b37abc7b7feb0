#include "RegistrationTestUtil.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <winternl.h>

#include "Handle.h"
#include "TestUtil.h"

CRegValueOverride::CRegValueOverride(HKEY hRoot, const wchar_t* pszSubKey, const wchar_t* pszName)
    : m_hKey(NULL), m_name(pszName), m_bHadValue(false), m_dwType(0) {
    ::RegCreateKeyExW(hRoot, pszSubKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &m_hKey, NULL);
    if (!m_hKey) return;
    DWORD cb = 0;
    if (::RegQueryValueExW(m_hKey, pszName, NULL, &m_dwType, NULL, &cb) == ERROR_SUCCESS) {
        m_data.resize(cb);
        if (::RegQueryValueExW(m_hKey, pszName, NULL, &m_dwType,
                               reinterpret_cast<BYTE*>(&m_data[0]), &cb) == ERROR_SUCCESS) {
            m_data.resize(cb);
            m_bHadValue = true;
        }
    }
}

CRegValueOverride::~CRegValueOverride() {
    if (!m_hKey) return;
    if (m_bHadValue)
        ::RegSetValueExW(m_hKey, m_name.c_str(), 0, m_dwType,
                         reinterpret_cast<const BYTE*>(m_data.data()),
                         static_cast<DWORD>(m_data.size()));
    else
        ::RegDeleteValueW(m_hKey, m_name.c_str());
    ::RegCloseKey(m_hKey);
}

bool CRegValueOverride::SetString(const std::wstring& value) {
    return SetRaw(REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool CRegValueOverride::SetRaw(DWORD dwType, const void* pData, DWORD cbData) {
    return m_hKey && ::RegSetValueExW(m_hKey, m_name.c_str(), 0, dwType,
                                      static_cast<const BYTE*>(pData), cbData) == ERROR_SUCCESS;
}

bool CRegValueOverride::Remove() {
    if (!m_hKey) return false;
    LONG r = ::RegDeleteValueW(m_hKey, m_name.c_str());
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

LinkInfo LoadLink(const std::wstring& path) {
    LinkInfo info;
    CComScope com;
    CComPtr<IShellLinkW> link;
    CComPtr<IPersistFile> file;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  link.ReceiveVoid())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, file.ReceiveVoid())) ||
        FAILED(file->Load(path.c_str(), STGM_READ)))
        return info;
    info.bLoaded = true;
    wchar_t sz[1024];
    sz[0] = 0;
    if (SUCCEEDED(link->GetPath(sz, 1024, NULL, SLGP_RAWPATH))) info.target = sz;
    sz[0] = 0;
    if (SUCCEEDED(link->GetArguments(sz, 1024))) info.arguments = sz;
    sz[0] = 0;
    if (SUCCEEDED(link->GetWorkingDirectory(sz, 1024))) info.workFolder = sz;
    sz[0] = 0;
    if (SUCCEEDED(link->GetDescription(sz, 1024))) info.description = sz;
    sz[0] = 0;
    int nIndex = -1;
    if (SUCCEEDED(link->GetIconLocation(sz, 1024, &nIndex))) {
        info.icon = sz;
        info.nIconIndex = nIndex;
    }
    return info;
}

bool SaveLink(const std::wstring& path, const std::wstring& target,
              const std::wstring& description) {
    CComScope com;
    CComPtr<IShellLinkW> link;
    CComPtr<IPersistFile> file;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  link.ReceiveVoid())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, file.ReceiveVoid())))
        return false;
    link->SetPath(target.c_str());
    link->SetDescription(description.c_str());
    return SUCCEEDED(file->Save(path.c_str(), TRUE));
}

DWORD HandleCount() {
    DWORD n = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &n) && n) return n;
    // Wine answers the count with 0; its system-wide handle list is complete.
    typedef LONG(WINAPI * QueryFn)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    QueryFn pQuery = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!pQuery) return 0;
    std::string buf(1 << 16, '\0');
    for (int i = 0; i < 12; ++i) {
        ULONG cbNeeded = 0;
        LONG status =
            pQuery(SystemHandleInformation, &buf[0], static_cast<ULONG>(buf.size()), &cbNeeded);
        if (status == 0) {
            const SYSTEM_HANDLE_INFORMATION* pInfo =
                reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buf.data());
            DWORD dwPid = ::GetCurrentProcessId();
            for (ULONG k = 0; k < pInfo->Count; ++k)
                if (pInfo->Handle[k].OwnerPid == dwPid) ++n;
            return n;
        }
        buf.assign(buf.size() * 2, '\0');
    }
    return 0;
}

bool HandleCountWorks() {
    DWORD nBefore = HandleCount();
    HANDLE hProbe = ::CreateEventW(NULL, FALSE, FALSE, NULL);
    bool bSeen = HandleCount() == nBefore + 1;
    ::CloseHandle(hProbe);
    return bSeen && HandleCount() == nBefore;
}
