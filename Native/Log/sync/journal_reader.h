// Reading journal files back: the batch reader behind GetNextSyncLogs and
// GetNextSyncLogsFull, and the in-place parse of one journal line.
#pragma once

#include <cstdint>

#include "Log.h"

namespace actlog {

// The runtime's wide text-to-int conversion: leading white space skipped, an
// optional sign, decimal digits up to the first other character; 0 when there
// are none; saturates at the 32-bit limits.
std::int32_t WideToInt(const char16_t* text) noexcept;

// Parses a line block in place. `block` holds `chars` characters read from the
// journal, the last two of which must be CR LF. On success the CR becomes the
// terminator, separators become NULs and `entry` points into the block (its
// kindText is the block itself). Gives:
//   1  parsed: an ADD or PRUNE line
//   0  skipped: no CR LF problem, but the line does not parse
//  -1  the block does not end in CR LF (or is too short to)
int ParseJournalLine(char16_t* block, std::uint32_t chars, SyncLogEntry& entry) noexcept;

// Reads the next batch of at most `count` lines from the process's reading
// position, opening `path` when the position is closed. 0 when `count` lines
// were consumed, 1 at the end of the file (position closed), -1 on failure
// (nothing handed out, position closed). A count of 0 closes the position.
std::int32_t ReadSyncLogs(const char16_t* path, std::uint32_t count, SyncLogEntry** entries,
                          std::uint32_t* returned) noexcept;

// Releases an array handed out by ReadSyncLogs (null does nothing).
void FreeSyncLogEntries(SyncLogEntry* entries) noexcept;

// Closes the reading position if it is open (tests, and count 0).
void CloseSyncReadingPosition() noexcept;

}  // namespace actlog
