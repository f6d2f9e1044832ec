// Subcommands register themselves here; main dispatches on the first argument.
// Exit status: 0 success, 1 failure, 2 usage (UsageError).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace actlogtool {

enum ExitStatus : int { kSuccess = 0, kFailure = 1, kUsage = 2 };

struct Command {
    const char* name;
    const char* summary;  // one line for the command list; null for hidden commands
    const char* usage;    // full usage text, printed for --help and after a usage error
    int (*run)(const std::vector<std::string>& args);
};

const std::vector<Command>& Commands();

struct CommandRegistration {
    explicit CommandRegistration(const Command& command);
};

// Reports a failed export, which left its cause as the last-error value, on
// standard error: "actlog: <Export> failed (result <r>): <subject>: <the OS
// text of the cause>"; gives kFailure.
int ReportCause(std::string_view exportName, std::int64_t result, std::string_view subject);

// Prints the usage text of a command (for --help).
int PrintUsage(const char* usage);

}  // namespace actlogtool
