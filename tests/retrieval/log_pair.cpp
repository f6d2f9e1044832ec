#include "log_pair.h"

#include <thread>

#include "activity/log_files.h"
#include "activity/record_line.h"

namespace retrievaltest {

std::u16string RecordLine(std::uint32_t severity, std::uint32_t job, std::u16string_view message,
                          std::uint16_t second) {
    LogSystemTime time{2024, 3, 2, 5, 10, 20, second, 0};
    actlog::LineText line;
    std::u16string text(message);
    actlog::BuildRecordLine(line, time, severity, job, text.c_str());
    return std::u16string(line.view());
}

void WriteIndex(const fs::path& index, const std::vector<std::uint32_t>& entries) {
    std::vector<std::uint8_t> bytes(entries.size() * 4);
    for (std::size_t i = 0; i < entries.size(); ++i) actlog::StoreLe32(entries[i], &bytes[4 * i]);
    testsupport::WriteBytes(index, bytes);
}

std::vector<std::uint32_t> WritePair(const fs::path& log, const fs::path& index,
                                     const std::vector<std::u16string>& lines, bool mark) {
    std::vector<std::uint8_t> bytes;
    if (mark) bytes = {0xFF, 0xFE};
    std::vector<std::uint32_t> entries;
    for (const std::u16string& line : lines) {
        std::vector<std::uint8_t> record = testsupport::Utf16Bytes(line);
        bytes.insert(bytes.end(), record.begin(), record.end());
        entries.push_back(static_cast<std::uint32_t>(bytes.size()));
    }
    testsupport::WriteBytes(log, bytes);
    WriteIndex(index, entries);
    return entries;
}

bool ReadMutexFree(const char16_t* owner) {
    bool acquired = false;
    std::thread probe([&] {
        actlog::LogMutex readMutex(actlog::kReadMutexBase, owner);
        acquired = readMutex.Wait(actlog::platform::WaitTime::Zero);
    });
    probe.join();
    return acquired;
}

std::vector<Got> Entries(const ActivityEntry* entries) {
    std::vector<Got> got;
    for (const ActivityEntry* e = entries; e != nullptr && e->timeText != nullptr; ++e) {
        got.push_back({e->severity, e->jobNumber, std::u16string(reinterpret_cast<const char16_t*>(e->timeText)),
                       std::u16string(reinterpret_cast<const char16_t*>(e->messageText))});
    }
    return got;
}

std::vector<std::u16string> Messages(const ActivityEntry* entries) {
    std::vector<std::u16string> messages;
    for (const Got& got : Entries(entries)) messages.push_back(got.message);
    return messages;
}

}  // namespace retrievaltest
