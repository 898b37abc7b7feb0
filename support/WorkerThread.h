#pragma once
// Owns one worker thread and its auto-reset stop event. The derived class
// supplies the work in Execute; nothing here ever stops a running thread.
#include <windows.h>

class CWorkerThread {
public:
    CWorkerThread();
    virtual ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    virtual bool Start(DWORD dwStackSize);
    virtual DWORD Execute() = 0;

    // Up to 10 minutes, then up to 600 one-second waits; returns the last
    // wait status. Returns at once when called on the worker itself.
    DWORD WaitForExit();
    // WaitForExit for an owner about to free what the worker uses: when the
    // worker outlives the wait, one log line, then the process ends at once
    // (TerminateProcess: no destructors or DLL detach under its feet).
    void WaitForExitOrEndProcess();

protected:
    HANDLE m_hThread;
    DWORD m_dwThreadId;
    HANDLE m_hStopEvent;
    // The waits of WaitForExit; only tests shorten them.
    DWORD m_dwFirstWaitMs;
    int m_nFurtherWaits;

private:
    static DWORD WINAPI ThreadProc(LPVOID pParam);
    DWORD Run();
};
