#include "WorkerThread.h"

#include "Log.h"

CWorkerThread::CWorkerThread()
    : m_hThread(NULL),
      m_dwThreadId(0),
      m_hStopEvent(NULL),
      m_dwFirstWaitMs(600000),
      m_nFurtherWaits(600) {
    m_hStopEvent = ::CreateEventW(NULL, FALSE, FALSE, NULL);
}

CWorkerThread::~CWorkerThread() {
    // The owner has waited already; closing the handle does not stop the thread.
    if (m_hThread) {
        ::CloseHandle(m_hThread);
        m_hThread = NULL;
    }
    m_dwThreadId = 0;
    if (m_hStopEvent) {
        ::CloseHandle(m_hStopEvent);
        m_hStopEvent = NULL;
    }
}

bool CWorkerThread::Start(DWORD dwStackSize) {
    // One run per object: the handle stays set after the thread has ended.
    if (m_hThread) return false;
    // A stop request left over from before must not end the new run at once.
    if (m_hStopEvent) ::ResetEvent(m_hStopEvent);
    m_hThread = ::CreateThread(NULL, dwStackSize, ThreadProc, this, 0, &m_dwThreadId);
    if (!m_hThread) m_dwThreadId = 0;
    return m_hThread != NULL;
}

DWORD CWorkerThread::WaitForExit() {
    if (!m_hThread) return WAIT_OBJECT_0;
    if (m_dwThreadId == ::GetCurrentThreadId()) return WAIT_OBJECT_0;
    DWORD dwStatus = ::WaitForSingleObject(m_hThread, m_dwFirstWaitMs);
    for (int i = 0; i < m_nFurtherWaits && dwStatus == WAIT_TIMEOUT; ++i) {
        dwStatus = ::WaitForSingleObject(m_hThread, 1000);
    }
    return dwStatus;
}

void CWorkerThread::WaitForExitOrEndProcess() {
    if (WaitForExit() != WAIT_TIMEOUT) return;
    LogError(L"[CWorkerThread::WaitForExit] the worker still runs: the process ends");
    ::TerminateProcess(::GetCurrentProcess(), 1);
}

DWORD WINAPI CWorkerThread::ThreadProc(LPVOID pParam) {
    return static_cast<CWorkerThread*>(pParam)->Run();
}

DWORD CWorkerThread::Run() {
    DWORD dwResult = 0;
    // No exception may leave the worker thread.
    try {
        dwResult = Execute();
    } catch (...) {
        dwResult = 0;
    }
    return dwResult;
}
