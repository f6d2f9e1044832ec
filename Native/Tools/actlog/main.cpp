// actlog: drives the activity-log library from a shell.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "last_error.h"
#include "text.h"

namespace actlogtool {

namespace {

std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

std::string ProgramUsage() {
    std::string text =
        "usage: actlog <command> [options]\n"
        "       actlog <command> --help\n\n"
        "Commands:\n";
    std::vector<Command> sorted = Registry();
    std::sort(sorted.begin(), sorted.end(),
              [](const Command& a, const Command& b) { return std::string_view(a.name) < b.name; });
    for (const Command& command : sorted) {
        if (command.summary == nullptr) continue;
        std::string name = command.name;
        name.resize(std::max<std::size_t>(name.size(), 9), ' ');
        text += "  " + name + " " + command.summary + "\n";
    }
    text += "\nExit status: 0 success, 1 failure, 2 bad arguments.\n";
    return text;
}

int Dispatch(const std::vector<std::string>& args) {
    if (args.empty()) {
        PrintError("actlog: no command given\n" + ProgramUsage());
        return kUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        Print(ProgramUsage());
        return kSuccess;
    }
    for (const Command& command : Registry()) {
        if (args[0] != command.name) continue;
        std::vector<std::string> rest(args.begin() + 1, args.end());
        try {
            return command.run(rest);
        } catch (const UsageError& error) {
            PrintError(std::string("actlog ") + command.name + ": " + error.what() + "\n" + command.usage);
            return kUsage;
        }
    }
    PrintError("actlog: unknown command '" + args[0] + "'\n" + ProgramUsage());
    return kUsage;
}

}  // namespace

const std::vector<Command>& Commands() { return Registry(); }

CommandRegistration::CommandRegistration(const Command& command) { Registry().push_back(command); }

int ReportCause(std::string_view exportName, std::int64_t result, std::string_view subject) {
    std::string cause = LastErrorText();  // first: nothing may overwrite it
    PrintError("actlog: " + std::string(exportName) + " failed (result " + std::to_string(result) + "): " +
               std::string(subject) + ": " + (cause.empty() ? "cause unknown" : cause) + "\n");
    return kFailure;
}

int PrintUsage(const char* usage) {
    Print(usage);
    return kSuccess;
}

}  // namespace actlogtool

int main(int argc, char** argv) {
    using namespace actlogtool;
    int status = kFailure;
    try {
        status = Dispatch(CommandLineArguments(argc, argv));
    } catch (const std::exception& error) {
        PrintError(std::string("actlog: ") + error.what() + "\n");
        status = kFailure;
    }
    std::fflush(stdout);
    return status;
}
