// Prune and index rebuild of a large log: wall time and peak resident memory,
// each operation in a fresh process, and the prune (the old log's deletion
// included) against cp of the bytes that survive it plus rm of a same-size
// copy of the old log. The prune and cp + rm each start from the same state: a
// fresh log, a copy of it, everything written back, and 2 GiB of memory touched and
// freed just before. (On a virtual machine, guest memory left free for a few
// seconds goes back to the host, and the page-cache pages made from it cost
// several times more to fill; touching memory first takes that out of both.)
// The comparison is repeated and the medians are compared.
//
//   prune_bench <work directory> [records] [rounds]   (default 8,000,000: about 1 GiB; 5 rounds)
//
// The work directory receives bin/ and Logs/; the big files are deleted at the end.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using namespace bench;

constexpr const char16_t* kMessage = u"benchmark record plain message";

std::uint32_t Severity(std::uint64_t) { return 1; }
std::uint32_t Job(std::uint64_t k) { return k % 7 == 0 ? static_cast<std::uint32_t>(k) : 0; }

// One record a second; the prune date lies halfway.
// The surviving half of the log on its own, in <work>/survivors, for cp.
int Survivors(const fs::path& work, std::uint64_t records) {
    fs::create_directories(work / "survivors");
    return WriteLog(work / "survivors", "", records, kMessage, Severity, Job, records / 2) ? 0 : 1;
}

int Generate(const fs::path& logs, std::uint64_t records) {
    if (!WriteLog(logs, "", records, kMessage, Severity, Job)) return 1;
    std::printf("generated %llu records, %llu bytes\n", static_cast<unsigned long long>(records),
                static_cast<unsigned long long>(fs::file_size(logs / "activity.log")));
    return 0;
}

// Touches 2 GiB of fresh memory and gives it back.
int Warm() {
    constexpr std::size_t kBytes = std::size_t{2} << 30;
    void* block = std::malloc(kBytes);
    if (block == nullptr) return 1;
    std::memset(block, 1, kBytes);
    std::free(block);
    return 0;
}

// The time and the peak memory go to <work>/prune.seconds for the driver.
int Prune(const fs::path& work, std::uint64_t records) {
    LogSystemTime date = StampOf(records / 2);
    Clock::time_point t0 = Clock::now();
    int removed = PruneLog(&date, nullptr);
    double took = Seconds(t0);
    std::printf("prune: removed %d in %.3f s, peak RSS %ld KiB\n", removed, took, PeakKib());
    std::ofstream(work / "prune.seconds") << took << ' ' << PeakKib();
    return removed == static_cast<int>(records / 2) ? 0 : 1;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
    std::ifstream one(a, std::ios::binary);
    std::ifstream two(b, std::ios::binary);
    std::string x((std::istreambuf_iterator<char>(one)), std::istreambuf_iterator<char>());
    std::string y((std::istreambuf_iterator<char>(two)), std::istreambuf_iterator<char>());
    return one.is_open() && two.is_open() && x == y;
}

int Rebuild(const fs::path& logs) {
    fs::rename(logs / "activity.idx", logs / "pruned.idx");
    Clock::time_point t0 = Clock::now();
    int result = ReIndexLog(nullptr);
    double took = Seconds(t0);
    std::printf("rebuild: result %d in %.3f s, peak RSS %ld KiB\n", result, took, PeakKib());
    bool equal = SameBytes(logs / "activity.idx", logs / "pruned.idx");
    std::printf("rebuilt index %s the prune's\n", equal ? "equals" : "DIFFERS FROM");
    return result == 0 && equal ? 0 : 1;
}

