#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "activity/log_files.h"
#include "activity/record_append.h"
#include "support/fault_platform.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;
using Op = FaultInjectingPlatform::Op;
using actlog::platform::WaitResult;
using Bytes = std::vector<std::uint8_t>;

// Every record of these tests is "2009/03/05  07:08:09 -     Error: <text>\r\n".
std::u16string Line(std::u16string_view text) {
    return u"2009/03/05  07:08:09 -     Error: " + std::u16string(text) + u"\r\n";
}
Bytes LogBytes(std::initializer_list<std::u16string_view> texts, bool mark = true) {
    std::u16string all = mark ? u"\xFEFF" : u"";
    for (std::u16string_view text : texts) all += Line(text);
    return Utf16Bytes(all);
}
std::vector<std::uint32_t> Ends(std::initializer_list<std::u16string_view> texts) {
    std::vector<std::uint32_t> ends;
    std::uint32_t at = 2;
    for (std::u16string_view text : texts) ends.push_back(at += static_cast<std::uint32_t>(2 * Line(text).size()));
    return ends;
}

class RecordAppendFaultTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        faults.SetUtcTime(At(2009, 3, 5, 7, 8, 9));
        sandbox.CreateFullSyncMark();
    }
    int Append(const char16_t* text) { return actlog::AppendActivityRecord(1, 0, text, nullptr); }
    fs::path Journal() const { return sandbox.dataSync / "activity_sync.log"; }
    fs::path NewLog() const { return sandbox.logs / "activity.log.new"; }
    fs::path NewIndex() const { return sandbox.logs / "activity.idx.new"; }
    std::size_t JournalRecords() const {
        std::u16string text = ReadUtf16(Journal());
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), u'\n'));
    }

    FaultInjectingPlatform faults;
    ScopedPlatform installed{faults};
};

TEST_F(RecordAppendFaultTest, FixedClockGivesByteExactRecordAndJournalLine) {
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"Volume scanned", nullptr), 0);
    EXPECT_EQ(ReadBytes(Log()), LogBytes({u"Volume scanned"}));
    EXPECT_EQ(ReadUtf16(Journal()),
              u"\xFEFF       128 ADD 2009/03/05 07:08:09 -- <NULL> -- 1 - Job0 - Volume scanned\r\n");

    faults.SetUtcTime(At(999, 1, 2, 3, 4, 5));
    ASSERT_EQ(actlog::AppendActivityRecord(2, 255, u"x", u"vm01"), 0);
    EXPECT_EQ(ReadUtf16(Log("vm01")), u"\xFEFF 999/01/02  03:04:05 -   Warning: Job000000FF - x\r\n");
}

// Rows where nothing may be written at all.
TEST_F(RecordAppendFaultTest, MutexFailuresTouchNothing) {
    struct Row {
        const char* name;
        std::function<void()> arm;
    };
    const Row rows[] = {
        {"mutex not opened", [&] { faults.FailNth(Op::MutexOpen, 1); }},
        {"wait failed", [&] { faults.OverrideWait(1, WaitResult::Failed); }},
        {"wait timed out", [&] { faults.OverrideWait(1, WaitResult::TimedOut); }},
        {"mutex abandoned", [&] { faults.OverrideWait(1, WaitResult::Abandoned); }},
    };
    for (const Row& row : rows) {
        row.arm();
        EXPECT_EQ(Append(u"m"), -1) << row.name;
        faults.Disarm();
        EXPECT_FALSE(Exists(Log())) << row.name;
        EXPECT_FALSE(Exists(Index())) << row.name;
        EXPECT_FALSE(Exists(Journal())) << row.name;
        // Whatever the wait gave, the mutex is free again afterwards.
        actlog::LogMutex probe(actlog::kWriteMutexBase, nullptr);
        EXPECT_TRUE(probe.Wait(actlog::platform::WaitTime::Zero)) << row.name;
    }
}

TEST_F(RecordAppendFaultTest, MainPairFailures) {
    struct Row {
        const char* name;
        std::function<void()> arm;
        Bytes logAfter;
        std::vector<std::uint32_t> indexAfter;
    };
    // Opens counted under "activity.log": the new log (absent) first, then the main log.
    const Row rows[] = {
        {"log not opened", [&] { faults.FailOnlyPaths(u"activity.log"); faults.FailNth(Op::Open, 2); },
         LogBytes({u"a"}), Ends({u"a"})},
        {"log not positioned", [&] { faults.FailOnlyPaths(u"activity.log"); faults.FailNth(Op::Seek, 1); },
         LogBytes({u"a"}), Ends({u"a"})},
        {"record not written", [&] { faults.FailOnlyPaths(u"activity.log"); faults.FailNth(Op::Write, 1); },
         LogBytes({u"a"}), Ends({u"a"})},
        {"record written in part", [&] { faults.FailOnlyPaths(u"activity.log"); faults.FailWritePartially(1, 6); },
         [] { Bytes b = LogBytes({u"a"}); Bytes part = Utf16Bytes(u"200"); b.insert(b.end(), part.begin(), part.end()); return b; }(),
         Ends({u"a"})},
        {"index not opened", [&] { faults.FailOnlyPaths(u"activity.idx"); faults.FailNth(Op::Open, 1); },
         LogBytes({u"a", u"b"}), Ends({u"a"})},
        {"index not positioned", [&] { faults.FailOnlyPaths(u"activity.idx"); faults.FailNth(Op::Seek, 1); },
         LogBytes({u"a", u"b"}), Ends({u"a"})},
        {"index not written", [&] { faults.FailOnlyPaths(u"activity.idx"); faults.FailNth(Op::Write, 1); },
         LogBytes({u"a", u"b"}), Ends({u"a"})},
    };
    for (const Row& row : rows) {
        fs::remove(Log());
        fs::remove(Index());
        fs::remove(Journal());
        ASSERT_EQ(Append(u"a"), 0);
        row.arm();
        EXPECT_EQ(Append(u"b"), -1) << row.name;
        faults.Disarm();
        EXPECT_EQ(ReadBytes(Log()), row.logAfter) << row.name;
        EXPECT_EQ(ReadIndex(Index()), row.indexAfter) << row.name;
        EXPECT_EQ(JournalRecords(), 1u) << row.name;  // only "a"
    }
}

