// actlog demo: a tour of the library on the installation's own directories.
// Writer processes log for the machine and three owners while one owner is
// pruned; then the logs are paged through, the sync journal is handed over
// and read back, a full resynchronisation runs, and a summary shows that every
// record is accounted for: before + written = found + pruned, per owner.
#include <array>
#include <chrono>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>
#include <thread>

#include "Log.h"
#include "arguments.h"
#include "command.h"
#include "demo_writer.h"
#include "installation.h"
#include "process.h"
#include "table.h"
#include "text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace actlogtool {

namespace {

constexpr const char* kUsage =
    "usage: actlog demo [--writers N] [--records R] [--pace MS]\n"
    "A tour on this installation's Logs and DataSync directories: N writer processes\n"
    "(default 8) append R records each (default 250, one every MS milliseconds,\n"
    "default 8) for the machine and the owners vm01, vm02 and vm03; vm02 is pruned\n"
    "while they write. Then the logs are paged through, the sync journal is handed\n"
    "over and read back, and a full resynchronisation runs. Exit status 0 when every\n"
    "record is accounted for.\n";

constexpr std::array<const char*, 4> kOwners = {"", "vm01", "vm02", "vm03"};
constexpr std::size_t kPrunedOwner = 2;
constexpr const char* kMachineInJournal = "<NULL>";

struct OwnerTally {
    uint64_t before = 0, written = 0, journaledWritten = 0, pruned = 0;
    uint64_t found = 0, journaledFound = 0, handedOver = 0, fullJournal = 0;
    bool Balanced() const { return before + written == found + pruned; }
    bool JournalBalanced() const { return handedOver == journaledWritten; }
    bool FullBalanced() const { return fullJournal == journaledFound; }
};

struct EntriesDeleter {
    void operator()(ActivityEntry* entries) const { FreeLog(entries); }
};
struct SyncDeleter {
    void operator()(SyncLogEntry* entries) const { FreeSyncLog(entries); }
};

void Section(const std::string& title) { Print("\n== " + title + "\n"); }

// Reports a failed export with the cause it left and gives false, for the steps below.
bool Failed(std::string_view exportName, int32_t result, std::string_view subject) {
    ReportCause(exportName, result, subject);
    return false;
}

const LOG_WCHAR* OwnerArg(const WideString& owner) { return owner.empty() ? nullptr : owner.c_str(); }

std::size_t OwnerSlot(const std::string& journalOwner) {
    for (std::size_t k = 0; k < kOwners.size(); ++k) {
        if (journalOwner == (k == 0 ? std::string(kMachineInJournal) : std::string(kOwners[k]))) return k;
    }
    return kOwners.size();
}

// Records in an owner's index, or nullopt when its log cannot be read.
std::optional<uint32_t> RecordCount(std::size_t owner) {
    WideString name = Widen(kOwners[owner]);
    ActivityEntry* raw = nullptr;
    uint32_t returned = 0, total = 0;
    int32_t result = GetLog(0, 0, &raw, &returned, &total, OwnerArg(name));
    FreeLog(raw);
    if (result != 0) return std::nullopt;
    return total;
}

LogSystemTime UtcNow() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    LogSystemTime time{};
    time.wYear = static_cast<uint16_t>(parts.tm_year + 1900);
    time.wMonth = static_cast<uint16_t>(parts.tm_mon + 1);
    time.wDay = static_cast<uint16_t>(parts.tm_mday);
    time.wHour = static_cast<uint16_t>(parts.tm_hour);
    time.wMinute = static_cast<uint16_t>(parts.tm_min);
    time.wSecond = static_cast<uint16_t>(parts.tm_sec);
    return time;
}

