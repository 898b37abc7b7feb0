#pragma once
// Helpers shared by the unit tests.
#include <windows.h>

#include <memory>
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
// A UTF-16LE file (a log) as text; empty when it cannot be read.
std::wstring ReadUtf16File(const std::wstring& path);
// UTF-16LE bytes of a wide string, without terminator.
std::string Utf16Bytes(const std::wstring& text);
// cb bytes (at least 68) shaped like a Windows program where the installer
// looks: "MZ", the PE header's offset at 0x3C, "PE\0\0" there; a pattern after.
std::string ProgramBytes(size_t cb);

// Points the installer's log at a fresh file for the life of the object (in
// a temp folder of its own unless a path is given), at the normal level.
class CLogFile {
public:
    CLogFile();
    explicit CLogFile(const std::wstring& path);
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;
    std::wstring Text() const;
    // How many times the fragment occurs in the log.
    int Count(const std::wstring& fragment) const;
    // The whole line (without CR LF) that ends in this message, or "".
    std::wstring LineEndingWith(const std::wstring& message) const;

private:
    std::unique_ptr<CTempFolder> m_folder;
    std::wstring m_path;
    int m_nOldLevel;
};

// Runs this test program again as a child that runs only the test named by
// pszFilter, with the environment variable pszVar set to pszValue (the child
// test acts only when it is set). Returns the child's exit code, or -1 when
// it could not start or did not end within a minute.
long RunChildTest(const wchar_t* pszFilter, const wchar_t* pszVar, const wchar_t* pszValue);
