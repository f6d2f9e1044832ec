// PruneLog: the count of records older than the date, the shortened pair, the
// PRUNE line, and damage found by the bisection.
#include <gtest/gtest.h>

#include "maintenance_helpers.h"
#include "support/sandbox.h"

#include "Log.h"
#include "activity/record_append.h"
#include "files/log_files.h"
#include "maintenance/prune_swap.h"

namespace {

using namespace maintenancetest;
using testsupport::ReadBytes;
using testsupport::ReadIndex;
using testsupport::ReadUtf16;

class PruneTest : public testsupport::SandboxTest {
protected:
    fs::path Journal() const { return sandbox.dataSync / "activity_sync.log"; }
    int JournalCount(const std::u16string& text) const {
        if (!testsupport::Exists(Journal())) return 0;
        std::u16string all = ReadUtf16(Journal());
        int n = 0;
        for (std::size_t at = all.find(text); at != std::u16string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }
    void WriteHours(const char* owner, std::vector<unsigned> hours, unsigned year = 2024) {
        std::vector<TestRecord> records;
        for (unsigned h : hours) records.push_back({At(year, 5, 1, h, 0, 0), u"rec" + std::u16string(1, char16_t(u'0' + h % 10))});
        WriteLogPair(Log(owner), Index(owner), records);
    }
};

struct PruneCase {
    const char* name;
    LogSystemTime date;
    int removed;
    std::vector<std::u16string> left;
};

TEST_F(PruneTest, RemovesRecordsStrictlyOlderThanTheDate) {
    const PruneCase cases[] = {
        {"11:30", At(2024, 5, 1, 11, 30, 0), 2, {u"rec2"}},
        {"10:30", At(2024, 5, 1, 10, 30, 0), 1, {u"rec1", u"rec2"}},
        {"09:00", At(2024, 5, 1, 9, 0, 0), 0, {u"rec0", u"rec1", u"rec2"}},
        {"13:00", At(2024, 5, 1, 13, 0, 0), 3, {}},
        {"at 11:00 exactly", At(2024, 5, 1, 11, 0, 0), 1, {u"rec1", u"rec2"}},
    };
    for (const PruneCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(Journal());
        WriteHours("vm1", {10, 11, 12});
        std::vector<std::uint8_t> before = ReadBytes(Log("vm1"));
        EXPECT_EQ(c.removed, PruneLog(&c.date, W(u"vm1")));
        std::vector<std::u16string> lines = Lines(Log("vm1"));
        ASSERT_EQ(c.left.size(), lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(1, CountMessage({lines[i]}, c.left[i]));
        EXPECT_EQ(LineEndOffsets(Log("vm1")), ReadIndex(Index("vm1")));
        if (c.removed == 0) {
            EXPECT_EQ(before, ReadBytes(Log("vm1")));
        }
        EXPECT_EQ(c.removed > 0 ? 1 : 0, JournalCount(u"PRUNE 2024/05/01 "));
        EXPECT_TRUE(Leftovers(sandbox.logs).empty());
    }
    // The journal names the date as passed, owner included.
    EXPECT_EQ(1, JournalCount(u"PRUNE 2024/05/01 11:00:00 - vm1 - "));
}

TEST_F(PruneTest, PrunedLogStartsWithTheFirstSurvivorWithoutMark) {
    // 182 bytes: mark + 40 + 50 characters; entries 82 and 182.
    std::vector<TestRecord> records = {{At(2024, 1, 1, 0, 0, 0), std::u16string(40 - 36, u'a')},
                                       {At(2024, 1, 2, 0, 0, 0), std::u16string(50 - 36, u'b')}};
    ASSERT_EQ(40u, Line(records[0]).size());
    WriteLogPair(Log(), Index(), records);
    ASSERT_EQ((std::vector<std::uint32_t>{82, 182}), ReadIndex(Index()));
    std::vector<std::uint8_t> whole = ReadBytes(Log());
    std::vector<std::uint8_t> second(whole.begin() + 82, whole.end());

    LogSystemTime date = At(2024, 1, 1, 12, 0, 0);
    EXPECT_EQ(1, PruneLog(&date, nullptr));
    EXPECT_EQ(second, ReadBytes(Log()));
    EXPECT_EQ(std::vector<std::uint32_t>{100}, ReadIndex(Index()));

    // An append to the pruned log continues its offsets.
    ASSERT_EQ(0, actlog::AppendActivityRecord(1, 0, u"after", nullptr));
    EXPECT_EQ(LineEndOffsets(Log()), ReadIndex(Index()));
}

TEST_F(PruneTest, RemovingEveryRecordLeavesAnEmptyPairThatTheNextAppendStartsAfresh) {
    WriteHours("", {1, 2, 3, 4});
    LogSystemTime later = At(2030, 1, 1, 0, 0, 0);
    EXPECT_EQ(4, PruneLog(&later, nullptr));
    EXPECT_EQ(0u, ReadBytes(Log()).size());
    EXPECT_EQ(0u, ReadBytes(Index()).size());
    EXPECT_EQ(0, PruneLog(&later, nullptr));  // nothing left: no second PRUNE line
    EXPECT_EQ(1, JournalCount(u"PRUNE "));

    ASSERT_EQ(0, actlog::AppendActivityRecord(1, 0, u"fresh", nullptr));
    std::vector<std::uint8_t> log = ReadBytes(Log());
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(0xFF, log[0]);
    EXPECT_EQ((std::vector<std::uint32_t>{static_cast<std::uint32_t>(log.size())}), ReadIndex(Index()));
}

TEST_F(PruneTest, CountsAnyNumberOfRecordsByBisection) {
    // Every prefix length of a longer log, so that the search ends on both sides.
    for (unsigned keep = 0; keep <= 9; ++keep) {
        SCOPED_TRACE(keep);
        std::vector<TestRecord> records;
        for (unsigned i = 0; i < 9; ++i) records.push_back({At(2024, 3, 1, 8, i, 0), u"m" + std::u16string(1, char16_t(u'0' + i))});
        WriteLogPair(Log("vm"), Index("vm"), records, keep % 2 == 0);
        LogSystemTime date = At(2024, 3, 1, 8, 9 - keep, 0);
        EXPECT_EQ(static_cast<int>(9 - keep), PruneLog(&date, W(u"vm")));
        EXPECT_EQ(keep, Lines(Log("vm")).size());
        EXPECT_EQ(LineEndOffsets(Log("vm")), ReadIndex(Index("vm")));
    }
}

TEST_F(PruneTest, YearsBelowOneThousandCompareInOrder) {
    std::vector<TestRecord> records = {{At(99, 1, 1, 0, 0, 0), u"y99"},
                                       {At(999, 1, 1, 0, 0, 0), u"y999"},
                                       {At(1000, 1, 1, 0, 0, 0), u"y1000"}};
    WriteLogPair(Log(), Index(), records);
    ASSERT_EQ(0, Line(records[1]).rfind(u" 999/01/01  00:00:00", 0));
    LogSystemTime date = At(999, 6, 1, 0, 0, 0);
    EXPECT_EQ(2, PruneLog(&date, nullptr));
    ASSERT_EQ(1u, Lines(Log()).size());
    EXPECT_EQ(1, CountMessage(Lines(Log()), u"y1000"));
}

TEST_F(PruneTest, EmptyOrMissingIndex) {
    LogSystemTime date = At(2030, 1, 1, 0, 0, 0);
    EXPECT_EQ(-1, PruneLog(&date, W(u"nobody")));
    WriteLogPair(Log(), Index(), {});
    EXPECT_EQ(0, PruneLog(&date, nullptr));
    EXPECT_EQ(-1, PruneLog(nullptr, nullptr));
    EXPECT_EQ(0, JournalCount(u"PRUNE "));
}

// Index entries that the bisection's probe reveals as damage: the index is
// discarded, the log stays as it was.
TEST_F(PruneTest, DamageFoundByTheSearchDiscardsTheIndex) {
    struct Damage {
        const char* name;
        std::vector<std::uint32_t> entries;  // for a log with three records
    };
    std::vector<TestRecord> records = {{At(2024, 1, 1, 1, 0, 0), u"a"}, {At(2024, 1, 1, 2, 0, 0), u"b"},
                                       {At(2024, 1, 1, 3, 0, 0), u"c"}};
    WriteLogPair(Log(), Index(), records);
    std::vector<std::uint32_t> good = ReadIndex(Index());
    const Damage cases[] = {
        {"entry inside a record", {good[0] + 6, good[1], good[2]}},
        {"span shorter than a line end", {good[0], good[0] + 2, good[2]}},
        {"entries going backwards", {good[1], good[0], good[2]}},
        {"entry beyond the log", {good[0], good[2] + 400, good[2] + 800}},
        {"span longer than any record", {good[0], good[0] + 9000, good[2]}},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.name);
        std::vector<std::uint8_t> log = ReadBytes(Log());
        std::vector<std::uint8_t> index;
        for (std::uint32_t e : d.entries) {
            for (int s = 0; s < 32; s += 8) index.push_back(static_cast<std::uint8_t>(e >> s));
        }
        testsupport::WriteBytes(Index(), index);
        LogSystemTime date = At(2024, 1, 1, 2, 30, 0);
        EXPECT_EQ(-1, PruneLog(&date, nullptr));
        EXPECT_FALSE(testsupport::Exists(Index()));
        EXPECT_EQ(log, ReadBytes(Log()));
        EXPECT_TRUE(Leftovers(sandbox.logs).empty());
    }
    EXPECT_EQ(0, JournalCount(u"PRUNE "));
}

TEST_F(PruneTest, ALogWithoutLineEndsIsDamage) {
    WriteLogPair(Log(), Index(), {{At(2024, 1, 1, 1, 0, 0), u"a"}, {At(2024, 1, 1, 2, 0, 0), u"b"}});
    std::vector<std::uint8_t> log = ReadBytes(Log());
    log[log.size() - 2] = 'X';  // the last record's LF
    testsupport::WriteBytes(Log(), log);
    LogSystemTime date = At(2024, 1, 1, 3, 0, 0);
    EXPECT_EQ(-1, PruneLog(&date, nullptr));
    EXPECT_FALSE(testsupport::Exists(Index()));
    EXPECT_EQ(log, ReadBytes(Log()));
}

TEST_F(PruneTest, BusyPruneMutexMakesThePruneFailAtOnce) {
    WriteHours("vm2", {1, 2, 3});
    std::vector<std::uint8_t> before = ReadBytes(Log("vm2"));
    MutexHeldElsewhere busy(actlog::kPruneMutexBase, u"vm2");
    ASSERT_TRUE(busy.held());
    LogSystemTime date = At(2024, 5, 1, 0, 30, 0);
    EXPECT_EQ(0, PruneLog(&date, W(u"vm2")));  // nothing older: no need for the mutex
    date = At(2024, 5, 1, 23, 0, 0);
    EXPECT_EQ(-1, PruneLog(&date, W(u"vm2")));
    EXPECT_EQ(-1, actlog::RemoveOldestRecords(1, u"vm2"));
    EXPECT_EQ(before, ReadBytes(Log("vm2")));
    EXPECT_EQ(0, JournalCount(u"PRUNE "));
    // Another owner is not held up.
    WriteHours("vm3", {1, 2, 3});
    EXPECT_EQ(3, PruneLog(&date, W(u"vm3")));
}

TEST_F(PruneTest, RemoveOldestRecordsChecksTheCountAgainstTheIndex) {
    WriteHours("", {1, 2, 3});
    std::vector<std::uint8_t> log = ReadBytes(Log());
    std::vector<std::uint8_t> index = ReadBytes(Index());
    EXPECT_EQ(0, actlog::RemoveOldestRecords(0, nullptr));
    EXPECT_EQ(-1, actlog::RemoveOldestRecords(4, nullptr));
    EXPECT_EQ(log, ReadBytes(Log()));
    EXPECT_EQ(index, ReadBytes(Index()));
    EXPECT_TRUE(Leftovers(sandbox.logs).empty());
    EXPECT_EQ(2, actlog::RemoveOldestRecords(2, nullptr));
    EXPECT_EQ(1u, Lines(Log()).size());
}

}  // namespace
