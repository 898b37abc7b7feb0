#pragma once
// Helpers shared by the unit tests.
#include <windows.h>

#include <string>

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
// Removes a tree regardless of read-only attributes (test clean-up only).
void ForceRemoveTree(const std::wstring& path);
// UTF-16LE bytes of a wide string, without terminator.
std::string Utf16Bytes(const std::wstring& text);
