// actlog owners / verify: read the Logs directory directly (read-only).
#include <chrono>
#include <fstream>
#include <thread>

#include "arguments.h"
#include "command.h"
#include "installation.h"
#include "log_check.h"
#include "table.h"
#include "text.h"

namespace actlogtool {

namespace {

constexpr const char* kOwnersUsage =
    "usage: actlog owners\n"
    "Lists every activity log in the Logs directory: owner, records (index entries),\n"
    "log size and file name.\n";

constexpr const char* kVerifyUsage =
    "usage: actlog verify [--owner N | --all]\n"
    "Checks that an owner's index matches its log: every entry ends a record with\n"
    "CR LF, every record begins with a time stamp, nothing follows the last indexed\n"
    "record. Reports damage without changing anything; exit status 1 on damage.\n"
    "  --owner N      log owner; default: the machine's own log\n"
    "  --all          every log in the Logs directory\n";

std::vector<std::uint8_t> ReadAll(const fs::path& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return ok ? std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())
              : std::vector<std::uint8_t>();
}

int Owners(const std::vector<std::string>& args) {
    Arguments options(args, {});
    if (options.Help()) return PrintUsage(kOwnersUsage);
    const fs::path logs = LogsDirectory();
    Table table({"OWNER", "RECORDS", "LOG BYTES", "FILE"});
    for (const OwnerFiles& files : FindOwnerLogs(logs)) {
        std::optional<std::uint64_t> indexSize = FileSize(files.index);
        std::string name = PathText(files.log.filename());
        std::string newLog = files.owner.empty() ? "activity.log.new" : files.owner + ".activity.log.new";
        if (FileSize(logs / PathFromText(newLog))) name += " (prune running)";
        table.Add({DisplayOwner(files.owner), indexSize ? std::to_string(*indexSize / 4) : "no index",
                   std::to_string(FileSize(files.log).value_or(0)), name});
    }
    if (table.empty()) {
        Print("no activity logs in " + PathText(logs) + "\n");
        return kSuccess;
    }
    Print(table.Render());
    return kSuccess;
}

// Checks one owner; a log that is being appended to can show an unindexed tail
// for a moment, so damage is confirmed by reading the pair again.
bool VerifyOne(const OwnerFiles& files) {
    const std::string who = DisplayOwner(files.owner) + " (" + PathText(files.log.filename()) + ")";
    LogCheck check;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        bool indexOk = false, logOk = false;
        std::vector<std::uint8_t> index = ReadAll(files.index, indexOk);
        std::vector<std::uint8_t> log = ReadAll(files.log, logOk);
        if (!logOk) {
            Print("damage: " + who + ": no log\n");
            return false;
        }
        if (!indexOk) {
            Print("damage: " + who + ": no index (`actlog reindex` rebuilds it)\n");
            return false;
        }
        check = CheckLog(log, index);
        if (check.damage.empty()) {
            Print("ok: " + who + ": " + std::to_string(check.records) + " records, " + std::to_string(log.size()) +
                  " bytes\n");
            return true;
        }
    }
    for (const std::string& problem : check.damage) Print("damage: " + who + ": " + problem + "\n");
    return false;
}

int Verify(const std::vector<std::string>& args) {
    Arguments options(args, {{"--owner", true}, {"--all", false}});
    if (options.Help()) return PrintUsage(kVerifyUsage);
    if (options.Has("--all") && options.Has("--owner")) throw UsageError("give --owner or --all, not both");
    const fs::path logs = LogsDirectory();
    std::vector<OwnerFiles> targets;
    if (options.Has("--all")) {
        targets = FindOwnerLogs(logs);
        if (targets.empty()) {
            Print("no activity logs in " + PathText(logs) + "\n");
            return kSuccess;
        }
    } else {
        targets.push_back(OwnerLog(logs, options.Value("--owner").value_or("")));
    }
    bool sound = true;
    for (const OwnerFiles& files : targets) sound = VerifyOne(files) && sound;
    return sound ? kSuccess : kFailure;
}

const CommandRegistration kOwners({"owners", "list the log owners with record counts and sizes", kOwnersUsage, Owners});
const CommandRegistration kVerify({"verify", "check that an index matches its log (read-only)", kVerifyUsage, Verify});

}  // namespace

}  // namespace actlogtool
