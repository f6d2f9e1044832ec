// Prune and index rebuild of a large log: wall time and peak resident memory,
// each operation in a fresh process, and the prune against a plain copy of the
// bytes that survive it.
//
//   prune_bench <work directory> [records]        (default 8,000,000: about 1 GiB)
//
// The work directory receives bin/ and Logs/; the big files are deleted at the end.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"

namespace {

using namespace bench;

std::uint32_t Severity(std::uint64_t) { return 1; }
std::uint32_t Job(std::uint64_t k) { return k % 7 == 0 ? static_cast<std::uint32_t>(k) : 0; }

// One record a second; the prune date lies halfway.
int Generate(const fs::path& logs, std::uint64_t records) {
    if (!WriteLog(logs, "", records, u"benchmark record plain message", Severity, Job)) return 1;
    std::printf("generated %llu records, %llu bytes\n", static_cast<unsigned long long>(records),
                static_cast<unsigned long long>(fs::file_size(logs / "activity.log")));
    return 0;
}

int Prune(std::uint64_t records) {
    LogSystemTime date = StampOf(records / 2);
    Clock::time_point t0 = Clock::now();
    int removed = PruneLog(&date, nullptr);
    double took = Seconds(t0);
    std::printf("prune: removed %d in %.3f s, peak RSS %ld KiB\n", removed, took, PeakKib());
    return removed == static_cast<int>(records / 2) ? 0 : 1;
}

int Rebuild(const fs::path& logs) {
    fs::rename(logs / "activity.idx", logs / "pruned.idx");
    Clock::time_point t0 = Clock::now();
    int result = ReIndexLog(nullptr);
    double took = Seconds(t0);
    std::printf("rebuild: result %d in %.3f s, peak RSS %ld KiB\n", result, took, PeakKib());
    std::string same = "cmp -s '" + (logs / "activity.idx").string() + "' '" + (logs / "pruned.idx").string() + "'";
    bool equal = std::system(same.c_str()) == 0;
    std::printf("rebuilt index %s the prune's\n", equal ? "equals" : "DIFFERS FROM");
    return result == 0 && equal ? 0 : 1;
}

int Run(const char* self, const fs::path& work, const char* step, std::uint64_t records) {
    return RunStep(self, {work.string(), std::to_string(records), step});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <work directory> [records]\n", argv[0]);
        return 2;
    }
    fs::path work = fs::absolute(argv[1]);
    std::uint64_t records = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 8000000;
    fs::path logs = work / "Logs";
    Start(work);
    if (argc > 3) {
        std::string step = argv[3];
        if (step == "generate") return Generate(logs, records);
        if (step == "prune") return Prune(records);
        if (step == "rebuild") return Rebuild(logs);
        return 2;
    }
    int failed = Run(argv[0], work, "generate", records);
    // A copy of the whole log, deleted at the end to show what deleting the
    // pruned log costs on this disk by itself.
    fs::path doomed = work / "doomed.log";
    std::string keep = "cp '" + (logs / "activity.log").string() + "' '" + doomed.string() + "'";
    if (failed == 0) failed = std::system(keep.c_str());
    // Both the prune and cp start with the generated data written back.
    if (failed == 0) failed = std::system("sync");
    if (failed == 0) failed = Run(argv[0], work, "prune", records);
    if (failed == 0) failed = std::system("sync");
    if (failed == 0) {
        // The same surviving bytes copied by cp, on the same disk.
        std::string copy = "cp '" + (logs / "activity.log").string() + "' '" + (work / "copy.log").string() + "'";
        Clock::time_point t0 = Clock::now();
        failed = std::system(copy.c_str());
        std::printf("cp of the %llu surviving bytes: %.3f s\n",
                    static_cast<unsigned long long>(fs::file_size(logs / "activity.log")), Seconds(t0));
    }
    if (failed == 0) {
        Clock::time_point t0 = Clock::now();
        fs::remove(doomed);
        std::printf("deleting a copy of the log before the prune: %.3f s\n", Seconds(t0));
    }
    if (failed == 0) failed = Run(argv[0], work, "rebuild", records);
    fs::remove_all(logs);
    fs::remove(work / "copy.log");
    fs::remove(doomed);
    return failed;
}
