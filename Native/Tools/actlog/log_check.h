// Read-only consistency check of an activity log against its index, by the
// library's own record-boundary rule (files/record_bounds.h): every index
// entry ends a record, every record has exactly one entry, the log ends with a
// whole record; and of the files an unfinished prune or rebuild leaves behind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace actlogtool {

struct LogCheck {
    std::uint32_t records = 0;          // index entries
    std::vector<std::string> damage;    // empty when the pair is sound
};

LogCheck CheckLog(const std::vector<std::uint8_t>& log, const std::vector<std::uint8_t>& index);

// Whether a file name is a leftover of some owner: a new pair
// ("*.activity.log.new", "*.activity.idx.new"), a rebuild file
// ("*.activity.idx.rex"), a carry mark ("*.activity.idx.car") or a discard
// name ("<file of the set>.old0" ... ".old9").
bool IsStrayFile(std::string_view name);

// The leftovers among `names` (the Logs directory's file names) that belong to
// `owner` ("" the machine) whose log is `logName`, each as "<name>: <problem>".
std::vector<std::string> StrayFiles(const std::vector<std::string>& names, std::string_view owner,
                                    std::string_view logName);

}  // namespace actlogtool
