// Queries and prunes over a damaged or missing pair, the read mutex around a
// query's opens, the snapshot's start word and the job field's parser.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Log.h"
#include "files/log_files.h"
#include "retrieval/read_snapshot.h"
#include "support/fault_platform.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;
using Op = FaultInjectingPlatform::Op;

// Five good records stamped 10:20:00 to 10:20:04; record 2 has job 7.
std::vector<std::u16string> FiveLines() {
    std::vector<std::u16string> lines;
    for (unsigned k = 0; k < 5; ++k) lines.push_back(RecordLine(At(2024, 3, 5, 10, 20, k), 1, k == 2 ? 7u : 0u, u"message"));
    return lines;
}

struct DamageCase {
    const char* name;
    std::function<void(std::vector<std::u16string>& lines, std::vector<std::uint32_t>& entries)> damage;
    bool probedByPrune;  // the prune's search (records 2, 0, 1 for a cut-off at second 2) meets it
};

const DamageCase kDamage[] = {
    {"entries less than 4 bytes apart", [](auto&, auto& e) { e[2] = e[1] + 2; }, true},
    {"entries equal", [](auto&, auto& e) { e[2] = e[1]; }, true},
    {"entries going backwards", [](auto&, auto& e) { e[3] = e[1]; }, false},
    {"first record shorter than 4 bytes", [](auto&, auto& e) { e[0] = 4; }, true},
    {"entry inside a record", [](auto&, auto& e) { e[0] += 6; }, true},
    {"span longer than any record", [](auto&, auto& e) { e[1] = e[0] + 9000; }, true},
    {"record without CR LF", [](auto& l, auto&) { l[1] = u"2024/03/05  10:20:01 -     Error: cut off"; }, true},
    {"record ending in LF alone", [](auto& l, auto&) { l[1] = u"2024/03/05  10:20:01 -     Error: x\n\n"; }, true},
    {"record ending in CR alone", [](auto& l, auto&) { l[1] = u"2024/03/05  10:20:01 -     Error: x\rX"; }, true},
    {"entry beyond the end of the log", [](auto&, auto& e) { e[4] += 200; }, false},
    {"record starting at 2 GiB, past the log's end", [](auto&, auto& e) { e[3] = 0x80000000u, e[4] = 0x80000040u; },
     false},
};

class QueryFailureTest : public SandboxTest {
protected:
    // Writes the damaged pair for the owner vm1; gives the log's bytes.
    std::vector<std::uint8_t> Prepare(const DamageCase& c) {
        std::vector<std::u16string> lines = FiveLines();
        std::vector<std::uint32_t> entries = WriteLogPair(Log("vm1"), Index("vm1"), lines);
        const std::vector<std::uint32_t> sound = entries;
        c.damage(lines, entries);
        // A changed line gets its true offsets; changed offsets replace them.
        WriteLogPair(Log("vm1"), Index("vm1"), lines);
        if (entries != sound) WriteIndex(Index("vm1"), entries);
        return ReadBytes(Log("vm1"));
    }

    FaultInjectingPlatform faults;
    ScopedPlatform installed{faults};
};

// The call fails, hands out nothing, discards the index and leaves the log.
TEST_F(QueryFailureTest, DamageFailsTheCallAndDiscardsTheIndex) {
    const LogSystemTime cut = At(2024, 3, 5, 10, 20, 2);
    for (int call = 0; call < 3; ++call) {
        for (const DamageCase& c : kDamage) {
            if (call == 2 && !c.probedByPrune) continue;
            SCOPED_TRACE(testing::Message() << c.name << ", call " << call);
            auto log = Prepare(c);
            Page page;
            // Job 7 is record 2: the failure comes whether or not the damaged record matches.
            if (call == 2) {
                EXPECT_EQ(PruneLog(&cut, W(u"vm1")), -1);
            } else {
                EXPECT_EQ(call == 0 ? GetLog(0, 10, &page.entries, &page.returned, &page.total, W(u"vm1"))
                                    : GetJobLog(7, 0, 10, &page.entries, &page.returned, &page.total, W(u"vm1")),
                          -1);
                EXPECT_EQ(page.entries, nullptr);
                EXPECT_EQ(page.returned, 0u);
                EXPECT_EQ(page.total, 0u);
            }
            EXPECT_FALSE(Exists(Index("vm1")));
            EXPECT_EQ(Leftovers(sandbox.logs), std::vector<std::string>{});
            EXPECT_EQ(ReadBytes(Log("vm1")), log);
        }
    }
}

TEST_F(QueryFailureTest, GetLogReadsOnlyItsPage) {
    // Damage below the page is never read, so the query succeeds.
    Prepare(kDamage[6]);  // record 1 lacks its line end
    Page page;
    ASSERT_EQ(GetLog(0, 2, &page.entries, &page.returned, &page.total, W(u"vm1")), 0);
    EXPECT_EQ(page.returned, 2u);
    EXPECT_TRUE(Exists(Index("vm1")));
}

