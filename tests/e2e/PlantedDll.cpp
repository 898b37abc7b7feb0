// Planted beside setup.exe under the names of system DLLs in the end-to-end
// tests: if it is ever loaded, it leaves a mark.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        HANDLE h = ::CreateFileW(L"C:\\temp\\planted_dll_loaded.txt", GENERIC_WRITE, 0, NULL,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
    return TRUE;
}
