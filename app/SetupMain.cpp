#include <windows.h>

#include "DestPath.h"

// Start-up as far as it exists yet: choose the destination and start the log.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    static wchar_t szSetupPath[MAX_PATH], szTempPath[MAX_PATH], szUnInstallPath[MAX_PATH];
    GetDestPath(szSetupPath, szTempPath, szUnInstallPath);
    return 0;
}
