// Time, module path, system language, message libraries and memory.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/locale_language.h"
#include "platform/posix/posix_platform.h"
#include "text/bounded_text.h"
#include "text/pe_resources.h"
#include "text/text_convert.h"

namespace actlog::platform::posix {
namespace {

LogSystemTime FromTm(const struct tm& t, long nanoseconds) {
    LogSystemTime out{};
    out.wYear = static_cast<std::uint16_t>(t.tm_year + 1900);
    out.wMonth = static_cast<std::uint16_t>(t.tm_mon + 1);
    out.wDayOfWeek = static_cast<std::uint16_t>(t.tm_wday);
    out.wDay = static_cast<std::uint16_t>(t.tm_mday);
    out.wHour = static_cast<std::uint16_t>(t.tm_hour);
    out.wMinute = static_cast<std::uint16_t>(t.tm_min);
    out.wSecond = static_cast<std::uint16_t>(t.tm_sec > 59 ? 59 : t.tm_sec);  // no leap second
    out.wMilliseconds = static_cast<std::uint16_t>(nanoseconds / 1000000);
    return out;
}

// A message library read whole into memory. Libraries stay loaded for the
// life of the process; the list keeps them reachable.
struct Library {
    std::uint8_t* bytes = nullptr;
    text::PeResources resources;
    Library* next = nullptr;
};
std::atomic<Library*> g_libraries{nullptr};

constexpr std::uint64_t kLargestLibrary = 64u << 20;

// Reads a whole file into a malloc'd block (*bytes, to be freed).
Status ReadWhole(const char* path, std::uint8_t** bytes, std::size_t* size) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return LastOsError(Op::LoadMessage);
    struct stat info {};
    // Not a regular file of a size an image can have.
    Status result = Status::Fail(Code::Damaged, Op::LoadMessage);
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        static_cast<std::uint64_t>(info.st_size) <= kLargestLibrary) {
        std::size_t total = static_cast<std::size_t>(info.st_size);
        *bytes = static_cast<std::uint8_t*>(std::malloc(total));
        result = *bytes == nullptr ? Status::Fail(Code::NoMemory, Op::LoadMessage) : Status::Ok();
        if (result && ReadUpTo(fd, *bytes, total) != total) {
            result = LastOsError(Op::LoadMessage);
            std::free(*bytes);
            *bytes = nullptr;
        }
        *size = total;
    }
    ::close(fd);
    return result;
}

bool FindString(LibraryHandle library, std::uint32_t id, text::PeString* found) {
    if (!library.valid()) return false;
    return reinterpret_cast<const Library*>(library.value)->resources.FindString(id, found);
}

// Reads the LANG value of a locale configuration file into `out`.
bool LangFromFile(const char* path, char* out, std::size_t capacity) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[8192];
    std::size_t got = ReadUpTo(fd, text, sizeof text);
    ::close(fd);
    std::string_view value = LangFromConfig(std::string_view(text, got));
    if (value.empty() || value.size() >= capacity) return false;
    std::memcpy(out, value.data(), value.size());
    out[value.size()] = 0;
    return true;
}

void ModuleAnchor() {}

}  // namespace

LogSystemTime UtcFromEpoch(std::int64_t seconds, long nanoseconds) noexcept {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Counted from 0000-03-01 in 400-year cycles of 146097 days, with years
    // starting in March so that a leap day is a year's last day.
    const std::int64_t shifted = days + 719468;
    const std::int64_t cycle = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const std::int64_t dayOfCycle = shifted - cycle * 146097;
    const std::int64_t yearOfCycle =
        (dayOfCycle - dayOfCycle / 1460 + dayOfCycle / 36524 - dayOfCycle / 146096) / 365;
    const std::int64_t dayOfYear = dayOfCycle - (365 * yearOfCycle + yearOfCycle / 4 - yearOfCycle / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    LogSystemTime out{};
    out.wYear = static_cast<std::uint16_t>(yearOfCycle + cycle * 400 + (month <= 2 ? 1 : 0));
    out.wMonth = static_cast<std::uint16_t>(month);
    out.wDayOfWeek = static_cast<std::uint16_t>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    out.wDay = static_cast<std::uint16_t>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    out.wHour = static_cast<std::uint16_t>(rest / 3600);
    out.wMinute = static_cast<std::uint16_t>(rest / 60 % 60);
    out.wSecond = static_cast<std::uint16_t>(rest % 60);
    out.wMilliseconds = static_cast<std::uint16_t>(nanoseconds / 1000000);
    return out;
}

LogSystemTime PosixPlatform::SystemTimeUtc() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return UtcFromEpoch(now.tv_sec, now.tv_nsec);
}

