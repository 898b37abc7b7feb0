#pragma once
// Helpers of the registration tests: registry values set for one test and
// put back afterwards, the log captured in a file, shell links read back.
#include <windows.h>

#include <string>

// Sets or removes one registry value for the life of the object; the value
// as it was (or its absence) comes back in the destructor.
class CRegValueOverride {
public:
    CRegValueOverride(HKEY hRoot, const wchar_t* pszSubKey, const wchar_t* pszName);
    ~CRegValueOverride();
    CRegValueOverride(const CRegValueOverride&) = delete;
    CRegValueOverride& operator=(const CRegValueOverride&) = delete;
    bool SetString(const std::wstring& value);
    bool SetRaw(DWORD dwType, const void* pData, DWORD cbData);
    bool Remove();

private:
    HKEY m_hKey;
    std::wstring m_name;
    bool m_bHadValue;
    DWORD m_dwType;
    std::string m_data;
};

struct LinkInfo {
    bool bLoaded = false;
    std::wstring target;  // as stored (raw)
    std::wstring arguments;
    std::wstring workFolder;
    std::wstring icon;
    int nIconIndex = -1;
    std::wstring description;
};

// Reads a .lnk back through the shell link object (initialises COM itself).
LinkInfo LoadLink(const std::wstring& path);
// Saves a plain link to pszTarget with the given description.
bool SaveLink(const std::wstring& path, const std::wstring& target,
              const std::wstring& description);

// Handles the process holds (registry keys, files, finds, snapshots count).
DWORD HandleCount();
// Whether HandleCount sees one handle more, and then one less.
bool HandleCountWorks();
