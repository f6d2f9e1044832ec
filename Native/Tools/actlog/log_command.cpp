// actlog log: one record through the export that matches the options.
#include <cstdarg>

#include "Log.h"
#include "arguments.h"
#include "command.h"
#include "insert_slots.h"
#include "installation.h"
#include "last_error.h"
#include "message_ids.h"
#include "text.h"

namespace actlogtool {

namespace {

constexpr const char* kUsage =
    "usage: actlog log [--owner N] [--job J] [--severity S] --id ID [INSERT ...]\n"
    "       actlog log [--owner N] [--job J] [--severity S] --text TEXT\n"
    "       actlog log --autoupdate [--severity S] (--id ID [INSERT ...] | --text TEXT)\n"
    "Appends one record. --id names a message of the message library, filled with\n"
    "the inserts (each converted to the type its %n asks for); --text logs a finished\n"
    "text. The export follows from the options: LogActivity, JobLogActivity (--job),\n"
    "VMLogActivity (--owner), VMJobLogActivity (--owner and --job), JobLogActivityEx\n"
    "(--va-list), AutoupdateLogActivity / AutoupdateLogActivityMSG (--autoupdate).\n"
    "  --owner N      log owner (virtual machine); default: the machine's own log\n"
    "  --job J        job number (0 = no job)\n"
    "  --severity S   0..5 (default 3)\n"
    "  --va-list      pass the inserts as a va_list (JobLogActivityEx)\n"
    "Inserts that begin with \"--\" follow a \"--\" argument.\n";

// va_list forms of the exports: the tool's own variadic functions hand their
// argument list on.
int32_t ForwardJobLogActivityEx(const LOG_WCHAR* owner, uint32_t severity, uint32_t job, uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    int32_t result = JobLogActivityEx(owner, severity, job, id, args);
    va_end(args);
    return result;
}

int32_t ForwardAutoupdateLogActivity(uint32_t severity, uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    int32_t result = AutoupdateLogActivity(severity, id, args);
    va_end(args);
    return result;
}

int Run(const std::vector<std::string>& args) {
    Arguments options(args,
                      {{"--owner", true},
                       {"--job", true},
                       {"--severity", true},
                       {"--id", true},
                       {"--text", true},
                       {"--autoupdate", false},
                       {"--va-list", false}},
                      true);
    if (options.Help()) return PrintUsage(kUsage);
    const bool hasId = options.Has("--id");
    const bool hasText = options.Has("--text");
    if (hasId == hasText) throw UsageError("give exactly one of --id and --text");
    if (hasText && !options.Positional().empty()) {
        throw UsageError("unexpected argument '" + options.Positional().front() + "' (inserts go with --id)");
    }
    const bool autoupdate = options.Has("--autoupdate");
    if (autoupdate && (options.Has("--owner") || options.Has("--job") || options.Has("--va-list"))) {
        throw UsageError("--autoupdate takes no --owner, --job or --va-list");
    }
    const uint32_t severity = options.Number("--severity", 3);
    const uint32_t job = options.Number("--job", 0);
    const std::optional<std::string> ownerText = options.Value("--owner");
    const WideString owner = Widen(ownerText.value_or(""));
    const LOG_WCHAR* ownerArg = ownerText ? owner.c_str() : nullptr;
    const std::string logOf = "log of " + DisplayOwner(ownerText.value_or(""));

    if (autoupdate && hasText) {
        const WideString text = Widen(*options.Value("--text"));
        ClearLastError();
        int32_t result = AutoupdateLogActivityMSG(severity, text.c_str());
        return result == 0 ? kSuccess : ReportCause("AutoupdateLogActivityMSG", result, logOf);
    }

    uint32_t id = MSG_PLAIN_TEXT;
    std::vector<std::string> inserts;
    if (hasId) {
        id = options.Number("--id", 0);
        inserts = options.Positional();
    } else {
        inserts.push_back(*options.Value("--text"));
    }
    InsertSlots slots(InsertKinds(LoadTemplate(id), true), inserts);

    const char* exportName = nullptr;
    int32_t result = -1;
    ClearLastError();
    if (autoupdate) {
        exportName = "AutoupdateLogActivity";
        result = CallWithSlots([&](auto... v) { return ForwardAutoupdateLogActivity(severity, id, v...); },
                               slots.values());
    } else if (options.Has("--va-list")) {
        exportName = "JobLogActivityEx";
        result = CallWithSlots([&](auto... v) { return ForwardJobLogActivityEx(ownerArg, severity, job, id, v...); },
                               slots.values());
    } else if (ownerText && options.Has("--job")) {
        exportName = "VMJobLogActivity";
        result = CallWithSlots([&](auto... v) { return VMJobLogActivity(ownerArg, severity, job, id, v...); },
                               slots.values());
    } else if (ownerText) {
        exportName = "VMLogActivity";
        result = CallWithSlots([&](auto... v) { return VMLogActivity(ownerArg, severity, id, v...); }, slots.values());
    } else if (options.Has("--job")) {
        exportName = "JobLogActivity";
        result = CallWithSlots([&](auto... v) { return JobLogActivity(severity, job, id, v...); }, slots.values());
    } else {
        exportName = "LogActivity";
        result = CallWithSlots([&](auto... v) { return LogActivity(severity, id, v...); }, slots.values());
    }
    if (result != 0) return ReportCause(exportName, result, "message " + std::to_string(id) + " to the " + logOf);
    return kSuccess;
}

const CommandRegistration kRegistration({"log", "append one record (by message id or as text)", kUsage, Run});

}  // namespace

}  // namespace actlogtool
