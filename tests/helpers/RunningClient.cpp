// Stands in for a running client in the running-check tests: it only waits,
// to be found by its file name and ended by the test. Given a file name, it
// makes that file once it runs, so a test knows when it is there to find.
// It leaves by itself after a minute in case the test never gets to end it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR pszCommandLine, int) {
    if (pszCommandLine && pszCommandLine[0]) {
        HANDLE h = ::CreateFileW(pszCommandLine, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
    ::Sleep(60000);
    return 0;
}
