// actlog trace: the management utility's trace log (OrielMgrUtility.log).
#include <cstdio>

#include "Log.h"
#include "arguments.h"
#include "command.h"
#include "insert_slots.h"
#include "installation.h"
#include "text.h"

namespace actlogtool {

namespace {

constexpr const char* kUsage =
    "usage: actlog trace (--on | --off) [--id ID [INSERT ...]] [--text TEXT]\n"
    "Sets this process's utility trace switch (SetTarnMgrUtlDebug), then writes:\n"
    "  --id ID        a message of the message library with its inserts (TarnMgrUtlLog);\n"
    "                 always printed, and added to the utility log while the switch is on\n"
    "  --text TEXT    a text (TarnMgrUtlTrace); added to the utility log while the switch is on\n";

// TarnMgrUtlTrace takes a printf format: a literal text has its % doubled.
WideString AsFormat(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        escaped.push_back(c);
        if (c == '%') escaped.push_back('%');
    }
    return Widen(escaped);
}

int Run(const std::vector<std::string>& args) {
    Arguments options(args, {{"--on", false}, {"--off", false}, {"--id", true}, {"--text", true}}, true);
    if (options.Help()) return PrintUsage(kUsage);
    const bool on = options.Has("--on");
    if (on == options.Has("--off")) throw UsageError("give exactly one of --on and --off");
    if (!options.Has("--id") && !options.Has("--text")) throw UsageError("nothing to trace: give --id or --text");
    if (!options.Has("--id") && !options.Positional().empty()) {
        throw UsageError("unexpected argument '" + options.Positional().front() + "' (inserts go with --id)");
    }
    SetTarnMgrUtlDebug(on ? 1 : 0);
    if (options.Has("--id")) {
        const uint32_t id = options.Number("--id", 0);
        InsertSlots slots(InsertKinds(LoadTemplate(id), false), options.Positional());
        std::fflush(stdout);  // the library prints the text itself
        CallWithSlots([&](auto... v) { TarnMgrUtlLog(id, v...); }, slots.values());
        std::fflush(stdout);
    }
    if (options.Has("--text")) TarnMgrUtlTrace(AsFormat(*options.Value("--text")).c_str());
    if (on) Print("utility log: " + PathText(LogsDirectory() / "OrielMgrUtility.log") + "\n");
    return kSuccess;
}

const CommandRegistration kRegistration({"trace", "write the utility trace log", kUsage, Run});

}  // namespace

}  // namespace actlogtool
