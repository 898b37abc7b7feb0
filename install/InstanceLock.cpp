#include "InstanceLock.h"

HANDLE TakeInstanceLock() {
    HANDLE hMutex = ::CreateMutexW(NULL, FALSE, L"Global\\Tarvelo.Setup");
    // Access denied also means it exists: made by another user's process.
    if (hMutex && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(hMutex);
        return NULL;
    }
    return hMutex;
}

namespace {
const wchar_t kInstallerName[] = L"Global\\Tarvelo.Setup.Installer";
}

HANDLE MarkInstallerRunning() { return ::CreateMutexW(NULL, FALSE, kInstallerName); }

bool IsInstallerRunning() {
    HANDLE hMutex = ::OpenMutexW(SYNCHRONIZE, FALSE, kInstallerName);
    if (!hMutex) return ::GetLastError() == ERROR_ACCESS_DENIED;
    ::CloseHandle(hMutex);
    return true;
}
