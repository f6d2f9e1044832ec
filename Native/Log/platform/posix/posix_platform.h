// The POSIX implementation of the platform interface. Texts arrive as UTF-16
// and are converted to UTF-8 at each system call; a text that does not
// convert (a lone surrogate) makes the operation fail.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <utility>

#include "platform/platform.h"

namespace actlog::platform::posix {

// Calls `call` again while it fails with EINTR (a signal arrived before it did
// anything); gives its last result. `failed` is the call's failure value.
template <typename Call, typename Result = decltype(std::declval<Call>()())>
Result RetryAfterSignal(Result failed, Call call) {
    Result result;
    do {
        result = call();
    } while (result == failed && errno == EINTR);
    return result;
}

// Reads from `fd` until `size` bytes, the end of the file or an error; gives
// the bytes read.
std::size_t ReadUpTo(int fd, void* buffer, std::size_t size) noexcept;

// The UTC calendar time `seconds` after 1970-01-01 00:00:00 (what gmtime
// gives, without its locking and time-zone work).
LogSystemTime UtcFromEpoch(std::int64_t seconds, long nanoseconds) noexcept;

// A UTF-16 path converted to a terminated UTF-8 one on the stack.
class Utf8Path {
public:
    static constexpr std::size_t kBytes = 4096;
    explicit Utf8Path(const char16_t* path) noexcept;
    bool ok() const noexcept { return ok_; }
    const char* c_str() const noexcept { return text_; }
    std::size_t size() const noexcept { return size_; }

private:
    char text_[kBytes];
    std::size_t size_ = 0;
    bool ok_ = false;
};

class PosixPlatform final : public Platform {
public:
    FileHandle OpenFile(const char16_t* path, Access access, Disposition disposition, Share share) override;
    Status FileSize(FileHandle file, std::uint64_t* size) override;
    Status Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* position) override;
    Status Read(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) override;
    Status ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                std::uint32_t* done) override;
    Status ReadAtOnce(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                      std::uint32_t* done) override;
    Status Write(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) override;
    Status WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::uint32_t count,
                   std::uint32_t* done) override;
    Status SetEndOfFile(FileHandle file) override;
    void CloseFile(FileHandle file) override;
    Status CopyRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                   std::uint32_t count, std::uint32_t* done) override;

    Status MoveNoReplace(const char16_t* from, const char16_t* to) override;
    Status RemoveFile(const char16_t* path) override;
    Status Exists(const char16_t* path) override;
    Status MakeDirectory(const char16_t* path) override;
    SearchHandle FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) override;
    Status FindNext(SearchHandle search, char16_t* name, std::size_t capacity) override;
    void FindClose(SearchHandle search) override;

    MutexHandle OpenNamedMutex(const char16_t* name) override;
    WaitResult WaitMutex(MutexHandle mutex, WaitTime time) override;
    Status ReleaseMutex(MutexHandle mutex) override;
    void CloseMutex(MutexHandle mutex) override;
    void SetMutexDirectory(const char16_t* directory) override;

    LogSystemTime SystemTimeUtc() override;
    LogSystemTime LocalTime() override;

    std::size_t ModulePath(char16_t* buffer, std::size_t capacity) override;
    std::uint16_t SystemDefaultLanguage() override;

    LibraryHandle LoadMessageLibrary(const char16_t* path) override;
    int LoadStringWide(LibraryHandle library, std::uint32_t id, char16_t* buffer, int size) override;
    int LoadStringNarrow(LibraryHandle library, std::uint32_t id, char* buffer, int size) override;

    void* Allocate(std::size_t bytes) override;
    void Free(void* block) override;
    bool CanRead(const void* address, std::size_t bytes) override;
    bool CanReadBoth(const void* first, std::size_t firstBytes, const void* second, std::size_t secondBytes,
                     bool* firstReadable) override;
};

// The move for file systems that refuse RENAME_NOREPLACE: link, then unlink
// the old name. Never replaces an existing target.
Status MoveByLink(const char* from, const char* to) noexcept;

// The file name under which the lock file of mutex `name` lives in .locks/:
// letters, digits, '.', '-' and '_' as they are, every other UTF-16 unit as
// "%XXXX"; a name whose escaped form is long keeps a prefix and adds a hash
// of the whole name. Written terminated into `out` (at least kLockNameBytes).
inline constexpr std::size_t kLockNameBytes = 256;
void LockFileName(const char16_t* name, char* out) noexcept;

}  // namespace actlog::platform::posix