int Run(const char* self, const fs::path& work, const char* step, std::uint64_t records) {
    return RunStep(self, {work.string(), std::to_string(records), "--step", step});
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A fresh log and a copy of it (deleted at the end of the round, to show
// what deleting the pruned log costs by itself), all written back.
bool FreshLog(const char* self, const fs::path& work, std::uint64_t records) {
    fs::remove_all(work / "Logs");
    fs::remove_all(work / "survivors");
    fs::create_directories(work / "Logs");
    if (Run(self, work, "generate", records) != 0) return false;
    return CopyWithSystemTool(work / "Logs" / "activity.log", work / "doomed.log");
}

// One round: the prune of a fresh log, then cp of the same surviving bytes
// plus rm of the copy of the old log, from the same starting state. Gives both
// times and the prune's peak memory.
bool Round(const char* self, const fs::path& work, std::uint64_t records, double* prune, double* copy, long* peakKib) {
    if (!FreshLog(self, work, records) || !WriteBackEverything()) return false;
    if (Run(self, work, "warm", records) != 0 || Run(self, work, "prune", records) != 0) return false;
    std::ifstream(work / "prune.seconds") >> *prune >> *peakKib;
    std::uintmax_t pruned = fs::file_size(work / "Logs" / "activity.log");
    Clock::time_point t0 = Clock::now();
    fs::remove(work / "doomed.log");
    std::printf("deleting a copy of the log before the prune: %.3f s\n", Seconds(t0));

    if (!FreshLog(self, work, records) || Run(self, work, "survivors", records) != 0) return false;
    fs::path survivors = work / "survivors" / "activity.log";
    // The same records; the pruned log starts without a byte-order mark.
    if (fs::file_size(survivors) != pruned + 2 || !WriteBackEverything()) return false;
    if (Run(self, work, "warm", records) != 0) return false;
    t0 = Clock::now();
    if (!CopyWithSystemTool(survivors, work / "copy.log")) return false;
    double cpOnly = Seconds(t0);
    if (!RemoveWithSystemTool(work / "doomed.log")) return false;
    *copy = Seconds(t0);
    std::printf("cp of the %llu surviving bytes: %.3f s, then rm of the old log's copy: %.3f s\n",
                static_cast<unsigned long long>(pruned), cpOnly, *copy - cpOnly);
    fs::remove(work / "copy.log");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <work directory> [records] [rounds]\n", argv[0]);
        return 2;
    }
    fs::path work = fs::absolute(argv[1]);
    std::uint64_t records = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8000000;
    fs::path logs = work / "Logs";
    Start(work);
    if (argc > 4 && std::string(argv[3]) == "--step") {
        std::string step = argv[4];
        if (step == "generate") return Generate(logs, records);
        if (step == "prune") return Prune(work, records);
        if (step == "survivors") return Survivors(work, records);
        if (step == "warm") return Warm();
        if (step == "rebuild") return Rebuild(logs);
        return 2;
    }
    int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    std::vector<double> prunes;
    std::vector<double> copies;
    long peakKib = 0;
    int failed = 0;
    for (int round = 0; round < rounds && failed == 0; ++round) {
        double prune = 0;
        double copy = 0;
        long peak = 0;
        failed = Round(argv[0], work, records, &prune, &copy, &peak) ? 0 : 1;
        prunes.push_back(prune);
        copies.push_back(copy);
        peakKib = std::max(peakKib, peak);
    }
    if (failed == 0 && rounds > 0) {
        std::printf("median of %d rounds: prune %.3f s, cp + rm %.3f s, prune / (cp + rm) %.2f\n", rounds,
                    Median(prunes), Median(copies), Median(prunes) / Median(copies));
        std::string size = records == 8000000 ? "1 GiB" : std::to_string(records / 1000) + "K records";
#ifdef _WIN32
        const char* reference = "CopyFileW of the surviving bytes + DeleteFileW of a same-size copy of the old log";
#else
        const char* reference = "cp of the surviving bytes + rm of a same-size copy of the old log";
#endif
        Report("PruneLog of " + size + ", deletion included", Median(prunes), "s", reference, Median(copies),
               "ratio<=1.3");
        Report("PruneLog of " + size + ", peak memory", static_cast<double>(peakKib) / 1024, "MiB", "-", -1, "figure<=64");
        // The rebuild of a pruned log's index.
        failed = FreshLog(argv[0], work, records) && WriteBackEverything() &&
                         Run(argv[0], work, "prune", records) == 0
                     ? Run(argv[0], work, "rebuild", records)
                     : 1;
    }
    fs::remove_all(work / "Logs");
    fs::remove_all(work / "survivors");
    fs::remove(work / "doomed.log");
    fs::remove(work / "prune.seconds");
    return failed;
}
