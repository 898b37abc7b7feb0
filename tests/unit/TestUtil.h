#pragma once
// Helpers shared by the unit tests.
#include <windows.h>

#include <string>
#include <vector>

// A fresh folder under the system temp folder, removed with its contents
// when the object goes away.
class CTempFolder {
public:
    explicit CTempFolder(const wchar_t* pszTag);
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring Sub(const std::wstring& rel) const { return m_path + L"\\" + rel; }

private:
    std::wstring m_path;
};

bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool ReadFileBytes(const std::wstring& path, std::string* pBytes);
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
// Sorted names directly in a folder (no "." or "..").
std::vector<std::wstring> ListFolder(const std::wstring& folder);
// Removes a tree regardless of read-only attributes (test clean-up only).
void ForceRemoveTree(const std::wstring& path);
// UTF-16LE bytes of a wide string, without terminator.
std::string Utf16Bytes(const std::wstring& text);
