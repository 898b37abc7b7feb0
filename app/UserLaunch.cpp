#include "UserLaunch.h"

// COM and the shell's automation interfaces, after windows.h.
#include <exdisp.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <wtsapi32.h>

#include "DllSearch.h"
#include "Handle.h"
#include "InstallLayout.h"
#include "Log.h"
#include "SecureFolder.h"
#include "StrFormat.h"

// Every function below, and no other, is taken from wtsapi32.dll.
extern "C" const char g_szWtsProcs[] =
    "wtsapi32.dll\0WTSQueryUserToken\0WTSQuerySessionInformationW\0WTSFreeMemory\0";

namespace {

CSystemDll g_wts(g_szWtsProcs);

// A BSTR that frees itself.
class CBstr {
public:
    explicit CBstr(const wchar_t* psz) : m_bstr(::SysAllocString(psz)) {}
    ~CBstr() { ::SysFreeString(m_bstr); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR Get() const { return m_bstr; }

private:
    BSTR m_bstr;
};

VARIANT Text(const CBstr& text) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text.Get();
    return v;
}

// The desktop's shell automation object, reached through the desktop window
// that Explorer registers among the shell windows.
bool GetDesktopShell(CComPtr<IShellDispatch2>* pShell) {
    CComPtr<IShellWindows> windows;
    if (FAILED(::CoCreateInstance(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                  windows.ReceiveVoid())))
        return false;
    VARIANT vEmpty;
    ::VariantInit(&vEmpty);
    long hWnd = 0;
    CComPtr<IDispatch> desktop;
    if (windows->FindWindowSW(&vEmpty, &vEmpty, SWC_DESKTOP, &hWnd, SWFO_NEEDDISPATCH,
                              desktop.Receive()) != S_OK ||
        !desktop)
        return false;
    CComPtr<IServiceProvider> services;
    CComPtr<IShellBrowser> browser;
    CComPtr<IShellView> view;
    CComPtr<IDispatch> background;
    CComPtr<IShellFolderViewDual> folderView;
    CComPtr<IDispatch> application;
    return SUCCEEDED(desktop->QueryInterface(IID_IServiceProvider, services.ReceiveVoid())) &&
           SUCCEEDED(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                            browser.ReceiveVoid())) &&
           SUCCEEDED(browser->QueryActiveShellView(view.Receive())) && view &&
           SUCCEEDED(
               view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.ReceiveVoid())) &&
           SUCCEEDED(
               background->QueryInterface(IID_IShellFolderViewDual, folderView.ReceiveVoid())) &&
           SUCCEEDED(folderView->get_Application(application.Receive())) && application &&
           SUCCEEDED(application->QueryInterface(IID_IShellDispatch2, pShell->ReceiveVoid()));
}

}  // namespace

bool ShellExecuteAsUser(const wchar_t* pszFile, const wchar_t* pszFolder) {
    CComScope com;
    CComPtr<IShellDispatch2> shell;
    if (!GetDesktopShell(&shell)) return false;
    CBstr file(pszFile), folder(pszFolder), verb(L"open");
    VARIANT vArgs, vShow;
    ::VariantInit(&vArgs);
    ::VariantInit(&vShow);
    vShow.vt = VT_I4;
    vShow.lVal = SW_SHOWNORMAL;
    return file.Get() && folder.Get() && verb.Get() &&
           SUCCEEDED(shell->ShellExecute(file.Get(), vArgs, Text(folder), Text(verb), vShow));
}

namespace {

// pszFile started with hToken in pszFolder (on pszDesktop, or this
// process's desktop when NULL).
bool StartWithToken(HANDLE hToken, const wchar_t* pszFile, const wchar_t* pszFolder,
                    wchar_t* pszDesktop) {
    wchar_t szCommand[MAX_PATH + 2];
    if (!FormatInto(szCommand, L"\"%s\"", pszFile)) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.lpDesktop = pszDesktop;
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessAsUserW(hToken, pszFile, szCommand, NULL, NULL, FALSE, 0, NULL, pszFolder,
                                &si, &pi))
        return false;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return true;
}

