// actlog prune, reindex, rename, owners and verify against files laid out by hand.
#include <sstream>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using MaintenanceTest = ActlogTest;

std::vector<std::u16string> ThreeHours() {
    return {RecordLine("2009/03/05  10:00:00", "Info", "ten"), RecordLine("2009/03/05  11:00:00", "Info", "eleven"),
            RecordLine("2009/03/05  12:00:00", "Info", "twelve")};
}

TEST_F(MaintenanceTest, PruneReindexAndRenameReportWhatTheLibraryDid) {
    WriteLogPair(LogFile("vm01"), IndexFile("vm01"), ThreeHours());
    const std::vector<std::uint8_t> original = ReadBytes(IndexFile("vm01"));
    fs::remove(IndexFile("vm01"));
    RunResult rebuilt = Run({"reindex", "--owner", "vm01"});
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.err;
    EXPECT_NE(rebuilt.out.find("index rebuilt: 3 records"), std::string::npos) << rebuilt.out;
    EXPECT_EQ(ReadBytes(IndexFile("vm01")), original);

    RunResult pruned = Run({"prune", "--owner", "vm01", "--before", "2009-03-05 11:30:00"});
    ASSERT_EQ(pruned.status, 0) << pruned.err;
    EXPECT_NE(pruned.out.find(": 2 records before"), std::string::npos) << pruned.out;

    RunResult renamed = Run({"rename", "--owner", "vm01", "--prefix", "P"});
    ASSERT_EQ(renamed.status, 0) << renamed.err;
    EXPECT_EQ(renamed.out, "vm01: vm01.activity.log -> P.vm01.activity.log\n");
    ASSERT_EQ(Run({"log", "--owner", "vm01", "--text", "two"}).status, 0);
    EXPECT_EQ(ReadBytes(sandbox.logs / "P.vm01.activity.log").size(), ReadIndex(IndexFile("vm01")).back());
}

TEST_F(MaintenanceTest, OwnersListsEveryLogWithItsOwnerCountAndSize) {
    WriteLogPair(LogFile(), IndexFile(), ThreeHours());
    WriteLogPair(sandbox.logs / "P.vm02.activity.log", IndexFile("vm02"), {ThreeHours()[0]});
    WriteBytes(LogFile("noindex"), Utf16Bytes(ThreeHours()[0]));
    RunResult run = Run({"owners"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 4u) << run.out;
    auto row = [&](std::size_t k) {
        std::vector<std::string> cells;
        std::string cell;
        std::istringstream stream(lines[k]);
        while (stream >> cell) cells.push_back(cell);
        return cells;
    };
    const std::string machineSize = std::to_string(ReadBytes(LogFile()).size());
    EXPECT_EQ(row(1), (std::vector<std::string>{"(machine)", "3", machineSize, "activity.log"}));
    EXPECT_EQ(row(2), (std::vector<std::string>{"noindex", "no", "index",
                                                std::to_string(ReadBytes(LogFile("noindex")).size()),
                                                "noindex.activity.log"}));
    EXPECT_EQ(row(3)[0], "vm02");
    EXPECT_EQ(row(3)[3], "P.vm02.activity.log");
}

TEST_F(MaintenanceTest, VerifyFindsDamageWithoutChangingAnything) {
    struct Case {
        const char* name;
        int entry;            // index entry to change, -1 for none
        std::int64_t delta;   // added to it
        std::string tail;     // appended to the log without an index entry
        std::vector<std::string> files;  // left beside the pair
        const char* finding;  // expected in the report; null for a sound pair
    };
    const std::vector<Case> cases = {
        {"sound", -1, 0, "", {}, nullptr},
        {"entry inside a record", 0, -10, "", {}, "does not end a record"},
        {"unindexed record", -1, 0, "2009/03/05  13:00:00 - Info: late\r\n", {}, "are not indexed"},
        {"torn tail", -1, 0, "2009/03/05  13:00:00 - Info: la", {}, "torn tail"},
        {"abandoned new pair", -1, 0, "", {"vm01.activity.log.new", "vm01.activity.idx.new"}, "new pair"},
        {"leftover rebuild file", -1, 0, "", {"vm01.activity.idx.rex"}, "rebuild file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(sandbox.logs);
        WriteLogPair(LogFile("vm01"), IndexFile("vm01"), ThreeHours());
        std::vector<std::uint32_t> index = ReadIndex(IndexFile("vm01"));
        if (c.entry >= 0) {
            index[static_cast<std::size_t>(c.entry)] = static_cast<std::uint32_t>(index[static_cast<std::size_t>(c.entry)] + c.delta);
            std::vector<std::uint8_t> bytes;
            for (std::uint32_t value : index) {
                for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
            }
            WriteBytes(IndexFile("vm01"), bytes);
        }
        std::vector<std::uint8_t> log = ReadBytes(LogFile("vm01"));
        std::vector<std::uint8_t> tail = Utf16Bytes(U16(std::string_view(c.tail)));
        log.insert(log.end(), tail.begin(), tail.end());
        WriteBytes(LogFile("vm01"), log);
        for (const std::string& file : c.files) WriteBytes(sandbox.logs / file, {0xFF, 0xFE});
        const std::vector<std::string> filesBefore = ListDir(sandbox.logs);
        const std::vector<std::uint8_t> indexBefore = ReadBytes(IndexFile("vm01"));
        RunResult run = Run({"verify", "--owner", "vm01"});
        if (c.finding == nullptr) {
            EXPECT_EQ(run.status, 0) << run.out;
            EXPECT_NE(run.out.find("ok: vm01"), std::string::npos) << run.out;
        } else {
            EXPECT_EQ(run.status, 1) << run.out;
            EXPECT_NE(run.out.find(c.finding), std::string::npos) << run.out;
        }
        EXPECT_EQ(ListDir(sandbox.logs), filesBefore);
        EXPECT_EQ(ReadBytes(LogFile("vm01")), log);
        EXPECT_EQ(ReadBytes(IndexFile("vm01")), indexBefore);
    }
    // The main pair moved aside by a prune that died: no log, but not sound.
    fs::rename(LogFile("vm01"), sandbox.logs / "vm01.activity.log.old0");
    fs::rename(IndexFile("vm01"), sandbox.logs / "vm01.activity.idx.old0");
    RunResult all = Run({"verify", "--all"});
    EXPECT_EQ(all.status, 1) << all.out;
    EXPECT_NE(all.out.find("damage: vm01.activity.log.old0"), std::string::npos) << all.out;
}

}  // namespace
}  // namespace actlogtest
