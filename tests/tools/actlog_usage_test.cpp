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
        {{"show", "--count"}, "--count"},
        {{"show", "--count", "many"}, "'many' for --count"},
        {{"show", "--start", "4294967296"}, "--start"},
        {{"show", "--colour"}, "'--colour'"},
        {{"show", "extra"}, "'extra'"},
        {{"show", "--timeout", "3"}, "--timeout"},
        {{"log"}, "--id and --text"},
        {{"log", "--id", "1005", "C:", "many"}, "'many' for insert %2"},
        {{"log", "--text", "x", "y"}, "'y'"},
        {{"log", "--autoupdate", "--owner", "vm01", "--text", "x"}, "--autoupdate"},
        {{"log", "--severity", "-1", "--text", "x"}, "--severity"},
        {{"prune"}, "--before"},
        {{"prune", "--before", "2024-02-30 25:00:00"}, "'2024-02-30 25:00:00' for --before"},
        {{"prune", "--before", "yesterday"}, "--before"},
        {{"rename", "--prefix", "P"}, "--owner"},
        {{"rename", "--owner", "vm01"}, "--prefix"},
        {{"verify", "--all", "--owner", "vm01"}, "--all"},
        {{"owners", "--json"}, "'--json'"},
        {{"reindex", "--owner"}, "--owner"},
        {{"sync"}, "missing action"},
        {{"sync", "dance"}, "'dance'"},
        {{"sync", "switch", "--json"}, "--json"},
        {{"sync", "read", "--batch", "0"}, "--batch"},
        {{"trace", "--text", "x"}, "--on and --off"},
        {{"trace", "--on"}, "--id or --text"},
        {{"demo", "--writers", "0"}, "--writers"},
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
    RunResult overview = Run({"--help"});
    EXPECT_EQ(overview.status, 0);
    EXPECT_NE(overview.out.find("verify"), std::string::npos);
    EXPECT_EQ(overview.out.find("demo-writer"), std::string::npos) << "the writer command is internal";
}

TEST_F(UsageTest, LibraryFailuresNameTheExportAndItsResult) {
    struct Case {
        std::vector<std::string> args;
        std::string reported;
    };
    const std::vector<Case> cases = {
        {{"show", "--owner", "nobody"}, "GetLog failed (result -1)"},
        {{"show", "--owner", "nobody", "--job", "3"}, "GetJobLog failed (result -1)"},
        {{"log", "--id", "4242"}, "LogActivity failed (result -1)"},
        {{"log", "--owner", "a/b", "--text", "x"}, "VMLogActivity failed (result -1)"},
        {{"prune", "--owner", "nobody", "--before", "2030-01-01 00:00:00"}, "PruneLog failed (result -1)"},
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
