// Named mutexes: an open-file-description lock on a lock file named after
// the mutex in <mutex directory>/.locks/. Each open makes its own
// description, so threads of one process exclude each other as processes
// do; a holder's death releases its lock (there is no abandoned state).
// Lock descriptors are kept open for reuse (see KeptLocks).
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/posix/posix_platform.h"
#include "text/bounded_text.h"
#include "text/text_convert.h"

namespace actlog::platform::posix {
namespace {

constexpr char kLockDirectory[] = ".locks";
// Escaped names longer than this keep a prefix and add a hash.
constexpr std::size_t kPlainNameLimit = 200;

// Whether each descriptor's lock is held, by descriptor number; the
// kernel's limit on descriptors (nr_open) is 2^20 unless raised.
constexpr int kTrackedDescriptors = 1 << 20;
std::atomic<bool> g_held[kTrackedDescriptors];

std::mutex g_directoryLock;
char g_directory[Utf8Path::kBytes] = {};  // UTF-8, "" = current directory
std::atomic<unsigned long> g_directoryGeneration{0};  // changed with g_directory

// The handle value is the descriptor plus one; -1 for a value that names none.
int Descriptor(MutexHandle mutex) {
    return mutex.value >= 1 && mutex.value <= kTrackedDescriptors ? static_cast<int>(mutex.value - 1) : -1;
}

bool Lock(int fd, short type, bool wait) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;  // the whole file
    request.l_pid = 0;  // required for OFD locks
    return RetryAfterSignal(-1, [&] { return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request); }) == 0;
}

std::uint64_t Fnv1a(const char16_t* text, std::uint64_t seed) {
    std::uint64_t hash = seed;
    for (std::size_t i = 0; text[i] != 0; ++i) {
        hash ^= static_cast<std::uint64_t>(text[i]);
        hash *= 0x100000001B3ull;
    }
    return hash;
}

// Characters a lock file name keeps as they are.
struct PlainAscii {
    bool plain[128];
    constexpr PlainAscii() : plain() {
        for (int c = 0; c < 128; ++c) {
            plain[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_';
        }
    }
};
constexpr PlainAscii kPlainAscii;

void AppendHex(char* out, std::size_t& at, std::uint64_t value, int digits) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int d = digits - 1; d >= 0; --d) out[at++] = kHex[(value >> (4 * d)) & 0xF];
}

// A mutex name under the mutex directory of one generation (each
// SetMutexDirectory starts a new one).
struct MutexKey {
    const char16_t* name;
    std::size_t units;
    unsigned long generation;
};

// Lock descriptors kept open between uses, so that taking a mutex costs its
// lock and unlock only. A closed handle's descriptor stays here, idle, and the
// next open of the same lock file takes it again. A descriptor is lent to one
// handle at a time: handles open at once have descriptors (open file
// descriptions) of their own and exclude each other, in one thread or many.
// A forked child closes the idle ones and forgets the lent ones (closed when
// their handles are), so that it never locks through its parent's
// descriptions.
class KeptLocks {
public:
    KeptLocks() noexcept { pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild); }
    ~KeptLocks() { CloseIdle(); }

    // An idle descriptor (now lent) last opened by `key`, or -1: a name opened
    // before needs no lock file path built.
    int TakeByName(const MutexKey& key) noexcept {
        if (key.units >= kNameUnits) return -1;
        pthread_mutex_lock(&lock_);
        int fd = -1;
        for (Slot& slot : slots_) {
            if (slot.state == State::Idle && slot.Matches(key)) {
                slot.state = State::Lent;
                fd = slot.fd;
                break;
            }
        }
        pthread_mutex_unlock(&lock_);
        return fd;
    }
    // An idle descriptor of the lock file `path` (now lent, and found by `key`
    // from now on), or -1.
    int Take(const char* path, std::size_t bytes, const MutexKey& key) noexcept {
        pthread_mutex_lock(&lock_);
        int fd = -1;
        for (Slot& slot : slots_) {
            if (slot.state == State::Idle && slot.bytes == bytes && std::memcmp(slot.path, path, bytes) == 0) {
                slot.state = State::Lent;
                slot.SetKey(key);
                fd = slot.fd;
                break;
            }
        }
        pthread_mutex_unlock(&lock_);
        return fd;
    }
    // Records a freshly opened descriptor as lent, in a free slot or in place of
    // the idle one least recently lent (closed); untracked when every slot is lent.
    void Lend(int fd, const char* path, std::size_t bytes, const MutexKey& key) noexcept {
        if (bytes >= sizeof Slot::path) return;
        int closing = -1;
        pthread_mutex_lock(&lock_);
        Slot* chosen = nullptr;
        for (Slot& slot : slots_) {
            if (slot.state == State::Free) {
                chosen = &slot;
                break;
            }
            if (slot.state == State::Idle && (chosen == nullptr || slot.lent < chosen->lent)) chosen = &slot;
        }
        if (chosen != nullptr) {
            if (chosen->state == State::Idle) closing = chosen->fd;
            chosen->state = State::Lent;
            chosen->fd = fd;
            chosen->lent = ++lends_;
            chosen->bytes = bytes;
            std::memcpy(chosen->path, path, bytes);
            chosen->SetKey(key);
        }
        pthread_mutex_unlock(&lock_);
        if (closing >= 0) ::close(closing);
    }
    // Takes back a lent descriptor whose lock is not held; false when it is
    // not lent from here (the caller closes it).
    bool GiveBack(int fd) noexcept {
        pthread_mutex_lock(&lock_);
        bool kept = false;
        for (Slot& slot : slots_) {
            if (slot.state == State::Lent && slot.fd == fd) {
                slot.state = State::Idle;
                kept = true;
                break;
            }
        }
        pthread_mutex_unlock(&lock_);
        return kept;
    }
    // Forgets a lent descriptor (the caller closes it).
    void Forget(int fd) noexcept {
        pthread_mutex_lock(&lock_);
        for (Slot& slot : slots_) {
            if (slot.state == State::Lent && slot.fd == fd) slot.state = State::Free;
        }
        pthread_mutex_unlock(&lock_);
    }

