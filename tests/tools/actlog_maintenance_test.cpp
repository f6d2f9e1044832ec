// actlog prune, reindex, rename, owners and verify against files laid out by hand.
#include <map>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using MaintenanceTest = ActlogTest;

std::vector<std::u16string> ThreeHours() {
    return {u"2009/03/05  10:00:00 -      Info: ten\r\n", u"2009/03/05  11:00:00 -      Info: eleven\r\n",
            u"2009/03/05  12:00:00 -      Info: twelve\r\n"};
}

TEST_F(MaintenanceTest, ReindexPruneRenameAndOwnersReportWhatTheyDid) {
    WriteLogPair(LogFile(), IndexFile(), ThreeHours());
    WriteLogPair(LogFile("vm01"), IndexFile("vm01"), ThreeHours());
    WriteBytes(LogFile("noindex"), Utf16Bytes(ThreeHours()[0]));
    fs::remove(IndexFile("vm01"));
    const std::vector<std::pair<std::vector<std::string>, std::string>> steps = {
        {{"reindex", "--owner", "vm01"}, "vm01: index rebuilt: 3 records\n"},
        {{"prune", "--owner", "vm01", "--before", "2009-03-05 11:30:00"},
         "vm01: 2 records before 2009-03-05 11:30:00 UTC removed\n"},
        {{"rename", "--owner", "vm01", "--prefix", "P"}, "vm01: vm01.activity.log -> P.vm01.activity.log\n"},
        {{"owners"}, "OWNER      RECORDS   LOG BYTES  FILE\n"
                     "(machine)  3               248  activity.log\n"
                     "noindex    no index         78  noindex.activity.log\n"
                     "vm01       1                84  P.vm01.activity.log\n"},
    };
    for (const auto& [args, expected] : steps) EXPECT_EQ(Output(args), expected) << args[0];
}

TEST_F(MaintenanceTest, VerifyNamesEachProblemWithoutChangingAnything) {
    struct Case {
        const char* finding;
        std::uint32_t shift;             // taken off the first index entry
        const char16_t* tail;            // appended to the log without an index entry
        std::vector<const char*> extra;  // files left beside the pair
        std::string moved;               // suffix of a pair moved aside by a prune that died
    };
    const std::vector<Case> cases = {
        {"ok: vm01 (vm01.activity.log): 3 records", 0, u"", {}, ""},
        {"does not end a record", 10, u"", {}, ""},
        {"are not indexed", 0, u"2009/03/05  13:00:00 -      Info: late\r\n", {}, ""},
        {"torn tail", 0, u"2009/03/05  13:00:00 -      Info: la", {}, ""},
        {"new pair", 0, u"", {"vm01.activity.log.new", "vm01.activity.idx.new"}, ""},
        {"rebuild file", 0, u"", {"vm01.activity.idx.rex"}, ""},
        {"carry mark", 0, u"", {"vm01.activity.idx.car"}, ""},
        {"vm01.activity.log.old0", 0, u"", {}, ".old0"},
    };
    auto files = [&] {
        std::map<std::string, std::vector<std::uint8_t>> contents;
        for (const std::string& name : ListDir(sandbox.logs)) contents[name] = ReadBytes(sandbox.logs / name);
        return contents;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.finding);
        fs::remove_all(sandbox.logs);
        const fs::path log = sandbox.logs / ("vm01.activity.log" + c.moved);
        const fs::path index = sandbox.logs / ("vm01.activity.idx" + c.moved);
        std::vector<std::u16string> lines = ThreeHours();
        lines.push_back(c.tail);
        std::vector<std::uint32_t> ends = WriteLogPair(log, index, lines);
        WriteIndex(index, {ends[0] - c.shift, ends[1], ends[2]});
        for (const char* name : c.extra) WriteBytes(sandbox.logs / name, {0xFF, 0xFE});
        const auto before = files();
        for (const std::vector<std::string>& args : {std::vector<std::string>{"verify", "--owner", "vm01"},
                                                     std::vector<std::string>{"verify", "--all"}}) {
            RunResult run = Run(args);
            EXPECT_EQ(run.status, c.finding == cases[0].finding ? 0 : 1) << run.out;
            EXPECT_NE(run.out.find(c.finding), std::string::npos) << args[1] << ": " << run.out;
        }
        EXPECT_EQ(files(), before);
    }
}

}  // namespace
}  // namespace actlogtest
