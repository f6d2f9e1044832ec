// actlog prune, reindex, rename, owners and verify against files laid out by hand.
#include <functional>
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
        {{"prune", "--owner", "vm01", "--before", "2009-03-05 11:30:00"}, "vm01: 2 records before 2009-03-05 11:30:00 UTC removed\n"},
        {{"rename", "--owner", "vm01", "--prefix", "P"}, "vm01: vm01.activity.log -> P.vm01.activity.log\n"},
        {{"owners"}, "OWNER      RECORDS   LOG BYTES  FILE\n"
                     "(machine)  3               248  activity.log\n"
                     "noindex    no index         78  noindex.activity.log\n"
                     "vm01       1                84  P.vm01.activity.log\n"},
    };
    for (const auto& [args, expected] : steps) {
        SCOPED_TRACE(args[0]);
        RunResult run = Run(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, expected);
    }
}

TEST_F(MaintenanceTest, VerifyNamesEachProblemWithoutChangingAnything) {
    const fs::path log = LogFile("vm01"), index = IndexFile("vm01");
    std::vector<std::uint32_t> ends;
    auto append = [&](std::string_view text) {
        std::vector<std::uint8_t> bytes = ReadBytes(log), tail = Utf16Bytes(U16(text));
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        WriteBytes(log, bytes);
    };
    auto touch = [&](const char* name) { WriteBytes(sandbox.logs / name, {0xFF, 0xFE}); };
    auto files = [&] {
        std::map<std::string, std::vector<std::uint8_t>> contents;
        for (const std::string& name : ListDir(sandbox.logs)) contents[name] = ReadBytes(sandbox.logs / name);
        return contents;
    };
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"ok: vm01 (vm01.activity.log): 3 records", [] {}},
        {"does not end a record", [&] { WriteIndex(index, {ends[0] - 10, ends[1], ends[2]}); }},
        {"are not indexed", [&] { append("2009/03/05  13:00:00 -      Info: late\r\n"); }},
        {"torn tail", [&] { append("2009/03/05  13:00:00 -      Info: la"); }},
        {"new pair",
         [&] {
             touch("vm01.activity.log.new");
             touch("vm01.activity.idx.new");
         }},
        {"rebuild file", [&] { touch("vm01.activity.idx.rex"); }},
        // The pair moved aside by a prune that died: no log, but not sound.
        {"vm01.activity.log.old0",
         [&] {
             fs::rename(log, sandbox.logs / "vm01.activity.log.old0");
             fs::rename(index, sandbox.logs / "vm01.activity.idx.old0");
         }},
    };
    for (const auto& [finding, damage] : cases) {
        SCOPED_TRACE(finding);
        fs::remove_all(sandbox.logs);
        ends = WriteLogPair(log, index, ThreeHours());
        damage();
        const auto before = files();
        for (const std::vector<std::string>& args : {std::vector<std::string>{"verify", "--owner", "vm01"},
                                                     std::vector<std::string>{"verify", "--all"}}) {
            RunResult run = Run(args);
            EXPECT_EQ(run.status, finding == cases[0].first ? 0 : 1) << run.out;
            EXPECT_NE(run.out.find(finding), std::string::npos) << args[1] << ": " << run.out;
        }
        EXPECT_EQ(files(), before);
    }
}

}  // namespace
}  // namespace actlogtest
