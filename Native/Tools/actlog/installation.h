// Where the loaded library keeps its files: <library directory>/../Logs and
// <library directory>/../DataSync (or the directories a system-wide package
// baked in), and which activity logs lie there. The tool
// reads these directories itself only to list and check files, never to write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace actlogtool {

namespace fs = std::filesystem;

// The file of the shared library this process has loaded (empty when unknown).
fs::path LibraryPath();
fs::path LogsDirectory();
fs::path DataSyncDirectory();
// Path of this program, to start it again (demo writers).
fs::path ProgramPath();

struct OwnerFiles {
    std::string owner;  // empty for the machine's own log
    fs::path log;       // the log file on disk (possibly prefixed)
    fs::path index;     // <owner>.activity.idx, whether it exists or not
};

// Every activity log in the Logs directory with the owner it belongs to: the
// whole stem of "<stem>.activity.log" when "<stem>.activity.idx" exists, else
// the part after the first, second, ... "." whose index exists, else the stem.
std::vector<OwnerFiles> FindOwnerLogs(const fs::path& logs);
// The log of one owner ("" = the machine): the exact name first, then a
// prefixed name that belongs to that owner. Without a log on disk the plain
// names are given.
OwnerFiles OwnerLog(const fs::path& logs, std::string_view owner);

std::string DisplayOwner(std::string_view owner);  // "(machine)" for ""
std::optional<std::uint64_t> FileSize(const fs::path& path);
std::string PathText(const fs::path& path);  // UTF-8
std::string LowerAscii(std::string_view text);
fs::path PathFromText(std::string_view utf8);
// The names in a directory (UTF-8), sorted; none when it cannot be read.
std::vector<std::string> FileNames(const fs::path& dir);

}  // namespace actlogtool
