#pragma once
// The archives that tests/tools/make_zips.py builds before the archive tests
// run, in the folder that ARCHIVE_TEST_ZIPS names.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "TestUtil.h"

inline std::wstring TestDataPath(const std::wstring& rel) {
    wchar_t szDir[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"ARCHIVE_TEST_ZIPS", szDir, MAX_PATH);
    return std::wstring(szDir) + L"\\" + rel;
}

inline std::wstring ZipPath(const wchar_t* pszName) { return TestDataPath(pszName); }

// "YYYY-MM-DD hh:mm:ss" of a FILETIME, in UTC or as local time.
inline std::string TimeText(const FILETIME& ft, bool bLocal = false) {
    FILETIME ftShown = ft;
    if (bLocal) ::FileTimeToLocalFileTime(&ft, &ftShown);
    SYSTEMTIME st = {};
    if (!::FileTimeToSystemTime(&ftShown, &st)) return "invalid";
    char sz[32];
    snprintf(sz, sizeof(sz), "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
             st.wHour, st.wMinute, st.wSecond);
    return sz;
}

inline std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path, &bytes)) << "missing file";
    return bytes;
}
