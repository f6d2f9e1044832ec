// actlog log and show: records go through the matching export and come back
// as tables and JSON lines.
#include <chrono>
#include <thread>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using LogShowTest = ActlogTest;

struct LogCase {
    std::vector<std::string> args;
    std::string owner;     // whose log receives the record
    std::string expected;  // the record line after the stamp
};

TEST_F(LogShowTest, EachFormOfLogWritesItsRecordThroughTheLibrary) {
    const std::vector<LogCase> cases = {
        {{"log", "--severity", "1", "--id", "1005", "C:", "42"}, "", "    Error: Volume C: scanned: 42 files.\r\n"},
        {{"log", "--owner", "vm02", "--job", "7", "--severity", "5", "--text", "50% done, \"quoted\""}, "vm02",
         " Critical: Job00000007 - 50% done, \"quoted\"\r\n"},
    };
    for (const LogCase& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::u16string before = Exists(LogFile(c.owner)) ? LogText(c.owner) : std::u16string();
        RunResult run = Run(c.args);
        ASSERT_EQ(run.status, 0) << run.err;
        std::u16string added = LogText(c.owner).substr(before.size());
        ASSERT_GE(added.size(), 20u);
        EXPECT_EQ(Utf8(added.substr(20)), " - " + c.expected);
        std::vector<std::uint32_t> index = ReadIndex(IndexFile(c.owner));
        ASSERT_FALSE(index.empty());
        EXPECT_EQ(index.back(), ReadBytes(LogFile(c.owner)).size());
    }
}

TEST_F(LogShowTest, ShowJsonGivesOneObjectPerRecordNewestFirst) {
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--severity", "2", "--job", "12", "--id", "1000", "first"}).status, 0);
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--severity", "1", "--text", "line one\r\nline \"two\"\tend"}).status, 0);
    RunResult run = Run({"show", "--owner", "vm01", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    std::vector<std::map<std::string, JsonValue>> objects;
    for (const std::string& line : lines) {
        auto object = ParseJsonObject(line);
        ASSERT_TRUE(object.has_value()) << line;
        objects.push_back(*object);
    }
    EXPECT_EQ(objects[0].at("message").text, "line one\r\nline \"two\"\tend");
    EXPECT_EQ(objects[0].at("severity").text, "1");
    EXPECT_EQ(objects[1].at("message").text, "Job first started.");
    EXPECT_EQ(objects[1].at("job").text, "12");
    EXPECT_EQ(objects[1].at("owner").text, "vm01");
    // The time is the record's stamp, as "YYYY-MM-DD hh:mm:ss".
    std::string stamp = Utf8(LogText("vm01").substr(0, 20));
    EXPECT_EQ(objects[1].at("time").text, stamp.substr(0, 4) + "-" + stamp.substr(5, 2) + "-" + stamp.substr(8, 2) +
                                              " " + stamp.substr(12, 8));
}

TEST_F(LogShowTest, FollowPrintsRecordsAsTheyArrive) {
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--text", "before"}).status, 0);
    const fs::path output = sandbox.root / "follow.txt";
    ChildProcess follower = ChildProcess::Start(Actlog(), {"show", "--owner", "vm01", "--json", "--follow", "--timeout", "6"},
                                                output);
    ASSERT_TRUE(follower.started());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--text", "after 1"}).status, 0);
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--text", "after 2"}).status, 0);
    EXPECT_EQ(follower.Wait(), 0);
    std::vector<std::string> messages;
    std::vector<std::uint8_t> bytes = ReadBytes(output);
    for (const std::string& line : Lines(std::string(bytes.begin(), bytes.end()))) {
        std::string text = line;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        auto object = ParseJsonObject(text);
        ASSERT_TRUE(object.has_value()) << text;
        messages.push_back(object->at("message").text);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"before", "after 1", "after 2"}));
}

}  // namespace
}  // namespace actlogtest