TEST_F(RecordAppendFaultTest, FailedByteOrderMarkLeavesOnlyWhatWasWritten) {
    faults.FailOnlyPaths(u"activity.log");
    faults.FailNth(Op::Write, 2);  // the mark goes through, the record does not
    EXPECT_EQ(Append(u"a"), -1);
    faults.Disarm();
    EXPECT_EQ(ReadBytes(Log()), (Bytes{0xFF, 0xFE}));
    EXPECT_FALSE(Exists(Index()));
    EXPECT_FALSE(Exists(Journal()));

    // The next append finds a log holding only the mark and starts the index.
    ASSERT_EQ(Append(u"b"), 0);
    EXPECT_EQ(ReadBytes(Log()), LogBytes({u"b"}));
    EXPECT_EQ(ReadIndex(Index()), Ends({u"b"}));
}

TEST_F(RecordAppendFaultTest, NewPairFailuresFallBackToMainPair) {
    struct Row {
        const char* name;
        std::function<void()> arm;
        Bytes newLogAfter;
        bool newIndexKept;
    };
    const Row rows[] = {
        {"new log not written", [&] { faults.FailOnlyPaths(u"activity.log.new"); faults.FailNth(Op::Write, 1); },
         LogBytes({u"n"}), true},
        {"new log not positioned", [&] { faults.FailOnlyPaths(u"activity.log.new"); faults.FailNth(Op::Seek, 1); },
         LogBytes({u"n"}), true},
        {"new index not opened", [&] { faults.FailOnlyPaths(u"activity.idx.new"); faults.FailNth(Op::Open, 1); },
         LogBytes({u"n", u"b"}), false},
        {"new index not written", [&] { faults.FailOnlyPaths(u"activity.idx.new"); faults.FailNth(Op::Write, 1); },
         LogBytes({u"n", u"b"}), false},
    };
    for (const Row& row : rows) {
        for (const fs::path& p : {Log(), Index(), NewLog(), NewIndex(), Journal()}) fs::remove(p);
        ASSERT_EQ(Append(u"a"), 0);
        WriteBytes(NewLog(), LogBytes({u"n"}));
        WriteBytes(NewIndex(), {0, 0, 0, 0});
        std::vector<std::uint32_t> newIndexBefore = ReadIndex(NewIndex());
        row.arm();
        EXPECT_EQ(Append(u"b"), 0) << row.name;
        faults.Disarm();
        EXPECT_EQ(ReadBytes(NewLog()), row.newLogAfter) << row.name;
        EXPECT_EQ(Exists(NewIndex()), row.newIndexKept) << row.name;
        if (row.newIndexKept) {
            EXPECT_EQ(ReadIndex(NewIndex()), newIndexBefore) << row.name;
        }
        EXPECT_EQ(ReadBytes(Log()), LogBytes({u"a", u"b"})) << row.name;
        EXPECT_EQ(ReadIndex(Index()), Ends({u"a", u"b"})) << row.name;
        EXPECT_EQ(JournalRecords(), 2u) << row.name;
    }
}

TEST_F(RecordAppendFaultTest, NewPairFailureThenMainPairFailure) {
    ASSERT_EQ(Append(u"a"), 0);
    fs::remove(Index());
    WriteBytes(NewLog(), {});
    // No new index: the record stands in the new log, and the main pair lacks its index.
    EXPECT_EQ(Append(u"b"), -1);
    EXPECT_EQ(ReadBytes(NewLog()), LogBytes({u"b"}));
    EXPECT_EQ(ReadBytes(Log()), LogBytes({u"a", u"b"}));
    EXPECT_FALSE(Exists(Index()));
    EXPECT_EQ(JournalRecords(), 1u);
}

TEST_F(RecordAppendFaultTest, JournalFailureDoesNotFailTheRecord) {
    faults.FailOnlyPaths(u"activity_sync");
    faults.FailNth(Op::Open, 1);
    EXPECT_EQ(Append(u"a"), 0);
    faults.Disarm();
    faults.FailNth(Op::MutexOpen, 2);  // the write mutex opens, the sync mutex does not
    EXPECT_EQ(Append(u"b"), 0);
    faults.Disarm();
    EXPECT_EQ(ReadBytes(Log()), LogBytes({u"a", u"b"}));
    EXPECT_EQ(ReadIndex(Index()), Ends({u"a", u"b"}));
    EXPECT_FALSE(Exists(Journal()));
}

}  // namespace
