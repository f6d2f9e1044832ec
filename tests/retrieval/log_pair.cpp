#include "log_pair.h"

#include <thread>

#include "files/log_files.h"

namespace retrievaltest {

std::u16string RecordLine(std::uint32_t severity, std::uint32_t job, std::u16string_view message,
                          std::uint16_t second) {
    return testsupport::RecordLine(testsupport::At(2024, 3, 5, 10, 20, second), severity, job, message);
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
