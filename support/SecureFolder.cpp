#include "SecureFolder.h"

#include <aclapi.h>
#include <string.h>
#include <winternl.h>

#include <string>
#include <utility>

#include "StrFormat.h"

bool MakeSid(WELL_KNOWN_SID_TYPE type, BYTE (&abSid)[SECURITY_MAX_SID_SIZE]) {
    DWORD cb = SECURITY_MAX_SID_SIZE;
    return ::CreateWellKnownSid(type, NULL, abSid, &cb) != FALSE;
}

bool GetTokenUserSid(HANDLE hToken, BYTE (&abSid)[SECURITY_MAX_SID_SIZE]) {
    BYTE abUser[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD cb = 0;
    if (!::GetTokenInformation(hToken, TokenUser, abUser, sizeof(abUser), &cb)) return false;
    PSID pSid = reinterpret_cast<TOKEN_USER*>(abUser)->User.Sid;
    return ::CopySid(SECURITY_MAX_SID_SIZE, abSid, pSid) != FALSE;
}

namespace {

bool AllowInherited(PACL pAcl, DWORD dwMask, BYTE* pSid) {
    return ::AddAccessAllowedAceEx(pAcl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   dwMask, pSid) != FALSE;
}

}  // namespace

CProtectedSecurity::CProtectedSecurity(UsersAccess users) : m_bValid(false), m_sd(), m_sa() {
    const DWORD dwUsers =
        users == kUsersModify
            ? (FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE)
            : (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE);
    PACL pAcl = Dacl();
    m_bValid = MakeSid(WinBuiltinAdministratorsSid, m_abAdmins) &&
               MakeSid(WinLocalSystemSid, m_abSystem) && MakeSid(WinBuiltinUsersSid, m_abUsers) &&
               ::InitializeAcl(pAcl, sizeof(m_abAcl), ACL_REVISION) &&
               AllowInherited(pAcl, FILE_ALL_ACCESS, m_abAdmins) &&
               AllowInherited(pAcl, FILE_ALL_ACCESS, m_abSystem) &&
               (users == kUsersNone || AllowInherited(pAcl, dwUsers, m_abUsers)) &&
               ::InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION) &&
               ::SetSecurityDescriptorOwner(&m_sd, Owner(), FALSE) &&
               ::SetSecurityDescriptorDacl(&m_sd, TRUE, pAcl, FALSE) &&
               ::SetSecurityDescriptorControl(&m_sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor = &m_sd;
    m_sa.bInheritHandle = FALSE;
}

HANDLE OpenInFolder(HANDLE hFolder, const wchar_t* pszName, DWORD dwAccess, DWORD dwShare,
                    DWORD dwDisposition, DWORD dwOptions) {
    const size_t cbName = wcslen(pszName) * sizeof(wchar_t);
    if (!cbName || cbName > 0xfffe || wcschr(pszName, L'\\')) {
        ::SetLastError(ERROR_BAD_PATHNAME);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING name;
    name.Length = name.MaximumLength = static_cast<USHORT>(cbName);
    name.Buffer = const_cast<wchar_t*>(pszName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, hFolder, NULL);
    IO_STATUS_BLOCK io;
    HANDLE hItem = INVALID_HANDLE_VALUE;
    const NTSTATUS status =
        ::NtCreateFile(&hItem, dwAccess | SYNCHRONIZE, &attributes, &io, NULL,
                       FILE_ATTRIBUTE_NORMAL, dwShare, dwDisposition,
                       dwOptions | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                           FILE_SYNCHRONOUS_IO_NONALERT,
                       NULL, 0);
    if (NT_SUCCESS(status)) return hItem;
    ::SetLastError(::RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
}

bool IsFolderItself(HANDLE hFolder, const wchar_t* pszPath) {
    BY_HANDLE_FILE_INFORMATION info;
    DWORD dwNamed = ::GetFileAttributesW(pszPath);
    return ::GetFileInformationByHandle(hFolder, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !((info.dwFileAttributes | dwNamed) & FILE_ATTRIBUTE_REPARSE_POINT) &&
           dwNamed != INVALID_FILE_ATTRIBUTES;
}

HANDLE OpenFolderItself(const wchar_t* pszPath, DWORD dwAccess, DWORD dwShare) {
    CFileHandle folder(::CreateFileW(pszPath, dwAccess | FILE_READ_ATTRIBUTES, dwShare, NULL,
                                     OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    if (!folder) return INVALID_HANDLE_VALUE;
    // The name is looked at once it cannot change any more (held).
    if (IsFolderItself(folder.Get(), pszPath)) return folder.Detach();
    ::SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
}

bool CFolderGuard::Open(const wchar_t* pszPath) {
    m_handle.Reset(OpenFolderItself(pszPath,
                                    FILE_LIST_DIRECTORY | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE));
    return IsOpen();
}

bool CFolderGuard::Protect(CProtectedSecurity& security) {
    if (!m_handle || !security.IsValid()) return false;
    return ::SetSecurityInfo(m_handle.Get(), SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                 PROTECTED_DACL_SECURITY_INFORMATION,
                             security.Owner(), NULL, security.Dacl(), NULL) == ERROR_SUCCESS;
}

bool GrantUsersModify(HANDLE hFolder) {
    CProtectedSecurity security(CProtectedSecurity::kUsersModify);
    // The system passes the inherited entries on to what is inside.
    return security.IsValid() &&
           ::SetSecurityInfo(hFolder, SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL,
                             NULL, security.Dacl(), NULL) == ERROR_SUCCESS;
}

namespace {

bool IsAdministrativeOwner(PSID pOwner, bool bTrustedInstaller) {
    BYTE abAdmins[SECURITY_MAX_SID_SIZE];
    BYTE abSystem[SECURITY_MAX_SID_SIZE];
    if (!pOwner || !MakeSid(WinBuiltinAdministratorsSid, abAdmins) ||
        !MakeSid(WinLocalSystemSid, abSystem))
        return false;
    if (::EqualSid(pOwner, abAdmins) || ::EqualSid(pOwner, abSystem)) return true;
    // NT SERVICE\TrustedInstaller, the system folder's owner since Vista.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID pInstaller = NULL;
    if (!bTrustedInstaller ||
        !::AllocateAndInitializeSid(&nt, 6, 80, 956008885, 3418522649u, 1831038044, 1853292631,
                                    2271478464u, 0, 0, &pInstaller))
        return false;
    bool bIs = ::EqualSid(pOwner, pInstaller) != FALSE;
    ::FreeSid(pInstaller);
    return bIs;
}

// Every entry the same, in the same order, and nothing inherited.
bool IsSameList(PSECURITY_DESCRIPTOR pSd, PACL pHeld, PACL pOurs) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD dwRevision = 0;
    if (!pHeld || !::GetSecurityDescriptorControl(pSd, &control, &dwRevision) ||
        !(control & SE_DACL_PROTECTED) || pHeld->AceCount != pOurs->AceCount)
        return false;
    for (DWORD i = 0; i < pOurs->AceCount; ++i) {
        void* pA = NULL;
        void* pB = NULL;
        if (!::GetAce(pHeld, i, &pA) || !::GetAce(pOurs, i, &pB)) return false;
        WORD cb = static_cast<ACE_HEADER*>(pB)->AceSize;
        if (static_cast<ACE_HEADER*>(pA)->AceSize != cb || memcmp(pA, pB, cb) != 0) return false;
    }
    return true;
}

}  // namespace

bool CFolderGuard::IsOwnedByAdministrators() const {
    PSID pOwner = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!m_handle || ::GetSecurityInfo(m_handle.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                       &pOwner, NULL, NULL, NULL, &pSd) != ERROR_SUCCESS)
        return false;
    bool bOurs = IsAdministrativeOwner(pOwner, false);
    ::LocalFree(pSd);
    return bOurs;
}

bool CFolderGuard::IsOurs(CProtectedSecurity& security) const {
    PSID pOwner = NULL;
    PACL pDacl = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (!m_handle || !security.IsValid() ||
        ::GetSecurityInfo(m_handle.Get(), SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &pOwner, NULL,
                          &pDacl, NULL, &pSd) != ERROR_SUCCESS)
        return false;
    bool bOurs = IsAdministrativeOwner(pOwner, false) && IsSameList(pSd, pDacl, security.Dacl());
    ::LocalFree(pSd);
    return bOurs;
}

bool FileSecurityIsKept() {
    wchar_t szSystem[MAX_PATH];
    UINT cch = ::GetSystemDirectoryW(szSystem, MAX_PATH);
    if (!cch || cch >= MAX_PATH) return true;
    PSID pOwner = NULL;
    PSECURITY_DESCRIPTOR pSd = NULL;
    if (::GetNamedSecurityInfoW(szSystem, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, NULL,
                                NULL, NULL, &pSd) != ERROR_SUCCESS)
        return true;
    bool bKept = IsAdministrativeOwner(pOwner, true);
    ::LocalFree(pSd);
    return bKept;
}

bool IsPlainFile(HANDLE hFile) {
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileInformationByHandle(hFile, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
           info.nNumberOfLinks == 1;
}

namespace {

// The path the system resolved hItem to, at any length; empty if unknown.
std::wstring FinalPath(HANDLE hItem) {
    std::wstring path(MAX_PATH, L'\0');
    for (int nTry = 0; nTry < 2; ++nTry) {
        const DWORD cch = ::GetFinalPathNameByHandleW(hItem, &path[0],
                                                      static_cast<DWORD>(path.size()), 0);
        if (!cch) break;
        if (cch < path.size()) {
            path.resize(cch);
            return path;
        }
        path.resize(cch);
    }
    return std::wstring();
}

}  // namespace

bool LiesIn(HANDLE hFolder, HANDLE hFile, const wchar_t* pszName) {
    std::wstring wanted = FinalPath(hFolder);
    const std::wstring file = FinalPath(hFile);
    if (wanted.empty() || file.empty()) return false;
    // A drive's root ends in a separator already.
    if (wanted[wanted.size() - 1] != L'\\') wanted += L'\\';
    wanted += pszName;
    return ::CompareStringOrdinal(file.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool CreatePlainFile(const wchar_t* pszPath, DWORD dwShare, CFileHandle* pFile) {
    wchar_t szFull[MAX_PATH];
    wchar_t szFolder[MAX_PATH];
    wchar_t* pszName = NULL;
    const DWORD cchFull = ::GetFullPathNameW(pszPath, MAX_PATH, szFull, &pszName);
    if (!cchFull || cchFull >= MAX_PATH || !pszName || pszName == szFull) {
        ::SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    // The folder with its separator when it is a drive's root ("C:\\").
    int cchFolder = static_cast<int>(pszName - szFull);
    if (cchFolder > 1 && szFull[cchFolder - 2] != L':') --cchFolder;
    lstrcpynW(szFolder, szFull, cchFolder + 1);
    CFileHandle folder(::CreateFileW(szFolder, FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL));
    if (!folder) return false;
    // Made inside the folder opened above, whatever its name means by now.
    CFileHandle file(OpenInFolder(folder.Get(), pszName, GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                  dwShare, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE));
    if (!file) return false;
    // Seen as the name named, or not written at all.
    if (!IsPlainFile(file.Get()) || !LiesIn(folder.Get(), file.Get(), pszName) ||
        (::GetFileAttributesW(szFull) & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    LARGE_INTEGER liZero = {};
    if (!::SetFilePointerEx(file.Get(), liZero, NULL, FILE_BEGIN) || !::SetEndOfFile(file.Get()))
        return false;
    *pFile = std::move(file);
    return true;
}

bool FormatQuarantineName(wchar_t (&szAside)[MAX_PATH], const wchar_t* psz) {
    return FormatInto(szAside, L"%s.quarantine-%lu", psz, ::GetTickCount());
}

bool MoveLinkAside(const wchar_t* pszPath) {
    CFileHandle link(
        ::CreateFileW(pszPath, DELETE | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    const wchar_t* pszLeaf = wcsrchr(pszPath, L'\\');
    if (!link || !pszLeaf ||
        !::GetFileInformationByHandleEx(link.Get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return false;
    }
    // A bare name renames within the same folder.
    wchar_t szAside[MAX_PATH];
    if (!FormatQuarantineName(szAside, pszLeaf + 1)) return false;
    const size_t cbName = wcslen(szAside) * sizeof(wchar_t);
    BYTE abInfo[sizeof(FILE_RENAME_INFO) + sizeof(szAside)] = {};
    FILE_RENAME_INFO* pInfo = reinterpret_cast<FILE_RENAME_INFO*>(abInfo);
    pInfo->FileNameLength = static_cast<DWORD>(cbName);
    memcpy(pInfo->FileName, szAside, cbName);
    return ::SetFileInformationByHandle(link.Get(), FileRenameInfo, pInfo, sizeof(abInfo)) != FALSE;
}
