// actlog sync (hand-over, batch reading, full resynchronisation, paths) and the demo.
#include <regex>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using SyncTest = ActlogTest;

// JSON lines with each record's own time replaced by T.
std::string WithoutTimes(const std::string& json) {
    return std::regex_replace(json, std::regex(R"("time":"[^"]+")"), "\"time\":T");
}

TEST_F(SyncTest, HandOverReadResyncAndPathsRunTheLibrarysCalls) {
    sandbox.CreateFullSyncMark();
    ASSERT_EQ(Run({"log", "--severity", "1", "--text", "first -- odd - text"}).status, 0);
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--job", "12", "--severity", "2", "--id", "1000", "copy"}).status, 0);
    ASSERT_EQ(Run({"log", "--owner", "vm02", "--severity", "5", "--text", "third"}).status, 0);

    RunResult handOver = Run({"sync", "switch"});
    ASSERT_EQ(handOver.status, 0) << handOver.err;
    const fs::path journal = sandbox.dataSync / "activity_sync_trans.log";
    EXPECT_NE(handOver.out.find("activity_sync_trans.log"), std::string::npos) << handOver.out;
    RunResult read = Run({"sync", "read", "--json", "--batch", "2"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(WithoutTimes(read.out),
              R"({"kind":"ADD","time":T,"owner":"<NULL>","severity":1,"job":0,"message":"first -- odd - text"})" "\n"
              R"({"kind":"ADD","time":T,"owner":"vm01","severity":2,"job":12,"message":"Job copy started."})" "\n"
              R"({"kind":"ADD","time":T,"owner":"vm02","severity":5,"job":0,"message":"third"})" "\n");
    EXPECT_TRUE(Exists(journal)) << "read alone must not remove the journal";
    RunResult table = Run({"sync", "read", "--remove"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("(3 entries)"), std::string::npos) << table.out;
    EXPECT_FALSE(Exists(journal));

    // The full resynchronisation exports the logs: the machine's first.
    RunResult resync = Run({"sync", "resync"});
    ASSERT_EQ(resync.status, 0) << resync.err;
    EXPECT_NE(resync.out.find("activity_sync_trans_full.log"), std::string::npos) << resync.out;
    RunResult full = Run({"sync", "read", "--full", "--json"});
    ASSERT_EQ(full.status, 0) << full.err;
    EXPECT_EQ(WithoutTimes(full.out),
              R"({"kind":"ADD","time":T,"owner":"<NULL>","severity":1,"job":0,"message":" first -- odd - text"})" "\n"
              R"({"kind":"ADD","time":T,"owner":"vm01","severity":2,"job":12,"message":" Job copy started."})" "\n"
              R"({"kind":"ADD","time":T,"owner":"vm02","severity":5,"job":0,"message":" third"})" "\n");

    RunResult paths = Run({"sync", "paths"});
    ASSERT_EQ(paths.status, 0) << paths.err;
    std::vector<std::string> lines = Lines(paths.out);
    const std::vector<std::string> names = {"activity_sync_trans.log", "activity_sync_trans_full.log",
                                            "activity_sync_transXML.xml"};
    ASSERT_EQ(lines.size(), names.size());
    for (std::size_t k = 0; k < names.size(); ++k) {
        fs::path path = lines[k].substr(lines[k].find_first_not_of(' ', lines[k].find(": ") + 1));
        EXPECT_EQ(path.filename().string(), names[k]);
        EXPECT_TRUE(fs::equivalent(path.parent_path(), sandbox.dataSync)) << path;
    }
}

TEST_F(SyncTest, DemoEndsBalancedAndLeavesTheRecordsItCounted) {
    RunResult run = Run({"demo", "--writers", "5", "--records", "24", "--pace", "20"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("balanced: every record written is found or was pruned"), std::string::npos) << run.out;
    // Writers 0 and 4 both wrote the machine's log; the others one owner each, vm02 pruned.
    EXPECT_EQ(ReadIndex(IndexFile()).size(), 48u);
    EXPECT_EQ(ReadIndex(IndexFile("vm01")).size(), 24u);
    EXPECT_EQ(ReadIndex(IndexFile("vm03")).size(), 24u);
    EXPECT_TRUE(Exists(sandbox.dataSync / "activity_sync_trans_full.log"));
    EXPECT_FALSE(Exists(sandbox.dataSync / "activity_sync_trans.log"));
}

}  // namespace
}  // namespace actlogtest
