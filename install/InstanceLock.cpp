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
