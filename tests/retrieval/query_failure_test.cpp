#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Log.h"
#include "activity/log_files.h"
#include "log_pair.h"
#include "support/fault_platform.h"
#include "support/sandbox.h"

namespace {

using namespace retrievaltest;
using testsupport::Exists;
using testsupport::FaultInjectingPlatform;
using testsupport::ReadBytes;
using testsupport::SandboxTest;
using Op = FaultInjectingPlatform::Op;

struct FailureRow {
    const char* name;
    Op op;
    int nth;
    const char16_t* onlyPaths;
    bool indexDiscarded;
};

// Call order of one query on a sound pair: read mutex, open index, open log,
// the tail check (both sizes, the index's last entry), index size, block, byte-order mark (seek, read), index read, entry array,
// then per record one seek, one line buffer and one read. The record rows
// fail on the second record, after the first has filled an entry.
const FailureRow kRows[] = {
    {"read mutex not opened", Op::MutexOpen, 1, u"ReadLog", false},
    {"index not opened", Op::Open, 1, u".activity.idx", false},
    {"log not opened", Op::Open, 1, u".activity.log", false},
    {"index size unknown", Op::Size, 3, u"", true},
    {"no memory for the block", Op::Allocate, 1, u"", true},
    {"index read fails", Op::Read, 2, u".activity.idx", true},
    {"no memory for the array", Op::Allocate, 2, u"", false},
    {"no memory for the second line", Op::Allocate, 4, u"", true},
    {"second record not positioned", Op::Seek, 3, u".activity.log", true},
    {"second record read fails", Op::Read, 3, u".activity.log", true},
};

class QueryFailureTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        lines_ = {RecordLine(1, 7, u"one"), RecordLine(2, 7, u"two"), RecordLine(3, 7, u"three")};
        WritePair(Log("vm1"), Index("vm1"), lines_);
    }
    std::int32_t Query(bool job, Page& page) {
        return job ? GetJobLog(7, 0, 3, &page.entries, &page.returned, &page.total, W(u"vm1"))
                   : GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1"));
    }
    std::vector<std::u16string> lines_;
};

TEST_F(QueryFailureTest, EveryFailureReleasesAllAndDiscardsOnlyAnUnusableIndex) {
    const auto log = ReadBytes(Log("vm1"));
    const auto index = ReadBytes(Index("vm1"));
    for (bool job : {false, true}) {
        for (const FailureRow& row : kRows) {
            SCOPED_TRACE(std::string(row.name) + (job ? " (GetJobLog)" : " (GetLog)"));
            testsupport::WriteBytes(Index("vm1"), index);
            Page page;
            {
                FaultInjectingPlatform faults;
                testsupport::ScopedPlatform installed(faults);
                faults.FailOnlyPaths(row.onlyPaths);
                faults.FailNth(row.op, row.nth, row.op == Op::Open);
                EXPECT_EQ(Query(job, page), -1);
            }
            EXPECT_EQ(page.entries, nullptr);
            EXPECT_EQ(page.returned, 0u);
            EXPECT_EQ(page.total, 0u);
            EXPECT_EQ(Exists(Index("vm1")), !row.indexDiscarded);
            EXPECT_FALSE(Exists(Index("vm1").string() + ".old0"));
            EXPECT_EQ(ReadBytes(Log("vm1")), log);
        }
    }
}

TEST_F(QueryFailureTest, FailedOrAbandonedWaitOpensNothing) {
    for (auto result : {actlog::platform::WaitResult::Failed, actlog::platform::WaitResult::Abandoned}) {
        FaultInjectingPlatform faults;
        testsupport::ScopedPlatform installed(faults);
        faults.OverrideWait(1, result);
        Page page;
        EXPECT_EQ(GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1")), -1);
        EXPECT_EQ(faults.Calls(Op::Open), 0);
        EXPECT_TRUE(Exists(Index("vm1")));
        // An abandoned mutex is handed back, not kept.
        EXPECT_TRUE(ReadMutexFree(u"vm1"));
    }
}

TEST_F(QueryFailureTest, ReadMutexCoversTheTwoOpensAndNothingElse) {
    FaultInjectingPlatform faults;
    testsupport::ScopedPlatform installed(faults);
    bool freeAtIndexOpen = true, freeAtLogOpen = true, freeAtBlock = false, freeAtRecord = false;
    // One hook per operation: each hook arms the next one.
    faults.RunBeforeNth(Op::Open, 1, [&] {
        freeAtIndexOpen = ReadMutexFree(u"vm1");
        faults.RunBeforeNth(Op::Open, 1, [&] { freeAtLogOpen = ReadMutexFree(u"vm1"); });
    });
    faults.RunBeforeNth(Op::Allocate, 1, [&] {
        freeAtBlock = ReadMutexFree(u"vm1");
        faults.RunBeforeNth(Op::Allocate, 2, [&] { freeAtRecord = ReadMutexFree(u"vm1"); });
    });
    Page page;
    ASSERT_EQ(GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1")), 0);
    EXPECT_FALSE(freeAtIndexOpen);
    EXPECT_FALSE(freeAtLogOpen);
    EXPECT_TRUE(freeAtBlock);
    EXPECT_TRUE(freeAtRecord);
}

TEST_F(QueryFailureTest, IndexStaysWhenEveryDiscardNameFails) {
    testsupport::WriteBytes(Index("vm1"), {1, 2, 3, 4, 5, 6});
    FaultInjectingPlatform faults;
    testsupport::ScopedPlatform installed(faults);
    faults.FailNth(Op::Move, 1, true);
    Page page;
    EXPECT_EQ(GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1")), -1);
    EXPECT_EQ(faults.Calls(Op::Move), 10);
    EXPECT_EQ(ReadBytes(Index("vm1")).size(), 6u);
}

}  // namespace
