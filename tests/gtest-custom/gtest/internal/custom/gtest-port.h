#pragma once
// GoogleTest's customisation point, found before its own empty copy. The
// programs and the tests are built with the win32 thread model, which has no
// std::mutex; GoogleTest's only use of it is this one class, given here on
// a Windows event (the rest of its Windows threading is its own).
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : m_hEvent(::CreateEventW(NULL, TRUE, FALSE, NULL)) {}
    ~Notification() { ::CloseHandle(m_hEvent); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { ::SetEvent(m_hEvent); }
    void WaitForNotification() { ::WaitForSingleObject(m_hEvent, INFINITE); }

private:
    HANDLE m_hEvent;
};

}  // namespace internal
}  // namespace testing
