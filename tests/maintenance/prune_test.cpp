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
