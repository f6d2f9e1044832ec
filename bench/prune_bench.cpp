// Prune and index rebuild of a large log: wall time and peak resident memory,
// each operation in a fresh process, and the prune against a plain copy of the
// bytes that survive it.
//
//   prune_bench <work directory> [records]        (default 8,000,000: about 1 GiB)
//
// The work directory receives bin/ and Logs/; the big files are deleted at the end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Log.h"
#include "activity/log_files.h"
#include "activity/record_line.h"
#include "frame/module.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One record a second from this moment on; the prune date lies halfway.
LogSystemTime StampOf(std::uint64_t second) {
    LogSystemTime t{};
    std::uint64_t days = second / 86400;
    std::uint64_t rest = second % 86400;
    t.wYear = static_cast<std::uint16_t>(2001 + days / 360);
    t.wMonth = static_cast<std::uint16_t>(1 + days % 360 / 30);
    t.wDay = static_cast<std::uint16_t>(1 + days % 30);
    t.wHour = static_cast<std::uint16_t>(rest / 3600);
    t.wMinute = static_cast<std::uint16_t>(rest % 3600 / 60);
    t.wSecond = static_cast<std::uint16_t>(rest % 60);
    return t;
}

long PeakKib() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Start(const fs::path& work) {
    fs::create_directories(work / "bin");
    fs::create_directories(work / "Logs");
    std::u16string module = (work / "bin" / "libLog.so").u16string();
    actlog::InitializeLogModuleAt(module.c_str());
}

int Generate(const fs::path& logs, std::uint64_t records) {
    std::FILE* log = std::fopen((logs / "activity.log").c_str(), "wb");
    std::FILE* index = std::fopen((logs / "activity.idx").c_str(), "wb");
    if (log == nullptr || index == nullptr) return 1;
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> entries;
    bytes.reserve(8u << 20);
    bytes.push_back(0xFF);
    bytes.push_back(0xFE);
    std::uint64_t end = 2;
    actlog::LineText line;
    const char16_t* message = u"benchmark record plain message";
    for (std::uint64_t k = 0; k < records; ++k) {
        actlog::BuildRecordLine(line, StampOf(k), 1, k % 7 == 0 ? static_cast<std::uint32_t>(k) : 0, message);
        for (std::size_t i = 0; i < line.size(); ++i) {
            bytes.push_back(static_cast<unsigned char>(line[i]));
            bytes.push_back(static_cast<unsigned char>(line[i] >> 8));
        }
        end += line.size() * 2;
        unsigned char entry[4];
        actlog::StoreLe32(static_cast<std::uint32_t>(end), entry);
        entries.insert(entries.end(), entry, entry + 4);
        if (bytes.size() >= (8u << 20) - 8192) {
            std::fwrite(bytes.data(), 1, bytes.size(), log);
            std::fwrite(entries.data(), 1, entries.size(), index);
            bytes.clear();
            entries.clear();
        }
    }
    std::fwrite(bytes.data(), 1, bytes.size(), log);
    std::fwrite(entries.data(), 1, entries.size(), index);
    std::fclose(log);
    std::fclose(index);
    std::printf("generated %llu records, %llu bytes\n", static_cast<unsigned long long>(records),
                static_cast<unsigned long long>(end));
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
    std::string command = std::string("'") + self + "' '" + work.string() + "' " + std::to_string(records) + " " + step;
    std::fflush(stdout);
    return std::system(command.c_str());
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
    if (failed == 0) failed = Run(argv[0], work, "rebuild", records);
    fs::remove_all(logs);
    fs::remove(work / "copy.log");
    return failed;
}
