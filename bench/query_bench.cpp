// Paged queries against the physical floor, side by side in one run, from the
// page cache:
//   - GetLog pages of 100 at spread-out starts of a 1M-record log, against one
//     pread of the page's index words plus one pread of its records' span, and
//     against the same pages of a 1K-record log (the cost must not grow with
//     the log);
//   - GetJobLog over the whole 1M-record log, against a sequential read of the
//     log file.
//
//   query_bench <work directory> [records]      (default 1,000,000)
//
// The work directory receives bin/ and Logs/; they are deleted at the end.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using namespace bench;

constexpr std::uint32_t kPage = 100;
constexpr int kBatches = 9;
constexpr int kCallsPerBatch = 2000;
constexpr int kScans = 5;
// One record in 5 carries a job number of its own; this one is found once.
constexpr std::uint32_t kScannedJob = 500000;

std::uint32_t Severity(std::uint64_t k) {
    static const std::uint32_t severities[] = {1, 2, 4, 5, 3, 1, 2};
    return severities[k % 7];
}
std::uint32_t Job(std::uint64_t k) { return k % 5 == 0 ? static_cast<std::uint32_t>(k) : 0; }

// Page i's start, spread over the whole log.
std::uint32_t StartOf(int i, std::uint32_t records) {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(i) * 2654435761u) % (records - kPage));
}

// Microseconds a GetLog page (with its FreeLog) takes, over one batch.
double LibraryPage(const char16_t* owner, std::uint32_t records, int batch) {
    Clock::time_point t0 = Clock::now();
    for (int i = 0; i < kCallsPerBatch; ++i) {
        ActivityEntry* entries = nullptr;
        std::uint32_t returned = 0;
        std::uint32_t total = 0;
        if (GetLog(StartOf(batch * kCallsPerBatch + i, records), kPage, &entries, &returned, &total,
                   reinterpret_cast<const LOG_WCHAR*>(owner)) != 0 ||
            returned != kPage) {
            std::fprintf(stderr, "GetLog failed\n");
            std::exit(1);
        }
        FreeLog(entries);
    }
    return Seconds(t0) * 1e6 / kCallsPerBatch;
}

// The floor: one pread of the page's index words, one pread of its records.
double FloorPage(ReadHandle index, ReadHandle log, std::uint32_t records, int batch) {
    static std::vector<char> bytes(1u << 20);
    std::uint32_t words[kPage + 1];
    Clock::time_point t0 = Clock::now();
    for (int i = 0; i < kCallsPerBatch; ++i) {
        std::uint32_t newest = records - StartOf(batch * kCallsPerBatch + i, records);  // one past
        std::uint64_t at = static_cast<std::uint64_t>(newest - kPage - 1) * 4;
        if (ReadAt(index, words, sizeof words, at) != static_cast<long long>(sizeof words) ||
            ReadAt(log, bytes.data(), words[kPage] - words[0], words[0]) <= 0) {
            std::fprintf(stderr, "pread failed\n");
            std::exit(1);
        }
    }
    return Seconds(t0) * 1e6 / kCallsPerBatch;
}

// Milliseconds of one GetJobLog over the whole log.
double JobScan(const char16_t* owner) {
    ActivityEntry* entries = nullptr;
    std::uint32_t returned = 0;
    std::uint32_t total = 0;
    Clock::time_point t0 = Clock::now();
    int result = GetJobLog(kScannedJob, 0, kPage, &entries, &returned, &total, reinterpret_cast<const LOG_WCHAR*>(owner));
    double ms = Seconds(t0) * 1e3;
    FreeLog(entries);
    if (result != 0 || total != 1) {
        std::fprintf(stderr, "GetJobLog failed (%d, total %u)\n", result, total);
        std::exit(1);
    }
    return ms;
}

double ReadMs(const fs::path& file) {
    Clock::time_point t0 = Clock::now();
    if (ReadSequentially(file) < 0) std::exit(1);
    return Seconds(t0) * 1e3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <work directory> [records]\n", argv[0]);
        return 2;
    }
    fs::path work = fs::absolute(argv[1]);
    auto records = static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000000);
    const std::uint32_t small = 1000;
    Start(work, SelfDirectory());
    fs::path logs = work / "Logs";
    const char16_t* message = u"Backup of virtual machine vm01 completed.";
    if (!WriteLog(logs, "big", records, message, Severity, Job) || !WriteLog(logs, "small", small, message, Severity, Job)) {
        std::fprintf(stderr, "cannot write the logs\n");
        return 1;
    }
    fs::path bigLog = logs / "big.activity.log";
    fs::path bigIndex = logs / "big.activity.idx";
    for (const fs::path& file : {bigLog, bigIndex, logs / "small.activity.log", logs / "small.activity.idx"}) {
        ReadSequentially(file);
    }
    double logBytes = static_cast<double>(fs::file_size(bigLog));
    std::printf("%u records, %.0f log bytes (%.0f a record)\n", records, logBytes, logBytes / records);

    ReadHandle index = OpenForReading(bigIndex);
    ReadHandle log = OpenForReading(bigLog);
    if (index < 0 || log < 0) return 1;
    // Batches alternate, so that both sides see the same machine state.
    std::vector<double> library, floor, smallLog;
    for (int b = 0; b < kBatches; ++b) {
        library.push_back(LibraryPage(u"big", records, b));
        floor.push_back(FloorPage(index, log, records, b));
        smallLog.push_back(LibraryPage(u"small", small, b));
    }
    CloseForReading(index);
    CloseForReading(log);
    std::vector<double> scans, reads;
    for (int i = 0; i < kScans; ++i) {
        scans.push_back(JobScan(u"big"));
        reads.push_back(ReadMs(bigLog));
    }
    double scan = MedianOf(scans);
    double read = MedianOf(reads);
    std::printf("GetJobLog full scan %.1f ms, sequential read %.1f ms, peak RSS %ld KiB\n", scan, read, PeakKib());

    std::string size = std::to_string(records / 1000) + "K";
    Report("GetLog page of 100, " + size + "-record log", MedianOf(library), "us",
           "pread of the page's index words + pread of its records", MedianOf(floor), "ratio<=2");
    Report("GetLog page of 100, " + size + " vs 1K-record log", MedianOf(library), "us",
           "the same call on a 1K-record log", MedianOf(smallLog), "ratio<=1.5");
    Report("GetJobLog full scan, " + size + "-record log", logBytes / scan / 1e3, "MB/s",
           "sequential read of the log file", logBytes / read / 1e3, "figure>=1000");
    Report("GetJobLog full scan, " + size + "-record log (time)", scan, "ms", "sequential read of the log file", read,
           records == 1000000 ? "figure<=170" : "-");
    fs::remove_all(logs);
    std::error_code inUse;  // Windows: the loaded message library stays until exit
    fs::remove_all(work / "bin", inUse);
    return 0;
}