private:
    enum class State { Free, Idle, Lent };
    static constexpr std::size_t kNameUnits = 264;
    struct Slot {
        State state = State::Free;
        int fd = -1;
        unsigned long lent = 0;
        std::size_t bytes = 0;
        char path[512];
        // The key it was last opened by; nameUnits = kNameUnits when the name did not fit.
        std::size_t nameUnits = kNameUnits;
        unsigned long generation = 0;
        char16_t name[kNameUnits];

        bool Matches(const MutexKey& key) const noexcept {
            return nameUnits == key.units && generation == key.generation &&
                   std::memcmp(name, key.name, key.units * sizeof(char16_t)) == 0;
        }
        void SetKey(const MutexKey& key) noexcept {
            nameUnits = key.units < kNameUnits ? key.units : kNameUnits;
            generation = key.generation;
            if (nameUnits < kNameUnits) std::memcpy(name, key.name, nameUnits * sizeof(char16_t));
        }
    };
    static constexpr int kSlots = 32;

    void CloseIdle() noexcept {
        for (Slot& slot : slots_) {
            if (slot.state == State::Idle) ::close(slot.fd);
            slot.state = State::Free;
        }
    }
    static void BeforeFork() noexcept;
    static void AfterForkInParent() noexcept;
    static void AfterForkInChild() noexcept;

    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    unsigned long lends_ = 0;
    Slot slots_[kSlots];
};

KeptLocks g_kept;

void KeptLocks::BeforeFork() noexcept { pthread_mutex_lock(&g_kept.lock_); }
void KeptLocks::AfterForkInParent() noexcept { pthread_mutex_unlock(&g_kept.lock_); }
void KeptLocks::AfterForkInChild() noexcept {
    g_kept.CloseIdle();
    pthread_mutex_unlock(&g_kept.lock_);
}

}  // namespace

void LockFileName(const char16_t* name, char* out) noexcept {
    std::size_t at = 0;
    bool cut = false;
    for (std::size_t i = 0; name[i] != 0;) {
        // A run of plain characters is copied as it is; a leading '.' is
        // escaped, so that no name is "." or "..".
        if (i != 0 || name[0] != u'.') {
            for (char16_t c = name[i]; c < 0x80 && kPlainAscii.plain[c] && at < kPlainNameLimit; c = name[++i]) {
                out[at++] = static_cast<char>(c);
            }
            if (name[i] == 0) break;
            if (name[i] < 0x80 && kPlainAscii.plain[name[i]]) {
                cut = true;
                break;
            }
        }
        if (at + 5 > kPlainNameLimit) {
            cut = true;
            break;
        }
        out[at++] = '%';
        AppendHex(out, at, name[i++], 4);
    }
    if (cut) {
        // Two independent 64-bit hashes of the whole name after the prefix.
        out[at++] = '#';
        AppendHex(out, at, Fnv1a(name, 0xCBF29CE484222325ull), 16);
        AppendHex(out, at, Fnv1a(name, 0x84222325CBF29CE4ull), 16);
    }
    out[at] = 0;
}

