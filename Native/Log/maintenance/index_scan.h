// Index reconstruction from a log's line ends, shared by ReIndexLog and by a
// prune that must not end without a matching index.
#pragma once

#include <cstdint>

#include "maintenance/file_io.h"
#include "platform/platform.h"

namespace actlog {

// Finds record ends (CR LF as neighbouring UTF-16 code units) in a log and
// writes one index entry per record end, the offset after the line feed.
// Reads in fixed chunks and writes entries in blocks. The scan position and
// the last code unit carry over between calls, so a CR LF pair split across
// two passes is still recognised.
class IndexScanner {
public:
    explicit IndexScanner(platform::FileHandle out) noexcept;
    IndexScanner(const IndexScanner&) = delete;
    IndexScanner& operator=(const IndexScanner&) = delete;

    // False when the buffers could not be had.
    bool ready() const noexcept { return chunk_.valid() && entries_.valid(); }
    // Scans the log from the scan position up to byte `end` (whole code units only).
    bool Scan(platform::FileHandle log, std::uint32_t end) noexcept;
    // Writes the entries gathered so far.
    bool Flush() noexcept;
    std::uint32_t position() const noexcept { return position_; }

private:
    bool Add(std::uint32_t entry) noexcept;

    platform::FileHandle out_;
    ScopedBlock chunk_;
    ScopedBlock entries_;
    std::uint32_t pending_ = 0;
    std::uint32_t position_ = 0;
    std::uint64_t written_ = 0;
    bool lastWasCr_ = false;
};

// Whether the owner's index plausibly belongs to its log: present, whole
// entries, and the last entry at the log's end (no entry only for a log of
// nothing or only the byte-order mark). A missing log counts as matching.
bool IndexMatchesLog(const char16_t* owner) noexcept;

// Rebuilds the owner's index from its whole log through the rebuild file and
// puts it in place of whatever index there is. The caller holds the owner's
// prune and write mutexes (and the read mutex when `readHeld`; otherwise it is
// taken for the exchange). These mutexes are not recursive on every platform,
// so this must never be reached through ReIndexLog.
bool RebuildIndexHeld(const char16_t* owner, bool readHeld) noexcept;

// RebuildIndexHeld unless the index already matches the log.
void EnsureIndexHeld(const char16_t* owner, bool readHeld) noexcept;

}  // namespace actlog
