// actlog log, show and trace: records and trace lines go through the matching
// exports; records come back as tables and JSON lines, and --follow keeps printing.
#include <chrono>
#include <thread>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using LogShowTest = ActlogTest;

TEST_F(LogShowTest, LogWritesEachFormAndShowPrintsTablesJsonAndFollows) {
    ASSERT_EQ(Run({"log", "--severity", "1", "--id", "1005", "C:", "42"}).status, 0);
    ASSERT_EQ(Run({"log", "--owner", "vm02", "--job", "7", "--severity", "5", "--text", "50% done"}).status, 0);
    EXPECT_EQ(Utf8(LogLines(LogFile()).at(0).substr(20)), " -     Error: Volume C: scanned: 42 files.\r\n");
    EXPECT_EQ(Utf8(LogLines(LogFile("vm02")).at(0).substr(20)), " -  Critical: Job00000007 - 50% done\r\n");
    EXPECT_NE(Output({"show", "--json"}).find(",\"owner\":null,"), std::string::npos);

    WriteLogPair(LogFile("vm01"), IndexFile("vm01"),
                 {u"2009/03/05  10:00:00 -   Warning: Job0000000C - Job first started.\r\n",
                  u"2009/03/05  11:00:00 -     Error: line one\r\nline \"two\"\t\\end\r\n",
                  u"2009/03/05  12:00:00 -      Info: newest\r\n"});
    EXPECT_EQ(Output({"show", "--owner", "vm01"}),
              "TIME (UTC)           SEVERITY  JOB  MESSAGE\n"
              "2009-03-05 12:00:00  Info           newest\n"
              "2009-03-05 11:00:00  Error          line one line \"two\" \\end\n"
              "2009-03-05 10:00:00  Warning    12  Job first started.\n"
              "(3 of 3 records)\n");
    EXPECT_EQ(Output({"show", "--owner", "vm01", "--json", "--start", "1", "--count", "1"}),
              R"({"time":"2009-03-05 11:00:00","severity":1,"label":"Error","job":0,"owner":"vm01",)"
              R"("message":"line one\r\nline \"two\"\t\\end"})" "\n");

    // --follow prints the page oldest first, then each record as it arrives.
    const fs::path output = sandbox.root / "follow.txt";
    ChildProcess follower =
        ChildProcess::Start(Actlog(), {"show", "--owner", "vm01", "--json", "--follow", "--timeout", "6"}, output);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--text", "after 1"}).status, 0);
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--text", "after 2"}).status, 0);
    EXPECT_EQ(follower.Wait(), 0);
    std::vector<std::string> lines = Lines(ReadText(output));
    const std::vector<std::string> messages = {"Job first started.", "line one", "newest", "after 1", "after 2"};
    ASSERT_EQ(lines.size(), messages.size());
    for (std::size_t k = 0; k < lines.size(); ++k)
        EXPECT_NE(lines[k].find("\"message\":\"" + messages[k]), std::string::npos) << lines[k];
}

TEST_F(LogShowTest, TraceFollowsTheSwitchAndAlwaysPrintsAMessage) {
    const fs::path utility = sandbox.logs / "OrielMgrUtility.log";
    EXPECT_NE(Output({"trace", "--on", "--text", "copied 3 files, 100%"}).find("Utility.log"), std::string::npos);
    const std::string text = ReadText(utility);
    ASSERT_EQ(Lines(text).size(), 1u) << text;
    EXPECT_EQ(Lines(text)[0].substr(24), "copied 3 files, 100%");
    EXPECT_EQ(Output({"trace", "--off", "--id", "1005", "C:", "7"}), "Volume C: scanned: 7 files.\n");
    EXPECT_EQ(ReadText(utility), text) << "written while the switch was off";
}

}  // namespace
}  // namespace actlogtest
