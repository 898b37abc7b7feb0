#pragma once
// The elevated installer's own folders: a security descriptor that only
// administrators can change, and folders checked and held by handle so that
// no link can send a write elsewhere.
#include <windows.h>

#include "Handle.h"

// A well-known SID (Administrators, SYSTEM, ...) in a buffer of the largest
// SID size.
bool MakeSid(WELL_KNOWN_SID_TYPE type, BYTE (&abSid)[SECURITY_MAX_SID_SIZE]);

// The user of a token, into a buffer of the largest SID size.
bool GetTokenUserSid(HANDLE hToken, BYTE (&abSid)[SECURITY_MAX_SID_SIZE]);

// Owner Administrators; a protected list (nothing inherited from the parent):
// Administrators and SYSTEM full control, Users read and execute (or modify,
// for the client's own folder once it is installed; or nothing, for what
// only an administrator may even read), all inherited by what is made inside.
class CProtectedSecurity {
public:
    enum UsersAccess { kUsersRead, kUsersModify, kUsersNone };
    explicit CProtectedSecurity(UsersAccess users = kUsersRead);
    CProtectedSecurity(const CProtectedSecurity&) = delete;
    CProtectedSecurity& operator=(const CProtectedSecurity&) = delete;

    bool IsValid() const { return m_bValid; }
    // For CreateDirectoryW and CreateFileW; NULL when the descriptor could
    // not be built.
    SECURITY_ATTRIBUTES* Attributes() { return m_bValid ? &m_sa : NULL; }
    PSECURITY_DESCRIPTOR Descriptor() { return &m_sd; }
    PSID Owner() { return reinterpret_cast<PSID>(m_abAdmins); }
    PACL Dacl() { return reinterpret_cast<PACL>(m_abAcl); }

private:
    bool m_bValid;
    BYTE m_abAdmins[SECURITY_MAX_SID_SIZE];
    BYTE m_abSystem[SECURITY_MAX_SID_SIZE];
    BYTE m_abUsers[SECURITY_MAX_SID_SIZE];
    BYTE m_abAcl[512];
    SECURITY_DESCRIPTOR m_sd;
    SECURITY_ATTRIBUTES m_sa;
};

// pszName (one name, no separator) inside the held folder hFolder, opened
// through that handle and not by a path: whatever happens to the folder's
// name or to the folders above it, the open stays inside it (a folder made
// a mount point must be empty first, and then holds no name to open). A
// link is opened as the link. dwDisposition and dwOptions as NtCreateFile
// takes them (FILE_OPEN, FILE_OPEN_IF; FILE_NON_DIRECTORY_FILE, ...); the
// last error says why when it fails.
HANDLE OpenInFolder(HANDLE hFolder, const wchar_t* pszName, DWORD dwAccess, DWORD dwShare,
                    DWORD dwDisposition, DWORD dwOptions);

// Whether hFolder (opened with FILE_FLAG_OPEN_REPARSE_POINT) is a folder
// and no link; pszPath's own attributes are looked at too, as Wine reports
// a link by its name only.
bool IsFolderItself(HANDLE hFolder, const wchar_t* pszPath);

// The folder at pszPath opened as itself, never through a link standing at
// its name (FILE_READ_ATTRIBUTES is added to dwAccess); INVALID_HANDLE_VALUE
// for what cannot be opened, and (last error ERROR_CANT_ACCESS_FILE) for a
// link or a file.
HANDLE OpenFolderItself(const wchar_t* pszPath, DWORD dwAccess, DWORD dwShare);

// A folder opened as itself, never through a link, and held open without
// delete sharing, so that it cannot be renamed, removed or replaced by a
// junction while the installer uses it.
class CFolderGuard {
public:
    CFolderGuard() {}
    // False for a reparse point (junction, symbolic link), a file, or a
    // folder that cannot be opened; the last error says which.
    bool Open(const wchar_t* pszPath);
    void Close() { m_handle.Close(); }
    bool IsOpen() const { return static_cast<bool>(m_handle); }
    // Gives the held folder the owner and protected list of security.
    bool Protect(CProtectedSecurity& security);
    // Whether the held folder's owner is Administrators or SYSTEM: only an
    // administrator can have made it (another user can own only what they
    // make themselves).
    bool IsOwnedByAdministrators() const;
    // Owned so, and with exactly the protected list of security: no one
    // else was ever given rights on it by that list.
    bool IsOurs(CProtectedSecurity& security) const;

private:
    CFileHandle m_handle;
};

// Whether this system keeps the security of files at all: its system
// folder is owned by an administrative account. Wine keeps none (it shows
// one owner for every file), and ownership then tells nothing about who
// made a folder; on Windows no standard user can change that owner.
bool FileSecurityIsKept();

// Gives Users modify rights on the folder held by hFolder (opened with
// READ_CONTROL and WRITE_DAC) and on everything already in it: the
// protected list with kUsersModify, set through the handle, never by name.
bool GrantUsersModify(HANDLE hFolder);

// Whether hFile is a plain file with one name: no link someone made in place
// of the file, nor a file another name shares (a hard link is no reparse
// point).
bool IsPlainFile(HANDLE hFile);

// Whether hFile is pszName inside hFolder, as the system resolved both.
bool LiesIn(HANDLE hFolder, HANDLE hFile, const wchar_t* pszName);

// A file at a path an administrator named (/LOG, /LAYOUT), opened for
// writing, made new or emptied, without ever writing through a link: the
// name is opened as itself, must be a plain file with one name whose final
// path is the folder's own plus the name, and only then is it emptied,
// through the handle. False (last error ERROR_CANT_ACCESS_FILE for a link)
// otherwise, with nothing written.
bool CreatePlainFile(const wchar_t* pszPath, DWORD dwShare, CFileHandle* pFile);

// "<psz>.quarantine-N": the name a thing moved aside takes (N the tick
// count, so that a second one does not meet the first).
bool FormatQuarantineName(wchar_t (&szAside)[MAX_PATH], const wchar_t* psz);

// A link (junction, symbolic link, mount point) standing at pszPath, moved
// aside as itself to "<name>.quarantine-N" beside it, through a handle
// opened as the link: its target is never touched. False, with nothing
// moved, when what the open reaches is no link (a system that opens the
// target instead, as Wine does, keeps refusing it then).
bool MoveLinkAside(const wchar_t* pszPath);
