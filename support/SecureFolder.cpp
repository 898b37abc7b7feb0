#include "SecureFolder.h"

#include <aclapi.h>

namespace {

bool MakeSid(WELL_KNOWN_SID_TYPE type, BYTE (&abSid)[SECURITY_MAX_SID_SIZE]) {
    DWORD cb = SECURITY_MAX_SID_SIZE;
    return ::CreateWellKnownSid(type, NULL, abSid, &cb) != FALSE;
}

bool AllowInherited(PACL pAcl, DWORD dwMask, BYTE* pSid) {
    return ::AddAccessAllowedAceEx(pAcl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   dwMask, pSid) != FALSE;
}

}  // namespace

CProtectedSecurity::CProtectedSecurity(bool bUsersModify) : m_bValid(false), m_sd(), m_sa() {
    const DWORD dwUsers =
        bUsersModify ? (FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE)
                     : (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
    PACL pAcl = Dacl();
    m_bValid = MakeSid(WinBuiltinAdministratorsSid, m_abAdmins) &&
               MakeSid(WinLocalSystemSid, m_abSystem) && MakeSid(WinBuiltinUsersSid, m_abUsers) &&
               ::InitializeAcl(pAcl, sizeof(m_abAcl), ACL_REVISION) &&
               AllowInherited(pAcl, FILE_ALL_ACCESS, m_abAdmins) &&
               AllowInherited(pAcl, FILE_ALL_ACCESS, m_abSystem) &&
               AllowInherited(pAcl, dwUsers, m_abUsers) &&
               ::InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION) &&
               ::SetSecurityDescriptorOwner(&m_sd, Owner(), FALSE) &&
               ::SetSecurityDescriptorDacl(&m_sd, TRUE, pAcl, FALSE) &&
               ::SetSecurityDescriptorControl(&m_sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor = &m_sd;
    m_sa.bInheritHandle = FALSE;
}

bool IsFolderItself(HANDLE hFolder, const wchar_t* pszPath) {
    BY_HANDLE_FILE_INFORMATION info;
    DWORD dwNamed = ::GetFileAttributesW(pszPath);
    return ::GetFileInformationByHandle(hFolder, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !((info.dwFileAttributes | dwNamed) & FILE_ATTRIBUTE_REPARSE_POINT) &&
           dwNamed != INVALID_FILE_ATTRIBUTES;
}

bool CFolderGuard::Open(const wchar_t* pszPath) {
    m_handle.Reset(::CreateFileW(
        pszPath,
        FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
        FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    if (!m_handle) return false;
    // The name is looked at once it cannot change any more (held).
    if (IsFolderItself(m_handle.Get(), pszPath)) return true;
    m_handle.Close();
    ::SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
}

bool CFolderGuard::Protect(CProtectedSecurity& security) {
    if (!m_handle || !security.IsValid()) return false;
    return ::SetSecurityInfo(m_handle.Get(), SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                 PROTECTED_DACL_SECURITY_INFORMATION,
                             security.Owner(), NULL, security.Dacl(), NULL) == ERROR_SUCCESS;
}

bool GrantUsersModify(const wchar_t* pszPath) {
    CProtectedSecurity security(true);
    // By name, since only this propagates to what is inside.
    return security.IsValid() &&
           ::SetNamedSecurityInfoW(const_cast<wchar_t*>(pszPath), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   NULL, NULL, security.Dacl(), NULL) == ERROR_SUCCESS;
}

bool CFolderGuard::IsOwnedByAdministrators() const {
    PSID pOwner = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!m_handle || ::GetSecurityInfo(m_handle.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                       &pOwner, NULL, NULL, NULL, &pSd) != ERROR_SUCCESS)
        return false;
    BYTE abAdmins[SECURITY_MAX_SID_SIZE];
    BYTE abSystem[SECURITY_MAX_SID_SIZE];
    bool bOurs = pOwner && MakeSid(WinBuiltinAdministratorsSid, abAdmins) &&
                 MakeSid(WinLocalSystemSid, abSystem) &&
                 (::EqualSid(pOwner, abAdmins) || ::EqualSid(pOwner, abSystem));
    ::LocalFree(pSd);
    return bOurs;
}
