#include "maintenance_helpers.h"

#include "activity/log_files.h"
#include "activity/record_line.h"

namespace maintenancetest {

using testsupport::ReadBytes;
using testsupport::Utf16Bytes;
using testsupport::WriteBytes;

LogSystemTime At(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    LogSystemTime t{};
    t.wYear = static_cast<std::uint16_t>(year);
    t.wMonth = static_cast<std::uint16_t>(month);
    t.wDay = static_cast<std::uint16_t>(day);
    t.wHour = static_cast<std::uint16_t>(hour);
    t.wMinute = static_cast<std::uint16_t>(minute);
    t.wSecond = static_cast<std::uint16_t>(second);
    return t;
}

std::u16string Line(const TestRecord& record) {
    actlog::LineText line;
    actlog::BuildRecordLine(line, record.time, 1, 0, record.message.c_str());
    return std::u16string(line.view());
}

void WriteLogPair(const fs::path& log, const fs::path& index, const std::vector<TestRecord>& records,
                  bool byteOrderMark) {
    std::vector<std::uint8_t> bytes;
    if (byteOrderMark) bytes = {0xFF, 0xFE};
    std::vector<std::uint8_t> entries;
    for (const TestRecord& record : records) {
        std::vector<std::uint8_t> line = Utf16Bytes(Line(record));
        bytes.insert(bytes.end(), line.begin(), line.end());
        auto end = static_cast<std::uint32_t>(bytes.size());
        for (int shift = 0; shift < 32; shift += 8) entries.push_back(static_cast<std::uint8_t>(end >> shift));
    }
    WriteBytes(log, bytes);
    WriteBytes(index, entries);
}

std::vector<std::u16string> Lines(const fs::path& log) {
    std::vector<std::uint8_t> bytes = testsupport::Exists(log) ? ReadBytes(log) : std::vector<std::uint8_t>{};
    std::size_t at = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE ? 2 : 0;
    std::vector<std::u16string> lines;
    std::u16string current;
    for (; at + 1 < bytes.size(); at += 2) {
        current.push_back(static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8));
        if (current.size() >= 2 && current.substr(current.size() - 2) == u"\r\n") {
            lines.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
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
