#include "SetupAccessible.h"

#include "DllSearch.h"
#include "SetupDlg.h"
#include "SetupMessages.h"
#include "StrFormat.h"

// oleacc.dll is not one of the system's known DLLs: taken from the system
// folder at the first request of a screen reader.
extern "C" const char g_szOleaccProcs[] =
    "oleacc.dll\0LresultFromObject\0AccessibleObjectFromWindow\0";

namespace {
CSystemDll g_oleacc(g_szOleaccProcs);

const wchar_t* const kButtonNames[] = {L"立即安装", L"最小化", L"关闭"};

HRESULT Text(BSTR* pbstr, const wchar_t* pszText) {
    *pbstr = NULL;
    if (!pszText || !*pszText) return S_FALSE;
    *pbstr = ::SysAllocString(pszText);
    return *pbstr ? S_OK : E_OUTOFMEMORY;
}

HRESULT Child(VARIANT* pvar, long nChild) {
    pvar->vt = VT_I4;
    pvar->lVal = nChild;
    return S_OK;
}

HRESULT Nothing(VARIANT* pvar) {
    pvar->vt = VT_EMPTY;
    return S_FALSE;
}
}  // namespace

LRESULT AccessibleResult(IAccessible* pAccessible, WPARAM wParam) {
    const auto pfn = g_oleacc.Get(&LresultFromObject, "LresultFromObject");
    return pfn ? pfn(IID_IAccessible, wParam, pAccessible) : 0;
}

int CSetupAccessible::Part(const VARIANT& var) const {
    if (!m_pDlg || var.vt != VT_I4 || var.lVal < 0 || var.lVal > PART_COUNT) return -1;
    return var.lVal;
}

STDMETHODIMP CSetupAccessible::QueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IAccessible) {
        *ppv = static_cast<IAccessible*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = NULL;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CSetupAccessible::AddRef() { return ::InterlockedIncrement(&m_nRefs); }

STDMETHODIMP_(ULONG) CSetupAccessible::Release() {
    ULONG n = ::InterlockedDecrement(&m_nRefs);
    if (n == 0) delete this;
    return n;
}

STDMETHODIMP CSetupAccessible::GetTypeInfoCount(UINT* pn) {
    *pn = 0;
    return S_OK;
}

STDMETHODIMP CSetupAccessible::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

STDMETHODIMP CSetupAccessible::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

STDMETHODIMP CSetupAccessible::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                      UINT*) {
    return E_NOTIMPL;
}

STDMETHODIMP CSetupAccessible::get_accParent(IDispatch** ppParent) {
    *ppParent = NULL;
    const auto pfn = g_oleacc.Get(&AccessibleObjectFromWindow, "AccessibleObjectFromWindow");
    if (!m_pDlg || !pfn) return E_FAIL;
    return pfn(m_pDlg->m_hWnd, OBJID_WINDOW, IID_IDispatch, reinterpret_cast<void**>(ppParent));
}

STDMETHODIMP CSetupAccessible::get_accChildCount(long* pn) {
    *pn = PART_COUNT;
    return S_OK;
}

STDMETHODIMP CSetupAccessible::get_accChild(VARIANT varChild, IDispatch** ppChild) {
    *ppChild = NULL;
    // The parts are simple elements, not objects of their own.
    return Part(varChild) > 0 ? S_FALSE : E_INVALIDARG;
}

STDMETHODIMP CSetupAccessible::get_accName(VARIANT varChild, BSTR* pbstr) {
    int nPart = Part(varChild);
    *pbstr = NULL;
    if (nPart < 0) return E_INVALIDARG;
    if (nPart >= PART_INSTALL && nPart <= PART_CLOSE) return Text(pbstr, kButtonNames[nPart - 1]);
    if (nPart == PART_PROGRESS) return Text(pbstr, L"安装进度");
    if (nPart == PART_STATUS) {
        wchar_t szStatus[260];
        ::GetWindowTextW(m_pDlg->m_stcStatus, szStatus, 260);
        return Text(pbstr, szStatus);
    }
    return Text(pbstr, SETUP_WINDOW_TEXT);
}

STDMETHODIMP CSetupAccessible::get_accValue(VARIANT varChild, BSTR* pbstr) {
    int nPart = Part(varChild);
    *pbstr = NULL;
    if (nPart < 0) return E_INVALIDARG;
    wchar_t szValue[8];
    if (nPart != PART_PROGRESS || !FormatInto(szValue, L"%d%%", m_pDlg->m_nProgress)) {
        return DISP_E_MEMBERNOTFOUND;
    }
    return Text(pbstr, szValue);
}

STDMETHODIMP CSetupAccessible::get_accRole(VARIANT varChild, VARIANT* pvar) {
    static const long kRoles[] = {ROLE_SYSTEM_CLIENT,      ROLE_SYSTEM_PUSHBUTTON,
                                  ROLE_SYSTEM_PUSHBUTTON,  ROLE_SYSTEM_PUSHBUTTON,
                                  ROLE_SYSTEM_PROGRESSBAR, ROLE_SYSTEM_STATICTEXT};
    int nPart = Part(varChild);
    pvar->vt = VT_EMPTY;
    return nPart < 0 ? E_INVALIDARG : Child(pvar, kRoles[nPart]);
}

