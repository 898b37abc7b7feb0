#pragma once
// The folders a run writes to, held by handle while it runs, and the two it
// makes: the staging folder and the one the new installation is built in.
#include <windows.h>

#include "SecureFolder.h"

class CRunFolders {
public:
    CRunFolders() { m_szStagingPath[0] = m_szNewPath[0] = 0; }

    CFolderGuard m_guardTemp;
    CFolderGuard m_guardUnInstall;
    CFolderGuard m_guardStaging;
    CFolderGuard m_guardSetup;
    // Packages are staged here, inside the uninstaller's folder, which only
    // administrators can change.
    wchar_t m_szStagingPath[MAX_PATH];
    // The new installation is built here and then swapped in. Empty when
    // there is nothing of ours to clean up.
    wchar_t m_szNewPath[MAX_PATH];
};
