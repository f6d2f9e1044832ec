// actlog sync: hand-over of the sync journal, batch reading, full
// resynchronisation and the journal paths.
#include <memory>
#include <system_error>

#include "Log.h"
#include "arguments.h"
#include "command.h"
#include "installation.h"
#include "last_error.h"
#include "table.h"
#include "text.h"

namespace actlogtool {

namespace {

constexpr const char* kUsage =
    "usage: actlog sync switch\n"
    "       actlog sync read [--full] [--batch N] [--json] [--remove]\n"
    "       actlog sync resync\n"
    "       actlog sync paths\n"
    "switch   hand the sync journal over to the collector (SwitchSyncLog4Trans)\n"
    "read     print the hand-over journal (GetNextSyncLogs) or, with --full, the full\n"
    "         journal (GetNextSyncLogsFull), read in batches of N lines (default 100);\n"
    "         --json prints one JSON object per line; --remove deletes the journal\n"
    "         once it has been read to its end, as the collector does\n"
    "resync   write the full journal from every activity log (MergeAllActiveLog2LogTransFull)\n"
    "paths    print the journal paths the library hands out\n";

struct SyncDeleter {
    void operator()(SyncLogEntry* entries) const { FreeSyncLog(entries); }
};

using PathGetter = int32_t (*)(LOG_WCHAR*, int32_t) noexcept;

std::string JournalPath(PathGetter getter) {
    LOG_WCHAR buffer[1024] = {};
    getter(buffer, 1024);
    return Narrow(buffer);
}

int Switch(const Arguments&) {
    ClearLastError();
    int32_t result = SwitchSyncLog4Trans();
    if (result != 0) return ReportCause("SwitchSyncLog4Trans", result, "hand-over of the sync journal");
    Print("hand-over journal: " + JournalPath(GetLogSyncFileTransName) + "\n");
    return kSuccess;
}

int Read(const Arguments& options) {
    const bool full = options.Has("--full");
    const bool json = options.Has("--json");
    const uint32_t batch = options.Number("--batch", 100);
    if (batch == 0) throw UsageError("--batch must be at least 1");
    const char* exportName = full ? "GetNextSyncLogsFull" : "GetNextSyncLogs";
    auto reader = full ? GetNextSyncLogsFull : GetNextSyncLogs;
    Table table(SyncHeader());
    uint64_t lines = 0;
    int32_t result = 0;
    while (result == 0) {
        SyncLogEntry* raw = nullptr;
        uint32_t returned = 0;
        ClearLastError();
        result = reader(batch, &raw, &returned);
        std::unique_ptr<SyncLogEntry, SyncDeleter> entries(raw);
        if (result < 0) break;
        std::string text;
        for (uint32_t k = 0; k < returned; ++k) {
            if (json) text += SyncJson(entries.get()[k]);
            else table.Add(SyncRow(entries.get()[k]));
        }
        Print(text);
        lines += returned;
    }
    if (result < 0) return ReportCause(exportName, result, full ? "full journal" : "hand-over journal");
    if (!json) Print(table.Render() + "(" + std::to_string(lines) + " entries)\n");
    if (options.Has("--remove")) {
        std::error_code ec;
        fs::remove(PathFromText(JournalPath(full ? GetLogSyncFileTransNameFull : GetLogSyncFileTransName)), ec);
        if (ec) {
            PrintError("actlog: cannot remove the journal: " + ec.message() + "\n");
            return kFailure;
        }
    }
    return kSuccess;
}

int Resync(const Arguments&) {
    ClearLastError();
    int32_t result = MergeAllActiveLog2LogTransFull();
    if (result != 0) return ReportCause("MergeAllActiveLog2LogTransFull", result, "full journal");
    std::string path = JournalPath(GetLogSyncFileTransNameFull);
    std::optional<std::uint64_t> size = FileSize(PathFromText(path));
    Print("full journal: " + path + (size ? " (" + std::to_string(*size) + " bytes)" : " (no records to export)") +
          "\n");
    return kSuccess;
}

int Paths(const Arguments&) {
    Print("hand-over journal: " + JournalPath(GetLogSyncFileTransName) + "\n" +
          "full journal:      " + JournalPath(GetLogSyncFileTransNameFull) + "\n" +
          "XML file:          " + JournalPath(GetLogSyncFileTransXMLName) + "\n");
    return kSuccess;
}

int Run(const std::vector<std::string>& args) {
    Arguments options(args, {{"--full", false}, {"--batch", true}, {"--json", false}, {"--remove", false}}, true);
    if (options.Help()) return PrintUsage(kUsage);
    const std::vector<std::string>& actions = options.Positional();
    if (actions.empty()) throw UsageError("missing action (switch, read, resync or paths)");
    if (actions.size() > 1) throw UsageError("unexpected argument '" + actions[1] + "'");
    const std::string& action = actions[0];
    if (action != "read" && (options.Has("--full") || options.Has("--batch") || options.Has("--json") ||
                             options.Has("--remove"))) {
        throw UsageError("options --full, --batch, --json and --remove belong to 'sync read'");
    }
    if (action == "switch") return Switch(options);
    if (action == "read") return Read(options);
    if (action == "resync") return Resync(options);
    if (action == "paths") return Paths(options);
    throw UsageError("unknown action '" + action + "' (switch, read, resync or paths)");
}

const CommandRegistration kRegistration({"sync", "hand over, read and rebuild the sync journal", kUsage, Run});

}  // namespace

}  // namespace actlogtool
