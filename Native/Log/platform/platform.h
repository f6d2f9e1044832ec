// The operations the library needs from the operating system, in Win32 terms.
// Only platform/ talks to the OS; everything else goes through Current().
#pragma once

#include <cstddef>
#include <cstdint>

#include "Log.h"
#include "platform/status.h"

namespace actlog::platform {

#ifdef _WIN32
inline constexpr char16_t kSeparator = u'\\';
inline constexpr bool kCaseSensitiveNames = false;
// Plain-text files written in text mode end their lines with CR LF.
inline constexpr char kTextLineEnd[] = "\r\n";
// The 8-bit code page is the system ANSI code page, not UTF-8.
inline constexpr bool kNarrowIsUtf8 = false;
#else
inline constexpr char16_t kSeparator = u'/';
// Linux file names tell letter case apart: a name found without regard to case
// must be used as it lies on disk.
inline constexpr bool kCaseSensitiveNames = true;
inline constexpr char kTextLineEnd[] = "\n";
inline constexpr bool kNarrowIsUtf8 = true;
#endif

// Opaque handles. `value` is an OS handle, a descriptor or an index,
// whatever the implementation needs; kInvalid marks "none".
// A failed open gives an invalid handle that carries why it failed.
struct [[nodiscard]] FileHandle {
    static constexpr std::intptr_t kInvalid = -1;
    static constexpr std::uint64_t kNoSize = ~std::uint64_t{0};
    std::intptr_t value = kInvalid;
    Status status;
    // The file's size when it was opened, where the open learnt it at no
    // extra cost; kNoSize otherwise (FileSize asks the OS).
    std::uint64_t sizeAtOpen = kNoSize;
    static FileHandle Failed(Status why) noexcept { return FileHandle{kInvalid, why, kNoSize}; }
    bool valid() const noexcept { return value != kInvalid; }
};
// A mutex that could not be opened carries why.
struct [[nodiscard]] MutexHandle {
    std::intptr_t value = 0;
    Status status;
    static MutexHandle Failed(Status why) noexcept { return MutexHandle{0, why}; }
    bool valid() const noexcept { return value != 0; }
};
// A search that delivered nothing carries why: Code::NotFound when no name
// matched (or the directory is missing), any other code when the search failed.
struct [[nodiscard]] SearchHandle {
    std::intptr_t value = 0;
    Status status;
    static SearchHandle Failed(Status why) noexcept { return SearchHandle{0, why}; }
    bool valid() const noexcept { return value != 0; }
};
// A message library that could not be loaded carries why.
struct LibraryHandle {
    std::intptr_t value = 0;
    Status status;
    static LibraryHandle Failed(Status why) noexcept { return LibraryHandle{0, why}; }
    bool valid() const noexcept { return value != 0; }
};

// Append: every write goes to the current end of the file, whoever else writes.
// ReadWrite: both on one handle (the append checks a pair's tail before it writes).
enum class Access { Read, Write, Append, ReadWrite };
enum class Disposition { OpenExisting, OpenAlways, CreateAlways };
// All: share read, write and delete (the default for every file).
// Exclusive: no other open may succeed while this handle is open.
enum class Share { All, Exclusive };
enum class SeekFrom { Begin, End };
enum class WaitResult { Acquired, Abandoned, TimedOut, Failed };
enum class WaitTime { Zero, Infinite };

// Every file and name operation answers with a Status that keeps the OS error.
// Member names avoid the Win32 macros (MoveFile, DeleteFile, OpenMutex, ...).
class Platform {
public:
    virtual ~Platform() = default;

