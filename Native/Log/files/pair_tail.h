// The tail of a log and its index. In a sound pair the index's last entry is
// the log's end. A writer that died between its log write and its index
// write, or a write that stopped part-way, leaves a tail that does not match;
// the append checks the tail first, under the write mutex, and repairs it.
#pragma once

#include <cstdint>
#include <string_view>

#include "files/file_io.h"
#include "files/record_bounds.h"
#include "platform/platform.h"

namespace actlog {

// A log and its index, both open for reading and writing.
struct PairEnds {
    platform::FileHandle log;
    platform::FileHandle index;
    std::uint32_t logEnd = 0;    // log size: where the next record goes
    std::uint32_t indexEnd = 0;  // index size: where its entry goes
    // Where the index may end (0: no guess). Only a guess: the tail check
    // proves it by reading before it relies on it.
    std::uint32_t indexGuess = 0;
};

// The index end this process last saw for the index at a path, as a guess
// for the next tail check (0: none), and the remembering of it. Wrong
// guesses, from other processes' appends or from maintenance, cost a few
// more reads, never a wrong write.
class IndexEndMemo {
public:
    explicit IndexEndMemo(std::u16string_view path) noexcept;
    std::uint32_t Recall() const noexcept;
    void Remember(std::uint32_t end) const noexcept;

private:
    std::uint64_t hash_;
};

enum class TailState { Sound, Damaged, Failed };

// Makes the tail match: a torn index entry is cut off, complete records after
// the last entry get their entries, and a torn remainder of the log (no CR LF,
// or an odd byte) is cut off. Damaged: an entry lies past the log's end or
// before the first record. Failed: a size, read, write or cut failed (the
// files may then hold entries for complete records only, never torn ones).
// On Sound, logEnd and indexEnd hold the pair's sizes. A sound tail near
// the guessed index end is proven by two reads; anything else takes the sizes
// from the OS.
TailState RepairTail(PairEnds& pair) noexcept;

// Empties the index and gives it one entry per record of the log.
bool ReindexWhole(PairEnds& pair) noexcept;

// What a damaged tail (an entry past the log's end) does to the caller.
enum class OnDamage { Reindex, Fail };

// Whether a scan's `size` is the log's end or more may follow it.
enum class ScanEnd { Final, MoreMayFollow };

// The offset of a log's first record: 2 behind a byte-order mark, else 0.
bool FirstRecordStart(platform::FileHandle log, std::uint32_t logSize, std::uint32_t* start) noexcept;

// Calls each(end) for every record end of the log from `*pos` (a record start
// or a position inside a record) up to `size`, reading through `buffer`.
// `*pos` moves past what was decided. When more may follow `size`, a line end
// whose boundary test needs bytes beyond it stays undecided and the scan stops
// there, to go on in a later call.
template <typename Each>
bool ForEachRecordEnd(platform::FileHandle log, std::uint32_t* pos, std::uint32_t size, ScanEnd scanEnd,
                      unsigned char* buffer, std::uint32_t capacity, Each each) noexcept {
    while (size > *pos && size - *pos >= 4) {
        std::uint32_t count = size - *pos < capacity ? size - *pos : capacity;
        if (!ReadAt(log, *pos, buffer, count)) return false;
        std::uint32_t i = 0;
        bool reread = false;
        for (; i + 4 <= count; i += 2) {
            if (!IsLineEnd(buffer + i)) continue;
            std::uint32_t end = *pos + i + 4;
            std::uint32_t toEnd = size - end;
            std::uint32_t need = toEnd < kBoundaryLookahead ? toEnd : kBoundaryLookahead;
            if (scanEnd == ScanEnd::MoreMayFollow && need < kBoundaryLookahead && end + need == size) {
                *pos += i;  // decided once more of the log is there
                return true;
            }
            if (i + 4 + need > count) {
                reread = true;  // read again from here, with what follows
                break;
            }
            if (IsBoundary(buffer + i + 4, toEnd) && !each(end)) return false;
        }
        if (!reread && *pos + count == size) {
            // Everything looked at; a final odd byte or a lone CR stays undecided.
            *pos += i;
            return true;
        }
        // The next read starts at the first position not yet looked at, so a
        // line end split by the buffer's end is seen whole.
        *pos += i;
    }
    return true;
}

// Writes `count` bytes at `offset`; on failure cuts the file back to
// `offset`, so that no part of the write stays behind. The status is the
// write's.
Status WriteOrCutBack(platform::FileHandle file, std::uint32_t offset, const void* bytes, std::uint32_t count) noexcept;

// Sets the file's end at `size`.
Status CutTo(platform::FileHandle file, std::uint32_t size) noexcept;

}  // namespace actlog
