#include "InstanceLock.h"

#include "Log.h"
#include "SecureFolder.h"

namespace {

// The objects live in a private namespace whose boundary is the
// Administrators group: only an elevated process can make or open it, so no
// standard user can take the names first and block every installation.
// Where the system has no private namespaces, the Global names as before.
HANDLE g_hNamespace = NULL;
bool g_bNamespaceTried = false;

bool OpenNamespace() {
    if (g_bNamespaceTried) return g_hNamespace != NULL;
    g_bNamespaceTried = true;
    HANDLE hBoundary = ::CreateBoundaryDescriptorW(L"Tarvelo.Setup", 0);
    if (!hBoundary) {
        LogNormal(L"[InstanceLock] no private namespace (error %lu): Global names",
                  ::GetLastError());
        return false;
    }
    BYTE abAdmins[SECURITY_MAX_SID_SIZE];
    if (MakeSid(WinBuiltinAdministratorsSid, abAdmins) &&
        ::AddSIDToBoundaryDescriptor(&hBoundary, abAdmins)) {
        // Held for the process's life: the namespace goes with its last handle.
        g_hNamespace = ::CreatePrivateNamespaceW(NULL, hBoundary, L"Tarvelo.Setup");
        if (!g_hNamespace && ::GetLastError() == ERROR_ALREADY_EXISTS)
            g_hNamespace = ::OpenPrivateNamespaceW(hBoundary, L"Tarvelo.Setup");
    }
    ::DeleteBoundaryDescriptor(hBoundary);
    if (!g_hNamespace)
        LogNormal(L"[InstanceLock] private namespace refused (error %lu): Global names",
                  ::GetLastError());
    return g_hNamespace != NULL;
}

const wchar_t* LockName(bool bInstaller) {
    if (OpenNamespace()) return bInstaller ? L"Tarvelo.Setup\\Installer" : L"Tarvelo.Setup\\Lock";
    return bInstaller ? L"Global\\Tarvelo.Setup.Installer" : L"Global\\Tarvelo.Setup";
}

}  // namespace

HANDLE TakeInstanceLock() {
    HANDLE hMutex = ::CreateMutexW(NULL, FALSE, LockName(false));
    // Access denied also means it exists: made by another user's process.
    if (hMutex && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(hMutex);
        return NULL;
    }
    return hMutex;
}

HANDLE MarkInstallerRunning() { return ::CreateMutexW(NULL, FALSE, LockName(true)); }

bool IsInstallerRunning() {
    HANDLE hMutex = ::OpenMutexW(SYNCHRONIZE, FALSE, LockName(true));
    if (!hMutex) return ::GetLastError() == ERROR_ACCESS_DENIED;
    ::CloseHandle(hMutex);
    return true;
}
