#pragma once
// Where the run's next fetch comes from: the server whose turn it is, a body
// cut short that the next attempt can build on, or the /SOURCE folder.
#include <windows.h>

#include "HttpDownload.h"

class CFetchCursor {
public:
    CFetchCursor() { m_szCutName[0] = m_szSourcePath[0] = m_cut.szValidator[0] = 0; }

    // The download server whose turn it is (an index into the build's list).
    int m_nServer = 0;
    // A body the network cut short: the download buffer holds its first
    // bytes, of file m_szCutName, whose answer gave m_cut's validator. Empty
    // name: nothing to resume.
    wchar_t m_szCutName[MAX_PATH];
    HttpResume m_cut;
    // /SOURCE: the release's files are read from this folder (a layout),
    // not downloaded, and checked exactly as downloads are. Empty: servers.
    wchar_t m_szSourcePath[MAX_PATH];
    // The worker's stop event, for the steps that wait on the network.
    HANDLE m_hDownloadStop = NULL;
};
