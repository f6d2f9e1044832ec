// Activity logs, indexes and times made directly for tests: logs the append
// would never write (fixed stamps, damaged indexes) and their line views.
#pragma once

#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Log.h"
#include "support/sandbox.h"

namespace testsupport {

// Text as the exports take it (LOG_WCHAR is wchar_t on Windows).
inline const LOG_WCHAR* W(const char16_t* text) { return reinterpret_cast<const LOG_WCHAR*>(text); }

// JobLogActivityEx with its inserts passed as a va_list.
int32_t CallJobLogActivityEx(const LOG_WCHAR* owner, uint32_t severity, uint32_t job, uint32_t id, ...);

LogSystemTime At(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second);

// A record line exactly as the append builds it.
std::u16string RecordLine(const LogSystemTime& time, std::uint32_t severity, std::uint32_t job,
                          std::u16string_view message);

// "%10d " + line: a journal record as it stands in the file.
std::u16string JournalRecord(std::u16string_view line);

// Writes the lines as a log (behind FF FE when `mark`) and their end offsets
// as its index. Gives the index entries written.
std::vector<std::uint32_t> WriteLogPair(const fs::path& log, const fs::path& index,
                                        const std::vector<std::u16string>& lines, bool mark = true);
void WriteIndex(const fs::path& index, const std::vector<std::uint32_t>& entries);

// The lines of a log (byte-order mark left out), each with its CR LF; a last
// line without one is kept as it is. A missing log has none.
std::vector<std::u16string> LogLines(const fs::path& log);

// A severity-1 record without job number, for logs written by WriteRecords.
struct TestRecord {
    LogSystemTime time;
    std::u16string message;
};
void WriteRecords(const fs::path& log, const fs::path& index, const std::vector<TestRecord>& records);

// Files of the Logs directory that a maintenance run must not leave behind.
std::vector<std::string> Leftovers(const fs::path& logs);

// One query's outputs; the array goes back through FreeLog.
struct Page {
    ActivityEntry* entries = reinterpret_cast<ActivityEntry*>(1);  // each query must reset it
    std::uint32_t returned = 99;
    std::uint32_t total = 99;
    Page() = default;
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;
    ~Page() {
        if (entries != reinterpret_cast<ActivityEntry*>(1)) FreeLog(entries);
    }
};
// The messages of the entries handed out, up to the terminator.
std::vector<std::u16string> Messages(const ActivityEntry* entries);
// Every message of an owner's log (null: the machine's) as GetLog pages hand
// them out, oldest first, without the blank each starts with; nullopt when a
// page fails.
std::optional<std::vector<std::u16string>> LoggedMessages(const LOG_WCHAR* owner);

// Holds one of an owner's named mutexes on a thread of its own, as another
// process would (a Windows mutex lets its owning thread take it again).
class MutexHeldElsewhere {
public:
    MutexHeldElsewhere(const char16_t* baseName, const char16_t* owner);
    ~MutexHeldElsewhere();
    MutexHeldElsewhere(const MutexHeldElsewhere&) = delete;
    MutexHeldElsewhere& operator=(const MutexHeldElsewhere&) = delete;
    bool held() const { return held_; }

private:
    std::promise<void> release_;
    std::thread thread_;
    bool held_ = false;
};
// Whether another thread could take the mutex at once.
inline bool MutexFree(const char16_t* baseName, const char16_t* owner) {
    return MutexHeldElsewhere(baseName, owner).held();
}

}  // namespace testsupport
