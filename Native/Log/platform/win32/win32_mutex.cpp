// Named mutexes: CreateMutexW opens the mutex or creates it unowned. Handles
// are kept open for reuse (see KeptMutexes).
#include <cstring>

#include "platform/win32/win32_platform.h"
#include "text/bounded_text.h"

namespace actlog::platform::win32 {
namespace {

// Mutex handles kept open between uses, so that taking a mutex costs its wait
// and release only. A closed handle stays here, idle, and the next open of the
// same name takes it again. Ownership belongs to a thread, not to a handle, so
// a kept handle behaves as a fresh one would: other threads and processes are
// excluded until the owning thread releases it.
class KeptMutexes {
public:
    // An idle handle of mutex `name` (now lent), or null.
    HANDLE Take(const char16_t* name, std::size_t length) noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        HANDLE handle = nullptr;
        for (Slot& slot : slots_) {
            if (slot.state == State::Idle && slot.length == length &&
                std::memcmp(slot.name, name, length * sizeof(char16_t)) == 0) {
                slot.state = State::Lent;
                handle = slot.handle;
                break;
            }
        }
        ::ReleaseSRWLockExclusive(&lock_);
        return handle;
    }
    // Records a freshly opened handle as lent, in a free slot or in place of
    // the idle one least recently lent (closed); untracked when every slot is lent.
    void Lend(HANDLE handle, const char16_t* name, std::size_t length) noexcept {
        if (length >= kNameChars) return;
        HANDLE closing = nullptr;
        ::AcquireSRWLockExclusive(&lock_);
        Slot* chosen = nullptr;
        for (Slot& slot : slots_) {
            if (slot.state == State::Free) {
                chosen = &slot;
                break;
            }
            if (slot.state == State::Idle && (chosen == nullptr || slot.lent < chosen->lent)) chosen = &slot;
        }
        if (chosen != nullptr) {
            if (chosen->state == State::Idle) closing = chosen->handle;
            chosen->state = State::Lent;
            chosen->handle = handle;
            chosen->lent = ++lends_;
            chosen->length = length;
            std::memcpy(chosen->name, name, length * sizeof(char16_t));
        }
        ::ReleaseSRWLockExclusive(&lock_);
        if (closing != nullptr) ::CloseHandle(closing);
    }
    // Takes back a lent handle; false when it is not lent from here (the
    // caller closes it).
    bool GiveBack(HANDLE handle) noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        bool kept = false;
        for (Slot& slot : slots_) {
            if (slot.state == State::Lent && slot.handle == handle) {
                slot.state = State::Idle;
                kept = true;
                break;
            }
        }
        ::ReleaseSRWLockExclusive(&lock_);
        return kept;
    }

private:
    enum class State { Free, Idle, Lent };
    static constexpr std::size_t kNameChars = 260;
    struct Slot {
        State state = State::Free;
        HANDLE handle = nullptr;
        unsigned long lent = 0;
        std::size_t length = 0;
        char16_t name[kNameChars];
    };
    static constexpr int kSlots = 32;

    SRWLOCK lock_ = SRWLOCK_INIT;
    unsigned long lends_ = 0;
    Slot slots_[kSlots];
};

KeptMutexes g_kept;

}  // namespace

MutexHandle Win32Platform::OpenNamedMutex(const char16_t* name) {
    if (name == nullptr) return MutexHandle::Failed(Status::Fail(Code::InvalidArgument, Op::LockMutex));
    const std::size_t length = TextLength(name);
    if (HANDLE kept = g_kept.Take(name, length)) return MutexHandle{FromHandle(kept), Status::Ok()};
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, Wide(name));
    if (mutex == nullptr) return MutexHandle::Failed(LastOsError(Op::LockMutex));
    g_kept.Lend(mutex, name, length);
    return MutexHandle{FromHandle(mutex), Status::Ok()};
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

Status Win32Platform::ReleaseMutex(MutexHandle mutex) {
    if (!mutex.valid()) return Status::Fail(Code::InvalidArgument, Op::LockMutex);
    return ::ReleaseMutex(AsHandle(mutex.value)) != FALSE ? Status::Ok() : LastOsError(Op::LockMutex);
}

void Win32Platform::CloseMutex(MutexHandle mutex) {
    if (mutex.valid() && !g_kept.GiveBack(AsHandle(mutex.value))) ::CloseHandle(AsHandle(mutex.value));
}

// Win32 mutexes live in the kernel's namespace; there is no directory to keep.
void Win32Platform::SetMutexDirectory(const char16_t*) {}

}  // namespace actlog::platform::win32
