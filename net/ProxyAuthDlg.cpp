#include "ProxyAuthDlg.h"

#include "resource.h"

CProxyAuthDlg::CProxyAuthDlg(HWND hParent) : CDialog(IDD_PROXY_AUTH, hParent) {}

CProxyAuthDlg::~CProxyAuthDlg() {
    // The password leaves no copy behind in freed memory.
    if (!m_strPassword.empty())
        ::SecureZeroMemory(&m_strPassword[0], m_strPassword.size() * sizeof(wchar_t));
}

void CProxyAuthDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_PROXY_NAME, m_strName);
    DDX_Text(pDX, IDC_PROXY_PASSWORD, m_strPassword);
    if (pDX->m_bSaveAndValidate) {
        // The edit limit stops typing, not text set from elsewhere
        // (WM_SETTEXT, paste of a longer selection on some systems): cut, so
        // the entries always fit the callers' buffers.
        if (m_strName.size() > kMaxCredentialChars) m_strName.resize(kMaxCredentialChars);
        if (m_strPassword.size() > kMaxCredentialChars) m_strPassword.resize(kMaxCredentialChars);
    }
}

BOOL CProxyAuthDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    ::SendDlgItemMessageW(m_hWnd, IDC_PROXY_NAME, EM_SETLIMITTEXT, kMaxCredentialChars, 0);
    ::SendDlgItemMessageW(m_hWnd, IDC_PROXY_PASSWORD, EM_SETLIMITTEXT, kMaxCredentialChars, 0);
    UpdateData(FALSE);
    // Focus goes to the first tab stop, the OK button.
    return TRUE;
}

void CProxyAuthDlg::OnOK() {
    UpdateData(TRUE);
    CDialog::OnOK();
}

void CProxyAuthDlg::OnCancel() { CDialog::OnCancel(); }
