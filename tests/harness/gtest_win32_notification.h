#pragma once
// GoogleTest's Notification uses std::mutex, which GCC 12's win32-thread MinGW lacks.
// Forced into every GoogleTest compile (with GTEST_HAS_NOTIFICATION_=1), this gives it
// the same class on a Win32 event instead.
#ifdef __cplusplus
#include <windows.h>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing
#endif
