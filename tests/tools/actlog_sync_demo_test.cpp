// actlog sync (hand-over, batch reading, full resynchronisation, paths), collect
// as JSON lines, and the demo.
#include <regex>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using SyncTest = ActlogTest;

// JSON lines with the clock's times (hand-over "YYYY/MM/DD hh:mm:ss", collected
// "YYYY-MM-DD hh:mm:ss") replaced by T.
std::string WithoutTimes(const std::string& json) {
    return std::regex_replace(json, std::regex(R"("time":"20\d\d([-/])\d\d\1\d\d \d\d:\d\d:\d\d")"), "\"time\":T");
}

TEST_F(SyncTest, HandOverReadCollectResyncAndPathsRunTheLibrarysCalls) {
    sandbox.CreateFullSyncMark();
    ASSERT_EQ(Run({"log", "--severity", "1", "--text", "first -- odd - text"}).status, 0);
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--job", "12", "--severity", "2", "--id", "1000", "cp"}).status, 0);
    ASSERT_EQ(Run({"log", "--owner", "vm02", "--severity", "5", "--text", "\"full\" \xC3\xBC"}).status, 0);

    EXPECT_NE(Output({"sync", "switch"}).find("activity_sync_trans.log"), std::string::npos);
    EXPECT_EQ(WithoutTimes(Output({"sync", "read", "--json", "--batch", "2"})),
              R"({"kind":"ADD","time":T,"owner":"<NULL>","severity":1,"job":0,"message":"first -- odd - text"})" "\n"
              R"({"kind":"ADD","time":T,"owner":"vm01","severity":2,"job":12,"message":"Job cp started."})" "\n"
              R"({"kind":"ADD","time":T,"owner":"vm02","severity":5,"job":0,"message":"\"full\" )" "\xC3\xBC\"}\n");
    const fs::path journal = sandbox.dataSync / "activity_sync.log";
    const fs::path left = sandbox.dataSync / "activity_sync_trans.log";
    EXPECT_TRUE(Exists(left)) << "read alone must not remove the journal";

    // collect sends the left-over hand-over first, then the journal, and removes both.
    ASSERT_EQ(Run({"prune", "--owner", "vm02", "--before", "2100-01-01 00:00:00"}).status, 0);
    EXPECT_EQ(WithoutTimes(Output({"collect", "--json"})),
              R"({"kind":"ADD","time":T,"severity":1,"label":"Error","job":0,"owner":null,)"
              R"("message":"first -- odd - text"})" "\n"
              R"({"kind":"ADD","time":T,"severity":2,"label":"Warning","job":12,"owner":"vm01",)"
              R"("message":"Job cp started."})" "\n"
              R"({"kind":"ADD","time":T,"severity":5,"label":"Critical","job":0,"owner":"vm02","message":"\"full\" )"
              "\xC3\xBC\"}\n"
              R"({"kind":"PRUNE","time":"2100-01-01 00:00:00","severity":null,"label":null,"job":null,"owner":"vm02",)"
              R"("message":null})" "\n");
    EXPECT_FALSE(Exists(left));
    EXPECT_FALSE(Exists(journal));
    EXPECT_EQ(Output({"collect", "--json", "--once"}), "");

    // The full resynchronisation exports the logs; read --remove deletes the journal read.
    EXPECT_NE(Output({"sync", "resync"}).find("activity_sync_trans_full.log"), std::string::npos);
    EXPECT_NE(Output({"sync", "read", "--full", "--remove"}).find("(2 entries)"), std::string::npos);
    EXPECT_FALSE(Exists(sandbox.dataSync / "activity_sync_trans_full.log"));

    std::vector<std::string> lines = Lines(Output({"sync", "paths"}));
    const std::vector<std::string> names = {"activity_sync_trans.log", "activity_sync_trans_full.log",
                                            "activity_sync_transXML.xml"};
    ASSERT_EQ(lines.size(), names.size());
    for (std::size_t k = 0; k < names.size(); ++k) {
        const fs::path path = lines[k].substr(lines[k].find_first_not_of(' ', lines[k].find(": ") + 1));
        EXPECT_TRUE(path.filename() == names[k] && fs::equivalent(path.parent_path(), sandbox.dataSync)) << path;
    }
}

TEST_F(SyncTest, DemoEndsBalancedAndLeavesTheRecordsItCounted) {
    const std::string out = Output({"demo", "--writers", "5", "--records", "24", "--pace", "20"});
    EXPECT_NE(out.find("balanced: every record written is found or was pruned"), std::string::npos) << out;
    // Writers 0 and 4 both wrote the machine's log; the others one owner each, vm02 pruned.
    EXPECT_EQ(ReadIndex(IndexFile()).size(), 48u);
    EXPECT_EQ(ReadIndex(IndexFile("vm01")).size(), 24u);
    EXPECT_EQ(ReadIndex(IndexFile("vm03")).size(), 24u);
    EXPECT_TRUE(Exists(sandbox.dataSync / "activity_sync_trans_full.log"));
    EXPECT_FALSE(Exists(sandbox.dataSync / "activity_sync_trans.log"));
}

}  // namespace
}  // namespace actlogtest
