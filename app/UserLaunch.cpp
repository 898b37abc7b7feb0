#include "UserLaunch.h"

// COM and the shell's automation interfaces, after windows.h.
#include <exdisp.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include "Handle.h"

namespace {

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
