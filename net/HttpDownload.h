#pragma once
// One HTTP or HTTPS GET into a caller-owned, growable byte buffer, answering
// a proxy's challenge (407) with the caller's credentials or the proxy
// dialog, asked again after a rejection, at most three times in a run. HTTPS certificates are
// validated by the platform; an HTTPS answer redirecting to anything but HTTPS fails the download.
#include <windows.h>

// ppBuffer/pdwSize/pdwCapacity: the caller's block (from operator new[]),
// its held size and its allocated size; the block may be replaced by a larger
// zero-filled one. szProxyUser/szProxyPassword: 64-character buffers, filled
// from the dialog when empty and a proxy asks. hWndParent owns the message
// box about rejected credentials. dwMaxBody: a body announced or arriving
// longer than this fails at once (last error ERROR_FILE_TOO_LARGE), and no
// byte past it is kept. hStopEvent (an auto-reset event, or NULL): set
// while the body arrives, the download ends at once (last error
// ERROR_CANCELLED) and the event is left set for the caller to see. Every
// request goes past caches, through the run's proxy (RunProxy). A web page
// (Content-Type text/html) is never the file: it fails with last error
// ERROR_INVALID_DATA, nothing of it kept. True when the whole body has been
// read.
//
// pResume (or NULL): what an earlier answer for this URL said. With a
// validator and held bytes, the whole buffer is taken as the first bytes of
// the body and only the rest is asked for (Range with If-Range); a 206 for
// exactly that rest is appended, a whole answer (the file changed, or the
// server ignores Range) replaces what was held. Either way pResume is left
// with the validator of this answer, empty when it gave none that can be
// trusted. A 206 that was not asked for is never a whole body.
//
// A part of the file (cbPart > 0, no validator): only bytes dwPartFirst to
// dwPartFirst + cbPart - 1 of a file of cbPartFile bytes are asked for
// (one range, never several), and only a 206 whose Content-Range names
// exactly them is taken: a whole answer (a server that ignores Range) or
// another range fails at once (last error ERROR_NOT_SUPPORTED), and so
// does a body shorter than the part.
struct HttpResume {
    // A strong ETag, else the Last-Modified date; empty when neither.
    wchar_t szValidator[128];
    DWORD dwPartFirst = 0;
    DWORD cbPart = 0;
    DWORD cbPartFile = 0;
};
//
// dwDeadlineMs: a body still arriving this long after the call began fails
// (last error ERROR_TIMEOUT), however slowly bytes keep coming; what arrived
// stays held, as for a cut body.
BOOL HttpDownload(LPCWSTR lpUrl, BYTE** ppBuffer, DWORD* pdwSize, DWORD* pdwCapacity,
                  wchar_t (&szProxyUser)[64], wchar_t (&szProxyPassword)[64], HWND hWndParent,
                  DWORD dwMaxBody = MAXDWORD, HANDLE hStopEvent = NULL,
                  HttpResume* pResume = NULL, DWORD dwDeadlineMs = INFINITE);

// Makes the caller's block (as HttpDownload takes it) hold at least
// ullNeeded bytes, keeping its first dwHeld: a new zero-filled block with
// room to grow, when the old one is too small. False (block unchanged) when
// no such block can be had, 4 GiB or more included.
bool GrowDownloadBuffer(BYTE** ppBuffer, DWORD* pdwCapacity, DWORD dwHeld, ULONGLONG ullNeeded);

// A new run: the proxy dialog may be shown three times again, or (bDialogs
// false: nobody is there to answer) never; a 407 then fails the download
// with last error ERROR_INTERNET_INCORRECT_PASSWORD, as does a user who
// does not give credentials.
void StartProxyAsking(bool bDialogs = true);

// What the network did this run, in words, when it did something a person
// must hear about: the first web page in place of a file, or a proxy's 407
// an unattended run could not answer. Empty otherwise; a new run
// (StartProxyAsking) clears it.
const wchar_t* NetworkNote();
// Keeps pszText as the note, unless the run has one already.
void NoteNetwork(const wchar_t* pszText);

// Called as a body arrives (every chunk; the callee throttles): the bytes of
// the file in hand so far and its whole length (0 when not announced).
typedef void (*PFN_DOWNLOAD_PROGRESS)(void* pContext, LPCWSTR lpUrl, ULONGLONG ullDone,
                                      ULONGLONG ullTotal);
void SetDownloadProgress(PFN_DOWNLOAD_PROGRESS pfn, void* pContext);

// Wipes the credentials from memory (the run is over, or they were rejected).
void ForgetProxyCredentials(wchar_t (&szProxyUser)[64], wchar_t (&szProxyPassword)[64]);