// A discard name left by an earlier run is cleared first (nobody holds it);
// when every discard name fails the index stays.
TEST_F(QueryFailureTest, DiscardNames) {
    auto log = Prepare(kDamage[0]);
    fs::path old0 = Index("vm1").string() + ".old0";
    WriteBytes(old0, {1, 2, 3});
    Page page;
    EXPECT_EQ(GetLog(0, 10, &page.entries, &page.returned, &page.total, W(u"vm1")), -1);
    EXPECT_FALSE(Exists(Index("vm1")));
    EXPECT_EQ(Leftovers(sandbox.logs), std::vector<std::string>{});
    EXPECT_EQ(ReadBytes(Log("vm1")), log);
    Page again;
    EXPECT_EQ(GetLog(0, 10, &again.entries, &again.returned, &again.total, W(u"vm1")), -1);
    EXPECT_EQ(again.entries, nullptr);

    WriteBytes(Index("vm1"), {1, 2, 3, 4, 5, 6});
    faults.ResetCounters();
    faults.FailNth(Op::Move, 1, true);
    Page kept;
    EXPECT_EQ(GetLog(0, 3, &kept.entries, &kept.returned, &kept.total, W(u"vm1")), -1);
    EXPECT_EQ(faults.Calls(Op::Move), 10);
    EXPECT_EQ(ReadBytes(Index("vm1")).size(), 4u) << "the part of an entry is cut, the rest stays";
}

TEST_F(QueryFailureTest, FailedOrAbandonedWaitOpensNothing) {
    WriteLogPair(Log("vm1"), Index("vm1"), FiveLines());
    for (auto result : {actlog::platform::WaitResult::Failed, actlog::platform::WaitResult::Abandoned}) {
        faults.ResetCounters();
        faults.OverrideWait(1, result);
        Page page;
        EXPECT_EQ(GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1")), -1);
        EXPECT_EQ(faults.Calls(Op::Open), 0);
        EXPECT_TRUE(Exists(Index("vm1")));
        // An abandoned mutex is handed back, not kept.
        EXPECT_TRUE(MutexFree(actlog::kReadMutexBase, u"vm1"));
    }
}

TEST_F(QueryFailureTest, ReadMutexCoversTheTwoOpensAndNothingElse) {
    WriteLogPair(Log("vm1"), Index("vm1"), FiveLines());
    auto free = [] { return MutexFree(actlog::kReadMutexBase, u"vm1"); };
    bool freeAtIndexOpen = true, freeAtLogOpen = true, freeAtBlock = false, freeAtRecord = false;
    // One hook per operation: each hook arms the next one.
    faults.RunBeforeNth(Op::Open, 1, [&] {
        freeAtIndexOpen = free();
        faults.RunBeforeNth(Op::Open, 1, [&] { freeAtLogOpen = free(); });
    });
    faults.RunBeforeNth(Op::Allocate, 1, [&] {
        freeAtBlock = free();
        faults.RunBeforeNth(Op::Allocate, 2, [&] { freeAtRecord = free(); });
    });
    Page page;
    ASSERT_EQ(GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1")), 0);
    EXPECT_FALSE(freeAtIndexOpen);
    EXPECT_FALSE(freeAtLogOpen);
    EXPECT_TRUE(freeAtBlock);
    EXPECT_TRUE(freeAtRecord);
}

struct JobCase {
    const char16_t* text;
    std::uint32_t job;
};

TEST(ParseJobNumber, RecognisesOnlyTheExactJobField) {
    const JobCase cases[] = {
        {u" Job0000002A - message", 42},
        {u" JobFFFFFFFF - x", 0xFFFFFFFFu},
        {u" Job0000002a - message", 0},  // lower-case digit
        {u" Job0000002A -", 0},          // 14 characters
        {u"Job0000002A - message", 0},  // no leading blank
        {nullptr, 0},
    };
    for (const JobCase& c : cases) {
        EXPECT_EQ(actlog::ParseJobNumber(c.text), c.job) << Utf8(c.text ? c.text : u"(null)");
    }
}

TEST_F(QueryFailureTest, MissingIndexOrLogFailsTheSnapshotWithoutTouchingFiles) {
    for (bool indexMissing : {true, false}) {
        WriteLogPair(Log("vm1"), Index("vm1"), {RecordLine(At(2024, 3, 5, 10, 20, 0), 1, 0, u"a")});
        fs::remove(indexMissing ? Index("vm1") : Log("vm1"));
        const auto before = LogFiles();
        actlog::ReadSnapshot snapshot(u"vm1");
        EXPECT_EQ(snapshot.status(), actlog::ReadResult::Failed);
        EXPECT_FALSE(snapshot.log().valid());
        EXPECT_EQ(snapshot.records(), 0u);
        EXPECT_EQ(LogFiles(), before);
    }
}

TEST_F(QueryFailureTest, SnapshotStartWordFollowsTheByteOrderMark) {
    struct Case {
        std::vector<std::uint8_t> head;
        std::uint32_t start;
    } cases[] = {{{0xFF, 0xFE, 0x41, 0}, 2}, {{0xFE, 0xFF, 0, 0x41}, 0}, {{0xFF}, 0}, {{}, 0}, {{0x41, 0}, 0}};
    for (const Case& c : cases) {
        WriteBytes(Log(), c.head);
        WriteBytes(Index(), {});
        actlog::ReadSnapshot snapshot(nullptr);
        ASSERT_TRUE(snapshot.valid());
        std::uint32_t word = 99;
        ASSERT_EQ(snapshot.Words(0, 0, &word), actlog::ReadResult::Ok);
        EXPECT_EQ(word, c.start) << c.head.size() << " bytes";
        // The check positions itself: a handle read from elsewhere gives the same answer.
        EXPECT_EQ(actlog::LogHasByteOrderMark(snapshot.log()), c.start == 2);
    }
}

}  // namespace