LogSystemTime PosixPlatform::LocalTime() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts {};
    ::localtime_r(&now.tv_sec, &parts);
    return FromTm(parts, now.tv_nsec);
}

std::size_t PosixPlatform::ModulePath(char16_t* buffer, std::size_t capacity) {
    if (buffer == nullptr || capacity == 0) return 0;
    buffer[0] = 0;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&ModuleAnchor), &info) == 0 || info.dli_fname == nullptr) return 0;
    char resolved[PATH_MAX];
    const char* path = info.dli_fname;
    // The path as it was loaded; a relative one (the main program) is made whole.
    if (path[0] != '/') {
        if (::realpath(path, resolved) != nullptr) {
            path = resolved;
        } else {
            ssize_t n = ::readlink("/proc/self/exe", resolved, sizeof resolved - 1);
            if (n <= 0) return 0;
            resolved[n] = 0;
            path = resolved;
        }
    }
    char16_t converted[PATH_MAX];
    std::size_t units = 0;
    if (!text::Utf16FromUtf8(path, converted, PATH_MAX, &units)) return 0;
    std::size_t n = units < capacity - 1 ? units : capacity - 1;
    std::memcpy(buffer, converted, n * sizeof(char16_t));
    buffer[n] = 0;
    return n;
}

std::uint16_t PosixPlatform::SystemDefaultLanguage() {
    char lang[256];
    if (LangFromFile("/etc/locale.conf", lang, sizeof lang) || LangFromFile("/etc/default/locale", lang, sizeof lang)) {
        return LanguageIdFromLocale(lang);
    }
    const char* env = std::getenv("LANG");
    return LanguageIdFromLocale(env != nullptr ? env : "");
}

LibraryHandle PosixPlatform::LoadMessageLibrary(const char16_t* path) {
    Utf8Path native(path);
    if (!native.ok()) return LibraryHandle::Failed(Status::Fail(Code::InvalidArgument, Op::LoadMessage));
    std::size_t size = 0;
    std::uint8_t* bytes = nullptr;
    Status read = ReadWhole(native.c_str(), &bytes, &size);
    if (!read) return LibraryHandle::Failed(read);
    auto* library = new (std::nothrow) Library;
    if (library == nullptr || !library->resources.Parse(bytes, size)) {
        // Not an image with string resources (ERROR_BAD_EXE_FORMAT on Windows).
        Status why = library == nullptr ? Status::Fail(Code::NoMemory, Op::LoadMessage)
                                        : Status::Fail(Code::Damaged, Op::LoadMessage);
        delete library;
        std::free(bytes);
        return LibraryHandle::Failed(why);
    }
    library->bytes = bytes;
    library->next = g_libraries.load(std::memory_order_relaxed);
    while (!g_libraries.compare_exchange_weak(library->next, library, std::memory_order_release,
                                              std::memory_order_relaxed)) {
    }
    return LibraryHandle{reinterpret_cast<std::intptr_t>(library), Status::Ok()};
}

int PosixPlatform::LoadStringWide(LibraryHandle library, std::uint32_t id, char16_t* buffer, int size) {
    text::PeString found;
    if (buffer == nullptr || size <= 0 || !FindString(library, id, &found)) return 0;
    std::size_t room = static_cast<std::size_t>(size) - 1;
    std::size_t n = found.length < room ? found.length : room;
    if (n == 0) {
        if (size > 1) buffer[0] = 0;
        return 0;
    }
    for (std::size_t i = 0; i < n; ++i) buffer[i] = found.UnitAt(i);
    buffer[n] = 0;
    return static_cast<int>(n);
}

int PosixPlatform::LoadStringNarrow(LibraryHandle library, std::uint32_t id, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    buffer[0] = 0;
    text::PeString found;
    if (!FindString(library, id, &found)) return 0;
    // One character at a time, so that the cut never splits a sequence.
    std::size_t capacity = static_cast<std::size_t>(size);
    std::size_t used = 0;
    for (std::size_t at = 0; at < found.length;) {
        char16_t units[2] = {found.UnitAt(at), 0};
        std::size_t count = 1;
        if (units[0] >= 0xD800 && units[0] <= 0xDBFF && at + 1 < found.length) {
            char16_t low = found.UnitAt(at + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) units[count++] = low;
        }
        char bytes[5];
        std::size_t n = text::Utf8FromUtf16Cut(std::u16string_view(units, count), bytes, sizeof bytes);
        if (used + n > capacity - 1) break;
        std::memcpy(buffer + used, bytes, n);
        used += n;
        at += count;
    }
    buffer[used] = 0;
    return static_cast<int>(used);
}

