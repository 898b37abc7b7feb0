#pragma once
// The modal dialog that asks for a proxy user name and password. It knows
// nothing of the network: it only collects two strings.
#include <string>

#include "Dialog.h"

class CProxyAuthDlg : public CDialog {
public:
    // Longest name or password handed out: the callers keep them in
    // 64-character buffers with the terminator.
    enum { kMaxCredentialChars = 63 };

    explicit CProxyAuthDlg(HWND hParent = NULL);
    ~CProxyAuthDlg() override;

    // Valid after DoModal returned IDOK; lives as long as the dialog object.
    const std::wstring& GetName() const { return m_strName; }
    const std::wstring& GetPassword() const { return m_strPassword; }

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

    std::wstring m_strName;
    std::wstring m_strPassword;
};
