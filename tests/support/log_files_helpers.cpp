#include "support/log_files_helpers.h"

#include <algorithm>
#include <cstdarg>

#include "files/log_files.h"
#include "files/record_line.h"

namespace testsupport {

int32_t CallJobLogActivityEx(const LOG_WCHAR* owner, uint32_t severity, uint32_t job, uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    int32_t result = JobLogActivityEx(owner, severity, job, id, args);
    va_end(args);
    return result;
}

LogSystemTime At(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    auto u16 = [](unsigned value) { return static_cast<std::uint16_t>(value); };
    return LogSystemTime{u16(year), u16(month), 0, u16(day), u16(hour), u16(minute), u16(second), 0};
}

std::u16string RecordLine(const LogSystemTime& time, std::uint32_t severity, std::uint32_t job,
                          std::u16string_view message) {
    actlog::LineText line;
    std::u16string text(message);
    actlog::BuildRecordLine(line, time, severity, job, text.c_str());
    return std::u16string(line.view());
}

std::u16string JournalRecord(std::u16string_view line) {
    std::string size = std::to_string(line.size() * 2);
    return U16(std::string_view(std::string(10 - size.size(), ' ') + size + " ")) + std::u16string(line);
}

void WriteIndex(const fs::path& index, const std::vector<std::uint32_t>& entries) {
    std::vector<std::uint8_t> bytes(entries.size() * 4);
    for (std::size_t i = 0; i < entries.size(); ++i) actlog::StoreLe32(entries[i], &bytes[4 * i]);
    WriteBytes(index, bytes);
}

std::vector<std::uint32_t> WriteLogPair(const fs::path& log, const fs::path& index,
                                        const std::vector<std::u16string>& lines, bool mark) {
    std::vector<std::uint8_t> bytes;
    if (mark) bytes = {0xFF, 0xFE};
    std::vector<std::uint32_t> entries;
    for (const std::u16string& line : lines) {
        std::vector<std::uint8_t> record = Utf16Bytes(line);
        bytes.insert(bytes.end(), record.begin(), record.end());
        entries.push_back(static_cast<std::uint32_t>(bytes.size()));
    }
    fs::create_directories(log.parent_path());
    WriteBytes(log, bytes);
    WriteIndex(index, entries);
    return entries;
}

std::vector<std::u16string> LogLines(const fs::path& log) {
    std::u16string text = Exists(log) ? ReadUtf16(log) : std::u16string();
    if (!text.empty() && text[0] == u'\xFEFF') text.erase(0, 1);
    std::vector<std::u16string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(u"\r\n", at);
        end = end == std::u16string::npos ? text.size() : end + 2;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

void WriteRecords(const fs::path& log, const fs::path& index, const std::vector<TestRecord>& records) {
    std::vector<std::u16string> lines;
    for (const TestRecord& record : records) lines.push_back(RecordLine(record.time, 1, 0, record.message));
    WriteLogPair(log, index, lines);
}

std::vector<std::string> Leftovers(const fs::path& logs) {
    std::vector<std::string> found;
    for (const std::string& name : ListDir(logs)) {
        for (const char* mark : {".new", ".old", ".rex", ".car"}) {
            if (name.find(mark) != std::string::npos) found.push_back(name);
        }
    }
    return found;
}

std::vector<std::u16string> Messages(const ActivityEntry* entries) {
    std::vector<std::u16string> messages;
    for (const ActivityEntry* e = entries; e != nullptr && e->timeText != nullptr; ++e) {
        messages.emplace_back(reinterpret_cast<const char16_t*>(e->messageText));
    }
    return messages;
}

std::optional<std::vector<std::u16string>> LoggedMessages(const LOG_WCHAR* owner) {
    std::vector<std::u16string> messages;
    for (std::uint32_t start = 0;; start += 500) {
        Page page;
        if (GetLog(start, 500, &page.entries, &page.returned, &page.total, owner) != 0) return std::nullopt;
        for (const std::u16string& text : Messages(page.entries)) {
            messages.push_back(text.substr(std::min(text.size(), text.find_first_not_of(u' '))));
        }
        if (start + 500 >= page.total) break;
    }
    std::reverse(messages.begin(), messages.end());
    return messages;
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

}  // namespace testsupport
