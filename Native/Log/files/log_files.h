// The activity file set of one owner (or of the machine), its named mutexes,
// and the small operations every part of the library shares on them.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format/probed_text.h"
#include "platform/platform.h"
#include "text/bounded_text.h"

namespace actlog {

// The named mutexes of one owner, and what they guard:
//   prune mutex  one prune or one index rebuild at a time; tried, never waited for
//   write mutex  every change of the pair's files: appends, renaming, the
//                prune's preparation and exchange, the rebuild's last pass
//   read mutex   opening the log and the index as a matching pair; the exchange
// and the machine's one sync mutex, which guards the sync journals.
// Lock order: prune -> write -> read, released in reverse; the sync mutex is
// never taken while a write or prune mutex is held. One exception to the order
// is safe: a holder of the write mutex may *try* the prune mutex, because a try
// never waits. A function that needs a mutex held takes its LogMutex as a
// parameter and checks it with AssertHeld.
inline constexpr char16_t kWriteMutexBase[] = u"$$BrevantWriteLog$$";
inline constexpr char16_t kReadMutexBase[] = u"$$BrevantReadLog$$";
inline constexpr char16_t kPruneMutexBase[] = u"$$BrevantPruneLog$$";
inline constexpr char16_t kSyncMutexBase[] = u"$$BrevantSyncLog$$";

// A present owner: not null and not empty. Absent means the machine's own files.
inline bool OwnerPresent(const char16_t* owner) noexcept { return owner != nullptr && owner[0] != 0; }

// Whether an operation may act for `owner`. Null and empty are allowed (the
// machine). Refused: names holding '/', '\', ':' or a control character (they
// would leave the Logs directory or name a stream), names that are not valid
// UTF-16, and names for which a mutex name or any of the owner's paths would
// not fit in 259 characters (a cut name could make two owners share files).
// `first`: the name's first stretch as a shared probe found it (OwnerProbe).
bool OwnerNameAllowed(const char16_t* owner, const format::SharedProbe* first = nullptr) noexcept;

// The first probe OwnerNameAllowed makes of `owner`, for another probe to take along.
format::SharedProbe OwnerProbe(const char16_t* owner) noexcept;

// File-name comparison without regard to letter case (ASCII and Latin-1 letters).
bool EqualNoCase(std::u16string_view a, std::u16string_view b) noexcept;

enum class LogFile {
    Log,           // activity.log        (an owner's log is located with LookUpOwnerLog)
    Index,         // activity.idx
    NewLog,        // activity.log.new
    NewIndex,      // activity.idx.new
    RebuildIndex,  // activity.idx.rex
    CarryMark,     // activity.idx.car: where a dead prune's carry-back began
};

// Logs directory + owner (when present) + the file's fixed suffix, cut at 259
// characters. For a present owner the log is looked up (LookUpOwnerLog): the
// log path names the owner's log as it lies on disk, and is empty when the
// plain name is another owner's log (every operation on it then fails).
// Where file names tell letter case apart, all files of the owner take the
// spelling of its log on disk, so that every spelling of an owner reaches one
// set of files.
PathText ActivityPath(LogFile which, const char16_t* owner) noexcept;

// ActivityPath for several files of one owner's set, with one lookup of the
// owner's log (made at the first path that needs it).
class OwnerFiles {
public:
    explicit OwnerFiles(const char16_t* owner) noexcept : owner_(owner) {}
    PathText Path(LogFile which) noexcept;
    // The path of the owner's log under its plain name, as the owner spells it
    // (empty without an owner). For an owner whose name holds no '.', a file
    // there is the owner's log (LookUpOwnerLog); FoundPlainLog records that
    // the caller found it, in place of the lookup.
    PathText PlainLogPath() const noexcept;
    void FoundPlainLog(const PathText& log) noexcept;

private:
    const char16_t* owner_;
    bool lookedUp_ = false;
    PathText log_;
    PathText spelling_;
};

// The fixed suffix of a file of the set (".activity.log", ...) and the
// machine's name for it ("activity.log", ...).
const char16_t* ActivitySuffix(LogFile which) noexcept;

// Base name + owner in lower case (the sync mutex takes no owner).
PathText LogMutexName(const char16_t* baseName, const char16_t* owner) noexcept;

// Opens (or creates) the named mutex base name + owner. Invalid, with the
// cause, when the OS refuses it or the owner name is not allowed.
platform::MutexHandle OpenLogMutex(const char16_t* baseName, const char16_t* owner) noexcept;

// An owner name that OwnerNameAllowed accepted already: opening its mutex
// does not probe the caller's memory again.
struct CheckedOwner {
    const char16_t* name;
};

// One named mutex for the length of a scope: opened on construction, released
// (when held) and closed on destruction.
class LogMutex {
public:
    LogMutex(const char16_t* baseName, const char16_t* owner) noexcept;
    LogMutex(const char16_t* baseName, CheckedOwner owner) noexcept;
    ~LogMutex();
    LogMutex(const LogMutex&) = delete;
    LogMutex& operator=(const LogMutex&) = delete;

    bool opened() const noexcept { return handle_.valid(); }
    // Why it could not be opened (Ok when it was).
    Status status() const noexcept { return handle_.status; }
    bool held() const noexcept { return held_; }
    // True only when the mutex was acquired. An abandoned mutex counts as a
    // failed wait; the ownership it handed over is given back at once, so that
    // a dead process cannot block the log for good.
    bool Wait(platform::WaitTime time) noexcept;
    void Release() noexcept;

private:
    platform::MutexHandle handle_;
    bool held_ = false;
};

// Debug builds stop when a function that needs `mutex` held runs without it.
inline void AssertHeld([[maybe_unused]] const LogMutex& mutex) noexcept { assert(mutex.held()); }

// Moves a damaged file to "<path>.old0" (.old1 ... .old9 when taken) and
// deletes it there. Fails with the last move's cause when all ten names failed.
Status DiscardDamagedFile(const char16_t* path) noexcept;

// Index entries are 32-bit little-endian end offsets.
inline void StoreLe32(std::uint32_t value, unsigned char out[4]) noexcept {
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
    out[2] = static_cast<unsigned char>(value >> 16);
    out[3] = static_cast<unsigned char>(value >> 24);
}
inline std::uint32_t LoadLe32(const unsigned char in[4]) noexcept {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

}  // namespace actlog
