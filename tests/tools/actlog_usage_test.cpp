// actlog's answers to bad arguments (exit 2, the argument named, the usage) and
// to failing exports (exit 1, the export and its result).
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
        std::string joined;
        for (const std::string& arg : c.args) joined += arg + " ";
        SCOPED_TRACE(joined);
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

TEST_F(UsageTest, LibraryFailuresNameTheExportAndItsResult) {
    struct Case {
        std::vector<std::string> args;
        std::string reported;
    };
    const std::vector<Case> cases = {
        {{"show", "--owner", "nobody", "--job", "3"}, "GetJobLog failed (result -1)"},
        {{"log", "--owner", "a/b", "--text", "x"}, "VMLogActivity failed (result -1)"},
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
