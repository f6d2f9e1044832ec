// Read-only consistency check of an activity log against its index: every
// entry must end a record (a CR LF right before it), every record must begin
// with a time stamp, and nothing may follow the last indexed record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace actlogtool {

struct LogCheck {
    std::uint32_t records = 0;          // index entries
    std::vector<std::string> damage;    // empty when the pair is sound
};

LogCheck CheckLog(const std::vector<std::uint8_t>& log, const std::vector<std::uint8_t>& index);

}  // namespace actlogtool
