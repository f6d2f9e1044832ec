// Shared helpers for the maintenance tests: logs written directly from record
// lines, and views of a log's lines and line ends.
#pragma once

#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/log_files_helpers.h"
#include "support/sandbox.h"

#include "Log.h"

namespace maintenancetest {

namespace fs = std::filesystem;

using testsupport::At;
using testsupport::W;

struct TestRecord {
    LogSystemTime time;
    std::u16string message;
};

// The record line the library writes for a severity-1 record without job number.
std::u16string Line(const TestRecord& record);

// Writes a log (with or without the byte-order mark) and its index as the
// appends would have written them.
void WriteLogPair(const fs::path& log, const fs::path& index, const std::vector<TestRecord>& records,
                  bool byteOrderMark = true);

inline std::vector<std::u16string> Lines(const fs::path& log) { return testsupport::LogLines(log); }
// How many lines of the log end with ": <message>\r\n".
int CountMessage(const std::vector<std::u16string>& lines, const std::u16string& message);

// The index entries a scan of the log's line ends gives.
std::vector<std::uint32_t> LineEndOffsets(const fs::path& log);

// Files of the Logs directory that a maintenance run must not leave behind.
std::vector<std::string> Leftovers(const fs::path& logs);

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

}  // namespace maintenancetest
