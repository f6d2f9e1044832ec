// Named mutexes: CreateMutexW opens the mutex or creates it unowned.
#include "platform/win32/win32_platform.h"

namespace actlog::platform::win32 {

MutexHandle Win32Platform::OpenNamedMutex(const char16_t* name) {
    if (name == nullptr) return MutexHandle{};
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, Wide(name));
    if (mutex == nullptr) return MutexHandle{};
    return MutexHandle{FromHandle(mutex)};
}

WaitResult Win32Platform::WaitMutex(MutexHandle mutex, WaitTime time) {
    if (!mutex.valid()) return WaitResult::Failed;
    switch (::WaitForSingleObject(AsHandle(mutex.value), time == WaitTime::Zero ? 0 : INFINITE)) {
        case WAIT_OBJECT_0: return WaitResult::Acquired;
        case WAIT_ABANDONED: return WaitResult::Abandoned;
        case WAIT_TIMEOUT: return WaitResult::TimedOut;
        default: return WaitResult::Failed;
    }
}

bool Win32Platform::ReleaseMutex(MutexHandle mutex) {
    return mutex.valid() && ::ReleaseMutex(AsHandle(mutex.value)) != FALSE;
}

void Win32Platform::CloseMutex(MutexHandle mutex) {
    if (mutex.valid()) ::CloseHandle(AsHandle(mutex.value));
}

// Win32 mutexes live in the kernel's namespace; there is no directory to keep.
void Win32Platform::SetMutexDirectory(const char16_t*) {}

}  // namespace actlog::platform::win32
