#include "Static.h"

namespace {
const wchar_t kObjectProp[] = L"Tarvelo.CStatic";
}

CStatic::~CStatic() {
    if (Exists()) {
        ::RemovePropW(m_hWnd, kObjectProp);
        ::DestroyWindow(m_hWnd);
    }
    m_hWnd = NULL;
}

BOOL CStatic::Create(const wchar_t* pszText, DWORD dwStyle, const RECT& rc, HWND hParent,
                     UINT nID) {
    m_hWnd = ::CreateWindowExW(0, L"STATIC", pszText, dwStyle | WS_CHILD, rc.left, rc.top,
                               rc.right - rc.left, rc.bottom - rc.top, hParent,
                               reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID)),
                               ::GetModuleHandleW(NULL), NULL);
    if (!m_hWnd) return FALSE;
    ::SetPropW(m_hWnd, kObjectProp, this);
    return TRUE;
}

CStatic* CStatic::FromHandle(HWND hWnd) {
    return hWnd ? static_cast<CStatic*>(::GetPropW(hWnd, kObjectProp)) : NULL;
}
