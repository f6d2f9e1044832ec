// FaultInjectingPlatform: a Platform that forwards every call to another one
// (the native platform unless told otherwise) and can make chosen calls fail,
// so that the failure rows of every operation can be driven and checked.
//
//   testsupport::FaultInjectingPlatform faults;
//   testsupport::ScopedPlatform installed(faults);         // Current() is now `faults`
//   faults.FailNth(FaultInjectingPlatform::Op::Write, 2);   // the 2nd write from now fails
//   faults.FailOnlyPaths(u"activity.idx");                  // ... counting only index writes
//   EXPECT_EQ(-1, LogActivity(...));
//
// Counting: a rule armed with FailNth(op, n) counts the calls of `op` made
// after arming (only those whose path passes the path filter) and fails the
// nth, once, or the nth and every later one when `fromThenOn` is true. One
// rule per operation; arming again replaces it. Calls() counts every call.
//
// Paths: calls on a handle (read, write, seek, size, set end) are matched
// through the path its file was opened with; mutex calls through the mutex
// name; FindFirst through its pattern; string loads through the library path.
//
// What a failed call does: nothing reaches the wrapped platform and the call
// reports failure the way the OS would (an I/O error status or invalid handle,
// WaitResult::Failed, null block, 0 characters with an empty buffer).
//
// Thread-safe: the rules and counters are guarded; the wrapped platform is
// called without the guard held, so blocking mutex waits behave normally.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace testsupport {

class FaultInjectingPlatform : public actlog::platform::Platform {
public:
    enum class Op {
        Open,
        Read,
        Write,
        Seek,
        Size,
        SetEnd,
        Move,
        Delete,
        Exists,
        MakeDir,
        FindFirst,
        FindNext,
        MutexOpen,
        MutexWait,
        MutexRelease,
        LoadLibrary,
        LoadString,  // wide and 8-bit
        ModulePath,
        Allocate,
        CanRead,
        Count
    };

    explicit FaultInjectingPlatform(actlog::platform::Platform& inner = actlog::platform::Native());

    // ---- arming ----
    // Fails the nth call of `op` from now (n counted from 1), or that call and
    // every later one.
    void FailNth(Op op, int n, bool fromThenOn = false);
    // The nth wait from now (and every later one when `fromThenOn`) gives
    // `result`. Abandoned really takes the mutex first, as Windows hands an
    // abandoned mutex over; TimedOut and Failed do not touch it.
    void OverrideWait(int n, actlog::platform::WaitResult result, bool fromThenOn = false);
    // Runs `action` just before the nth call of `op` from now is forwarded
    // (for example to let "another process" rename a file mid-operation).
    // The action may call the platform itself.
    void RunBeforeNth(Op op, int n, std::function<void()> action);
    // A crash: the first `n` file and name calls from now pass, every later
    // one fails without reaching the OS (the process is gone; its mutexes are
    // still released, as the OS releases a dead process's). With
    // `tornBytes`, call n + 1, when it is a write, first writes that many bytes.
    void CrashAfter(int n, std::uint32_t tornBytes = 0);
    // A full disk: writes take `bytes` bytes in all; the write that crosses
    // the limit writes what fits and fails, later writes fail.
    void DiskFullAfter(std::uint64_t bytes);
    // Calls made on this thread while an Exempt lives are neither counted nor
    // failed (the work of "another process" inside a hook).
    class Exempt {
    public:
        Exempt();
        ~Exempt();
        Exempt(const Exempt&) = delete;
        Exempt& operator=(const Exempt&) = delete;
    };
    // File and name calls counted toward a crash so far.
    int CrashCounted() const;
    // Only calls whose path (see above) contains `substring` count toward
    // the rules and can fail; empty (the default) means every call.
    void FailOnlyPaths(std::u16string substring);
    // Disarms every rule and the path filter; counters and overrides stay.
    void Disarm();

    // ---- counters ----
    int Calls(Op op) const;
    void ResetCounters();

    // ---- fixed values ----
    void SetUtcTime(const LogSystemTime& time);
    void SetLocalTime(const LogSystemTime& time);
    void SetLanguage(std::uint16_t languageId);