std::string TimeText(const LogSystemTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

using SyncReader = int32_t (*)(uint32_t, SyncLogEntry**, uint32_t*) noexcept;

// Reads a journal to its end, calling `visit` for each entry; gives the
// reader's final result (1 at the end, -1 on failure).
template <typename Visit>
int32_t ReadJournal(SyncReader reader, Visit visit) {
    for (;;) {
        SyncLogEntry* raw = nullptr;
        uint32_t returned = 0;
        int32_t result = reader(64, &raw, &returned);
        std::unique_ptr<SyncLogEntry, SyncDeleter> entries(raw);
        if (result < 0) return result;
        for (uint32_t k = 0; k < returned; ++k) visit(entries.get()[k]);
        if (result == 1) return result;
    }
}

std::string JournalPath(int32_t (*getter)(LOG_WCHAR*, int32_t) noexcept) {
    LOG_WCHAR buffer[1024] = {};
    getter(buffer, 1024);
    return Narrow(buffer);
}

void RemoveFile(const std::string& path) {
    std::error_code ec;
    fs::remove(PathFromText(path), ec);
}

// The collector's side before the tour: whatever journal is left from earlier
// runs is taken over and dropped, and the full-sync mark is set so that every
// appended record of a journaled severity gets its ADD line.
bool PrepareJournal(const fs::path& dataSync) {
    std::error_code ec;
    fs::create_directories(dataSync, ec);
    uint64_t drained = 0;
    for (int round = 0; round < 3 && SwitchSyncLog4Trans() == 0; ++round) {
        ReadJournal(GetNextSyncLogs, [&](const SyncLogEntry&) { ++drained; });
        RemoveFile(JournalPath(GetLogSyncFileTransName));
    }
    const fs::path mark = dataSync / "activeLogFullSyncFinished.mark";
    if (!FileSize(mark)) std::ofstream(mark).put('\n');
    Print("journal lines left from earlier runs, taken over and dropped: " + std::to_string(drained) + "\n" +
          "full-sync mark: " + PathText(mark) + (FileSize(mark) ? "" : " (could not be created)") + "\n");
    return FileSize(mark).has_value();
}

void DrawProgress(uint64_t done, uint64_t all) {
    constexpr int kWidth = 40;
    const uint64_t shown = std::min(done, all);
    const int filled = all == 0 ? kWidth : static_cast<int>(shown * kWidth / all);
    std::string bar = "\r  [" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(kWidth - filled), '.') + "] " +
                      std::to_string(all == 0 ? 100 : shown * 100 / all) + "%  " + std::to_string(shown) + "/" +
                      std::to_string(all) + " records";
    Print(bar);
    std::fflush(stdout);
}

struct Settings {
    uint32_t writers, records, pace;
};

