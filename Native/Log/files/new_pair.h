// The new pair that a prune builds beside an owner's main pair, the exchange
// of the two, and the recovery of what a dead prune or rebuild left behind.
//
// The mutexes a step needs are described with LogMutex (files/log_files.h).
//
// Crash consistency. A prune:
//   1. under the write mutex: repairs the main pair's tail, measures it, and
//      creates the new log at the size S of the surviving log bytes (zeros),
//      then the new index at the size of the surviving entries, all zero but
//      its last slot, which holds S. From here on appends go into the new pair,
//      behind these reserved fronts, and never into the main pair.
//   2. without it: copies the surviving log bytes and then the surviving
//      entries into the fronts.
//   3. under the write and read mutexes: moves the main index and then the main
//      log to "<name>.old0", the new log and then the new index to the main
//      names; afterwards it deletes the two backups.
// A new pair or a backup whose prune mutex is free belongs to a dead prune.
// The next operation that finds one takes the prune mutex and finishes the
// prune: an unfilled front (a zero slot before S, or a first record that does
// not end in CR LF) is filled again from the unchanged main pair, the fronts
// being a pure function of it, and the exchange is completed from whatever
// step it had reached. Every step can be repeated, so a death during recovery
// is recovered the same way. Only when the main pair no longer matches the
// front are the records appended to the new pair carried into the main pair:
// its index is rebuilt first when unusable, so that its tail check cuts a
// torn part-copy. Before it copies anything the carry-back writes the main
// pair's ends to the carry mark; a recovery that finds a whole mark skips the
// refill (the main pair may have grown) and copies only the records that are
// not already at their places behind the marked ends. The mark goes after the
// new pair; one without a new pair is stale, and a prune removes it before it
// creates its fronts. While recovery cannot finish a dead prune's new pair (a
// file of it will not open), appends are refused and no prune makes a new
// pair over it: the records in it stay for a later recovery.
#pragma once

#include <cstdint>

#include "files/log_files.h"
#include "text/bounded_text.h"

namespace actlog {

struct PairPaths {
    explicit PairPaths(const char16_t* owner) noexcept : PairPaths(OwnerFiles(owner)) {}
    explicit PairPaths(OwnerFiles&& files) noexcept
        : log(files.Path(LogFile::Log)),
          index(files.Path(LogFile::Index)),
          newLog(files.Path(LogFile::NewLog)),
          newIndex(files.Path(LogFile::NewIndex)),
          mark(files.Path(LogFile::CarryMark)) {}
    PathText log, index, newLog, newIndex, mark;
};

// The main pair as a prune measured it under the write mutex.
struct PruneMeasures {
    std::uint32_t count = 0;      // records removed
    std::uint32_t indexSize = 0;  // main index bytes
    std::uint32_t cutOffset = 0;  // end of the last record removed
    std::uint32_t logSize = 0;    // main log bytes
    std::uint32_t surviving() const noexcept { return logSize - cutOffset; }
    std::uint32_t survivingEntries() const noexcept { return indexSize / 4 - count; }
};

// A main file's name with ".old0" (or the first free digit up to 9).
using BackupName = BoundedText<kPathChars + 8>;
struct SwapBackups {
    BackupName index;
    BackupName log;
};

// With the write mutex held: creates the new pair's reserved fronts (see
// above); fails when a new pair that recovery could not finish is there.
Status CreateFronts(const PairPaths& paths, const PruneMeasures& measures) noexcept;

// Copies the surviving log bytes and entries into the fronts.
Status FillFronts(const PairPaths& paths, const PruneMeasures& measures) noexcept;

// With the write and read mutexes held: puts the new pair in place of the main
// pair, from whatever step an earlier exchange reached. Fails when the new log
// could not take the main log's place (the main pair is then back in place).
Status SwapNewPairIn(const PairPaths& paths, SwapBackups* backups) noexcept;

// With the write mutex held: the records appended to the new pair behind a
// front of `surviving` bytes go to the end of the main pair; the new pair goes.
// False when it could not: the new pair then stays for the next recovery, so
// no caller reports a cause for it.
bool CarryBackAndDrop(const PairPaths& paths, std::uint32_t surviving, std::uint32_t survivingEntries) noexcept;

// With the prune, write and read mutexes held: finishes whatever a dead prune
// or rebuild left (new pair, backups, rebuild file).
void RecoverHeld(const LogMutex& prune, const LogMutex& read, const char16_t* owner) noexcept;

// With the write mutex held: when the prune mutex is free and a dead prune
// left files, takes it and the read mutex and recovers. True when it did.
bool RecoverUnderWrite(const char16_t* owner) noexcept;

// With the prune mutex held: takes the write and read mutexes and recovers
// when anything is left to recover.
void RecoverUnderPrune(const LogMutex& prune, const char16_t* owner) noexcept;

// With no mutex held (readers): when the write mutex is free, no append is
// under way, so a log that does not end at its index's last entry was left by
// a dead writer: its tail is repaired as the next append would.
void RepairTailIfIdle(const char16_t* owner) noexcept;

// With no mutex held (readers): recovers when the prune mutex is free.
void RecoverUnlocked(const char16_t* owner) noexcept;

// Whether a new index records its front's end: its last whole slot is set, or
// it has none and the new log holds no front (it is empty, or starts with the
// byte-order mark the first append to an empty front writes). A prune writes
// that slot under the write mutex before any append can see its new pair, so
// an unrecorded front is one whose preparation died.
enum class FrontState { Recorded, Unrecorded, Unknown };
FrontState FrontOf(platform::FileHandle log, platform::FileHandle index) noexcept;

// Whether a new log or a backup of the main index may exist (a dead prune's,
// or one running now), named after the owner's files: readers then call
// RecoverUnlocked. A name the OS could not probe counts as there.
bool LeftoversMayExist(OwnerFiles& files) noexcept;

}  // namespace actlog
