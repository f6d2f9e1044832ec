// The prune file swap: removes the oldest records of an owner's main pair by
// building a shortened new pair beside it while writers keep appending, then
// exchanging the two.
#pragma once

#include <cstdint>

#include "platform/bounded_text.h"

namespace actlog {

// Names to which SwapInNewPair moved the old main pair (empty when not moved).
// Deleting a large old log takes a while, so it is done after the write and
// read mutexes are given back.
struct SwapBackups {
    BoundedText<kPathChars + 8> index;
    BoundedText<kPathChars + 8> log;
};

// Taken under the write mutex by PrepareNewPair.
struct PruneMeasures {
    std::uint32_t count = 0;      // records removed
    std::uint32_t indexSize = 0;  // main index bytes
    std::uint32_t cutOffset = 0;  // end of the last record removed
    std::uint32_t logSize = 0;    // main log bytes
    std::uint32_t surviving() const noexcept { return logSize - cutOffset; }
};

// Removes the first `count` records: `count` on success, 0 when `count` is 0,
// -1 on failure (also when another prune or a rebuild holds the prune mutex).
int RemoveOldestRecords(std::uint32_t count, const char16_t* owner) noexcept;
// The same for a caller that already holds the owner's prune mutex.
int RemoveOldestRecordsHeld(std::uint32_t count, const char16_t* owner) noexcept;

// With the write mutex held: measures the main pair and creates the new pair at
// the size of what survives (zero-filled). 0 or -1; on failure the new pair is gone.
int PrepareNewPair(std::uint32_t count, PruneMeasures* measures, const char16_t* owner) noexcept;

// Without the write mutex: copies the surviving log bytes and the surviving
// index entries (moved down by the cut offset) into the reserved fronts.
// -1 when the log part failed (the new pair has been discarded); 0 otherwise,
// the new index possibly dropped.
int FillNewPair(const PruneMeasures& measures, const char16_t* owner) noexcept;

// Deletes the new index and, unless `spareNewLog`, the new log, under the write
// mutex. Before the new log goes, records appended to it during the prune are
// carried into the main pair. -1 when the write mutex was not obtained.
int DiscardNewPair(bool spareNewLog, const PruneMeasures& measures, const char16_t* owner) noexcept;

// With the write and read mutexes held: puts the new pair in place of the main
// pair. 0 when the new log replaced the main log (the old pair then stands
// under the names in *backups, for the caller to delete); -1 when the exchange
// was undone.
int SwapInNewPair(const PruneMeasures& measures, const char16_t* owner, SwapBackups* backups) noexcept;

}  // namespace actlog
