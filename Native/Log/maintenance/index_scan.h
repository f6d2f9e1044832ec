// Index reconstruction from a log's record ends, for ReIndexLog.
#pragma once

#include <cstdint>

#include "files/file_io.h"
#include "files/pair_tail.h"
#include "platform/platform.h"

namespace actlog {

// Finds the record ends of a log (a CR LF followed by a record start or the
// log's end) and writes one index entry per record end. Reads in fixed chunks
// and writes entries in blocks. A line end near the end of one pass whose
// boundary test needs bytes that a later pass brings is decided then.
class IndexScanner {
public:
    explicit IndexScanner(platform::FileHandle out) noexcept;
    IndexScanner(const IndexScanner&) = delete;
    IndexScanner& operator=(const IndexScanner&) = delete;

    // False when the buffers could not be had.
    bool ready() const noexcept { return chunk_.valid() && entries_.valid(); }
    // Scans the log up to byte `end`.
    bool Scan(platform::FileHandle log, std::uint32_t end, ScanEnd scanEnd) noexcept;
    // Writes the entries gathered so far.
    bool Flush() noexcept;

private:
    bool Add(std::uint32_t entry) noexcept;

    platform::FileHandle out_;
    ScopedBlock chunk_;
    ScopedBlock entries_;
    std::uint32_t pending_ = 0;
    std::uint32_t position_ = 0;
    std::uint64_t written_ = 0;
};

}  // namespace actlog