STDMETHODIMP CSetupAccessible::get_accState(VARIANT varChild, VARIANT* pvar) {
    int nPart = Part(varChild);
    pvar->vt = VT_EMPTY;
    if (nPart < 0) return E_INVALIDARG;
    const CSetupDlg& dlg = *m_pDlg;
    bool bFocused = ::GetFocus() == dlg.m_hWnd;
    long nState = 0;
    if (nPart == PART_PROGRESS) {
        nState = STATE_SYSTEM_READONLY | (dlg.m_nState == STATE_IDLE ? STATE_SYSTEM_INVISIBLE : 0);
    } else if (nPart == PART_STATUS) {
        nState = STATE_SYSTEM_READONLY |
                 (::IsWindowVisible(dlg.m_stcStatus) ? 0 : STATE_SYSTEM_INVISIBLE);
    } else {
        nState = STATE_SYSTEM_FOCUSABLE;
        if (bFocused && dlg.m_nFocus == nPart) nState |= STATE_SYSTEM_FOCUSED;
        if (nPart != PART_NONE && !dlg.IsButtonLive(nPart)) nState |= STATE_SYSTEM_UNAVAILABLE;
    }
    return Child(pvar, nState);
}

STDMETHODIMP CSetupAccessible::get_accDescription(VARIANT, BSTR* pbstr) {
    return Text(pbstr, NULL);
}

STDMETHODIMP CSetupAccessible::get_accHelp(VARIANT, BSTR* pbstr) { return Text(pbstr, NULL); }

STDMETHODIMP CSetupAccessible::get_accHelpTopic(BSTR* pbstr, VARIANT, long* pn) {
    *pn = 0;
    return Text(pbstr, NULL);
}

STDMETHODIMP CSetupAccessible::get_accKeyboardShortcut(VARIANT, BSTR* pbstr) {
    return Text(pbstr, NULL);
}

STDMETHODIMP CSetupAccessible::get_accFocus(VARIANT* pvar) {
    if (!m_pDlg || ::GetFocus() != m_pDlg->m_hWnd) return Nothing(pvar);
    return Child(pvar, m_pDlg->m_nFocus);
}

STDMETHODIMP CSetupAccessible::get_accSelection(VARIANT* pvar) { return Nothing(pvar); }

STDMETHODIMP CSetupAccessible::get_accDefaultAction(VARIANT varChild, BSTR* pbstr) {
    int nPart = Part(varChild);
    *pbstr = NULL;
    if (nPart < 0) return E_INVALIDARG;
    if (nPart < PART_INSTALL || nPart > PART_CLOSE) return DISP_E_MEMBERNOTFOUND;
    return Text(pbstr, L"按下");
}

STDMETHODIMP CSetupAccessible::accSelect(long flags, VARIANT varChild) {
    int nPart = Part(varChild);
    if (nPart < 0) return E_INVALIDARG;
    if (!(flags & SELFLAG_TAKEFOCUS) || !m_pDlg->IsButtonLive(nPart)) return S_FALSE;
    m_pDlg->SetFocusPart(nPart);
    return S_OK;
}

STDMETHODIMP CSetupAccessible::accLocation(long* px, long* py, long* pcx, long* pcy,
                                           VARIANT varChild) {
    int nPart = Part(varChild);
    if (nPart < 0) return E_INVALIDARG;
    RECT rc = m_pDlg->PartRect(nPart);
    ::MapWindowPoints(m_pDlg->m_hWnd, NULL, reinterpret_cast<POINT*>(&rc), 2);
    *px = rc.left;
    *py = rc.top;
    *pcx = rc.right - rc.left;
    *pcy = rc.bottom - rc.top;
    return S_OK;
}

STDMETHODIMP CSetupAccessible::accNavigate(long navDir, VARIANT varStart, VARIANT* pvarEnd) {
    int nPart = Part(varStart);
    pvarEnd->vt = VT_EMPTY;
    if (nPart < 0) return E_INVALIDARG;
    long nTo = 0;
    if (nPart == CHILDID_SELF) {
        if (navDir == NAVDIR_FIRSTCHILD) nTo = PART_INSTALL;
        if (navDir == NAVDIR_LASTCHILD) nTo = PART_COUNT;
    } else if (navDir == NAVDIR_NEXT || navDir == NAVDIR_DOWN || navDir == NAVDIR_RIGHT) {
        nTo = nPart < PART_COUNT ? nPart + 1 : 0;
    } else if (navDir == NAVDIR_PREVIOUS || navDir == NAVDIR_UP || navDir == NAVDIR_LEFT) {
        nTo = nPart - 1;
    }
    return nTo > 0 ? Child(pvarEnd, nTo) : S_FALSE;
}

STDMETHODIMP CSetupAccessible::accHitTest(long x, long y, VARIANT* pvar) {
    if (!m_pDlg) return E_FAIL;
    POINT pt = {x, y};
    ::ScreenToClient(m_pDlg->m_hWnd, &pt);
    RECT rc = m_pDlg->PartRect(PART_NONE);
    if (!::PtInRect(&rc, pt)) return Nothing(pvar);
    for (int nPart = PART_INSTALL; nPart <= PART_COUNT; ++nPart) {
        rc = m_pDlg->PartRect(nPart);
        if (::PtInRect(&rc, pt)) return Child(pvar, nPart);
    }
    return Child(pvar, CHILDID_SELF);
}

STDMETHODIMP CSetupAccessible::accDoDefaultAction(VARIANT varChild) {
    int nPart = Part(varChild);
    if (nPart < 0) return E_INVALIDARG;
    if (!m_pDlg->IsButtonLive(nPart)) return DISP_E_MEMBERNOTFOUND;
    // Pressed once this call has returned: the stop question is modal.
    ::PostMessageW(m_pDlg->m_hWnd, WM_SETUP_PRESS, static_cast<WPARAM>(nPart), 0);
    return S_OK;
}

STDMETHODIMP CSetupAccessible::put_accName(VARIANT, BSTR) { return E_NOTIMPL; }

STDMETHODIMP CSetupAccessible::put_accValue(VARIANT, BSTR) { return E_NOTIMPL; }