void* PosixPlatform::Allocate(std::size_t bytes) { return std::malloc(bytes); }

void PosixPlatform::Free(void* block) { std::free(block); }

namespace {

// This process's id for the probes, taken again in a forked child (and on a
// probe that finds no such process, after a fork that skipped the handlers).
std::atomic<pid_t> g_pid{0};

pid_t ProbePid(bool fresh) noexcept {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0 || fresh) {
        static const int registered = pthread_atfork(nullptr, nullptr, [] { g_pid.store(0); });
        static_cast<void>(registered);
        pid = ::getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// Set once process_vm_readv turned out to be forbidden.
std::atomic<bool> g_probeThroughPipe{false};

}  // namespace

bool PosixPlatform::CanRead(const void* address, std::size_t bytes) {
    if (bytes == 0) return true;
    if (address == nullptr) return false;
    // Copy through the kernel, a page at a time; the pointer itself is never
    // touched. Where process_vm_readv is forbidden (some sandboxes), a pipe
    // serves instead: writing from an unreadable address fails with EFAULT.
    std::atomic<bool>& usePipe = g_probeThroughPipe;
    char sink[4096];
    auto start = reinterpret_cast<std::uintptr_t>(address);
    int pipeEnds[2] = {-1, -1};
    bool readable = true;
    for (std::size_t done = 0; readable && done < bytes;) {
        std::size_t n = bytes - done < sizeof sink ? bytes - done : sizeof sink;
        void* from = reinterpret_cast<void*>(start + done);
        ssize_t got = -1;
        if (!usePipe.load(std::memory_order_relaxed)) {
            struct iovec local {sink, n};
            struct iovec remote {from, n};
            got = ::process_vm_readv(ProbePid(false), &local, 1, &remote, 1, 0);
            if (got < 0 && (errno == ESRCH || errno == EPERM) && g_pid.load() != ::getpid()) {
                got = ::process_vm_readv(ProbePid(true), &local, 1, &remote, 1, 0);
            }
            if (got < 0 && (errno == ENOSYS || errno == EPERM)) {
                usePipe.store(true, std::memory_order_relaxed);
                continue;
            }
        } else {
            if (pipeEnds[0] < 0 && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
            got = ::write(pipeEnds[1], from, n);
            if (got > 0 && ::read(pipeEnds[0], sink, static_cast<std::size_t>(got)) != got) got = -1;
        }
        if (got <= 0) readable = false;
        else done += static_cast<std::size_t>(got);
    }
    if (pipeEnds[0] >= 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
    }
    return readable;
}

// Both ranges in one copy through the kernel; any range it does not copy
// whole is asked about on its own.
bool PosixPlatform::CanReadBoth(const void* first, std::size_t firstBytes, const void* second,
                                std::size_t secondBytes, bool* firstReadable) {
    constexpr std::size_t kPage = 4096;
    if (first == nullptr || second == nullptr || firstBytes == 0 || secondBytes == 0 || firstBytes > kPage ||
        secondBytes > kPage || g_probeThroughPipe.load(std::memory_order_relaxed)) {
        return Platform::CanReadBoth(first, firstBytes, second, secondBytes, firstReadable);
    }
    char sink[2 * kPage];
    struct iovec local {sink, firstBytes + secondBytes};
    struct iovec remote[2] = {{const_cast<void*>(first), firstBytes}, {const_cast<void*>(second), secondBytes}};
    ssize_t got = ::process_vm_readv(ProbePid(false), &local, 1, remote, 2, 0);
    if (got < 0 || static_cast<std::size_t>(got) != firstBytes + secondBytes) {
        return Platform::CanReadBoth(first, firstBytes, second, secondBytes, firstReadable);
    }
    *firstReadable = true;
    return true;
}

}  // namespace actlog::platform::posix

namespace actlog::platform {

Platform& Native() noexcept {
    static posix::PosixPlatform native;
    return native;
}

}  // namespace actlog::platform
