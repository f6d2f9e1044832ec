#include "maintenance_helpers.h"

#include "files/log_files.h"

namespace maintenancetest {

using testsupport::ReadBytes;

std::u16string Line(const TestRecord& record) { return testsupport::RecordLine(record.time, 1, 0, record.message); }

void WriteLogPair(const fs::path& log, const fs::path& index, const std::vector<TestRecord>& records,
                  bool byteOrderMark) {
    std::vector<std::u16string> lines;
    for (const TestRecord& record : records) lines.push_back(Line(record));
    testsupport::WriteLogPair(log, index, lines, byteOrderMark);
}

int CountMessage(const std::vector<std::u16string>& lines, const std::u16string& message) {
    std::u16string tail = u": " + message + u"\r\n";
    int count = 0;
    for (const std::u16string& line : lines) {
        if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) ++count;
    }
    return count;
}

std::vector<std::uint32_t> LineEndOffsets(const fs::path& log) {
    std::vector<std::uint8_t> bytes = ReadBytes(log);
    std::vector<std::uint32_t> ends;
    for (std::size_t k = 2; k + 1 < bytes.size(); k += 2) {
        if (bytes[k - 2] == 0x0D && bytes[k - 1] == 0 && bytes[k] == 0x0A && bytes[k + 1] == 0) {
            ends.push_back(static_cast<std::uint32_t>(k + 2));
        }
    }
    return ends;
}

std::vector<std::string> Leftovers(const fs::path& logs) {
    std::vector<std::string> found;
    for (const std::string& name : testsupport::ListDir(logs)) {
        for (const char* mark : {".new", ".old", ".rex"}) {
            if (name.find(mark) != std::string::npos) found.push_back(name);
        }
    }
    return found;
}

MutexHeldElsewhere::MutexHeldElsewhere(const char16_t* baseName, const char16_t* owner) {
    std::promise<bool> acquired;
    std::future<bool> result = acquired.get_future();
    std::future<void> release = release_.get_future();
    thread_ = std::thread([baseName, owner, &acquired, release = std::move(release)]() mutable {
        actlog::LogMutex mutex(baseName, owner);
        acquired.set_value(mutex.Wait(actlog::platform::WaitTime::Zero));
        release.wait();
    });
    held_ = result.get();
}

MutexHeldElsewhere::~MutexHeldElsewhere() {
    release_.set_value();
    thread_.join();
}

}  // namespace maintenancetest
