// Activity log pairs made byte by byte, for logs the append would never write
// (fixed stamps, records that do not split, damaged indexes).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Log.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace retrievaltest {

namespace fs = testsupport::fs;

// A record line as the append builds it, stamped 2024/03/05 10:20:<second>.
std::u16string RecordLine(std::uint32_t severity, std::uint32_t job, std::u16string_view message,
                          std::uint16_t second = 0);

using testsupport::W;
using testsupport::WriteIndex;
inline std::vector<std::uint32_t> WritePair(const fs::path& log, const fs::path& index,
                                            const std::vector<std::u16string>& lines, bool mark = true) {
    return testsupport::WriteLogPair(log, index, lines, mark);
}

// One query's outputs; the array goes back through FreeLog.
struct Page {
    ActivityEntry* entries = reinterpret_cast<ActivityEntry*>(1);  // each query must reset it
    std::uint32_t returned = 99;
    std::uint32_t total = 99;
    Page() = default;
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;
    ~Page() { Release(); }
    void Release() {
        if (entries != reinterpret_cast<ActivityEntry*>(1)) FreeLog(entries);
        entries = nullptr;
    }
};

// Whether another thread can take the owner's read mutex at once (a Win32
// mutex would let its owning thread in again, so the probe runs elsewhere).
bool ReadMutexFree(const char16_t* owner);

// The entries handed out, up to the terminator, as (severity, job, time, message).
struct Got {
    std::uint32_t severity;
    std::uint32_t jobNumber;
    std::u16string time;
    std::u16string message;
    bool operator==(const Got&) const = default;
};
std::vector<Got> Entries(const ActivityEntry* entries);
// Just the messages, for the paging checks.
std::vector<std::u16string> Messages(const ActivityEntry* entries);

}  // namespace retrievaltest
