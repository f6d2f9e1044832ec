// actlog's answers to bad arguments (exit 2, the argument named, the usage) and
// to failing exports (exit 1, the export and its result).
#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <cstring>
#include <fstream>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using UsageTest = ActlogTest;

TEST_F(UsageTest, BadArgumentsNameTheArgumentAndShowTheUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string named;  // expected in the one-line error
    };
    const std::vector<Case> cases = {
        {{}, "no command"},
        {{"frobnicate"}, "'frobnicate'"},
        {{"show", "--count", "many"}, "'many' for --count"},
        {{"log", "--id", "1005", "C:", "many"}, "'many' for insert %2"},
        {{"prune", "--before", "2024-02-30 25:00:00"}, "'2024-02-30 25:00:00' for --before"},
        {{"sync", "read", "--batch", "0"}, "--batch"},
        {{"collect", "--to", "ftp:host:1"}, "ftp:host:1"},
        {{"collect", "--once", "--interval", "5"}, "--interval"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        RunResult run = Run(c.args);
        EXPECT_EQ(run.status, 2);
        std::vector<std::string> lines = Lines(run.err);
        ASSERT_GE(lines.size(), 2u) << run.err;
        EXPECT_NE(lines[0].find(c.named), std::string::npos) << lines[0];
        EXPECT_EQ(lines[1].rfind("usage: actlog", 0), 0u) << lines[1];
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(Exists(LogFile())) << "a refused command wrote a record";
}

TEST_F(UsageTest, HelpPrintsTheUsageOfEachCommand) {
    for (const char* command :
         {"log", "show", "prune", "reindex", "rename", "owners", "verify", "sync", "trace", "demo"}) {
        SCOPED_TRACE(command);
        RunResult run = Run({command, "--help"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out.rfind(std::string("usage: actlog ") + command, 0), 0u) << run.out;
    }
}

// The OS's own words for a last-error value, as actlog prints them.
std::string OsText([[maybe_unused]] int unixError, [[maybe_unused]] unsigned windowsError) {
#ifdef _WIN32
    char text[512] = {};
    std::string message(text, ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                                windowsError, 0, text, sizeof text, nullptr));
    return message.substr(0, message.find_last_not_of("\r\n ") + 1);
#else
    return std::strerror(unixError);
#endif
}

// Each failure names the export, its result and the cause the library left as
// the last-error value: a missing log, a refused owner name, a damaged index,
// a message id the message library lacks (ERROR_RESOURCE_NAME_NOT_FOUND).
TEST_F(UsageTest, LibraryFailuresNameTheExportItsResultAndTheCause) {
    fs::create_directories(LogFile("broken").parent_path());
    std::ofstream(LogFile("broken"), std::ios::binary) << "x";
    std::ofstream(IndexFile("broken"), std::ios::binary) << "abc";  // not a whole entry
    struct Case {
        std::vector<std::string> args;
        std::string reported;
    };
    const std::string missing = OsText(ENOENT, 2);     // ERROR_FILE_NOT_FOUND
    const std::string refused = OsText(EINVAL, 87);    // ERROR_INVALID_PARAMETER
    const std::string damaged = OsText(EBADMSG, 1392);  // ERROR_FILE_CORRUPT
    const std::vector<Case> cases = {
        {{"show", "--owner", "nobody", "--job", "3"}, "GetJobLog failed (result -1): log of nobody: " + missing},
        {{"show", "--owner", "a/b"}, "GetLog failed (result -1): log of a/b: " + refused},
        {{"show", "--owner", "broken"}, "GetLog failed (result -1): log of broken: " + damaged},
        {{"prune", "--owner", "nobody", "--before", "2030-01-01 00:00:00"},
         "PruneLog failed (result -1): log of nobody: " + missing},
        {{"reindex", "--owner", "nobody"}, "ReIndexLog failed (result -1): log of nobody: " + missing},
        {{"log", "--owner", "a/b", "--text", "x"},
         "VMLogActivity failed (result -1): message 1009 to the log of a/b: " + refused},
        {{"sync", "switch"}, "SwitchSyncLog4Trans failed (result -1): hand-over of the sync journal: " + missing},
        {{"sync", "read"}, "GetNextSyncLogs failed (result -1): hand-over journal: " + missing},
        {{"sync", "read", "--full"}, "GetNextSyncLogsFull failed (result -1): full journal: " + missing},
        {{"log", "--id", "99999"},
         "LogActivity failed (result -1): message 99999 to the log of (machine): " + OsText(ENOMSG, 1814)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        RunResult run = Run(c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("actlog: " + c.reported), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace actlogtest