// Starts the writers, prunes one owner while they run, and collects their reports.
bool RunWriters(const Settings& settings, std::array<OwnerTally, kOwners.size()>& tally) {
    const fs::path program = ProgramPath();
    const fs::path temp = fs::temp_directory_path();
    std::vector<Process> processes;
    std::vector<fs::path> reports;
    for (uint32_t w = 0; w < settings.writers; ++w) {
        reports.push_back(temp / PathFromText("actlog-demo-" + std::to_string(ProcessId()) + "-" + std::to_string(w) +
                                              ".txt"));
        RemoveFile(PathText(reports.back()));
        processes.push_back(Process::Start(
            program, {"demo-writer", "--owner", kOwners[w % kOwners.size()], "--records",
                      std::to_string(settings.records), "--pace", std::to_string(settings.pace), "--seed",
                      std::to_string(w + 1), "--report", PathText(reports.back())}));
        if (!processes.back().started()) {
            PrintError("actlog: cannot start writer process " + PathText(program) + "\n");
            return false;
        }
    }
    Print("started " + std::to_string(settings.writers) + " writer processes, " + std::to_string(settings.records) +
          " records each\n");

    std::array<uint32_t, kOwners.size()> expected{};
    for (uint32_t w = 0; w < settings.writers; ++w) expected[w % kOwners.size()] += settings.records;
    const uint64_t all = uint64_t{settings.writers} * settings.records;
    const bool terminal = StdoutIsTerminal();
    const auto started = std::chrono::steady_clock::now();
    bool pruned = false;
    int pruneFailures = 0;
    std::string pruneNote;
    for (;;) {
        bool running = false;
        for (Process& process : processes) running = !process.Poll().has_value() || running;
        uint64_t done = 0;
        std::array<uint64_t, kOwners.size()> progress{};
        for (std::size_t k = 0; k < kOwners.size(); ++k) {
            std::optional<uint32_t> count = RecordCount(k);
            uint64_t now = count.value_or(0) + tally[k].pruned;
            progress[k] = now > tally[k].before ? now - tally[k].before : 0;
            done += progress[k];
        }
        if (terminal) DrawProgress(done, all);
        // Prune while the writers are busy: once half of the owner's records are in
        // and a second has passed, remove everything older than the current second.
        const bool halfway = progress[kPrunedOwner] * 2 >= expected[kPrunedOwner];
        const bool aged = std::chrono::steady_clock::now() - started > std::chrono::milliseconds(1000);
        if (!pruned && ((halfway && aged) || !running)) {
            LogSystemTime cutoff = UtcNow();
            WideString owner = Widen(kOwners[kPrunedOwner]);
            int32_t result = PruneLog(&cutoff, owner.c_str());
            if (result >= 0) {
                tally[kPrunedOwner].pruned += static_cast<uint64_t>(result);
                pruned = true;
                pruneNote = "pruned " + std::string(kOwners[kPrunedOwner]) + (running ? " while writers ran" : "") +
                            ": " + std::to_string(result) + " records before " + TimeText(cutoff) + " UTC removed\n";
            } else if (++pruneFailures == 20) {
                ReportCause("PruneLog", result, "gave up pruning the log of " + DisplayOwner(kOwners[kPrunedOwner]));
                pruned = true;
            }
        }
        if (!running && pruned) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (terminal) Print("\n");
    Print(pruneNote);

    bool ok = true;
    for (uint32_t w = 0; w < settings.writers; ++w) {
        int code = processes[w].Wait();
        std::optional<WriterReport> report = ReadReport(reports[w]);
        RemoveFile(PathText(reports[w]));
        if (!report) {
            PrintError("actlog: writer " + std::to_string(w) + " gave no report (exit status " +
                       std::to_string(code) + ")\n");
            ok = false;
            continue;
        }
        if (code != 0) PrintError("actlog: writer " + std::to_string(w) + ": some appends failed\n");
        tally[w % kOwners.size()].written += report->appended;
        tally[w % kOwners.size()].journaledWritten += report->journaled;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    uint64_t written = 0;
    for (const OwnerTally& t : tally) written += t.written;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(elapsed.count()) / 1000.0);
    Print("writers done: " + std::to_string(written) + " appends reported in " + seconds + " s\n");
    return ok;
}

// Pages through every owner's log (100 at a time) and shows the newest records.
bool PageThrough(std::array<OwnerTally, kOwners.size()>& tally) {
    Table newest({"OWNER", "TIME (UTC)", "SEVERITY", "JOB", "MESSAGE"});
    bool ok = true;
    for (std::size_t k = 0; k < kOwners.size(); ++k) {
        WideString owner = Widen(kOwners[k]);
        uint32_t pages = 0;
        for (uint32_t start = 0;; start += 100) {
            ActivityEntry* raw = nullptr;
            uint32_t returned = 0, total = 0;
            int32_t result = GetLog(start, 100, &raw, &returned, &total, OwnerArg(owner));
            std::unique_ptr<ActivityEntry, EntriesDeleter> entries(raw);
            if (result != 0) {
                ok = Failed("GetLog", result, DisplayOwner(kOwners[k]) + ", page at " + std::to_string(start));
                break;
            }
            ++pages;
            for (uint32_t i = 0; i < returned; ++i) {
                const ActivityEntry& entry = entries.get()[i];
                ++tally[k].found;
                if (Journaled(entry.severity)) ++tally[k].journaledFound;
                if (start == 0 && i < 3) {
                    std::vector<std::string> row = ActivityRow(entry);
                    row.insert(row.begin(), DisplayOwner(kOwners[k]));
                    newest.Add(row);
                }
            }
            if (start + 100 >= total) break;
        }
        Print(DisplayOwner(kOwners[k]) + ": " + std::to_string(tally[k].found) + " records in " +
              std::to_string(pages) + " pages\n");
    }
    Print("newest records of each log:\n" + newest.Render());
    return ok;
}

bool HandOver(std::array<OwnerTally, kOwners.size()>& tally, uint64_t& pruneLines) {
    int32_t result = SwitchSyncLog4Trans();
    if (result != 0) return Failed("SwitchSyncLog4Trans", result, "hand-over of the sync journal");
    uint64_t other = 0;
    result = ReadJournal(GetNextSyncLogs, [&](const SyncLogEntry& entry) {
        if (entry.ownerName == nullptr) {
            ++pruneLines;
            return;
        }
        std::size_t slot = OwnerSlot(Narrow(entry.ownerName));
        if (slot < kOwners.size()) ++tally[slot].handedOver;
        else ++other;
    });
    if (result < 0) return Failed("GetNextSyncLogs", result, "hand-over journal");
    const std::string path = JournalPath(GetLogSyncFileTransName);
    RemoveFile(path);
    const std::string shown = PathText(PathFromText(path).lexically_normal());
    uint64_t adds = 0;
    for (const OwnerTally& t : tally) adds += t.handedOver;
    Print("hand-over journal " + shown + ": " + std::to_string(adds) + " ADD lines, " + std::to_string(pruneLines) +
          " PRUNE line(s) read back" + (other ? ", " + std::to_string(other) + " of other owners" : "") +
          "; removed as the collector does\n");
    return true;
}

bool Resynchronise(std::array<OwnerTally, kOwners.size()>& tally) {
    int32_t result = MergeAllActiveLog2LogTransFull();
    if (result != 0) return Failed("MergeAllActiveLog2LogTransFull", result, "full journal");
    const std::string path = JournalPath(GetLogSyncFileTransNameFull);
    uint64_t lines = 0;
    result = ReadJournal(GetNextSyncLogsFull, [&](const SyncLogEntry& entry) {
        ++lines;
        std::size_t slot = OwnerSlot(Narrow(entry.ownerName));
        if (slot < kOwners.size()) ++tally[slot].fullJournal;
    });
    if (result < 0) return Failed("GetNextSyncLogsFull", result, "full journal");
    Print("full journal " + PathText(PathFromText(path).lexically_normal()) + ": " + std::to_string(lines) +
          " lines\n");
    return true;
}

bool Summarise(const std::array<OwnerTally, kOwners.size()>& tally, uint64_t pruneLines) {
    Table table({"OWNER", "BEFORE", "WRITTEN", "PRUNED", "FOUND", "BALANCE", "JOURNAL ADD", "FULL JOURNAL"});
    bool all = true;
    uint64_t prunes = 0;
    for (std::size_t k = 0; k < kOwners.size(); ++k) {
        const OwnerTally& t = tally[k];
        if (t.pruned > 0) ++prunes;
        all = all && t.Balanced() && t.JournalBalanced() && t.FullBalanced();
        table.Add({DisplayOwner(kOwners[k]), std::to_string(t.before), std::to_string(t.written),
                   std::to_string(t.pruned), std::to_string(t.found), t.Balanced() ? "ok" : "LOST",
                   std::to_string(t.handedOver) + "/" + std::to_string(t.journaledWritten) +
                       (t.JournalBalanced() ? " ok" : " MISMATCH"),
                   std::to_string(t.fullJournal) + "/" + std::to_string(t.journaledFound) +
                       (t.FullBalanced() ? " ok" : " MISMATCH")});
    }
    const bool pruneLogged = pruneLines == prunes;
    all = all && pruneLogged;
    Print(table.Render());
    Print("BALANCE: before + written = found + pruned.  JOURNAL ADD: ADD lines handed over /\n"
          "records of a journaled severity written.  FULL JOURNAL: lines / such records found.\n"
          "PRUNE lines: " + std::to_string(pruneLines) + " for " + std::to_string(prunes) + " prune(s)" +
          (pruneLogged ? " ok" : " MISMATCH") + "\n");
    Print(all ? "\nbalanced: every record written is found or was pruned\n"
              : "\nNOT BALANCED: records are missing\n");
    return all;
}

int Run(const std::vector<std::string>& args) {
    Arguments options(args, {{"--writers", true}, {"--records", true}, {"--pace", true}});
    if (options.Help()) return PrintUsage(kUsage);
    Settings settings{options.Number("--writers", 8), options.Number("--records", 250), options.Number("--pace", 8)};
    if (settings.writers == 0 || settings.writers > 64) throw UsageError("--writers must be from 1 to 64");
    if (settings.records > 1000000) throw UsageError("--records must be at most 1000000");

    const fs::path library = LibraryPath();
    if (library.empty()) {
        PrintError("actlog: cannot tell where the activity-log library was loaded from\n");
        return kFailure;
    }
    Section("Installation");
    Print("library   " + PathText(library) + "\nLogs      " + PathText(LogsDirectory()) + "\nDataSync  " +
          PathText(DataSyncDirectory()) + "\n");

    Section("Sync journal: the collector takes over and sets the full-sync mark");
    if (!PrepareJournal(DataSyncDirectory())) return kFailure;

    std::array<OwnerTally, kOwners.size()> tally{};
    for (std::size_t k = 0; k < kOwners.size(); ++k) {
        std::optional<uint32_t> count = RecordCount(k);
        if (!count && FileSize(OwnerLog(LogsDirectory(), kOwners[k]).log)) {
            return ReportCause("GetLog", -1, "log of " + DisplayOwner(kOwners[k]) + " (`actlog verify --all` tells more)");
        }
        tally[k].before = count.value_or(0);
    }

    Section("Writers: the machine, vm01, vm02 and vm03; vm02 is pruned meanwhile");
    bool ok = RunWriters(settings, tally);

    Section("Paging through the logs (GetLog, 100 records a page)");
    ok = PageThrough(tally) && ok;

    uint64_t pruneLines = 0;
    Section("Sync journal hand-over (SwitchSyncLog4Trans, GetNextSyncLogs)");
    ok = HandOver(tally, pruneLines) && ok;

    Section("Full resynchronisation (MergeAllActiveLog2LogTransFull, GetNextSyncLogsFull)");
    ok = Resynchronise(tally) && ok;

    Section("Summary");
    ok = Summarise(tally, pruneLines) && ok;
    return ok ? kSuccess : kFailure;
}

const CommandRegistration kRegistration({"demo", "a tour: writers, prune, paging, sync journal, summary", kUsage, Run});

}  // namespace

}  // namespace actlogtool