void PosixPlatform::SetMutexDirectory(const char16_t* directory) {
    char converted[Utf8Path::kBytes];
    std::size_t n = 0;
    std::u16string_view view(directory != nullptr ? directory : u"", TextLength(directory));
    if (!text::Utf8FromUtf16(view, converted, sizeof converted, &n)) converted[0] = 0;
    std::lock_guard<std::mutex> guard(g_directoryLock);
    std::memcpy(g_directory, converted, n + 1);
    g_directoryGeneration.fetch_add(1, std::memory_order_release);
}

MutexHandle PosixPlatform::OpenNamedMutex(const char16_t* name) {
    const MutexHandle badName = MutexHandle::Failed(Status::Fail(Code::InvalidArgument, Op::LockMutex));
    if (name == nullptr) return badName;
    MutexKey key{name, TextLength(name), g_directoryGeneration.load(std::memory_order_acquire)};
    int fd = g_kept.TakeByName(key);
    if (fd >= 0) return MutexHandle{static_cast<std::intptr_t>(fd) + 1, Status::Ok()};

    char path[Utf8Path::kBytes];
    std::size_t at = 0;
    {
        std::lock_guard<std::mutex> guard(g_directoryLock);
        key.generation = g_directoryGeneration.load(std::memory_order_relaxed);
        std::size_t n = std::strlen(g_directory);
        std::memcpy(path, g_directory, n);
        at = n;
    }
    if (at > 0 && path[at - 1] != '/') path[at++] = '/';
    std::size_t directoryEnd = at + sizeof kLockDirectory - 1;
    if (directoryEnd + 1 + kLockNameBytes >= sizeof path) return badName;
    std::memcpy(path + at, kLockDirectory, sizeof kLockDirectory - 1);
    at = directoryEnd;
    path[at++] = '/';
    LockFileName(name, path + at);
    const std::size_t pathBytes = at + std::strlen(path + at);
    fd = g_kept.Take(path, pathBytes, key);
    if (fd >= 0) return MutexHandle{static_cast<std::intptr_t>(fd) + 1, Status::Ok()};

    fd = ::open(path, O_RDWR | O_CLOEXEC);
    for (int attempt = 0; fd < 0 && errno == ENOENT && attempt < 3; ++attempt) {
        fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Every user of the installation must be able to lock it.
            ::fchmod(fd, 0666);
            break;
        }
        if (errno == EEXIST) {
            fd = ::open(path, O_RDWR | O_CLOEXEC);
        } else if (errno == ENOENT) {
            path[directoryEnd] = 0;
            if (::mkdir(path, 0777) == 0) ::chmod(path, 0777);
            path[directoryEnd] = '/';
            errno = ENOENT;
        }
    }
    if (fd < 0) return MutexHandle::Failed(LastOsError(Op::LockMutex));
    if (fd >= kTrackedDescriptors) {
        ::close(fd);
        return MutexHandle::Failed(Status::FromOs(Op::LockMutex, EMFILE));
    }
    g_held[fd].store(false, std::memory_order_relaxed);
    g_kept.Lend(fd, path, pathBytes, key);
    return MutexHandle{static_cast<std::intptr_t>(fd) + 1, Status::Ok()};
}

WaitResult PosixPlatform::WaitMutex(MutexHandle mutex, WaitTime time) {
    int fd = Descriptor(mutex);
    if (fd < 0) return WaitResult::Failed;
    if (Lock(fd, F_WRLCK, time == WaitTime::Infinite)) {
        g_held[fd].store(true, std::memory_order_relaxed);
        return WaitResult::Acquired;
    }
    if (time == WaitTime::Zero && (errno == EAGAIN || errno == EACCES)) return WaitResult::TimedOut;
    return WaitResult::Failed;
}

Status PosixPlatform::ReleaseMutex(MutexHandle mutex) {
    int fd = Descriptor(mutex);
    // Releasing a mutex the caller does not hold is refused, as Win32 does.
    if (fd < 0 || !g_held[fd].load(std::memory_order_relaxed)) return Status::FromOs(Op::LockMutex, EPERM);
    if (!Lock(fd, F_UNLCK, false)) return LastOsError(Op::LockMutex);
    g_held[fd].store(false, std::memory_order_relaxed);
    return Status::Ok();
}

void PosixPlatform::CloseMutex(MutexHandle mutex) {
    int fd = Descriptor(mutex);
    if (fd < 0) return;
    // A held lock goes with its descriptor, as a holder's death lets it go.
    if (!g_held[fd].load(std::memory_order_relaxed) && g_kept.GiveBack(fd)) return;
    g_kept.Forget(fd);
    g_held[fd].store(false, std::memory_order_relaxed);
    ::close(fd);
}

}  // namespace actlog::platform::posix
