// actlog's answers to --help, to bad arguments (exit 2, the argument named, the
// usage) and to failing exports (exit 1, the export, its result and the cause).
#include <cerrno>
#include <fstream>
#include <system_error>
#include <tuple>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using UsageTest = ActlogTest;

TEST_F(UsageTest, HelpPrintsTheUsageOfEachCommand) {
    for (const char* command :
         {"log", "show", "prune", "reindex", "rename", "owners", "verify", "sync", "trace", "demo"}) {
        EXPECT_EQ(Output({command, "--help"}).rfind(std::string("usage: actlog ") + command, 0), 0u) << command;
    }
}

// The OS's own words for a last-error value, as actlog prints them (on Windows
// followed by a full stop).
#ifdef _WIN32
std::string OsText(int, int windowsError) { return std::system_category().message(windowsError); }
#else
std::string OsText(int unixError, int) { return std::system_category().message(unixError); }
#endif

// Bad arguments exit 2 naming the argument, then the usage. Library failures
// exit 1 naming the export, its result and the cause the library left as the
// last-error value: a missing log, a refused owner name, a damaged index, a
// message id the message library lacks (ERROR_RESOURCE_NAME_NOT_FOUND).
TEST_F(UsageTest, RefusalsAndFailuresNameTheirCause) {
    fs::create_directories(LogFile("broken").parent_path());
    std::ofstream(LogFile("broken"), std::ios::binary) << "x";
    std::ofstream(IndexFile("broken"), std::ios::binary) << "abcd";  // an entry far past the log's end
    const std::string missing = OsText(ENOENT, 2);     // ERROR_FILE_NOT_FOUND
    const std::string refused = OsText(EINVAL, 87);    // ERROR_INVALID_PARAMETER
    const std::string damaged = OsText(EBADMSG, 1392);  // ERROR_FILE_CORRUPT
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{}, 2, "no command"},
        {{"frobnicate"}, 2, "'frobnicate'"},
        {{"show", "--count", "many"}, 2, "'many' for --count"},
        {{"log", "--id", "1005", "C:", "many"}, 2, "'many' for insert %2"},
        {{"prune", "--before", "2024-02-30 25:00:00"}, 2, "'2024-02-30 25:00:00' for --before"},
        {{"sync", "read", "--batch", "0"}, 2, "--batch"},
        {{"collect", "--to", "ftp:host:1"}, 2, "ftp:host:1"},
        {{"collect", "--once", "--interval", "5"}, 2, "--interval"},
        {{"show", "--owner", "nobody", "--job", "3"}, 1, "GetJobLog failed (result -1): log of nobody: " + missing},
        {{"show", "--owner", "a/b"}, 1, "GetLog failed (result -1): log of a/b: " + refused},
        {{"show", "--owner", "broken"}, 1, "GetLog failed (result -1): log of broken: " + damaged},
        {{"prune", "--owner", "nobody", "--before", "2030-01-01 00:00:00"}, 1,
         "PruneLog failed (result -1): log of nobody: " + missing},
        {{"reindex", "--owner", "nobody"}, 1, "ReIndexLog failed (result -1): log of nobody: " + missing},
        {{"log", "--owner", "a/b", "--text", "x"}, 1,
         "VMLogActivity failed (result -1): message 1009 to the log of a/b: " + refused},
        {{"sync", "switch"}, 1, "SwitchSyncLog4Trans failed (result -1): hand-over of the sync journal: " + missing},
        {{"sync", "read"}, 1, "GetNextSyncLogs failed (result -1): hand-over journal: " + missing},
        {{"sync", "read", "--full"}, 1, "GetNextSyncLogsFull failed (result -1): full journal: " + missing},
        {{"log", "--id", "99999"}, 1,
         "LogActivity failed (result -1): message 99999 to the log of (machine): " + OsText(ENOMSG, 1814)},
        // The damaged index went with the first read of it: the log has none.
        {{"sync", "resync"}, 1, "MergeAllActiveLog2LogTransFull failed (result 1): full journal: " + missing},
    };
    for (const auto& [args, status, reported] : cases) {
        SCOPED_TRACE(reported);
        RunResult run = Run(args);
        EXPECT_EQ(run.status, status);
        const std::string first = run.err.substr(0, run.err.find('\n'));
        EXPECT_NE(first.find(status == 2 ? reported : "actlog: " + reported), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("\nusage: actlog ") != std::string::npos, status == 2) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(Exists(LogFile())) << "a refused or failed command wrote a record";
}

}  // namespace
}  // namespace actlogtest
