// actlog prune / reindex / rename: the maintenance exports.
#include <cstdio>

#include "Log.h"
#include "arguments.h"
#include "command.h"
#include "installation.h"
#include "last_error.h"
#include "text.h"

namespace actlogtool {

namespace {

constexpr const char* kPruneUsage =
    "usage: actlog prune --before \"YYYY-MM-DD hh:mm:ss\" [--owner N]\n"
    "Removes the records stamped before the date (UTC) from an owner's log (PruneLog).\n"
    "  --before D     cut-off, UTC; records of that very second stay\n"
    "  --owner N      log owner; default: the machine's own log\n";

constexpr const char* kReindexUsage =
    "usage: actlog reindex [--owner N]\n"
    "Rebuilds a missing activity index from the log (ReIndexLog). An existing index\n"
    "is left alone.\n";

constexpr const char* kRenameUsage =
    "usage: actlog rename --owner N --prefix P\n"
    "Moves an owner's log to the name P.N.activity.log (VMUpdateLogFileNames); the\n"
    "index keeps its name and every operation still finds the log.\n";

std::string TwoDigits(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02u", value % 100u);
    return text;
}

std::string DateText(const LogSystemTime& date) {
    return std::to_string(date.wYear) + "-" + TwoDigits(date.wMonth) + "-" + TwoDigits(date.wDay) + " " +
           TwoDigits(date.wHour) + ":" + TwoDigits(date.wMinute) + ":" + TwoDigits(date.wSecond);
}

const LOG_WCHAR* OwnerArgument(const std::optional<std::string>& owner, WideString& storage) {
    storage = Widen(owner.value_or(""));
    return owner ? storage.c_str() : nullptr;
}

int Prune(const std::vector<std::string>& args) {
    Arguments options(args, {{"--before", true}, {"--owner", true}});
    if (options.Help()) return PrintUsage(kPruneUsage);
    std::optional<std::string> before = options.Value("--before");
    if (!before) throw UsageError("missing --before");
    LogSystemTime date = ParseDate(*before, "--before");
    WideString storage;
    std::optional<std::string> owner = options.Value("--owner");
    ClearLastError();
    int32_t result = PruneLog(&date, OwnerArgument(owner, storage));
    if (result < 0) return ReportCause("PruneLog", result, "log of " + DisplayOwner(owner.value_or("")));
    Print(DisplayOwner(owner.value_or("")) + ": " + std::to_string(result) + " records before " + DateText(date) +
          " UTC removed\n");
    return kSuccess;
}

int Reindex(const std::vector<std::string>& args) {
    Arguments options(args, {{"--owner", true}});
    if (options.Help()) return PrintUsage(kReindexUsage);
    std::optional<std::string> owner = options.Value("--owner");
    OwnerFiles files = OwnerLog(LogsDirectory(), owner.value_or(""));
    const bool hadIndex = FileSize(files.index).has_value();
    WideString storage;
    ClearLastError();
    int32_t result = ReIndexLog(OwnerArgument(owner, storage));
    if (result != 0) return ReportCause("ReIndexLog", result, "log of " + DisplayOwner(owner.value_or("")));
    std::optional<std::uint64_t> size = FileSize(files.index);
    std::string what = hadIndex ? "index present, nothing to do"
                                : "index rebuilt: " + std::to_string(size.value_or(0) / 4) + " records";
    Print(DisplayOwner(owner.value_or("")) + ": " + what + "\n");
    return kSuccess;
}

int Rename(const std::vector<std::string>& args) {
    Arguments options(args, {{"--owner", true}, {"--prefix", true}});
    if (options.Help()) return PrintUsage(kRenameUsage);
    std::optional<std::string> owner = options.Value("--owner");
    std::optional<std::string> prefix = options.Value("--prefix");
    if (!owner || owner->empty()) throw UsageError("missing --owner (the machine's own log is not renamed)");
    if (!prefix) throw UsageError("missing --prefix");
    const fs::path logs = LogsDirectory();
    const fs::path before = OwnerLog(logs, *owner).log;
    WideString ownerText = Widen(*owner);
    ClearLastError();
    int32_t result = VMUpdateLogFileNames(Widen(*prefix).c_str(), ownerText.c_str());
    // Always 0: a failed move shows in its last-error value.
    std::string cause = LastErrorText();
    const fs::path after = OwnerLog(logs, *owner).log;
    const std::string wanted = *prefix + "." + *owner + ".activity.log";
    if (!FileSize(after) || LowerAscii(PathText(after.filename())) != LowerAscii(wanted)) {
        PrintError("actlog: no log moved for " + *owner + " (result " + std::to_string(result) + "): " +
                   (cause.empty() ? "no log" : cause) + "\n");
        return kFailure;
    }
    Print(*owner + ": " + PathText(before.filename()) + " -> " + PathText(after.filename()) + "\n");
    return kSuccess;
}

const CommandRegistration kPrune({"prune", "remove the records older than a date", kPruneUsage, Prune});
const CommandRegistration kReindex({"reindex", "rebuild a missing activity index", kReindexUsage, Reindex});
const CommandRegistration kRename({"rename", "give an owner's log a prefixed file name", kRenameUsage, Rename});

}  // namespace

}  // namespace actlogtool
