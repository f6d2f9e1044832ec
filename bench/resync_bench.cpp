// Full resynchronisation of many records across several owners: wall time and
// peak resident memory at two sizes (to see that the cost grows linearly),
// against a naive export that reads the logs with GetLog pages of 100 and
// appends each record with its own open; then the batch reading of the
// resulting full journal in lines per second. Each step runs in a fresh process.
//
//   resync_bench <work directory> [records] [owners]      (default 1,000,000 and 5)
//   resync_bench <work directory> [records] [owners] table
//       only the full size: the resync against a sequential read of the same
//       logs from the page cache, as result lines for scripts/bench
//
// The work directory receives bin/, Logs/ and DataSync/; they are deleted at the end.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "frame/module.h"
#include "sync/full_resync.h"
#include "files/journal_files.h"
#include "text/export_text.h"

namespace {

using namespace bench;

std::string OwnerName(unsigned n) { return "vm" + std::to_string(n); }

std::uint32_t Severity(std::uint64_t k) {
    static const std::uint32_t severities[] = {1, 2, 4, 5, 3, 1, 2};
    return severities[k % 7];
}
std::uint32_t Job(std::uint64_t k) { return k % 5 == 0 ? static_cast<std::uint32_t>(k) : 0; }

bool WriteLog(const fs::path& logs, const std::string& owner, std::uint64_t records) {
    return bench::WriteLog(logs, owner, records, u"benchmark record for the full resynchronisation", Severity, Job);
}

int Generate(const fs::path& logs, std::uint64_t records, unsigned owners) {
    fs::remove_all(logs);
    fs::create_directories(logs);
    // The machine's own log holds one record; the rest is shared by the owners.
    if (!WriteLog(logs, "", 1)) return 1;
    for (unsigned n = 0; n < owners; ++n) {
        if (!WriteLog(logs, OwnerName(n), records / owners)) return 1;
    }
    return 0;
}

int Resync(std::uint64_t records) {
    Clock::time_point t0 = Clock::now();
    int result = MergeAllActiveLog2LogTransFull();
    double took = Seconds(t0);
    std::printf("  full resync of %llu records: result %d, %.3f s (%.0f ns a record), peak RSS %ld KiB\n",
                static_cast<unsigned long long>(records), result, took, took * 1e9 / static_cast<double>(records),
                PeakKib());
    return result;
}

// The resync against reading its logs sequentially, both from the page cache,
// both as records a second; medians of three runs.
int Table(const fs::path& logs, std::uint64_t records) {
    std::vector<double> reads, resyncs;
    for (int run = 0; run < 4; ++run) {
        Clock::time_point t0 = Clock::now();
        for (const auto& file : fs::directory_iterator(logs)) {
            if (file.path().extension() == ".log" && ReadSequentially(file.path()) < 0) return 1;
        }
        double read = Seconds(t0);
        t0 = Clock::now();
        if (MergeAllActiveLog2LogTransFull() != 0) return 1;
        double resync = Seconds(t0);
        if (run == 0) continue;  // the first run warms the page cache and the full journal's blocks
        reads.push_back(read);
        resyncs.push_back(resync);
    }
    auto perSecond = [&](double seconds) { return static_cast<double>(records) / seconds; };
    std::printf("  full resync of %llu records: %.3f s, sequential read of the logs %.3f s, peak RSS %ld KiB\n",
                static_cast<unsigned long long>(records), MedianOf(resyncs), MedianOf(reads), PeakKib());
    Report("Full resync, " + std::to_string(records / 1000) + "K records", perSecond(MedianOf(resyncs)), "records/s",
           "sequential read of the logs", perSecond(MedianOf(reads)), "figure>=2000000");
    return 0;
}

// The naive export: GetLog pages of 100 per log, one open + append + close a record.
int Naive(std::uint64_t records, unsigned owners) {
    actlog::PathText path(actlog::Module().dataSyncDirectory.view());
    path.Append(u"naive_full.log");
    double reading = 0;
    double writing = 0;
    std::uint64_t written = 0;
    Clock::time_point t0 = Clock::now();
    for (unsigned n = 0; n <= owners; ++n) {
        std::u16string owner = n == 0 ? std::u16string() : fs::path(OwnerName(n - 1)).u16string();
        const char16_t* name = n == 0 ? nullptr : owner.c_str();
        for (std::uint32_t start = 0;; start += 100) {
            ActivityEntry* entries = nullptr;
            std::uint32_t returned = 0;
            std::uint32_t total = 0;
            Clock::time_point r0 = Clock::now();
            if (GetLog(start, 100, &entries, &returned, &total, actlog::ToExport(name)) != 0) return 1;
            reading += Seconds(r0);
            Clock::time_point w0 = Clock::now();
            for (std::uint32_t i = 0; i < returned; ++i) {
                if (entries[i].severity == 0 || entries[i].severity == 3) continue;
                actlog::JournalRecord record;
                record.Append(u"ADD ");
                record.AppendZ(actlog::FromExport(entries[i].timeText));
                record.Append(u" -- ");
                record.AppendZ(name == nullptr ? u"<NULL>" : name);
                record.Append(u" -- ");
                record.AppendSigned32(entries[i].severity);
                record.Append(u" - Job");
                record.AppendSigned32(entries[i].jobNumber);
                record.Append(u" - ");
                record.AppendZ(actlog::FromExport(entries[i].messageText));
                record.Finish();
                if (!actlog::AppendFileWithBom(path.c_str(), actlog::platform::Disposition::OpenAlways, record.data(),
                                               record.ByteCount())) {
                    return 1;
                }
                ++written;
            }
            writing += Seconds(w0);
            FreeLog(entries);
            if (returned < 100) break;
        }
    }
    double took = Seconds(t0);
    std::printf("  naive export of %llu records: %.3f s (GetLog pages %.3f s, one open a record %.3f s), "
                "%llu lines, peak RSS %ld KiB\n",
                static_cast<unsigned long long>(records), took, reading, writing,
                static_cast<unsigned long long>(written), PeakKib());
    return 0;
}

int ReadBatches(std::uint32_t batch) {
    std::uint64_t lines = 0;
    Clock::time_point t0 = Clock::now();
    int result = 0;
    do {
        SyncLogEntry* entries = nullptr;
        std::uint32_t returned = 0;
        result = GetNextSyncLogsFull(batch, &entries, &returned);
        lines += returned;
        FreeSyncLog(entries);
    } while (result == 0);
    double took = Seconds(t0);
    std::printf("  batch reading (%u a batch) of %llu lines: result %d, %.3f s, %.0f lines/s, peak RSS %ld KiB\n",
                batch, static_cast<unsigned long long>(lines), result, took, static_cast<double>(lines) / took,
                PeakKib());
    return result == 1 ? 0 : 1;
}

int Run(const char* self, const fs::path& work, std::uint64_t records, unsigned owners, const std::string& step) {
    return RunStep(self, {work.string(), std::to_string(records), std::to_string(owners), step});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <work directory> [records] [owners]\n", argv[0]);
        return 2;
    }
    fs::path work = fs::absolute(argv[1]);
    std::uint64_t records = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
    unsigned owners = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 5;
    if (owners == 0) owners = 1;
    Start(work, SelfDirectory());
    if (argc > 4) {
        std::string step = argv[4];
        if (step == "generate") return Generate(work / "Logs", records, owners);
        if (step == "resync") return Resync(records);
        if (step == "naive") return Naive(records, owners);
        if (step == "read1000") return ReadBatches(1000);
        if (step == "read7") return ReadBatches(7);
        if (step == "table-run") return Table(work / "Logs", records);
        if (step != "table") return 2;
    }
    if (argc > 4) {
        // generate, then the side-by-side run, each in a fresh process
        int failed = Run(argv[0], work, records, owners, "generate");
        if (failed == 0) failed = Run(argv[0], work, records, owners, "table-run");
        fs::remove_all(work / "Logs");
        fs::remove_all(work / "DataSync");
        std::error_code inUse;  // Windows: the loaded message library stays until exit
        fs::remove_all(work / "bin", inUse);
        return failed;
    }
    int failed = 0;
    // A quarter of the records first: the time a record should stay the same.
    for (std::uint64_t size : {records / 4, records}) {
        std::printf("%llu records across %u owners:\n", static_cast<unsigned long long>(size), owners);
        for (const char* step : {"generate", "resync", "read1000", "read7", "naive"}) {
            if (failed == 0) failed = Run(argv[0], work, size, owners, step);
        }
    }
    fs::remove_all(work / "Logs");
    fs::remove_all(work / "DataSync");
    std::error_code inUse;  // Windows: the loaded message library stays until exit
    fs::remove_all(work / "bin", inUse);
    return failed;
}
