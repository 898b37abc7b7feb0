#pragma once
// What screen readers see of the painted window (MSAA): the window's client
// object with its parts as simple child elements (ids PART_INSTALL to
// PART_STATUS): three push buttons, the progress bar and the status text.
#include <windows.h>
// (COM)
#include <oleacc.h>

class CSetupDlg;

class CSetupAccessible final : public IAccessible {
public:
    explicit CSetupAccessible(CSetupDlg* pDlg) : m_nRefs(1), m_pDlg(pDlg) {}
    // The window is gone: every later call fails.
    void Disconnect() { m_pDlg = NULL; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IDispatch: screen readers call the interface's methods directly.
    STDMETHODIMP GetTypeInfoCount(UINT* pn) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override;
    // IAccessible
    STDMETHODIMP get_accParent(IDispatch** ppParent) override;
    STDMETHODIMP get_accChildCount(long* pn) override;
    STDMETHODIMP get_accChild(VARIANT varChild, IDispatch** ppChild) override;
    STDMETHODIMP get_accName(VARIANT varChild, BSTR* pbstr) override;
    STDMETHODIMP get_accValue(VARIANT varChild, BSTR* pbstr) override;
    STDMETHODIMP get_accDescription(VARIANT varChild, BSTR* pbstr) override;
    STDMETHODIMP get_accRole(VARIANT varChild, VARIANT* pvar) override;
    STDMETHODIMP get_accState(VARIANT varChild, VARIANT* pvar) override;
    STDMETHODIMP get_accHelp(VARIANT varChild, BSTR* pbstr) override;
    STDMETHODIMP get_accHelpTopic(BSTR* pbstr, VARIANT varChild, long* pn) override;
    STDMETHODIMP get_accKeyboardShortcut(VARIANT varChild, BSTR* pbstr) override;
    STDMETHODIMP get_accFocus(VARIANT* pvar) override;
    STDMETHODIMP get_accSelection(VARIANT* pvar) override;
    STDMETHODIMP get_accDefaultAction(VARIANT varChild, BSTR* pbstr) override;
    STDMETHODIMP accSelect(long flags, VARIANT varChild) override;
    STDMETHODIMP accLocation(long* px, long* py, long* pcx, long* pcy, VARIANT varChild) override;
    STDMETHODIMP accNavigate(long navDir, VARIANT varStart, VARIANT* pvarEnd) override;
    STDMETHODIMP accHitTest(long x, long y, VARIANT* pvar) override;
    STDMETHODIMP accDoDefaultAction(VARIANT varChild) override;
    STDMETHODIMP put_accName(VARIANT varChild, BSTR bstr) override;
    STDMETHODIMP put_accValue(VARIANT varChild, BSTR bstr) override;

private:
    ~CSetupAccessible() {}
    CSetupAccessible(const CSetupAccessible&) = delete;
    CSetupAccessible& operator=(const CSetupAccessible&) = delete;
    // The part a VARIANT names (CHILDID_SELF is 0), or -1 when the window is
    // gone or the id is none of its parts.
    int Part(const VARIANT& var) const;

    LONG m_nRefs;
    CSetupDlg* m_pDlg;
};

// The window's object for WM_GETOBJECT's OBJID_CLIENT request.
LRESULT AccessibleResult(IAccessible* pAccessible, WPARAM wParam);
