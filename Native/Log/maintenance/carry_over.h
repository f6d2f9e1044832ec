// Carrying records between the main pair and the new pair of a prune, so that
// no record a writer was told is logged goes with the files that a prune drops.
#pragma once

#include <cstdint>

namespace actlog {

// Where a prune's writers put their records beside the surviving part:
// `wrote` holds records appended to one pair from offset `from` on; the other
// pair's extra records start at `otherFrom` of `otherLog`.
struct CarrySource {
    const char16_t* log;        // file whose records are carried
    std::uint32_t from;         // first byte of those records
    const char16_t* otherLog;   // the log of the other pair
    std::uint32_t otherFrom;    // first byte of the other pair's extra records
    // Whether a record may stand in both (an append that wrote the new log but
    // not the new index falls back to the main pair too): such records are
    // left out.
    bool mayHoldBoth;
};

// Appends the records of `source` (whole lines from source.from to the end)
// that are not also among the other pair's extra records to the end of the
// log `toLog`, with their entries at the end of `toIndex` when it exists.
// Runs under the owner's write mutex.
bool CarryRecords(const CarrySource& source, const char16_t* toLog, const char16_t* toIndex) noexcept;

// The first byte after a new log's reserved front: the surviving size, or
// past the byte-order mark that an append writes into an empty new log.
std::uint32_t NewRecordsStart(const char16_t* newLog, std::uint32_t surviving) noexcept;

}  // namespace actlog