    // ---- files ----
    virtual FileHandle OpenFile(const char16_t* path, Access access, Disposition disposition,
                                Share share = Share::All) = 0;
    // Whole size in bytes.
    virtual Status FileSize(FileHandle file, std::uint64_t* size) = 0;
    // Moves the file position; `offset` is signed. Fails on a negative result position too.
    virtual Status Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* position) = 0;
    // Reads up to `count` bytes; *done receives the count delivered (0 at end of file).
    virtual Status Read(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
    // Reads up to `count` bytes at `offset` (the file position is unspecified
    // afterwards); *done receives the count delivered (short only at end of file).
    // The default seeks and reads; a platform may read in one positioned call.
    virtual Status ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                        std::uint32_t* done);
    // ReadAt in as few OS calls as the platform can: where a positioned read
    // of a regular file comes back short only at the file's end, one call, its
    // short count telling where the file ends. The default is ReadAt.
    virtual Status ReadAtOnce(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                              std::uint32_t* done);
    // Writes `count` bytes at the file position; *done receives the count written.
    virtual Status Write(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
    // Writes `count` bytes at `offset` of a file not opened for Append (the
    // file position is unspecified afterwards); *done receives the count
    // written. The default seeks and writes; a platform may write in one
    // positioned call.
    virtual Status WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::uint32_t count,
                           std::uint32_t* done);
    // Sets the end of the file at the current position (grows with zero bytes).
    virtual Status SetEndOfFile(FileHandle file) = 0;
    virtual void CloseFile(FileHandle file) = 0;
    // Copies `count` bytes from `from` at `fromOffset` to `to` at `toOffset`;
    // *done receives the bytes copied. The file positions are unspecified
    // afterwards. The default goes through a bounded buffer with Seek, Read and
    // Write; a platform may copy inside the kernel instead.
    virtual Status CopyRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                           std::uint32_t count, std::uint32_t* done);

    // ---- names ----
    // Moves a file; never replaces an existing target.
    virtual Status MoveNoReplace(const char16_t* from, const char16_t* to) = 0;
    virtual Status RemoveFile(const char16_t* path) = 0;
    // Ok when a file or directory exists under the name (GetFileAttributesW
    // succeeds), Code::NotFound when none does; any other code when the OS
    // could not tell (no permission on the directory, an I/O error). Callers
    // whose decision would be unsafe on a wrong "not there" check for NotFound.
    virtual Status Exists(const char16_t* path) = 0;
    // Creates one directory level; Code::AlreadyExists when it was there.
    virtual Status MakeDirectory(const char16_t* path) = 0;
    // Directory search: `pattern` is a path whose last part may hold '*' and '?',
    // matched without regard to letter case. The file name (without directory)
    // of each match goes to `name` (cut to `capacity` - 1 and terminated).
    virtual SearchHandle FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) = 0;
    // The next match; Code::NotFound after the last one.
    virtual Status FindNext(SearchHandle search, char16_t* name, std::size_t capacity) = 0;
    virtual void FindClose(SearchHandle search) = 0;

    // ---- named mutexes, shared by every process and thread ----
    virtual MutexHandle OpenNamedMutex(const char16_t* name) = 0;
    virtual WaitResult WaitMutex(MutexHandle mutex, WaitTime time) = 0;
    // Fails when the caller does not hold the mutex.
    virtual Status ReleaseMutex(MutexHandle mutex) = 0;
    virtual void CloseMutex(MutexHandle mutex) = 0;
    // POSIX keeps its mutex lock files in a directory (the Logs directory);
    // the Win32 implementation ignores this.
    virtual void SetMutexDirectory(const char16_t* directory) = 0;

    // ---- time ----
    virtual LogSystemTime SystemTimeUtc() = 0;
    virtual LogSystemTime LocalTime() = 0;

    // ---- module and language ----
    // The library's own file path; returns its length, 0 when unknown.
    virtual std::size_t ModulePath(char16_t* buffer, std::size_t capacity) = 0;
    virtual std::uint16_t SystemDefaultLanguage() = 0;

    // ---- string resources (LoadString semantics: count copied, 0 when missing,
    //      cut to size - 1 and terminated) ----
    virtual LibraryHandle LoadMessageLibrary(const char16_t* path) = 0;
    virtual int LoadStringWide(LibraryHandle library, std::uint32_t id, char16_t* buffer, int size) = 0;
    virtual int LoadStringNarrow(LibraryHandle library, std::uint32_t id, char* buffer, int size) = 0;

    // ---- memory ----
    // Heap for blocks handed to callers and for maintenance buffers (malloc/free).
    virtual void* Allocate(std::size_t bytes) = 0;
    virtual void Free(void* block) = 0;
    // Whether `bytes` bytes at `address` can be read without faulting.
    virtual bool CanRead(const void* address, std::size_t bytes) = 0;
    // CanRead for two ranges at once: gives the second's answer, the first's
    // in *firstReadable. The default asks for each; a platform may probe both
    // in one OS call.
    virtual bool CanReadBoth(const void* first, std::size_t firstBytes, const void* second, std::size_t secondBytes,
                             bool* firstReadable);

    // ---- 8-bit text ----
    // Converts a terminated UTF-16 text to the 8-bit code page (the ANSI code
    // page on Windows, UTF-8 elsewhere) into `out`, cut to whole characters
    // within capacity - 1 bytes and terminated. Gives the bytes written.
    virtual std::size_t NarrowFromWide(const char16_t* text, char* out, std::size_t capacity);
#ifdef _WIN32
    // The ANSI code page's decoding, for narrow inserts (elsewhere they are
    // UTF-8, which the formatter decodes itself). Converts `count` bytes to
    // UTF-16 into `out` (not terminated); gives the units written, 0 when the
    // bytes do not convert (an incomplete character, say) or do not fit.
    virtual std::size_t WideFromNarrow(const char* bytes, std::size_t count, char16_t* out, std::size_t capacity) = 0;
    // Whether `byte` starts a double-byte character of that code page.
    virtual bool NarrowLeadByte(unsigned char byte) = 0;
#endif
};

// The platform in use: the native one unless a test installed another.
Platform& Current() noexcept;
Platform& Native() noexcept;
// Installs `platform` (null restores the native one). For tests.
void Install(Platform* platform) noexcept;

}  // namespace actlog::platform
