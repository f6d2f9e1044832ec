// Which owner a log file belongs to, and the lookup of an owner's log. One
// rule serves every part of the library (appends, reads, maintenance, owner
// renaming, the full resynchronisation), so that two owners never share a log.
#pragma once

#include <string_view>

#include "text/bounded_text.h"

namespace actlog {

// Which owner's index claims the log "<stem>.activity.log" in `directory`:
// the longest of the stem and its parts after each '.' whose index
// "<part>.activity.idx" exists. A shorter part whose own "<part>.activity.log"
// exists is passed over: its index belongs to that log.
enum class LogClaim {
    Claimed,    // `owner` receives the owner whose index claims the log
    Elsewhere,  // only passed-over parts have an index; `owner` receives the longest
    None,       // no part has an index: the log is whichever owner's finds it first
    Unknown,    // an index could not be probed (the OS failed): nobody may take the log
};
LogClaim IndexedOwnerOfLog(std::u16string_view directory, std::u16string_view stem, PathText& owner) noexcept;

enum class OwnerLogLookup {
    Found,   // the owner's log lies on disk
    Absent,  // the owner has no log: the plain name is free for it
    Taken,   // the plain name is another owner's log: the owner has none it may use
    Unknown, // a probe or the search failed: the log is not known, so none is used
};

struct OwnerLogName {
    OwnerLogLookup lookup = OwnerLogLookup::Absent;
    PathText log;       // path of the log: found, or the plain name; empty when taken or unknown
    PathText spelling;  // the owner name as all its files spell it
};

// Looks up `owner`'s log in `directory` (which ends with the separator): the
// plain name "<owner>.activity.log" in any letter case, else a prefixed name
// "<prefix>.<owner>.activity.log", in either case only a log that no other
// owner's index claims. The plain name wins over prefixed ones. Where file
// names tell letter case apart, the spelling is the owner's part of the log's
// name as it lies on disk; otherwise, and without a log, the caller's.
OwnerLogName LookUpOwnerLog(std::u16string_view directory, std::u16string_view owner) noexcept;

// The same lookup for another name ending than ".activity.log" (a log's
// backup); `log` is then the path of that file.
OwnerLogName LookUpOwnerFile(std::u16string_view directory, std::u16string_view owner,
                             std::u16string_view suffix) noexcept;

}  // namespace actlog