    // ---- Platform ----
    actlog::platform::FileHandle OpenFile(const char16_t* path, actlog::platform::Access access,
                                          actlog::platform::Disposition disposition,
                                          actlog::platform::Share share) override;
    actlog::Status FileSize(actlog::platform::FileHandle file, std::uint64_t* size) override;
    actlog::Status Seek(actlog::platform::FileHandle file, std::int64_t offset, actlog::platform::SeekFrom from,
              std::uint64_t* position) override;
    actlog::Status Read(actlog::platform::FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) override;
    actlog::Status Write(actlog::platform::FileHandle file, const void* buffer, std::uint32_t count,
               std::uint32_t* done) override;
    actlog::Status SetEndOfFile(actlog::platform::FileHandle file) override;
    void CloseFile(actlog::platform::FileHandle file) override;
    actlog::Status MoveNoReplace(const char16_t* from, const char16_t* to) override;
    actlog::Status RemoveFile(const char16_t* path) override;
    actlog::Status Exists(const char16_t* path) override;
    actlog::Status MakeDirectory(const char16_t* path) override;
    actlog::platform::SearchHandle FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) override;
    actlog::Status FindNext(actlog::platform::SearchHandle search, char16_t* name, std::size_t capacity) override;
    void FindClose(actlog::platform::SearchHandle search) override;
    actlog::platform::MutexHandle OpenNamedMutex(const char16_t* name) override;
    actlog::platform::WaitResult WaitMutex(actlog::platform::MutexHandle mutex,
                                           actlog::platform::WaitTime time) override;
    actlog::Status ReleaseMutex(actlog::platform::MutexHandle mutex) override;
    void CloseMutex(actlog::platform::MutexHandle mutex) override;
    void SetMutexDirectory(const char16_t* directory) override;
    LogSystemTime SystemTimeUtc() override;
    LogSystemTime LocalTime() override;
    std::size_t ModulePath(char16_t* buffer, std::size_t capacity) override;
    std::uint16_t SystemDefaultLanguage() override;
    actlog::platform::LibraryHandle LoadMessageLibrary(const char16_t* path) override;
    int LoadStringWide(actlog::platform::LibraryHandle library, std::uint32_t id, char16_t* buffer,
                       int size) override;
    int LoadStringNarrow(actlog::platform::LibraryHandle library, std::uint32_t id, char* buffer,
                         int size) override;
    void* Allocate(std::size_t bytes) override;
    void Free(void* block) override;
    bool CanRead(const void* address, std::size_t bytes) override;
    std::size_t NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) override;
#ifdef _WIN32
    std::size_t WideFromNarrow(const char* bytes, std::size_t count, char16_t* out, std::size_t capacity) override;
    bool NarrowLeadByte(unsigned char byte) override { return inner_.NarrowLeadByte(byte); }
#endif

private:
    struct Rule {
        int countdown = 0;  // calls still to pass before the one that fails; armed while > 0 or sticky
        bool fromThenOn = false;
        bool armed = false;
        bool sticky = false;  // fromThenOn and already reached
    };
    // What happens to one call.
    struct Verdict {
        bool fail = false;
        std::uint32_t tornBytes = 0;  // a crash that tears this write
        std::function<void()> before;
    };

    // Counts the call and decides whether it fails (and what runs first).
    Verdict Decide(Op op, const std::u16string& path);
    // Decides, runs what is due before the call, and tells whether it fails.
    bool Fails(Op op, const std::u16string& path);
    static bool Step(Rule& rule);
    // Whether the path passes the path filter (call with lock_ held).
    bool Filtered(const std::u16string& path) const;
    std::u16string PathOf(std::intptr_t key, int kind) const;
    void Remember(std::intptr_t key, int kind, const char16_t* path);
    void Forget(std::intptr_t key, int kind);
    // Runs `action` with the rules and counters guarded; gives its result.
    template <typename Action>
    auto Locked(Action action) const -> decltype(action()) {
        std::lock_guard<std::mutex> guard(lock_);
        return action();
    }
    // Remembers the path of a handle that opened; gives the handle.
    template <typename Handle>
    Handle Remembered(Handle handle, int kind, const char16_t* path) {
        if (handle.valid()) Remember(handle.value, kind, path);
        return handle;
    }
    // The fixed value when one is set, else what the wrapped platform gives.
    template <typename T, typename Inner>
    T Fixed(const std::optional<T>& value, Inner inner) {
        const std::optional<T> fixed = Locked([&] { return value; });
        return fixed ? *fixed : inner();
    }

    actlog::platform::Platform& inner_;
    mutable std::mutex lock_;
    std::array<int, static_cast<std::size_t>(Op::Count)> calls_{};
    std::array<Rule, static_cast<std::size_t>(Op::Count)> rules_{};
    std::array<Rule, static_cast<std::size_t>(Op::Count)> hookRules_{};
    std::array<std::function<void()>, static_cast<std::size_t>(Op::Count)> hooks_{};
    Rule waitRule_;
    actlog::platform::WaitResult waitResult_ = actlog::platform::WaitResult::Acquired;
    std::u16string pathFilter_;
    int crashCountdown_ = -1;  // file and name calls still to pass; -1 when not armed
    int crashCounted_ = 0;
    std::uint32_t tornBytes_ = 0;
    std::int64_t diskRoom_ = -1;  // bytes still writable; -1 when not armed
    std::map<std::pair<int, std::intptr_t>, std::u16string> paths_;  // (kind, handle) -> path
    std::optional<LogSystemTime> utc_, local_;
    std::optional<std::uint16_t> language_;
};

// Installs a platform for the life of the object and restores the previous
// one afterwards.
class ScopedPlatform {
public:
    explicit ScopedPlatform(actlog::platform::Platform& platform);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    actlog::platform::Platform* previous_;
};

}  // namespace testsupport
