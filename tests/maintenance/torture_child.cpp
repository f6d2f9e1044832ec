// log_child commands of the kill -9 torture run. Each loops until its stop file
// exists and prints one line per export call (flushed at once, so that the line
// is on disk before the next call, whenever the process is killed):
//   torture-write <stop> <owner | -> <tag> <job>
//       "<tag>-<n> <result> <epoch second before the call>" per record
//   torture-prune <stop> <lag s>            "cut <epoch>" before each PruneLog, "<result>" after
//   torture-rebuild <stop> <index to drop>  "<result>" per ReIndexLog
//   torture-read <stop>                     "<result>" per GetLog / GetJobLog page
// The prune and the rebuild take the owner "vm1" and the machine's log in turn.
// Besides the killer outside, the writers, the pruner and the rebuilder now and
// then SIGKILL themselves a random moment after a call starts: a prune or a
// rebuild lasts milliseconds, an append microseconds, too short for a kill
// from outside to land inside them often.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "message_ids.h"
#include "support/child_api.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

using Text = std::basic_string<LOG_WCHAR>;

long long EpochSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool Stopped(const std::string& stopFile) {
    std::error_code ec;
    return std::filesystem::exists(stopFile, ec);
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::mt19937& Random() {
    static std::mt19937 random(std::random_device{}());
    return random;
}

// One time in `odds`: kills this process, from a thread of its own, within
// `upTo` microseconds from now.
void MaybeKillSelf(int odds, int upTo) {
    if (std::uniform_int_distribution<int>(1, odds)(Random()) != 1) return;
    const int micros = std::uniform_int_distribution<int>(0, upTo)(Random());
    std::thread([micros] {
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 128 + 9);
#else
        ::kill(::getpid(), SIGKILL);
#endif
    }).detach();
}

#define LINE(...) (std::printf(__VA_ARGS__), std::fflush(stdout))

const LOG_WCHAR* OwnerOf(const Text& owner) { return owner.empty() ? nullptr : owner.c_str(); }

const Text kOwners[2] = {childapi::Wide("vm1"), Text()};

// torture-write <stop> <owner | -> <tag> <job>
int Write(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 4 || api.VMJobLogActivity == nullptr || api.JobLogActivity == nullptr) return 2;
    const Text owner = args[1] == "-" ? Text() : childapi::Wide(args[1]);
    const auto job = static_cast<std::uint32_t>(std::atoi(args[3].c_str()));
    for (long n = 0; !Stopped(args[0]); ++n) {
        const std::string text = args[2] + "-" + std::to_string(n);
        const Text wide = childapi::Wide(text);
        const long long before = EpochSeconds();
        MaybeKillSelf(400, 300);
        const int result = owner.empty() ? api.JobLogActivity(1, job, MSG_PLAIN_TEXT, wide.c_str())
                                         : api.VMJobLogActivity(owner.c_str(), 1, job, MSG_PLAIN_TEXT, wide.c_str());
        LINE("%s %d %lld\n", text.c_str(), result, before);
        Pause(1);
    }
    return 0;
}

// torture-prune <stop> <lag s>: the cut-off is the current second less the
// lag. A prune removes records only when the cut-off has moved to a new
// second; one such prune in three is killed.
int Prune(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 2 || api.PruneLog == nullptr) return 2;
    const long long lag = std::atoll(args[1].c_str());
    long long lastCut[2] = {0, 0};
    for (int turn = 0; !Stopped(args[0]); ++turn) {
        const long long cut = EpochSeconds() - lag;
        const std::time_t t = static_cast<std::time_t>(cut);
        const std::tm parts = *std::gmtime(&t);
        LogSystemTime date{};
        date.wYear = static_cast<std::uint16_t>(parts.tm_year + 1900);
        date.wMonth = static_cast<std::uint16_t>(parts.tm_mon + 1);
        date.wDay = static_cast<std::uint16_t>(parts.tm_mday);
        date.wHour = static_cast<std::uint16_t>(parts.tm_hour);
        date.wMinute = static_cast<std::uint16_t>(parts.tm_min);
        date.wSecond = static_cast<std::uint16_t>(parts.tm_sec);
        LINE("cut %lld\n", cut);
        if (cut != lastCut[turn % 2]) MaybeKillSelf(3, 10000);
        lastCut[turn % 2] = cut;
        LINE("%d\n", api.PruneLog(&date, OwnerOf(kOwners[turn % 2])));
        Pause(20);
    }
    return 0;
}

// torture-rebuild <stop> <index file>: every fourth rebuild of "vm1" first
// removes its index, as a lost index would be; one such rebuild in four is killed.
int Rebuild(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 2 || api.ReIndexLog == nullptr) return 2;
    for (int turn = 0; !Stopped(args[0]); ++turn) {
        if (turn % 8 == 0) {
            std::error_code ec;
            std::filesystem::remove(args[1], ec);
            MaybeKillSelf(4, 20000);
        }
        LINE("%d\n", api.ReIndexLog(OwnerOf(kOwners[turn % 2])));
        Pause(50);
    }
    return 0;
}

// torture-read <stop>: pages of 50 through both logs, newest first, and the
// records of job 1.
int Read(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 1 || api.GetLog == nullptr || api.GetJobLog == nullptr || api.FreeLog == nullptr) return 2;
    for (int turn = 0; !Stopped(args[0]); ++turn) {
        for (std::uint32_t start = 0;; start += 50) {
            ActivityEntry* entries = nullptr;
            std::uint32_t returned = 0;
            std::uint32_t total = 0;
            const int result = turn % 3 == 2
                                   ? api.GetJobLog(1, start, 50, &entries, &returned, &total, OwnerOf(kOwners[0]))
                                   : api.GetLog(start, 50, &entries, &returned, &total, OwnerOf(kOwners[turn % 3]));
            LINE("%d\n", result);
            if (result != 0) break;
            api.FreeLog(entries);
            if (start + 50 >= total || Stopped(args[0])) break;
        }
    }
    return 0;
}

const bool g_write = childapi::Register("torture-write", &Write);
const bool g_prune = childapi::Register("torture-prune", &Prune);
const bool g_rebuild = childapi::Register("torture-rebuild", &Rebuild);
const bool g_read = childapi::Register("torture-read", &Read);

}  // namespace
