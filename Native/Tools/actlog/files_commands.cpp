// actlog owners / verify: read the Logs directory directly (read-only).
#include <algorithm>
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
    "Checks an owner's files strictly: every index entry ends a record, every record\n"
    "has exactly one entry, the log ends with a whole record, and no new pair, rebuild\n"
    "file, carry mark or .old0-.old9 file is left behind. Names each problem without\n"
    "changing anything; exit status 1 on any.\n"
    "  --owner N      log owner; default: the machine's own log\n"
    "  --all          every log in the Logs directory, and leftovers of any owner\n";

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

// The problems of one owner's files. An append or a prune at work can show an
// unindexed tail or a new pair for a moment, so damage is confirmed by
// looking again.
// `summary` receives the record count and size of a sound pair.
std::vector<std::string> OwnerDamage(const OwnerFiles& files, std::string& summary) {
    std::vector<std::string> damage;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        damage = StrayFiles(FileNames(files.log.parent_path()), files.owner, PathText(files.log.filename()));
        bool indexOk = false, logOk = false;
        std::vector<std::uint8_t> index = ReadAll(files.index, indexOk);
        std::vector<std::uint8_t> log = ReadAll(files.log, logOk);
        if (!logOk) {
            damage.insert(damage.begin(), "no log");
        } else if (!indexOk) {
            damage.insert(damage.begin(), "no index (`actlog reindex` rebuilds it)");
        } else {
            LogCheck check = CheckLog(log, index);
            damage.insert(damage.begin(), check.damage.begin(), check.damage.end());
            if (damage.empty()) {
                summary = std::to_string(check.records) + " records, " + std::to_string(log.size()) + " bytes";
                return {};
            }
        }
    }
    return damage;
}

bool VerifyOne(const OwnerFiles& files) {
    const std::string who = DisplayOwner(files.owner) + " (" + PathText(files.log.filename()) + ")";
    std::string summary;
    std::vector<std::string> damage = OwnerDamage(files, summary);
    if (damage.empty()) {
        Print("ok: " + who + ": " + summary + "\n");
        return true;
    }
    for (const std::string& problem : damage) Print("damage: " + who + ": " + problem + "\n");
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
    } else {
        targets.push_back(OwnerLog(logs, options.Value("--owner").value_or("")));
    }
    bool sound = true;
    for (const OwnerFiles& files : targets) sound = VerifyOne(files) && sound;
    if (options.Has("--all")) {
        // Leftovers of owners without a log (a prune that died inside its swap).
        std::vector<std::string> claimed;
        for (const OwnerFiles& files : targets) {
            for (const std::string& stray :
                 StrayFiles(FileNames(logs), files.owner, PathText(files.log.filename()))) {
                claimed.push_back(stray.substr(0, stray.find(':')));
            }
        }
        for (const std::string& name : FileNames(logs)) {
            if (!IsStrayFile(name) || std::find(claimed.begin(), claimed.end(), name) != claimed.end()) continue;
            Print("damage: " + name + ": left over, and no log of its owner\n");
            sound = false;
        }
        if (targets.empty() && sound) Print("no activity logs in " + PathText(logs) + "\n");
    }
    return sound ? kSuccess : kFailure;
}

const CommandRegistration kOwners({"owners", "list the log owners with record counts and sizes", kOwnersUsage, Owners});
const CommandRegistration kVerify({"verify", "check that an index matches its log (read-only)", kVerifyUsage, Verify});

}  // namespace

}  // namespace actlogtool
