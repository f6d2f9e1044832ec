// log_child commands for the maintenance tests: writers that report every
// result, a pruner with advancing dates, and a reader that pages through a log.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "message_ids.h"
#include "support/child_api.h"

namespace {

long long EpochSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

LogSystemTime UtcOf(long long epoch) {
    std::time_t t = static_cast<std::time_t>(epoch);
    std::tm parts = *std::gmtime(&t);
    LogSystemTime out{};
    out.wYear = static_cast<std::uint16_t>(parts.tm_year + 1900);
    out.wMonth = static_cast<std::uint16_t>(parts.tm_mon + 1);
    out.wDay = static_cast<std::uint16_t>(parts.tm_mday);
    out.wHour = static_cast<std::uint16_t>(parts.tm_hour);
    out.wMinute = static_cast<std::uint16_t>(parts.tm_min);
    out.wSecond = static_cast<std::uint16_t>(parts.tm_sec);
    return out;
}

// write <owner> <count> <tag> <pause ms>
// Logs "<tag>-<n>"; prints "<text> <result> <epoch second before the call>".
int Write(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 4 || api.VMLogActivity == nullptr) return 2;
    const std::basic_string<LOG_WCHAR> owner = childapi::Wide(args[0]);
    const int count = std::atoi(args[1].c_str());
    const int pause = std::atoi(args[3].c_str());
    for (int n = 0; n < count; ++n) {
        std::string text = args[2] + "-" + std::to_string(n);
        long long before = EpochSeconds();
        int result = api.VMLogActivity(owner.c_str(), 1, MSG_PLAIN_TEXT, childapi::Wide(text).c_str());
        std::printf("%s %d %lld\n", text.c_str(), result, before);
        if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    return 0;
}

bool StopFileExists(const std::string& path) {
    std::FILE* stop = std::fopen(path.c_str(), "rb");
    if (stop == nullptr) return false;
    std::fclose(stop);
    return true;
}

// prune <owner> <stop file> <pause ms> <lag s>
// Until the stop file exists: prunes with the current second less the lag as
// the date; prints "<result> <date epoch>".
int Prune(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 4 || api.PruneLog == nullptr) return 2;
    const std::basic_string<LOG_WCHAR> owner = childapi::Wide(args[0]);
    const int pause = std::atoi(args[2].c_str());
    const int lag = std::atoi(args[3].c_str());
    while (!StopFileExists(args[1])) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        long long date = EpochSeconds() - lag;
        LogSystemTime when = UtcOf(date);
        int result = api.PruneLog(&when, owner.c_str());
        std::printf("%d %lld\n", result, date);
    }
    return 0;
}

// read <owner> <stop file>
// Pages through the log, 37 records a page, until the stop file exists;
// prints "fail <start>" for every failed page and "pages <n>" at the end.
int Read(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 2 || api.GetLog == nullptr || api.FreeLog == nullptr) return 2;
    const std::basic_string<LOG_WCHAR> owner = childapi::Wide(args[0]);
    long pages = 0;
    for (;;) {
        if (StopFileExists(args[1])) break;
        std::uint32_t start = 0;
        for (;;) {
            ActivityEntry* entries = nullptr;
            std::uint32_t returned = 0;  // records that parsed
            std::uint32_t total = 0;
            int result = api.GetLog(start, 37, &entries, &returned, &total, owner.c_str());
            ++pages;
            if (result != 0) {
                std::printf("fail %u\n", start);
                break;
            }
            api.FreeLog(entries);
            start += 37;  // counts index entries, parsed or not
            if (start >= total) break;
        }
    }
    std::printf("pages %ld\n", pages);
    return 0;
}

const bool g_write = childapi::Register("maint-write", &Write);
const bool g_prune = childapi::Register("maint-prune", &Prune);
const bool g_read = childapi::Register("maint-read", &Read);

}  // namespace