// Medium integrity, the user as the default owner and a default list of
// the user and SYSTEM: an elevated token's are Administrators'.
bool LowerToUser(HANDLE hToken) {
    BYTE abUser[SECURITY_MAX_SID_SIZE];
    if (!GetTokenUserSid(hToken, abUser)) return false;
    PSID pUser = abUser;
    DWORD cb = 0;
    BYTE abMedium[SECURITY_MAX_SID_SIZE], abSystem[SECURITY_MAX_SID_SIZE];
    if (!MakeSid(WinMediumLabelSid, abMedium) || !MakeSid(WinLocalSystemSid, abSystem))
        return false;
    TOKEN_MANDATORY_LABEL label = {};
    label.Label.Sid = abMedium;
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    TOKEN_OWNER owner = {pUser};
    BYTE abAcl[256];
    PACL pAcl = reinterpret_cast<PACL>(abAcl);
    TOKEN_DEFAULT_DACL dacl = {pAcl};
    if (!::SetTokenInformation(hToken, TokenIntegrityLevel, &label,
                               sizeof(label) + ::GetLengthSid(abMedium)))
        return false;
    // Wine cannot set the owner; an owner other than Administrators will do.
    if (!::SetTokenInformation(hToken, TokenOwner, &owner, sizeof(owner))) {
        BYTE abOwner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
        BYTE abAdmins[SECURITY_MAX_SID_SIZE];
        if (!::GetTokenInformation(hToken, TokenOwner, abOwner, sizeof(abOwner), &cb) ||
            !MakeSid(WinBuiltinAdministratorsSid, abAdmins) ||
            ::EqualSid(reinterpret_cast<TOKEN_OWNER*>(abOwner)->Owner, abAdmins))
            return false;
    }
    return ::InitializeAcl(pAcl, sizeof(abAcl), ACL_REVISION) &&
           ::AddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL, pUser) &&
           ::AddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL, abSystem) &&
           ::SetTokenInformation(hToken, TokenDefaultDacl, &dacl, sizeof(dacl));
}

}  // namespace

bool StartWithoutAdminRights(const wchar_t* pszFile, const wchar_t* pszFolder) {
    HANDLE hOwn = NULL;
    if (!::OpenProcessToken(
            ::GetCurrentProcess(),
            TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT, &hOwn))
        return false;
    CHandle own(hOwn);
    BYTE abAdmins[SECURITY_MAX_SID_SIZE], abLocalAdmin[SECURITY_MAX_SID_SIZE];
    SID_AND_ATTRIBUTES disable[2] = {{abAdmins, 0}, {abLocalAdmin, 0}};
    if (!MakeSid(WinBuiltinAdministratorsSid, abAdmins)) return false;
    // The local-administrator group is unknown before Windows 8.1.
    DWORD nDisable = MakeSid(WinLocalAccountAndAdministratorSid, abLocalAdmin) ? 2 : 1;
    HANDLE hRestricted = NULL;
    if (!::CreateRestrictedToken(hOwn, DISABLE_MAX_PRIVILEGE, nDisable, disable, 0, NULL, 0, NULL,
                                 &hRestricted))
        return false;
    CHandle restricted(hRestricted);
    return LowerToUser(hRestricted) && StartWithToken(hRestricted, pszFile, pszFolder, NULL);
}

