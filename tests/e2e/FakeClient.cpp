// Stands in for the installed client in end-to-end tests: records how it
// was started (command line and working folder) and exits.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    wchar_t szDir[MAX_PATH] = {0};
    ::GetCurrentDirectoryW(MAX_PATH, szDir);
    // Whether it runs with administrator rights: the installer must never
    // start it so.
    BYTE abAdmins[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof(abAdmins);
    BOOL bAdmin = TRUE;
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, abAdmins, &cbSid) ||
        !::CheckTokenMembership(NULL, abAdmins, &bAdmin))
        bAdmin = TRUE;
    std::wstring text = std::wstring(L"cmdline=") + ::GetCommandLineW() + L"\r\ncwd=" + szDir +
                        L"\r\nadmin=" + (bAdmin ? L"1" : L"0") + L"\r\n";
    HANDLE h = ::CreateFileW(L"C:\\temp\\client_started.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 1;
    DWORD cb = 0;
    ::WriteFile(h, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &cb, NULL);
    ::CloseHandle(h);
    return 0;
}