namespace {

// The account signed in to this process's session, as a SID; false when
// nobody is (a service session) or it cannot be told.
bool GetSessionUserSid(BYTE (&abSid)[SECURITY_MAX_SID_SIZE]) {
    const auto pfnQuery = g_wts.Get(&::WTSQuerySessionInformationW, "WTSQuerySessionInformationW");
    const auto pfnFree = g_wts.Get(&::WTSFreeMemory, "WTSFreeMemory");
    if (!pfnQuery || !pfnFree) return false;
    wchar_t szAccount[2 * MAX_PATH] = {0};
    bool bNamed = false;
    LPWSTR pszUser = NULL, pszDomain = NULL;
    DWORD cb = 0;
    if (pfnQuery(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &pszUser, &cb) &&
        pszUser && pszUser[0]) {
        if (pfnQuery(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSDomainName, &pszDomain,
                     &cb) &&
            pszDomain && pszDomain[0])
            bNamed = FormatInto(szAccount, L"%s\\%s", pszDomain, pszUser);
        else
            bNamed = CopyInto(szAccount, pszUser);
    }
    if (pszUser) pfnFree(pszUser);
    if (pszDomain) pfnFree(pszDomain);
    wchar_t szDomain[MAX_PATH];
    DWORD cbSid = SECURITY_MAX_SID_SIZE, cchDomain = MAX_PATH;
    SID_NAME_USE use;
    return bNamed &&
           ::LookupAccountNameW(NULL, szAccount, abSid, &cbSid, szDomain, &cchDomain, &use) &&
           use == SidTypeUser;
}

// As SYSTEM (a deployment agent): the token of the user signed in at the
// console, started in that user's session and desktop.
bool StartAsConsoleUser(const wchar_t* pszFile, const wchar_t* pszFolder) {
    const auto pfnToken = g_wts.Get(&::WTSQueryUserToken, "WTSQueryUserToken");
    HANDLE hUser = NULL;
    if (!pfnToken || !pfnToken(::WTSGetActiveConsoleSessionId(), &hUser)) return false;
    CHandle user(hUser);
    wchar_t szDesktop[] = L"winsta0\\default";
    return StartWithToken(user.Get(), pszFile, pszFolder, szDesktop);
}

}  // namespace

LaunchAccount ChooseLaunchAccount(const BYTE* pOwnSid, const BYTE* pSessionSid) {
    BYTE abSystem[SECURITY_MAX_SID_SIZE];
    if (MakeSid(WinLocalSystemSid, abSystem) && ::EqualSid(const_cast<BYTE*>(pOwnSid), abSystem))
        return LaunchAsConsoleUser;
    if (pSessionSid && ::EqualSid(const_cast<BYTE*>(pOwnSid), const_cast<BYTE*>(pSessionSid)))
        return LaunchRestricted;
    return LaunchNobody;
}

void StartInstalledClient(const wchar_t* pszSetupPath) {
    wchar_t szClient[MAX_PATH];
    if (!FormatInto(szClient, L"%s\\%s", pszSetupPath, kClientExeName)) return;
    // Nothing in the client's folder runs with the installer's rights
    // (users may change it): the desktop shell starts it, or, without one
    // (a service session, or a shell someone ended), a token with no
    // administrator rights.
    if (ShellExecuteAsUser(szClient, pszSetupPath)) {
        LogNormal(L"[CSetupDlg::OnTimer] started through the desktop shell: %s", szClient);
        return;
    }
    // Only ever as the session's own user: never as SYSTEM, never as an
    // administrator who elevated over the user's shoulder.
    HANDLE hOwn = NULL;
    BYTE abOwn[SECURITY_MAX_SID_SIZE];
    BYTE abSession[SECURITY_MAX_SID_SIZE];
    bool bOwn = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hOwn) != FALSE;
    CHandle own(hOwn);
    bOwn = bOwn && GetTokenUserSid(own.Get(), abOwn);
    const LaunchAccount account =
        bOwn ? ChooseLaunchAccount(abOwn, GetSessionUserSid(abSession) ? abSession : NULL)
             : LaunchNobody;
    if (account == LaunchAsConsoleUser && StartAsConsoleUser(szClient, pszSetupPath)) {
        LogNormal(L"[CSetupDlg::OnTimer] no desktop shell: %s started as the console's user",
                  szClient);
    } else if (account == LaunchRestricted && StartWithoutAdminRights(szClient, pszSetupPath)) {
        LogNormal(L"[CSetupDlg::OnTimer] no desktop shell: %s started without administrator rights",
                  szClient);
    } else if (account == LaunchNobody) {
        LogError(
            L"[CSetupDlg::OnTimer] no desktop shell, and this account is not the session's "
            L"user: %s is not started",
            szClient);
    } else {
        LogError(
            L"[CSetupDlg::OnTimer] no desktop shell and no start as the user (error %lu): "
            L"%s is not started",
            ::GetLastError(), szClient);
    }
}
